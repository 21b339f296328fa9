#include "store/sql_util.h"

#include <cerrno>
#include <sys/stat.h>

namespace sqlutil {

std::string globEscape(const char* text) {
    std::string out;
    for (const char* p = text; p && *p; ++p) {
        if (*p == '*' || *p == '?' || *p == '[') {
            out += '[';
            out += *p;
            out += ']';
        } else {
            out += *p;
        }
    }
    return out;
}

ustring columnText(sqlite3_stmt* stmt, int col) {
    const unsigned char* t = sqlite3_column_text(stmt, col);
    if (!t) return ustring();
    return ustring(reinterpret_cast<const char*>(t), static_cast<uint32_t>(sqlite3_column_bytes(stmt, col)));
}

int makeDirs(const std::string& dir) {
    if (dir.empty()) return 0;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        errno = ENOTDIR;
        return -1;
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (makeDirs(dir.substr(0, slash)) != 0) return -1;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    return 0;
}

}  // namespace sqlutil
