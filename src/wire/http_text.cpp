#include "wire/http_text.h"

#include <cctype>
#include <climits>
#include <cstring>

bool IsSafeHeaderHost(const char* host) {
    if (!host || !*host) return false;
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(host); *p; ++p, ++n) {
        if (n >= kMaxHeaderHost) return false;
        if (*p <= 0x20 || *p == 0x7F) return false;
    }
    return true;
}

bool IsSafeHeaderValue(const char* text) {
    if (!text) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if ((*p < 0x20 && *p != '\t') || *p == 0x7F) return false;
    return true;
}

bool StartsWithNoCase(const char* line, const char* prefix) {
    if (!line || !prefix) return false;
    for (; *prefix; ++line, ++prefix) {
        if (!*line) return false;
        if (std::tolower(static_cast<unsigned char>(*line)) != std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

namespace {

// Reads a run of decimal digits (at least one) that fits an int; p moves past it.
bool ReadNumber(const char*& p, int* out) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) return false;
        ++p;
    }
    *out = static_cast<int>(v);
    return true;
}

bool AtLineEnd(const char* p) {
    while (*p == ' ' || *p == '\t') ++p;
    return *p == '\0' || *p == '\r' || *p == '\n';
}

}  // namespace

bool ParseHttpStatusLine(const char* line, int* code) {
    if (!line || std::strncmp(line, "HTTP/1.", 7) != 0) return false;
    const char* p = line + 7;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    ++p;
    if (*p != ' ') return false;
    while (*p == ' ') ++p;
    const char* start = p;
    int v = 0;
    if (!ReadNumber(p, &v) || p - start != 3) return false;
    if (*p != ' ' && !AtLineEnd(p)) return false;
    *code = v;
    return true;
}

int ParseNumericHeader(const char* line, const char* name, int* number) {
    if (!StartsWithNoCase(line, name)) return 0;
    const char* p = line + std::strlen(name);
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != ':') return 0;  // a longer header name that merely starts the same way
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    int v = 0;
    if (!ReadNumber(p, &v) || !AtLineEnd(p)) return -1;
    *number = v;
    return 1;
}
