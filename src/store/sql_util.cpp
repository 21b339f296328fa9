#include "store/sql_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

int bindTexts(sqlite3_stmt* st, std::initializer_list<std::string> texts) {
    int i = 1;
    for (const std::string& t : texts) {
        const int rc = sqlite3_bind_text(st, i++, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
        if (rc != SQLITE_OK) return rc;
    }
    return SQLITE_OK;
}

ustring columnText(sqlite3_stmt* stmt, int col) {
    const unsigned char* t = sqlite3_column_text(stmt, col);
    if (!t) return ustring();
    return ustring(reinterpret_cast<const char*>(t), static_cast<uint32_t>(sqlite3_column_bytes(stmt, col)));
}

int openPrivate(const char* path, sqlite3** db) {
    const std::string base(path ? path : "");
    if (!base.empty() && base[0] != ':' && base.rfind("file:", 0) != 0) {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            const std::string file = base + suffix;
            const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | (*suffix ? 0 : O_CREAT), 0600);
            if (fd < 0) continue;
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
                (void)::fchmod(fd, st.st_mode & 0700);
            ::close(fd);
        }
    }
    return sqlite3_open(path, db);
}

}  // namespace sqlutil
