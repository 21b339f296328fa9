// Small helpers shared by the local databases.
#pragma once

#include <sqlite3.h>

#include <string>

#include "foundation/ustring.h"

namespace sqlutil {

// A GLOB pattern that matches `text` literally: "*", "?" and "[" are put in brackets.
std::string globEscape(const char* text);
inline std::string globEscape(const ustring& text) { return globEscape(text.c_str_utf8()); }

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
