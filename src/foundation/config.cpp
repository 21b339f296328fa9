#include "foundation/config.h"

#include <cerrno>
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

int Config::parse_line(const char* line, ustring& key, ustring& value, std::string* why) {
    auto invalid = [why](std::string problem) {
        if (why != nullptr) *why = std::move(problem);
        return INVALID;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(line);
    while (*p && is_space(*p)) ++p;
    const unsigned char* k = p;
    while (*p && is_key_char(*p)) ++p;
    const unsigned char* k_end = p;
    if (*p == '#' || *p == 0) return EMPTY;
    const std::string key_text(reinterpret_cast<const char*>(k), static_cast<size_t>(k_end - k));
    while (*p && is_space(*p)) ++p;
    if (*p != '=') {
        return invalid(key_text.empty() ? std::string("a line must begin with a key (letters, digits, '-', '_')")
                                        : "no \"=\" after the key \"" + key_text + "\"");
    }
    ++p;
    while (*p && is_space(*p)) ++p;
    if (*p == 0) return invalid("no value after \"" + key_text + " =\" (write \"\" for an empty one)");
    const unsigned char* v;
    const unsigned char* v_end;
    if (*p == '"' || *p == '\'') {
        unsigned char q = *p++;
        v = p;
        while (*p && *p != q) {
            if (!is_value_char(*p)) {
                return *p == '\n' || *p == '\r'
                           ? invalid("the value of \"" + key_text + "\" has no closing quote")
                           : invalid("the value of \"" + key_text + "\" holds a control character");
            }
            ++p;
        }
        if (*p != q) return invalid("the value of \"" + key_text + "\" has no closing quote");
        v_end = p++;
    } else {
        v = p;
        while (*p && is_value_char(*p) && *p != ' ') ++p;
        v_end = p;
    }
    while (*p && is_space(*p)) ++p;
    if (*p != 0 && *p != '#') {
        return invalid("more than one value for \"" + key_text + "\" (quote a value that holds blanks)");
    }
    key.assign(reinterpret_cast<const char*>(k), static_cast<uint32_t>(k_end - k));
    value.assign(reinterpret_cast<const char*>(v), static_cast<uint32_t>(v_end - v));
    return OK;
}

bool Config::read(const ustring& path, std::string* why) {
    if (path.empty()) {
        if (why != nullptr) *why = "no file named";
        return false;
    }
    FILE* fp = std::fopen(path.c_str_utf8(), "r");
    if (!fp) {
        if (why != nullptr) *why = std::strerror(errno);
        return false;
    }
    char buf[8192];
    ustring key, value;
    unsigned line = 0;
    bool line_started = false;  // the previous piece ended without a line end
    while (std::fgets(buf, sizeof buf, fp)) {
        if (!line_started) ++line;
        line_started = std::strchr(buf, '\n') == nullptr;
        std::string problem;
        int r = parse_line(buf, key, value, &problem);
        if (r == INVALID) {
            if (why != nullptr) *why = "line " + std::to_string(line) + ": " + problem;
            store.clear();
            std::fclose(fp);
            return false;
        }
        if (r == OK) store[key] = value;
    }
    std::fclose(fp);
    return true;
}

int Config::to_int(const ustring& text) {
    std::istringstream in(text.str());
    int v = 0;
    if (!(in >> v)) return 0;
    return v;
}

int Config::get_int(const ustring& key) { return to_int((*this)[key]); }
