#include "foundation/config.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

bool is_key_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}
bool is_space(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
bool is_value_char(unsigned char c) { return c >= 0x20 && c != 0x7F; }

}  // namespace

int Config::parse_line(const char* line, ustring& key, ustring& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(line);
    while (*p && is_space(*p)) ++p;
    const unsigned char* k = p;
    while (*p && is_key_char(*p)) ++p;
    const unsigned char* k_end = p;
    if (*p == '#' || *p == 0) return EMPTY;
    while (*p && is_space(*p)) ++p;
    if (*p != '=') return INVALID;
    ++p;
    while (*p && is_space(*p)) ++p;
    if (*p == 0) return INVALID;
    const unsigned char* v;
    const unsigned char* v_end;
    if (*p == '"' || *p == '\'') {
        unsigned char q = *p++;
        v = p;
        while (*p && *p != q) {
            if (!is_value_char(*p)) return INVALID;
            ++p;
        }
        if (*p != q) return INVALID;
        v_end = p++;
    } else {
        v = p;
        while (*p && is_value_char(*p) && *p != ' ') ++p;
        v_end = p;
    }
    while (*p && is_space(*p)) ++p;
    if (*p != 0 && *p != '#') return INVALID;
    key.assign(reinterpret_cast<const char*>(k), static_cast<uint32_t>(k_end - k));
    value.assign(reinterpret_cast<const char*>(v), static_cast<uint32_t>(v_end - v));
    return OK;
}

int Config::read(const ustring& path) {
    if (path.empty()) return -1;
    FILE* fp = std::fopen(path.c_str_utf8(), "r");
    if (!fp) return -1;
    char buf[8192];
    ustring key, value;
    while (std::fgets(buf, sizeof buf, fp)) {
        int r = parse_line(buf, key, value);
        if (r == INVALID) {
            store.clear();
            std::fclose(fp);
            return -1;
        }
        if (r == OK) store[key] = value;
    }
    std::fclose(fp);
    return 0;
}

int Config::to_int(const ustring& text) {
    std::istringstream in(text.str());
    int v = 0;
    if (!(in >> v)) return 0;
    return v;
}

int Config::get_int(const ustring& key) { return to_int((*this)[key]); }
