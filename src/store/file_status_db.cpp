#include "store/file_status_db.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "foundation/logger.h"
#include "foundation/mutex.h"
#include "store/sql_util.h"

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

// The one handle of the process and the queue of marks waiting for the writer.
// Lock order: db_mu, then queue_mu. queue_mu is held only to add to or take the queue,
// never across database work, so queuing never waits for a write.
struct Op {
    bool remove = false;
    ustring path;
    int32_t fileType = SFT_FILE;
    int32_t syncStatus = FSTAT_UNKNOWN;
};

struct Store {
    Mutex db_mu;
    sqlite3* db GUARDED_BY(db_mu) = nullptr;
    sqlite3_stmt* set_stmt GUARDED_BY(db_mu) = nullptr;
    sqlite3_stmt* rm_stmt GUARDED_BY(db_mu) = nullptr;

    Mutex queue_mu;
    CondVar queue_cv;
    std::vector<Op> queue GUARDED_BY(queue_mu);
    bool accepting GUARDED_BY(queue_mu) = false;  // open, and the writer runs
    bool stopping GUARDED_BY(queue_mu) = false;
    std::thread writer;  // started and joined by initialize/destroy, which the daemon serialises
};

Store& store() {
    static Store* s = new Store;  // never destroyed: the writer may outlive static destruction order
    return *s;
}

// A batch this large is written at once rather than after the usual short wait.
constexpr size_t kEagerBatch = 8192;
constexpr std::chrono::milliseconds kBatchWait{50};

void closeHandle(Store& st) REQUIRES(st.db_mu) {
    sqlite3_finalize(st.set_stmt);
    sqlite3_finalize(st.rm_stmt);
    sqlite3_close(st.db);
    st.set_stmt = st.rm_stmt = nullptr;
    st.db = nullptr;
}

// Writes ops in one transaction; a failure is logged.
DbResult writeOps(Store& st, const std::vector<Op>& ops) REQUIRES(st.db_mu) {
    if (ops.empty()) return DbResult::kOk;
    if (!st.db) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
                FileStatusDB::getPath().c_str_utf8(), SQLITE_MISUSE, "not initialized");
        return DbResult::kFailed;
    }
    char* err = nullptr;
    int rc = sqlite3_exec(st.db, "BEGIN IMMEDIATE", nullptr, nullptr, &err);
    for (size_t i = 0; rc == SQLITE_OK && i < ops.size(); ++i) {
        const Op& op = ops[i];
        sqlite3_stmt* stmt = op.remove ? st.rm_stmt : st.set_stmt;
        sqlite3_bind_text(stmt, 1, op.path.c_str_utf8(), -1, SQLITE_TRANSIENT);
        if (!op.remove) {
            sqlite3_bind_int(stmt, 2, op.fileType);
            sqlite3_bind_int(stmt, 3, op.syncStatus);
        }
        rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(st.db, "COMMIT", nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
                err ? err : sqlite3_errmsg(st.db));
        sqlite3_free(err);
        if (!sqlite3_get_autocommit(st.db)) sqlite3_exec(st.db, "ROLLBACK", nullptr, nullptr, nullptr);
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

// Takes the queue and writes it; the caller holds db_mu, so batches are written in the
// order they were queued.
DbResult writeQueued(Store& st) REQUIRES(st.db_mu) {
    std::vector<Op> ops;
    {
        MutexLock q(st.queue_mu);
        ops.swap(st.queue);
    }
    return writeOps(st, ops);
}

void writerLoop() {
    Store& st = store();
    for (;;) {
        {
            MutexLock q(st.queue_mu);
            while (st.queue.empty() && !st.stopping) st.queue_cv.Wait(st.queue_mu);
            if (st.queue.empty()) return;  // stopping, and everything is written
            // Let a burst gather into one transaction, but not for long.
            if (!st.stopping && st.queue.size() < kEagerBatch) st.queue_cv.WaitFor(st.queue_mu, kBatchWait);
        }
        MutexLock l(st.db_mu);
        static_cast<void>(writeQueued(st));
    }
}

// Runs fn(db) on the open handle after writing what is queued, so that fn sees every
// mark queued before the call and is ordered after them. Null handle: the open-failure
// text (the removal's own wording when rm_text), R::kFailed.
template <typename R, typename Fn>
R withDb(const char* what, bool rm_text, Fn fn) {
    AssertIoAllowed(what);
    Store& st = store();
    MutexLock l(st.db_mu);
    if (!st.db) {
        const char* fmt =
            rm_text ? "[ERROR] file-status-db.cpp(%d): Open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n"
                    : "[ERROR] file-status-db.cpp(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n";
        NLOG(L_ERR, kChannel, fmt, FileStatusDB::getPath().c_str_utf8(), SQLITE_MISUSE, "not initialized");
        return R::kFailed;
    }
    static_cast<void>(writeQueued(st));  // a failed batch is logged; fn still runs
    return fn(st.db);
}

DbResult execOp(const char* sql, bool rm_open_text = false) {
    return withDb<DbResult>("FileStatusDB", rm_open_text, [&](sqlite3* db) {
        char* err = nullptr;
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
        if (rc != SQLITE_OK)
            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
                    err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return rc == SQLITE_OK ? DbResult::kOk : DbResult::kFailed;
    });
}

// Runs a query through sqlite3_get_table; rows are handed to `fn(row_values)`, whose
// result of type R is the answer.
template <typename R, typename Fn>
R tableOp(const char* sql, Fn fn) {
    return withDb<R>("FileStatusDB", false, [&](sqlite3* db) {
        char** result = nullptr;
        int rows = 0, cols = 0;
        char* err = nullptr;
        int rc = sqlite3_get_table(db, sql, &result, &rows, &cols, &err);
        if (rc != SQLITE_OK) {
            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", sql,
                    rc, err ? err : sqlite3_errmsg(db));
            sqlite3_free(err);
            return R::kFailed;
        }
        const R out = fn(result, rows, cols);
        sqlite3_free_table(result);
        return out;
    });
}

bool fillInfo(char** result, int row, int cols, FileStatusInfo& info) {
    if (cols != 4) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "mismatched db output index. row-idx:[%d] col-idx:[%d]\n", row,
                cols);
        return false;
    }
    char** r = result + (row + 1) * cols;  // row 0 of the table holds the column names
    info.path = r[FSTAT_DB_PATH] ? r[FSTAT_DB_PATH] : "";
    info.fileType = r[FSTAT_DB_FILETYPE] ? atoi(r[FSTAT_DB_FILETYPE]) : 0;
    info.syncStatus = r[FSTAT_DB_SYNCSTATUS] ? atoi(r[FSTAT_DB_SYNCSTATUS]) : 0;
    return true;
}

DbLookup anyRow(char**, int rows, int) { return rows > 0 ? DbLookup::kFound : DbLookup::kAbsent; }

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
                            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "Bad parameters.");
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
                NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "Bad parameters.");
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

DbResult FileStatusDB::initialize(const ustring& path) {
    if (path.empty()) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "fstat-db path is empty.\n");
        return DbResult::kFailed;
    }
    AssertIoAllowed("FileStatusDB::initialize");
    destroy();  // a second initialize replaces the first handle
    Store& st = store();
    MutexLock l(st.db_mu);
    m_fstatDBPath = path;
    int rc = sqlutil::openPrivate(path.c_str_utf8(), &st.db);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "open db failed. db-path:[%s] errmsg:[%s]\n", path.c_str_utf8(),
                st.db ? sqlite3_errmsg(st.db) : "out of memory");
        closeHandle(st);
        return DbResult::kFailed;
    }
    sqlite3_busy_timeout(st.db, kBusyTimeoutMs);
    for (const char* cmd : {kCreate, kIndex, kPerOpen}) {
        char* err = nullptr;
        rc = sqlite3_exec(st.db, cmd, nullptr, nullptr, &err);
        if (rc != SQLITE_OK) {
            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_exec error. cmd:(%s)  error:(%s)\n", cmd,
                    err ? err : sqlite3_errmsg(st.db));
            sqlite3_free(err);
            closeHandle(st);
            return DbResult::kFailed;
        }
    }
    rc = sqlite3_prepare_v2(
        st.db, "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, ?1, ?2, ?3);", -1,
        &st.set_stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(st.db, "delete from fstatinfo where path = ?1;", -1, &st.rm_stmt, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
                sqlite3_errmsg(st.db));
        closeHandle(st);
        return DbResult::kFailed;
    }
    MutexLock q(st.queue_mu);
    st.stopping = false;
    st.accepting = true;
    st.writer = std::thread(writerLoop);
    return DbResult::kOk;
}

void FileStatusDB::destroy() {
    AssertIoAllowed("FileStatusDB::destroy");
    Store& st = store();
    {
        MutexLock q(st.queue_mu);
        st.accepting = false;
        st.stopping = true;
        st.queue_cv.Broadcast();
    }
    if (st.writer.joinable()) st.writer.join();
    MutexLock l(st.db_mu);
    if (st.db) static_cast<void>(writeQueued(st));
    closeHandle(st);
    m_fstatDBPath.clear();
}

DbResult FileStatusDB::queueSyncStat(const FileStatusInfo& info) {
    Store& st = store();
    MutexLock q(st.queue_mu);
    if (!st.accepting) return DbResult::kFailed;
    st.queue.push_back(Op{false, info.path, info.fileType, info.syncStatus});
    if (st.queue.size() == 1 || st.queue.size() == kEagerBatch) st.queue_cv.Signal();
    return DbResult::kOk;
}

DbResult FileStatusDB::queueRmByPath(const ustring& path) {
    Store& st = store();
    MutexLock q(st.queue_mu);
    if (!st.accepting) return DbResult::kFailed;
    st.queue.push_back(Op{true, path});
    if (st.queue.size() == 1 || st.queue.size() == kEagerBatch) st.queue_cv.Signal();
    return DbResult::kOk;
}

DbResult FileStatusDB::flush() {
    AssertIoAllowed("FileStatusDB::flush");
    Store& st = store();
    MutexLock l(st.db_mu);
    if (!st.db) return DbResult::kFailed;
    return writeQueued(st);
}

DbResult FileStatusDB::removeAllEntry() {
    AssertIoAllowed("FileStatusDB::removeAllEntry");
    Store& st = store();
    MutexLock l(st.db_mu);
    if (!st.db) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "FileStatusDB: failed to open database (%s)\n",
                m_fstatDBPath.c_str_utf8());
        return DbResult::kFailed;
    }
    static_cast<void>(writeQueued(st));
    int rc = sqlite3_exec(st.db, "DELETE FROM fstatinfo;ANALYZE;VACUUM;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "FileStatusDB: sqlite3_exec: %s  (%d)\n", sqlite3_errmsg(st.db),
                rc);
    return rc == SQLITE_OK ? DbResult::kOk : DbResult::kFailed;
}

DbResult FileStatusDB::updateAllSyncingEntry() {
    return execOp("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2");
}

DbResult FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
    SqlText sql(sqlite3_mprintf(
        "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  values(NULL, '%q', %d, %d);",
        info.path.c_str_utf8(), info.fileType, info.syncStatus));
    if (!sql) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_mprintf error. filename:(%s)\n",
                info.path.c_str_utf8());
        return DbResult::kFailed;
    }
    return execOp(sql.get());
}

DbResult FileStatusDB::rmFileStatByPath(const ustring& path) {
    SqlText sql(sqlite3_mprintf("delete from fstatinfo where path = %Q;", path.c_str_utf8()));
    if (!sql) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_mprintf error. path:[%s]\n", path.c_str_utf8());
        return DbResult::kFailed;
    }
    return execOp(sql.get(), true);
}

DbResult FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
    // Only "\\" separates in a key: "/" stands for a "\\" inside a name (FileStatusKey),
    // so "<key>/..." is a sibling whose name merely starts alike, never a child. The keys
    // below the path are exactly those in ["<key>\\", "<key>]"): "]" follows "\\" in byte
    // order. Bound as values, no character of the path is a pattern.
    const std::string key = info.path.str();
    const std::string lo = key + "\\";
    const std::string hi = key + "]";
    return withDb<DbResult>("FileStatusDB::rmFileSyncStat", false, [&](sqlite3* db) {
        sqlutil::Stmt stmt;
        int rc = sqlite3_prepare_v2(db, "delete from fstatinfo where path = ?1 OR (path >= ?2 AND path < ?3);", -1,
                                    &stmt.p, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(stmt.p, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            sqlite3_bind_text(stmt.p, 2, lo.data(), static_cast<int>(lo.size()), SQLITE_STATIC);
            sqlite3_bind_text(stmt.p, 3, hi.data(), static_cast<int>(hi.size()), SQLITE_STATIC);
            rc = sqlite3_step(stmt.p);
        }
        if (rc != SQLITE_DONE) {
            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
                    sqlite3_errmsg(db));
            return DbResult::kFailed;
        }
        return DbResult::kOk;
    });
}

DbLookup FileStatusDB::getFileSyncStat(const ustring& path, FileStatusInfo* info) {
    if (path.empty()) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "filepath is empty.\n");
        return DbLookup::kFailed;
    }
    if (!info) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "FileStatusInfo  is NULL.\n");
        return DbLookup::kFailed;
    }
    Malloced sql(VARNELDBEscapeStringEX3("select * from fstatinfo where path like '@VARNEL:LVAR'", path.c_str_utf8()));
    if (!sql.p) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_mprintf error.\n");
        return DbLookup::kFailed;
    }
    return tableOp<DbLookup>(sql.p, [&](char** result, int rows, int cols) {
        if (rows == 0) return DbLookup::kAbsent;
        return fillInfo(result, 0, cols, *info) ? DbLookup::kFound : DbLookup::kFailed;
    });
}

std::unique_ptr<FileStatusInfo[]> FileStatusDB::getFileSyncStats(const ustring& dir, int start, int limit, int& count) {
    count = 0;
    if (dir.empty()) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "dirpath is empty.\n");
        return nullptr;
    }
    Malloced sql(VARNELDBEscapeStringEX3(
        "select * from fstatinfo where path like '@VARNEL:LVAR/%%' and path not like '@VARNEL:LVAR/%%/%%' limit "
        "@VARNEL:INT, @VARNEL:INT ",
        dir.c_str_utf8(), dir.c_str_utf8(), static_cast<int32_t>(start), static_cast<int32_t>(limit)));
    if (!sql.p) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "sqlite3_mprintf error.\n");
        return nullptr;
    }
    std::unique_ptr<FileStatusInfo[]> out;
    const DbResult rc = tableOp<DbResult>(sql.p, [&](char** result, int rows, int cols) {
        if (rows == 0) return DbResult::kOk;
        out.reset(new (std::nothrow) FileStatusInfo[rows]);
        if (!out) {
            NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "Don't have enough to show file status");
            return DbResult::kFailed;
        }
        for (int i = 0; i < rows; ++i) {
            if (!fillInfo(result, i, cols, out[i])) return DbResult::kFailed;
        }
        count = rows;
        return DbResult::kOk;
    });
    if (rc != DbResult::kOk) {
        count = 0;
        return nullptr;
    }
    return out;
}

bool FileStatusDB::isAnyFileSyncing() {
    SqlText sql(sqlite3_mprintf("select * from fstatinfo where syncStatus=%d limit 2", FSTAT_SYNCING));
    if (!sql) return false;
    return tableOp<DbLookup>(sql.get(), anyRow) == DbLookup::kFound;
}

bool FileStatusDB::isAnySubFileDirSyncing(const ustring& prefix) {
    if (prefix.empty()) {
        NLOG_AT(L_ERR, kChannel, "file-status-db.cpp", "prefix dirpath is empty.\n");
        return false;
    }
    ustring withSep = prefix + "\\";
    Malloced sql(VARNELDBEscapeStringEX3(
        "select * from fstatinfo where path like '@VARNEL:LVAR%' and syncStatus=@VARNEL:INT limit 2",
        withSep.c_str_utf8(), static_cast<int32_t>(FSTAT_SYNCING)));
    if (!sql.p) return false;
    return tableOp<DbLookup>(sql.p, anyRow) == DbLookup::kFound;
}
