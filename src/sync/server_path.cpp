#include "sync/server_path.h"

#include <climits>
#include <cstdio>

bool IsSafeServerPath(const ustring& path, const char** why) {
    const char* fault = nullptr;
    const std::string p = path.str();
    if (p.empty() || p[0] != '/') {
        fault = "does not begin with \"/\"";
    } else if (p.find('\0') != std::string::npos) {
        fault = "holds a NUL byte";
    } else if (p != "/") {
        size_t start = 1;
        while (fault == nullptr) {
            size_t end = p.find('/', start);
            const size_t len = (end == std::string::npos ? p.size() : end) - start;
            const std::string_view comp(p.data() + start, len);
            if (comp.empty())
                fault = "has an empty component";
            else if (comp == "." || comp == "..")
                fault = "has a \".\" or \"..\" component";
            else if (comp.size() > NAME_MAX)
                fault = "has a component longer than the platform allows";
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    if (why) *why = fault;
    return fault == nullptr;
}

const char* UnsyncableReason(const ustring& rel) {
    const std::string p = rel.str();
    if (p.size() >= PATH_MAX) return "the path is longer than 4095 bytes";
    if (!ustring::is_valid(rel)) return "the name is not valid UTF-8";
    if (p.find('\\') != std::string::npos) return "the name holds a \"\\\", which the server refuses";
    for (size_t start = 0; start < p.size();) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        if (end - start > NAME_MAX) return "a name is longer than 255 bytes";
        start = end + 1;
    }
    return nullptr;
}

std::string EscapeForLog(const ustring& path) {
    const std::string p = path.str();
    const size_t n = p.size() < 512 ? p.size() : 512;
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (p.size() > n) out += "...";
    return out;
}
