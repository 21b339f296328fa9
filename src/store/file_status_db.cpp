#include "store/file_status_db.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "foundation/logger.h"
#include "store/sql_util.h"

using sqlutil::globEscape;
using sqlutil::SqlText;

const char* const grgVarnelParamList[5] = {"@VARNEL:VAR", "@VARNEL:LVAR", "@VARNEL:INT", "@VARNEL:LLINT",
                                           "@VARNEL:NEVAR"};

ustring FileStatusDB::m_fstatDBPath;

ustring FileStatusKey(const ustring& path) {
    std::string key = path.str();
    for (char& c : key) {
        if (c == '/')
            c = '\\';
        else if (c == '\\')
            c = '/';
    }
    return ustring(key);
}

namespace {

const char* const kChannel = "fstat_db_debug";
const int kBusyTimeoutMs = 300000;

const char* const kCreate =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = OFF; CREATE TABLE IF NOT EXISTS fstatinfo (        id   INTEGER "
    "PRIMARY KEY AUTOINCREMENT, \t\tpath text unique NOT NULL,  \t\tfileType integer NOT NULL,  \t\tsyncStatus "
    "integer NOT NULL  ); ";
const char* const kIndex = "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";
// Local paths on this platform differ by case, so LIKE must too.
const char* const kPerOpen = "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF; PRAGMA case_sensitive_like = ON;";

int placeholderAt(const char* p) {
    // Longest names first where one is a prefix of another is not needed: no name
    // is a prefix of another after "@VARNEL:".
    for (int i = 0; i < 5; ++i) {
        size_t n = std::strlen(grgVarnelParamList[i]);
        if (std::strncmp(p, grgVarnelParamList[i], n) == 0) return i;
    }
    return SPID_INVALID;
}

void appendQuoted(std::string& out, const char* s, bool like) {
    for (const char* c = s ? s : ""; *c; ++c) {
        if (*c == '\'') {
            out += "''";
            continue;
        }
        if (like && (*c == '%' || *c == '_' || *c == '\\')) out += '\\';
        out += *c;
    }
}

// Opens the shared file for one operation; null after logging on failure.
sqlite3* openForOp(const char* open_fmt_is_rm) {
    const ustring& path = FileStatusDB::getPath();
    sqlite3* db = nullptr;
    int rc = path.empty() ? SQLITE_MISUSE : sqlite3_open(path.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        if (open_fmt_is_rm)
            NLOG(L_ERR, kChannel,
                 "[ERROR] file-status-db.cpp(%d): Open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
                 path.c_str_utf8(), rc, db ? sqlite3_errmsg(db) : "not initialized");
        else
            NLOG(L_ERR, kChannel,
                 "[ERROR] file-status-db.cpp(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
                 path.c_str_utf8(), rc, db ? sqlite3_errmsg(db) : "not initialized");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    char* err = nullptr;
    rc = sqlite3_exec(db, kPerOpen, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
             err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

int execOp(const char* sql, bool rm_open_text = false) {
    sqlite3* db = openForOp(rm_open_text ? "rm" : nullptr);
    if (!db) return -1;
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK)
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
             err ? err : sqlite3_errmsg(db));
    sqlite3_free(err);
    sqlite3_close(db);
    return rc == SQLITE_OK ? 0 : -1;
}

// Runs a query through sqlite3_get_table; rows are handed to `fn(row_values)`.
template <typename Fn>
int tableOp(const char* sql, Fn fn) {
    sqlite3* db = openForOp(nullptr);
    if (!db) return -1;
    char** result = nullptr;
    int rows = 0, cols = 0;
    char* err = nullptr;
    int rc = sqlite3_get_table(db, sql, &result, &rows, &cols, &err);
    if (rc != SQLITE_OK) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n",
             sql, rc, err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        sqlite3_close(db);
        return -1;
    }
    int out = fn(result, rows, cols);
    sqlite3_free_table(result);
    sqlite3_close(db);
    return out;
}

int fillInfo(char** result, int row, int cols, FileStatusInfo& info) {
    if (cols != 4) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): mismatched db output index. row-idx:[%d] col-idx:[%d]\n",
             row, cols);
        return -1;
    }
    char** r = result + (row + 1) * cols;  // row 0 of the table holds the column names
    info.path = r[FSTAT_DB_PATH] ? r[FSTAT_DB_PATH] : "";
    info.fileType = r[FSTAT_DB_FILETYPE] ? atoi(r[FSTAT_DB_FILETYPE]) : 0;
    info.syncStatus = r[FSTAT_DB_SYNCSTATUS] ? atoi(r[FSTAT_DB_SYNCSTATUS]) : 0;
    return 0;
}

}  // namespace

char* SQLITEEscapeStringEX3(const char* format, va_list args) {
    if (!format) return nullptr;
    std::string out;
    out.reserve(4096);
    bool in_literal = false;
    bool literal_has_like = false;
    for (const char* p = format; *p;) {
        if (*p == '\'') {
            out += *p++;
            if (in_literal && *p == '\'') {  // a doubled quote stays inside the literal
                out += *p++;
                continue;
            }
            if (in_literal && literal_has_like) out += " escape '\\'";
            in_literal = !in_literal;
            literal_has_like = false;
            continue;
        }
        if (*p == '@') {
            int id = placeholderAt(p);
            if (id != SPID_INVALID) {
                switch (id) {
                case SPID_VAR:
                    appendQuoted(out, va_arg(args, const char*), false);
                    break;
                case SPID_LVAR:
                    appendQuoted(out, va_arg(args, const char*), true);
                    if (in_literal) literal_has_like = true;
                    break;
                case SPID_INT:
                    out += std::to_string(va_arg(args, int32_t));
                    break;
                case SPID_LLINT:
                    out += std::to_string(va_arg(args, int64_t));
                    break;
                case SPID_NEVAR: {
                    const char* s = va_arg(args, const char*);
                    if (!s) {
                        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): Bad parameters.");
                        return nullptr;
                    }
                    out += s;
                    break;
                }
                }
                p += std::strlen(grgVarnelParamList[id]);
                continue;
            }
            if (std::strncmp(p, "@VARNEL:", 8) == 0) {
                NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): Bad parameters.");
                return nullptr;
            }
        }
        out += *p++;
    }
    char* res = static_cast<char*>(std::malloc(out.size() + 1));
    if (!res) return nullptr;
    std::memcpy(res, out.c_str(), out.size() + 1);
    return res;
}

char* VARNELDBEscapeStringEX3(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* r = SQLITEEscapeStringEX3(format, args);
    va_end(args);
    return r;
}

namespace {
struct Malloced {
    char* p;
    explicit Malloced(char* s) : p(s) {}
    ~Malloced() { std::free(p); }
    Malloced(const Malloced&) = delete;
    Malloced& operator=(const Malloced&) = delete;
};
}  // namespace

int FileStatusDB::initialize(const ustring& path) {
    if (path.empty()) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): fstat-db path is empty.\n");
        return -1;
    }
    m_fstatDBPath = path;
    sqlite3* db = nullptr;
    int rc = sqlite3_open(path.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): open db failed. db-path:[%s] errmsg:[%s]\n",
             path.c_str_utf8(), db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    for (const char* cmd : {kCreate, kIndex}) {
        char* err = nullptr;
        rc = sqlite3_exec(db, cmd, nullptr, nullptr, &err);
        if (rc != SQLITE_OK) {
            NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_exec error. cmd:(%s)  error:(%s)\n", cmd,
                 err ? err : sqlite3_errmsg(db));
            sqlite3_free(err);
            sqlite3_close(db);
            return -1;
        }
    }
    sqlite3_close(db);
    return 0;
}

void FileStatusDB::destroy() { m_fstatDBPath.clear(); }

int FileStatusDB::removeAllEntry() {
    sqlite3* db = nullptr;
    int rc = m_fstatDBPath.empty() ? SQLITE_MISUSE : sqlite3_open(m_fstatDBPath.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): FileStatusDB: failed to open database (%s)\n",
             m_fstatDBPath.c_str_utf8());
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_exec(db, kPerOpen, nullptr, nullptr, nullptr);
    rc = sqlite3_exec(db, "DELETE FROM fstatinfo;ANALYZE;VACUUM;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): FileStatusDB: sqlite3_exec: %s  (%d)\n",
             sqlite3_errmsg(db), rc);
    sqlite3_close(db);
    return rc == SQLITE_OK ? 0 : -1;
}

int FileStatusDB::updateAllSyncingEntry() {
    return execOp("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2");
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
    SqlText sql(sqlite3_mprintf("insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', %d, %d);",
                                info.path.c_str_utf8(), info.fileType, info.syncStatus));
    if (!sql) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. filename:(%s)\n",
             info.path.c_str_utf8());
        return -1;
    }
    return execOp(sql.get());
}

int FileStatusDB::rmFileStatByPath(const ustring& path) {
    SqlText sql(sqlite3_mprintf("delete from fstatinfo where path = %Q;", path.c_str_utf8()));
    if (!sql) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. path:[%s]\n", path.c_str_utf8());
        return -1;
    }
    return execOp(sql.get(), true);
}

int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
    // Only "\\" separates in a key: "/" stands for a "\\" inside a name (FileStatusKey),
    // so "<key>/..." is a sibling whose name merely starts alike, never a child.
    std::string glob = globEscape(info.path);
    SqlText sql(sqlite3_mprintf("delete from fstatinfo where (path = %Q OR path GLOB '%q\\*');",
                                info.path.c_str_utf8(), glob.c_str()));
    if (!sql) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error. path:[%s]\n",
             info.path.c_str_utf8());
        return -1;
    }
    return execOp(sql.get());
}

int FileStatusDB::getFileSyncStat(const ustring& path, FileStatusInfo* info) {
    if (path.empty()) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): filepath is empty.\n");
        return -1;
    }
    if (!info) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): FileStatusInfo  is NULL.\n");
        return -1;
    }
    Malloced sql(VARNELDBEscapeStringEX3("select * from fstatinfo where path like '@VARNEL:LVAR'", path.c_str_utf8()));
    if (!sql.p) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error.\n");
        return -1;
    }
    return tableOp(sql.p, [&](char** result, int rows, int cols) {
        if (rows == 0) return 0;
        return fillInfo(result, 0, cols, *info) == 0 ? 1 : -1;
    });
}

std::unique_ptr<FileStatusInfo[]> FileStatusDB::getFileSyncStats(const ustring& dir, int start, int limit, int& count) {
    count = 0;
    if (dir.empty()) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): dirpath is empty.\n");
        return nullptr;
    }
    Malloced sql(VARNELDBEscapeStringEX3(
        "select * from fstatinfo where path like '@VARNEL:LVAR/%%' and path not like '@VARNEL:LVAR/%%/%%' limit "
        "@VARNEL:INT, @VARNEL:INT ",
        dir.c_str_utf8(), dir.c_str_utf8(), static_cast<int32_t>(start), static_cast<int32_t>(limit)));
    if (!sql.p) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): sqlite3_mprintf error.\n");
        return nullptr;
    }
    std::unique_ptr<FileStatusInfo[]> out;
    int rc = tableOp(sql.p, [&](char** result, int rows, int cols) {
        if (rows == 0) return 0;
        out.reset(new (std::nothrow) FileStatusInfo[rows]);
        if (!out) {
            NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): Don't have enough to show file status");
            return -1;
        }
        for (int i = 0; i < rows; ++i) {
            if (fillInfo(result, i, cols, out[i]) != 0) return -1;
        }
        count = rows;
        return 0;
    });
    if (rc != 0) {
        count = 0;
        return nullptr;
    }
    return out;
}

bool FileStatusDB::isAnyFileSyncing() {
    SqlText sql(sqlite3_mprintf("select * from fstatinfo where syncStatus=%d limit 2", FSTAT_SYNCING));
    if (!sql) return false;
    return tableOp(sql.get(), [](char**, int rows, int) { return rows; }) > 0;
}

bool FileStatusDB::isAnySubFileDirSyncing(const ustring& prefix) {
    if (prefix.empty()) {
        NLOG(L_ERR, kChannel, "[ERROR] file-status-db.cpp(%d): prefix dirpath is empty.\n");
        return false;
    }
    ustring withSep = prefix + "\\";
    Malloced sql(VARNELDBEscapeStringEX3(
        "select * from fstatinfo where path like '@VARNEL:LVAR%' and syncStatus=@VARNEL:INT limit 2",
        withSep.c_str_utf8(), static_cast<int32_t>(FSTAT_SYNCING)));
    if (!sql.p) return false;
    return tableOp(sql.p, [](char**, int rows, int) { return rows; }) > 0;
}
