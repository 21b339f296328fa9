// Small helpers shared by the local databases.
#pragma once

#include <sqlite3.h>

#include <initializer_list>
#include <string>

#include "foundation/ustring.h"

namespace sqlutil {

// A GLOB pattern that matches `text` literally: "*", "?" and "[" are put in brackets.
std::string globEscape(const char* text);
inline std::string globEscape(const ustring& text) { return globEscape(text.c_str_utf8()); }

// A literal subtree match with bound values: under the binary collation the texts
// that start with prefix + "/" are exactly those in [lo, hi), since "0" follows "/".
// No character of the prefix acts as a pattern, and the path index serves the range.
struct SubtreeRange {
    std::string lo, hi;
    explicit SubtreeRange(const std::string& prefix) : lo(prefix + "/"), hi(prefix + "0") {}
};

// Binds each text to the parameters 1..n of st in order (copied). SQLITE_OK or the
// first failure.
int bindTexts(sqlite3_stmt* st, std::initializer_list<std::string> texts);

// sqlite3_open for a database only its owner may read: the file (and the journal
// files sqlite makes beside it, which take its mode) is created 0600 whatever the
// umask, and an existing one loses its group and other bits. The result of
// sqlite3_open.
int openPrivate(const char* path, sqlite3** db);

// The column as text; NULL becomes empty.
ustring columnText(sqlite3_stmt* stmt, int col);

// Owns a string from sqlite3_mprintf.
struct SqlText {
    char* p = nullptr;
    explicit SqlText(char* s) : p(s) {}
    ~SqlText() { sqlite3_free(p); }
    SqlText(const SqlText&) = delete;
    SqlText& operator=(const SqlText&) = delete;
    explicit operator bool() const { return p != nullptr; }
    const char* get() const { return p; }
};

// Owns a prepared statement.
struct Stmt {
    sqlite3_stmt* p = nullptr;
    Stmt() = default;
    ~Stmt() { sqlite3_finalize(p); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
};

// Resets a cached statement when leaving scope, so it holds no read lock.
struct ResetGuard {
    sqlite3_stmt* s;
    explicit ResetGuard(sqlite3_stmt* st) : s(st) {}
    ~ResetGuard() { sqlite3_reset(s); }
    ResetGuard(const ResetGuard&) = delete;
    ResetGuard& operator=(const ResetGuard&) = delete;
};

}  // namespace sqlutil
