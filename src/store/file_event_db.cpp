#include "store/file_event_db.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "platform/make_dirs.h"
#include "store/sql_util.h"

using sqlutil::bindTexts;
using sqlutil::columnText;
using sqlutil::SqlText;
using sqlutil::Stmt;
using sqlutil::SubtreeRange;

namespace {

const char* const kChannel = "event_db_debug";

const char* const kSchema =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;"
    "BEGIN TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS eventinfo ("
    "id integer primary key, "
    "fileType integer NOT NULL, "
    "isExist integer NOT NULL, "
    "syncID NUMERIC NOT NULL, "
    "maxSyncID NUMERIC NOT NULL, "
    "pDirID NUMERIC default NULL, "
    "fileSize NUMERIC NOT NULL, "
    "fileModTime NUMERIC NOT NULL, "
    "fileCheckSum text NOT NULL, "
    "baseName text NOT NULL, "
    "path text unique NOT NULL, "
    "filePrivilege text default NULL, "
    "updateClient text NOT NULL, "
    "signPath text default NULL, "
    "macHash text default NULL, "
    "windowsHash text default NULL, "
    "linuxHash text default NULL, "
    "varnelHash text default NULL, "
    "inode INTEGER, "
    "execBit INTEGER DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL);"
    "INSERT INTO config_table (key, value) VALUES ('sync_id', '0');"
    "INSERT INTO config_table (key, value) VALUES ('version', 7);"
    "CREATE TABLE IF NOT EXISTS recycle_bin_table ("
    "id integer primary key, "
    "path text unique NOT NULL, "
    "fileSize NUMERIC NOT NULL, "
    "fileCheckSum text NOT NULL, "
    "macHash text default NULL, "
    "time NUMERIC NOT NULL);"
    "CREATE INDEX IF NOT EXISTS eventinfo_fileCheckSum_idx ON eventinfo(fileCheckSum);"
    // No query looks rows up by these (path has its unique index): each cost a b-tree
    // write per row and per ancestor on every commit. Databases from before lose them.
    "DROP INDEX IF EXISTS eventinfo_syncID_idx;"
    "DROP INDEX IF EXISTS eventinfo_maxSyncID_idx;"
    "DROP INDEX IF EXISTS eventinfo_baseName_idx;"
    "DROP INDEX IF EXISTS eventinfo_path_idx;"
    "DROP INDEX IF EXISTS eventinfo_updateClient_idx;"
    "DROP INDEX IF EXISTS eventinfo_macHash_idx;"
    "DROP INDEX IF EXISTS eventinfo_isExist_idx;"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_fileCheckSum_idx ON recycle_bin_table(fileCheckSum);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_macHash_idx ON recycle_bin_table(macHash);"
    "CREATE INDEX IF NOT EXISTS recycle_bin_table_time_idx ON recycle_bin_table(time);"
    "CREATE TRIGGER IF NOT EXISTS eventinfo_delete_trigger AFTER DELETE ON eventinfo "
    "BEGIN UPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id); END;"
    "COMMIT;";

// Session-relative paths carry a leading "/"; the path column does not.
ustring stripSlash(const ustring& path) {
    uint32_t i = 0;
    while (i < path.length() && path[i] == '/') ++i;
    return path.substr(i);
}

// Leaves an aborted multi-statement change rolled back instead of open.
void rollbackIfOpen(sqlite3* db) {
    if (db && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
}

// Logs a failed sqlite3_mprintf; returns kFailed.
DbResult mprintfFailed() {
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "FileEventDB: Failed to sqlite3_mprintf.\n");
    return DbResult::kFailed;
}

// Prepares `sql` into `st`; false with the failure logged.
bool prepare(sqlite3* db, const char* sql, Stmt& st) {
    int rc = sqlite3_prepare_v2(db, sql, -1, &st.p, nullptr);
    if (rc == SQLITE_OK) return true;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "sqlite3_prepare_v2: [%d] %s\n", rc, sqlite3_errmsg(db));
    return false;
}

// Logs a failed sqlite3_step; returns the failure of R.
template <class R = DbResult>
R stepFailed(sqlite3* db, int rc) {
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "sqlite3_step: [%d] %s\n", rc, sqlite3_errmsg(db));
    return R::kFailed;
}

// Runs one statement with its text parameters bound in order; a failure is logged as `what`.
DbResult runBound(sqlite3* db, const char* sql, std::initializer_list<std::string> params, const char* what) {
    if (!db) return DbResult::kFailed;
    Stmt st;
    if (!prepare(db, sql, st)) return DbResult::kFailed;
    int rc = bindTexts(st.p, params);
    if (rc == SQLITE_OK) rc = sqlite3_step(st.p);
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "%s: %s (%d)\n", what, sqlite3_errmsg(db), rc);
    return DbResult::kFailed;
}

// Renames within one file system, and copies across file systems.
bool moveFile(const char* from, const char* to) {
    if (rename(from, to) == 0) return true;
    if (errno != EXDEV) return false;
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string tmp = std::string(to) + ".part";
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    char buf[65536];
    ssize_t n;
    int rc = 0;
    while ((n = read(in, buf, sizeof buf)) > 0) {
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(out, buf + off, static_cast<size_t>(n - off));
            if (w < 0) {
                if (errno == EINTR) continue;
                rc = -1;
                break;
            }
            off += w;
        }
        if (rc) break;
    }
    if (n < 0) rc = -1;
    if (fsync(out) != 0) rc = -1;
    if (close(out) != 0) rc = -1;
    close(in);
    if (rc == 0 && rename(tmp.c_str(), to) == 0) {
        unlink(from);
        return true;
    }
    unlink(tmp.c_str());
    return false;
}

void removeSignatureFn(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* db = static_cast<FileEventDB*>(sqlite3_user_data(ctx));
    if (argc == 1 && db) {
        uint64_t id = static_cast<uint64_t>(sqlite3_value_int64(argv[0]));
        if (id != 0) {
            ustring p = db->getSignaturePath(id);
            unlink(p.c_str_utf8());  // a missing file is fine
        }
    }
    sqlite3_result_int(ctx, 0);
}

}  // namespace

FileEventDB::FileEventDB() = default;

FileEventDB::~FileEventDB() { destroy(); }

ustring FileEventDB::SignatureName(uint64_t id) {
    if (id == 0) return ustring();
    unsigned bytes[8];
    int n = 0;
    for (uint64_t v = id; v != 0; v >>= 8) bytes[n++] = static_cast<unsigned>(v & 0xff);
    std::string out;
    char hex[4];
    for (int i = n - 1; i >= 0; --i) {
        snprintf(hex, sizeof hex, "%02x", bytes[i]);
        if (i == 0) out += '.';
        out += hex;
        if (i != 0) out += '/';
    }
    return ustring(out);
}

ustring FileEventDB::getSignaturePath(uint64_t id) const { return m_signPath + "/" + SignatureName(id); }

DbResult FileEventDB::initialize(const ustring& location) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (m_db) {
        NLOG_AT(L_INFO, kChannel, "event-db.cpp", "FileEventDB has been initialized (no-op)\n");
        return DbResult::kOk;
    }
    sqlite3* db = nullptr;
    int rc = sqlutil::openPrivate(location.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "FileEventDB: Failed to open database at '%s'. [%d] %s\n",
                location.c_str_utf8(), rc, db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return DbResult::kFailed;
    }
    // A task may still hold the session's previous handle (a session removed and added
    // again): wait for its transaction instead of failing with "database is locked".
    sqlite3_busy_timeout(db, 300000);
    uint32_t slash = location.rfind('/');
    m_signPath = (slash == ustring::npos ? ustring(".") : location.substr(0, slash)) + "/sign";

    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "FileEventDB: Failed to initialize database at '%s'. [%d] %s\n",
                location.c_str_utf8(), rc, sqlite3_errmsg(db));
        rollbackIfOpen(db);
        sqlite3_close(db);
        m_signPath.clear();
        return DbResult::kFailed;
    }
    rc = sqlite3_create_function(db, "remove_signature", 1, SQLITE_UTF8, this, removeSignatureFn, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "FileEventDB: Failed to create function. %s (%d)\n",
                sqlite3_errmsg(db), rc);
        sqlite3_close(db);
        m_signPath.clear();
        return DbResult::kFailed;
    }
    rc = sqlite3_exec(db, "PRAGMA recursive_triggers = true;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "FileEventDB: Failed to enable recursive triggers. %s (%d)\n",
                sqlite3_errmsg(db), rc);
        sqlite3_close(db);
        m_signPath.clear();
        return DbResult::kFailed;
    }
    m_db = db;
    if (migrateRecoveryLocked() != DbResult::kOk) {
        sqlite3_close(m_db);
        m_db = nullptr;
        m_signPath.clear();
        return DbResult::kFailed;
    }
    m_eventDBPath = location;
    NLOG_AT(L_INFO, kChannel, "event-db.cpp", "FileEventDB has been initialized with location '%s'\n",
            location.c_str_utf8());
    NLOG_AT(L_INFO, kChannel, "event-db.cpp", "FileEventDB::m_signPath has been initialized with location '%s'\n",
            m_signPath.c_str_utf8());
    return DbResult::kOk;
}

void FileEventDB::destroy() {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) {
        NLOG_AT(L_INFO, kChannel, "event-db.cpp", "FileEventDB has been deinitialzed (no-op)\n");
        return;
    }
    finalizeCached();
    sqlite3_close(m_db);
    m_db = nullptr;
    m_eventDBPath.clear();
    m_signPath.clear();
    NLOG_AT(L_INFO, kChannel, "event-db.cpp", "FileEventDB has been deinitialzed\n");
}

sqlite3_stmt* FileEventDB::cached(const char* sql) {
    if (!m_db) return nullptr;
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "sqlite3_prepare_v2: [%d] %s\n", rc, sqlite3_errmsg(m_db));
        sqlite3_finalize(st);
        return nullptr;
    }
    m_stmts.emplace(sql, st);
    return st;
}

void FileEventDB::finalizeCached() {
    for (auto& entry : m_stmts) sqlite3_finalize(entry.second);
    m_stmts.clear();
}

DbResult FileEventDB::stepDone(sqlite3_stmt* st, const char* what) {
    if (!st) return DbResult::kFailed;
    sqlutil::ResetGuard reset(st);
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "%s: %s (%d)\n", what, sqlite3_errmsg(m_db), rc);
    return DbResult::kFailed;
}

// Runs one (possibly multi-statement) text; a failure rolls back an open transaction.
DbResult FileEventDB::execLocked(const char* sql, const char* what) {
    if (!m_db) return DbResult::kFailed;
    char* err = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "%s: %s (%d)\n", what, err ? err : sqlite3_errmsg(m_db), rc);
        sqlite3_free(err);
        rollbackIfOpen(m_db);
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

DbLookup FileEventDB::getEventInfo(const ustring& path, ClientFileEventInfo& info) {
    if (path.empty()) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "The strpath is empty.\n");
        return DbLookup::kFailed;
    }
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbLookup::kFailed;
    ustring stripped = stripSlash(path);
    // Same query as "select * from eventinfo where path='%q'", with the path bound.
    sqlite3_stmt* stp = cached(
        "select id, fileType, isExist, syncID, maxSyncID, pDirID, fileSize, fileModTime, fileCheckSum, baseName, "
        "path, filePrivilege, updateClient, signPath, macHash, windowsHash, linuxHash, varnelHash, inode, execBit, "
        "stampMtimeNs, stampCtimeNs, stampInode from eventinfo where path=?");
    if (!stp) return DbLookup::kFailed;
    sqlutil::ResetGuard reset(stp);
    sqlite3_bind_text(stp, 1, stripped.c_str_utf8(), static_cast<int>(stripped.length()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(stp);
    if (rc == SQLITE_DONE) {
        NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "No record for event-path: [%s]\n", path.c_str_utf8());
        return DbLookup::kAbsent;
    }
    if (rc != SQLITE_ROW) return stepFailed<DbLookup>(m_db, rc);
    uint64_t id = static_cast<uint64_t>(sqlite3_column_int64(stp, 0));
    info.fileType = sqlite3_column_int(stp, 1);
    info.isExist = sqlite3_column_int(stp, 2);
    info.syncID = static_cast<uint64_t>(sqlite3_column_int64(stp, 3));
    info.maxSyncID = static_cast<uint64_t>(sqlite3_column_int64(stp, 4));
    info.pDirID = static_cast<uint64_t>(sqlite3_column_int64(stp, 5));
    info.fileSize = static_cast<uint64_t>(sqlite3_column_int64(stp, 6));
    info.fileModTime = static_cast<uint32_t>(sqlite3_column_int64(stp, 7));
    info.fileCheckSum = columnText(stp, 8);
    info.baseName = columnText(stp, 9);
    info.path = ustring("/") + columnText(stp, 10);
    info.filePrivilege = columnText(stp, 11);
    info.updateClient = columnText(stp, 12);
    info.macHash = columnText(stp, 14);
    info.windowsHash = columnText(stp, 15);
    info.linuxHash = columnText(stp, 16);
    info.varnelHash = columnText(stp, 17);
    info.execBit = static_cast<uint32_t>(sqlite3_column_int64(stp, 19));
    info.stamp = LocalStamp{sqlite3_column_int64(stp, 20), sqlite3_column_int64(stp, 21),
                            static_cast<uint64_t>(sqlite3_column_int64(stp, 22))};
    info.signaturePath = info.fileType == 1 ? ustring() : getSignaturePath(id);
    NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "file type = [%d], signaturePath = [%s]", info.fileType,
            info.signaturePath.c_str_utf8());
    return DbLookup::kFound;
}

DbLookup FileEventDB::containsLocked(const ustring& stripped, EventInfo& info) {
    if (!m_db) return DbLookup::kFailed;
    sqlite3_stmt* stp = cached("SELECT id, syncID FROM eventinfo WHERE path = ?;");
    if (!stp) return DbLookup::kFailed;
    sqlutil::ResetGuard reset(stp);
    int rc;
    sqlite3_bind_text(stp, 1, stripped.c_str_utf8(), static_cast<int>(stripped.length()), SQLITE_TRANSIENT);
    rc = sqlite3_step(stp);
    if (rc == SQLITE_DONE) return DbLookup::kAbsent;
    if (rc != SQLITE_ROW) return stepFailed<DbLookup>(m_db, rc);
    info.row_id = static_cast<uint64_t>(sqlite3_column_int64(stp, 0));
    info.sync_id = static_cast<uint64_t>(sqlite3_column_int64(stp, 1));
    return DbLookup::kFound;
}

DbLookup FileEventDB::contains(const ustring& path, EventInfo& info) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    return containsLocked(stripSlash(path), info);
}

DbResult FileEventDB::updateAncestorsLocked(const ustring& stripped, uint64_t syncID, uint32_t mtime) {
    uint32_t end = stripped.rfind('/');
    while (end != ustring::npos && end > 0) {
        ustring parent = stripped.substr(0, end);
        NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "updating '%s' max sync_id to (%" PRIu64 ")\n", parent.c_str_utf8(),
                syncID);
        EventInfo ei;
        const DbLookup found = containsLocked(parent, ei);
        if (found == DbLookup::kFailed) return DbResult::kFailed;
        sqlite3_stmt* st =
            found == DbLookup::kFound
                ? cached("UPDATE eventinfo SET maxSyncID = ?1 WHERE path = ?2 AND maxSyncID < ?1;")
                : cached(
                      "INSERT INTO eventinfo (fileType, isExist, syncID, maxSyncID, pDirID, fileSize, "
                      "fileModTime, fileCheckSum, baseName, path, filePrivilege, updateClient, signPath, "
                      "macHash, windowsHash, linuxHash, varnelHash, inode, execBit) VALUES (1, 1, ?1, ?1, 0, "
                      "0, ?3, '', '', ?2, '', '', '', '', '', '', '', 0, 1);");
        if (!st) return DbResult::kFailed;
        sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(syncID));
        sqlite3_bind_text(st, 2, parent.c_str_utf8(), static_cast<int>(parent.length()), SQLITE_TRANSIENT);
        if (found != DbLookup::kFound) sqlite3_bind_int64(st, 3, mtime);
        if (stepDone(st, "update parent info") != DbResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "event-db.cpp", "update parent info ('%s') failed.\n", parent.c_str_utf8());
            return DbResult::kFailed;
        }
        end = parent.rfind('/');
    }
    return DbResult::kOk;
}

DbResult FileEventDB::setEventInfo(const ClientFileEventInfo& info) {
    const ustring stripped = stripSlash(info.path);
    // Workers finishing files at the same moment share one transaction: a caller
    // that sees another one queued for the lock leaves the commit to it and waits
    // for it. No caller returns before its row is committed.
    m_arriving.fetch_add(1, std::memory_order_relaxed);
    MutexLock lock(m_dbMutex);
    m_arriving.fetch_sub(1, std::memory_order_relaxed);
    if (!m_db || stripped.empty()) {
        if (m_db) NLOG_AT(L_ERR, kChannel, "event-db.cpp", "The strpath is empty.\n");
        settleGroupLocked();
        return DbResult::kFailed;
    }
    // The row, its ancestors and the signature move form one change: all or nothing,
    // whatever the rest of the group does. The first writer of a group has the
    // transaction to itself; one joining an open group works inside a savepoint.
    const bool joining = m_groupOpen;
    if (!joining) {
        if (stepDone(cached("BEGIN TRANSACTION;"), "setEventInfo") != DbResult::kOk) return DbResult::kFailed;
        m_groupOpen = true;
    }
    GroupMember mine;
    bool found = false, renamed = false;
    uint64_t rowId = 0;
    ustring location;
    if (!joining || stepDone(cached("SAVEPOINT row_change;"), "setEventInfo") == DbResult::kOk) {
        if (writeRowLocked(info, stripped, found, rowId, renamed, location) == DbResult::kOk &&
            (!joining || stepDone(cached("RELEASE row_change;"), "setEventInfo") == DbResult::kOk)) {
            mine.pending = true;
            m_groupMembers.push_back(&mine);
        } else {
            if (renamed) unlink(location.c_str_utf8());
            renamed = false;
            if (!joining || stepDone(cached("ROLLBACK TO row_change;"), "setEventInfo") != DbResult::kOk ||
                stepDone(cached("RELEASE row_change;"), "setEventInfo") != DbResult::kOk) {
                rollbackGroupLocked();  // alone in it, or its state unknown: none of it stays
            }
        }
    }
    if (m_arriving.load(std::memory_order_relaxed) > 0) {
        while (mine.pending) m_groupDone.Wait(m_dbMutex);
    } else {
        settleGroupLocked();
    }
    if (!mine.committed) {
        // The old row stays; a signature that no longer matches it must not survive.
        if (renamed) unlink(location.c_str_utf8());
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "set event info ('%s') failed.\n", stripped.c_str_utf8());
        return DbResult::kFailed;
    }
    // A file version recorded without a signature (a small file) leaves none of an
    // earlier version behind: a delta against it would not fit the new content.
    if (info.fileType != 1 && info.signaturePath.empty() && found && rowId != 0)
        unlink(getSignaturePath(rowId).c_str_utf8());  // a missing file is fine
    return DbResult::kOk;
}

void FileEventDB::settleGroupLocked() {
    if (!m_groupOpen) return;
    m_groupOpen = false;
    const bool committed = stepDone(cached("COMMIT;"), "setEventInfo") == DbResult::kOk;
    if (!committed) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "committing %zu rows failed. Error code: %d.\n", m_groupMembers.size(),
                sqlite3_errcode(m_db));
        rollbackIfOpen(m_db);
    }
    endGroupLocked(committed);
}

void FileEventDB::rollbackGroupLocked() {
    rollbackIfOpen(m_db);
    m_groupOpen = false;
    endGroupLocked(false);
}

void FileEventDB::endGroupLocked(bool committed) {
    for (GroupMember* m : m_groupMembers) {
        m->pending = false;
        m->committed = committed;
    }
    m_groupMembers.clear();
    m_groupDone.Broadcast();
}

DbResult FileEventDB::writeRowLocked(const ClientFileEventInfo& info, const ustring& stripped, bool& found_row,
                                     uint64_t& rowId, bool& renamed, ustring& location) {
    EventInfo existing;
    const DbLookup found = containsLocked(stripped, existing);
    if (found == DbLookup::kFailed) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "error occurs while getting info of '%s'\n", stripped.c_str_utf8());
        return DbResult::kFailed;
    }
    found_row = found == DbLookup::kFound;
    bool rowChanged = true;
    auto text = [](sqlite3_stmt* st, int i, const ustring& v) {
        sqlite3_bind_text(st, i, v.c_str_utf8(), static_cast<int>(v.length()), SQLITE_TRANSIENT);
    };
    auto int64 = [](sqlite3_stmt* st, int i, uint64_t v) { sqlite3_bind_int64(st, i, static_cast<sqlite3_int64>(v)); };
    sqlite3_stmt* st;
    if (found == DbLookup::kFound) {
        st = cached(
            // A folder's maxSyncID never falls: rewriting the folder's own row keeps
            // what the changes beneath it raised it to.
            "UPDATE eventinfo SET fileType = ?1, syncID = ?2, "
            "maxSyncID = CASE WHEN fileType = 1 AND ?1 = 1 AND maxSyncID > ?3 THEN maxSyncID ELSE ?3 END, "
            "fileSize = ?4, fileModTime = ?5, "
            "fileCheckSum = ?6, path = ?7, macHash = ?8, execBit = ?9, stampMtimeNs = ?18, stampCtimeNs = ?19, "
            "stampInode = ?20 WHERE path = ?7 AND syncID <= ?2;");
        if (!st) return DbResult::kFailed;
        rowId = existing.row_id;
    } else {
        st = cached(
            "INSERT INTO eventinfo (id, fileType, isExist, syncID, maxSyncID, pDirID, fileSize, fileModTime, "
            "fileCheckSum, baseName, path, filePrivilege, updateClient, signPath, macHash, windowsHash, linuxHash, "
            "varnelHash, execBit, stampMtimeNs, stampCtimeNs, stampInode) VALUES (NULL, ?1, ?10, ?2, ?3, ?11, ?4, ?5, "
            "?6, ?12, ?7, ?13, ?14, '', ?8, ?15, ?16, ?17, ?9, ?18, ?19, ?20);");
        if (!st) return DbResult::kFailed;
        sqlite3_bind_int(st, 10, info.isExist);
        int64(st, 11, info.pDirID);
        text(st, 12, info.baseName);
        text(st, 13, info.filePrivilege);
        text(st, 14, info.updateClient);
        text(st, 15, info.windowsHash);
        text(st, 16, info.linuxHash);
        text(st, 17, info.varnelHash);
    }
    sqlite3_bind_int(st, 1, info.fileType);
    int64(st, 2, info.syncID);
    int64(st, 3, info.maxSyncID);
    int64(st, 4, info.fileSize);
    int64(st, 5, info.fileModTime);
    text(st, 6, info.fileCheckSum);
    text(st, 7, stripped);
    text(st, 8, info.macHash);
    int64(st, 9, info.execBit);
    // An unknown stamp is stored as NULL, as in rows from before stamps.
    if (info.stamp.known()) {
        sqlite3_bind_int64(st, 18, info.stamp.mtime_ns);
        sqlite3_bind_int64(st, 19, info.stamp.ctime_ns);
        int64(st, 20, info.stamp.inode);
    }
    if (stepDone(st, "setEventInfo") != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "set event info ('%s') failed.\n", stripped.c_str_utf8());
        return DbResult::kFailed;
    }
    if (found == DbLookup::kFound) {
        rowChanged = sqlite3_changes(m_db) > 0;
    } else {
        rowId = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
    }

    if (updateAncestorsLocked(stripped, info.syncID, info.fileModTime) != DbResult::kOk) return DbResult::kFailed;

    // A row kept because the stored version is newer keeps its own signature too.
    if (info.fileType != 1 && !info.signaturePath.empty() && rowChanged) {
        location = getSignaturePath(rowId);
        NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "signPath = [%s]\n", location.c_str_utf8());
        ustring dir = location.substr(0, location.rfind('/'));
        if (!MakeDirs(dir.str(), 0700)) {
            NLOG_AT(L_ERR, kChannel, "event-db.cpp", "Failed to Create folder at [%s].\n", dir.c_str_utf8());
            return DbResult::kFailed;
        }
        if (info.signaturePath != location) {
            if (!moveFile(info.signaturePath.c_str_utf8(), location.c_str_utf8())) {
                NLOG_AT(L_ERR, kChannel, "event-db.cpp", "Failed to rename from [%s] to [%s]\n.",
                        info.signaturePath.c_str_utf8(), location.c_str_utf8());
                return DbResult::kFailed;
            }
            renamed = true;
        }
    }
    // A kept row (the stored version is newer) keeps its signature.
    if (!rowChanged) found_row = false;
    return DbResult::kOk;
}

DbResult FileEventDB::rmEventInfo(const ustring& path) {
    if (path.empty()) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "The input strPath for rmEventInfo is empty.\n");
        return DbResult::kFailed;
    }
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    const std::string stripped = stripSlash(path).str();
    const SubtreeRange below(stripped);
    return runBound(m_db, "DELETE FROM eventinfo WHERE path = ?1 OR (path >= ?2 AND path < ?3);",
                    {stripped, below.lo, below.hi}, "rmEventInfo");
}

DbResult FileEventDB::rmEventInfoV3(const ustring& path) {
    ustring stripped = stripSlash(path);
    if (stripped.find('/') == ustring::npos) return rmEventInfo(path);
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    const SubtreeRange below(stripped.str());
    return runBound(m_db, "DELETE FROM eventinfo WHERE path = ?1 OR (path >= ?2 AND path < ?3);",
                    {stripped.str(), below.lo, below.hi}, "rmEventInfoV3");
}

DbResult FileEventDB::raiseAncestorsMaxSyncId(const ustring& path, uint64_t syncID) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    const ustring stripped = stripSlash(path);
    for (uint32_t end = stripped.rfind('/'); end != ustring::npos && end > 0;) {
        const ustring parent = stripped.substr(0, end);
        sqlite3_stmt* st = cached("UPDATE eventinfo SET maxSyncID = ?1 WHERE path = ?2 AND maxSyncID < ?1;");
        if (!st) return DbResult::kFailed;
        sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(syncID));
        sqlite3_bind_text(st, 2, parent.c_str_utf8(), static_cast<int>(parent.length()), SQLITE_TRANSIENT);
        if (stepDone(st, "raiseAncestorsMaxSyncId") != DbResult::kOk) return DbResult::kFailed;
        end = parent.rfind('/');
    }
    return DbResult::kOk;
}

DbResult FileEventDB::rmAllFolders() {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    return execLocked("DELETE FROM eventinfo WHERE fileType = 1 OR path like '%/%';", "rmAllFolders");
}

DbResult FileEventDB::getSyncId(uint64_t& sync_id) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    sqlite3_stmt* st = cached("SELECT value FROM config_table WHERE key = 'sync_id';");
    if (!st) return DbResult::kFailed;
    sqlutil::ResetGuard reset(st);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) return stepFailed(m_db, rc);
    // Kept as text so that the full unsigned 64-bit range survives.
    ustring v = columnText(st, 0);
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(v.c_str_utf8(), &end, 10);
    if (v.empty() || errno != 0 || (end && *end != '\0')) {
        NLOG_AT(L_ERR, kChannel, "event-db.cpp", "bad sync_id value '%s'\n", v.c_str_utf8());
        return DbResult::kFailed;
    }
    sync_id = n;
    return DbResult::kOk;
}

DbResult FileEventDB::setSyncId(uint64_t sync_id) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    // Kept as text so that the full unsigned 64-bit range survives.
    sqlite3_stmt* st = cached("UPDATE config_table SET value = ?1 WHERE key = 'sync_id';");
    if (!st) return DbResult::kFailed;
    const std::string value = std::to_string(sync_id);
    sqlite3_bind_text(st, 1, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return stepDone(st, "setSyncId");
}

namespace {

// Rows come back with their full stored path; the list wants them relative to `base`
// ("" for the whole table, otherwise the stored prefix plus "/").
ustring relativeTo(const ustring& stored, const ustring& base) {
    if (base.empty()) return stored;
    if (stored.length() >= base.length() && stored.substr(0, base.length()) == base)
        return stored.substr(base.length());
    return stored;
}

DbResult fillList(sqlite3* db, sqlite3_stmt* st, FileList* list, const ustring& base, bool recursive) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        int type = sqlite3_column_int(st, 0);
        uint32_t mtime = static_cast<uint32_t>(sqlite3_column_int64(st, 1));
        uint64_t size = static_cast<uint64_t>(sqlite3_column_int64(st, 2));
        ustring rel = relativeTo(columnText(st, 3), base);
        if (rel.empty()) continue;
        // A row whose name clashes with one already listed is left out of the list.
        if (type == 1) {
            NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "getFileList: AddDirectory '%s'\n", rel.c_str_utf8());
            if (recursive)
                static_cast<void>(list->AddDirectory(rel, mtime));
            else
                static_cast<void>(list->AddDirectory(0, rel, mtime));
        } else {
            NLOG_AT(L_DEBUG, kChannel, "event-db.cpp", "getFileList: AddFile '%s'\n", rel.c_str_utf8());
            if (recursive)
                static_cast<void>(list->AddFile(rel, mtime, size));
            else
                static_cast<void>(list->AddFile(0, rel, mtime, size));
        }
    }
    if (rc != SQLITE_DONE) return stepFailed(db, rc);
    return DbResult::kOk;
}

}  // namespace

DbResult FileEventDB::getFileList(FileList* list, const ustring& prefix) {
    if (prefix.empty()) return DbResult::kOk;
    if (!list) return DbResult::kFailed;
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    ustring stripped = stripSlash(prefix);
    Stmt st;
    if (stripped.empty()) {
        if (!prepare(m_db, "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE isExist = 1;", st))
            return DbResult::kFailed;
    } else {
        const SubtreeRange below(stripped.str());
        if (!prepare(m_db,
                     "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE path >= ?1 AND path < ?2 AND "
                     "isExist = 1;",
                     st) ||
            bindTexts(st.p, {below.lo, below.hi}) != SQLITE_OK)
            return DbResult::kFailed;
    }
    return fillList(m_db, st.p, list, stripped.empty() ? ustring() : stripped + "/", true);
}

DbResult FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix) {
    return getFileListWithoutRecursive(list, prefix, UINT64_MAX);
}

DbResult FileEventDB::getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t syncID) {
    if (prefix.empty()) return DbResult::kOk;
    if (!list) return DbResult::kFailed;
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    ustring stripped = stripSlash(prefix);
    bool bySync = syncID != UINT64_MAX;
    char cond[64] = "";
    if (bySync) snprintf(cond, sizeof cond, " AND syncID <= %llu", (unsigned long long)syncID);
    char* sql;
    if (stripped.empty()) {
        sql = sqlite3_mprintf(
            "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE isExist = 1%s AND path LIKE '%%' AND "
            "path NOT LIKE '%%/%%';",
            cond);
    } else {
        // Exact, case-sensitive children only: below the prefix, no further "/".
        sql = sqlite3_mprintf(
            "SELECT fileType, fileModTime, fileSize, path FROM eventinfo WHERE isExist = 1%s AND path >= ?1 AND "
            "path < ?2 AND instr(substr(path, length(?1) + 1), '/') = 0;",
            cond);
    }
    SqlText text(sql);
    if (!text) return mprintfFailed();
    Stmt st;
    if (!prepare(m_db, text.get(), st)) return DbResult::kFailed;
    if (!stripped.empty()) {
        const SubtreeRange below(stripped.str());
        if (bindTexts(st.p, {below.lo, below.hi}) != SQLITE_OK) return DbResult::kFailed;
    }
    return fillList(m_db, st.p, list, stripped.empty() ? ustring() : stripped + "/", false);
}

DbLookup FileEventDB::pathByHash(const char* sql, const ustring& hash, ustring& path) {
    // Directory rows carry an empty checksum: an empty hash names no content.
    if (hash.empty()) return DbLookup::kAbsent;
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbLookup::kFailed;
    Stmt st;
    if (!prepare(m_db, sql, st)) return DbLookup::kFailed;
    sqlite3_bind_text(st.p, 1, hash.c_str_utf8(), static_cast<int>(hash.length()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(st.p);
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE) static_cast<void>(stepFailed(m_db, rc));
        return DbLookup::kAbsent;
    }
    path = columnText(st.p, 0);
    return DbLookup::kFound;
}

DbLookup FileEventDB::getFilePathByHash(const ustring& hash, const ustring& /*macHash*/, ustring& path) {
    return pathByHash("SELECT path FROM eventinfo WHERE fileCheckSum = ? AND fileType = 0 AND isExist = 1 LIMIT 1;",
                      hash, path);
}

DbLookup FileEventDB::getFilePathByHashFromRecycle(const ustring& hash, const ustring& /*macHash*/, ustring& path) {
    return pathByHash("SELECT path FROM recycle_bin_table WHERE fileCheckSum = ? LIMIT 1;", hash, path);
}

DbResult FileEventDB::addFileToRecycleBin(const ustring& path, uint64_t size, const ustring& checksum,
                                          const ustring& macHash) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    SqlText sql(sqlite3_mprintf(
        "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES ('%q', %llu, '%q', '%q', "
        "%lu);",
        path.c_str_utf8(), (unsigned long long)size, checksum.c_str_utf8(), macHash.c_str_utf8(),
        (unsigned long)time(nullptr)));
    if (!sql) return DbResult::kFailed;
    return execLocked(sql.get(), "addFileToRecycleBin");
}

DbResult FileEventDB::dumpFileToRecycleBin(const ustring& recyclePath, const ustring& path) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    ustring stripped = stripSlash(path);
    SqlText sql(sqlite3_mprintf(
        "BEGIN TRANSACTION;INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) SELECT (%Q), "
        "fileSize, fileCheckSum, macHash, strftime('%%s','now') FROM eventinfo WHERE path = %Q;DELETE FROM eventinfo "
        "WHERE path = %Q;END TRANSACTION;",
        recyclePath.c_str_utf8(), stripped.c_str_utf8(), stripped.c_str_utf8()));
    if (!sql) return DbResult::kFailed;
    return execLocked(sql.get(), "dumpFileToRecycleBin");
}

DbResult FileEventDB::dumpDirToRecycleBin(const ustring& recyclePrefix, const ustring& path) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    const std::string stripped = stripSlash(path).str();
    const std::string prefix = recyclePrefix.str();
    const SubtreeRange below(stripped);
    // One time for the directory and everything in it: the rotation removes it whole.
    const unsigned long now = static_cast<unsigned long>(time(nullptr));
    SqlText own(sqlite3_mprintf(
        "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) VALUES (?1, 0, '', '', %lu);",
        now));
    SqlText files(sqlite3_mprintf(
        "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, macHash, time) SELECT (?1 || substr(path, "
        "length(?2) + 1)), fileSize, fileCheckSum, macHash, %lu FROM eventinfo WHERE fileType = 0 AND path >= ?3 AND "
        "path < ?4;",
        now));
    if (!own || !files) return mprintfFailed();
    if (execLocked("BEGIN TRANSACTION;", "dumpDirToRecycleBin") != DbResult::kOk) return DbResult::kFailed;
    if (runBound(m_db, own.get(), {prefix}, "dumpDirToRecycleBin") != DbResult::kOk ||
        runBound(m_db, files.get(), {prefix, stripped, below.lo, below.hi}, "dumpDirToRecycleBin") != DbResult::kOk ||
        runBound(m_db, "DELETE FROM eventinfo WHERE path = ?1 OR (path >= ?2 AND path < ?3);",
                 {stripped, below.lo, below.hi}, "dumpDirToRecycleBin") != DbResult::kOk ||
        execLocked("COMMIT;", "dumpDirToRecycleBin") != DbResult::kOk) {
        rollbackIfOpen(m_db);
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

DbResult FileEventDB::rmRecycleByPath(const ustring& path) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    SqlText sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE path = '%q';", path.c_str_utf8()));
    if (!sql) return DbResult::kFailed;
    return execLocked(sql.get(), "rmRecycleByPath");
}

DbResult FileEventDB::rmRecycleTree(const ustring& path) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    const SubtreeRange below(path.str());
    return runBound(m_db, "DELETE FROM recycle_bin_table WHERE path = ?1 OR (path >= ?2 AND path < ?3);",
                    {path.str(), below.lo, below.hi}, "rmRecycleTree");
}

DbResult FileEventDB::resetRecycleBin() {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    return execLocked("DELETE FROM recycle_bin_table;", "resetRecycleBin");
}

DbResult FileEventDB::getOldestRecyleTime(uint32_t& t) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    Stmt st;
    if (!prepare(m_db, "SELECT MIN(time) FROM recycle_bin_table;", st)) return DbResult::kFailed;
    int rc = sqlite3_step(st.p);
    if (rc != SQLITE_ROW) return stepFailed(m_db, rc);
    t = static_cast<uint32_t>(sqlite3_column_int64(st.p, 0));  // NULL (empty table) reads as 0
    return DbResult::kOk;
}

DbResult FileEventDB::getRotateList(uint32_t t, std::set<ustring>& list) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (!m_db) return DbResult::kFailed;
    SqlText sql(sqlite3_mprintf("SELECT path FROM recycle_bin_table WHERE path NOT LIKE '/%%/%%' AND time <= %lu;",
                                (unsigned long)t));
    if (!sql) return DbResult::kFailed;
    Stmt st;
    if (!prepare(m_db, sql.get(), st)) return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) list.insert(columnText(st.p, 0));
    if (rc != SQLITE_DONE) return stepFailed(m_db, rc);
    return DbResult::kOk;
}

DbResult FileEventDB::rmRotateRecords(uint32_t t) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    SqlText sql(sqlite3_mprintf("DELETE FROM recycle_bin_table WHERE time <= %lu;", (unsigned long)t));
    if (!sql) return DbResult::kFailed;
    return execLocked(sql.get(), "rmRotateRecords");
}

DbResult FileEventDB::setStamps(const std::vector<RowStamp>& rows) {
    if (rows.empty()) return DbResult::kOk;
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    if (execLocked("BEGIN TRANSACTION;", "setStamps") != DbResult::kOk) return DbResult::kFailed;
    for (const RowStamp& r : rows) {
        if (!r.stamp.known()) continue;
        const ustring stripped = stripSlash(r.path);
        sqlite3_stmt* st = cached(
            "UPDATE eventinfo SET stampMtimeNs = ?1, stampCtimeNs = ?2, stampInode = ?3 "
            "WHERE path = ?4 AND syncID = ?5 AND fileType = 0 AND fileCheckSum = ?6 AND execBit = ?7;");
        sqlite3_bind_int64(st, 1, r.stamp.mtime_ns);
        sqlite3_bind_int64(st, 2, r.stamp.ctime_ns);
        sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(r.stamp.inode));
        sqlite3_bind_text(st, 4, stripped.c_str_utf8(), static_cast<int>(stripped.length()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 5, static_cast<sqlite3_int64>(r.syncID));
        sqlite3_bind_text(st, 6, r.checksum.c_str_utf8(), static_cast<int>(r.checksum.length()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 7, r.execBit);
        if (stepDone(st, "setStamps") != DbResult::kOk) {
            rollbackIfOpen(m_db);
            return DbResult::kFailed;
        }
    }
    return execLocked("COMMIT;", "setStamps");
}

DbResult FileEventDB::getPathsByInode(uint64_t inode, std::vector<ustring>& paths) {
    paths.clear();
    if (inode == 0) return DbResult::kOk;
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    sqlite3_stmt* st = cached("SELECT path FROM eventinfo WHERE stampInode = ?1 AND fileType = 0;");
    if (!st) return DbResult::kFailed;
    sqlutil::ResetGuard reset(st);
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(inode));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) paths.push_back(ustring("/") + columnText(st, 0));
    return rc == SQLITE_DONE ? DbResult::kOk : stepFailed(m_db, rc);
}
