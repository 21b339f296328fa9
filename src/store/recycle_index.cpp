// The recovery side of the event database: the origin of every recycled item and
// the conflict copies made, so that both can be listed and brought back. The layout
// is written down in doc/recycle.md.
#include <cstring>
#include <string>

#include "foundation/logger.h"
#include "store/file_event_db.h"
#include "store/sql_util.h"

using sqlutil::bindTexts;
using sqlutil::columnText;
using sqlutil::Stmt;

namespace {

const char* const kChannel = "event_db_debug";

// Prepares sql and binds the texts; the statement is ready to step; a failure is logged.
DbResult prepareBound(sqlite3* db, const char* sql, std::initializer_list<std::string> texts, Stmt& st,
                      const char* what) {
    if (db == nullptr) return DbResult::kFailed;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st.p, nullptr);
    if (rc == SQLITE_OK) rc = bindTexts(st.p, texts);
    if (rc == SQLITE_OK) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "%s: %s (%d)\n", what, sqlite3_errmsg(db), rc);
    return DbResult::kFailed;
}

// Steps a statement that returns no rows; a failure is logged.
DbResult runOnce(sqlite3* db, Stmt& st, const char* what) {
    const int rc = sqlite3_step(st.p);
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "%s: %s (%d)\n", what, sqlite3_errmsg(db), rc);
    return DbResult::kFailed;
}

// Whether table has a column of that name (false also when it cannot be read).
bool hasColumn(sqlite3* db, const char* table, const char* column) {
    Stmt st;
    const std::string sql = std::string("PRAGMA table_info(") + table + ");";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st.p, nullptr) != SQLITE_OK) return false;
    while (sqlite3_step(st.p) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(st.p, 1);
        if (name != nullptr && strcmp(reinterpret_cast<const char*>(name), column) == 0) return true;
    }
    return false;
}

// Reads a row of "SELECT path, origPath, reason, time, bytes".
FileEventDB::RecycleItem readItem(sqlite3_stmt* st) {
    FileEventDB::RecycleItem item;
    item.name = columnText(st, 0);
    item.origPath = columnText(st, 1);
    item.reason = columnText(st, 2);
    item.time = static_cast<uint32_t>(sqlite3_column_int64(st, 3));
    item.bytes = static_cast<uint64_t>(sqlite3_column_int64(st, 4));
    return item;
}

// The top-level entries with the bytes recorded in their tree (files below a recycled
// folder are rows of their own: "/name/sub/file").
const char* const kItemSelect =
    "SELECT t.path, t.origPath, t.reason, t.time, "
    "(SELECT COALESCE(SUM(b.fileSize), 0) FROM recycle_bin_table b WHERE b.path = t.path OR "
    "(b.path >= t.path || '/' AND b.path < t.path || '0')) "
    "FROM recycle_bin_table t WHERE t.path NOT LIKE '/%/%' ";

}  // namespace

DbResult FileEventDB::migrateRecoveryLocked() {
    if (!hasColumn(m_db, "recycle_bin_table", "origPath") &&
        execLocked("ALTER TABLE recycle_bin_table ADD COLUMN origPath text default NULL;", "migrate") != DbResult::kOk)
        return DbResult::kFailed;
    if (!hasColumn(m_db, "recycle_bin_table", "reason") &&
        execLocked("ALTER TABLE recycle_bin_table ADD COLUMN reason text default NULL;", "migrate") != DbResult::kOk)
        return DbResult::kFailed;
    for (const char* column : {"stampMtimeNs", "stampCtimeNs", "stampInode"}) {
        if (hasColumn(m_db, "eventinfo", column)) continue;
        const std::string sql = std::string("ALTER TABLE eventinfo ADD COLUMN ") + column + " INTEGER default NULL;";
        if (execLocked(sql.c_str(), "migrate") != DbResult::kOk) return DbResult::kFailed;
    }
    if (execLocked("CREATE INDEX IF NOT EXISTS eventinfo_stampInode_idx ON eventinfo(stampInode);", "migrate") !=
        DbResult::kOk)
        return DbResult::kFailed;
    return execLocked(
        "CREATE TABLE IF NOT EXISTS conflict_table (id integer primary key, copyPath text unique NOT NULL, "
        "origPath text NOT NULL, reason text NOT NULL, time NUMERIC NOT NULL);",
        "migrate");
}

DbResult FileEventDB::setRecycleOrigin(const ustring& name, const ustring& origPath, const ustring& reason) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    if (prepareBound(m_db, "UPDATE recycle_bin_table SET origPath = ?2, reason = ?3 WHERE path = ?1;",
                     {name.str(), origPath.str(), reason.str()}, st, "setRecycleOrigin") != DbResult::kOk)
        return DbResult::kFailed;
    return runOnce(m_db, st, "setRecycleOrigin");
}

DbResult FileEventDB::addRecycleEntry(const ustring& name, const ustring& origPath, const ustring& reason,
                                      uint64_t size, const ustring& checksum, const ustring& macHash, uint32_t time) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    if (prepareBound(m_db,
                     "INSERT INTO recycle_bin_table (path, origPath, reason, fileCheckSum, macHash, fileSize, time) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7);",
                     {name.str(), origPath.str(), reason.str(), checksum.str(), macHash.str()}, st,
                     "addRecycleEntry") != DbResult::kOk)
        return DbResult::kFailed;
    sqlite3_bind_int64(st.p, 6, static_cast<sqlite3_int64>(size));
    sqlite3_bind_int64(st.p, 7, static_cast<sqlite3_int64>(time));
    return runOnce(m_db, st, "addRecycleEntry");
}

DbResult FileEventDB::listRecycle(std::vector<RecycleItem>& out) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    const std::string sql = std::string(kItemSelect) + "ORDER BY t.time, t.id;";
    if (prepareBound(m_db, sql.c_str(), {}, st, "listRecycle") != DbResult::kOk) return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) out.push_back(readItem(st.p));
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "listRecycle: %s (%d)\n", sqlite3_errmsg(m_db), rc);
    return DbResult::kFailed;
}

DbResult FileEventDB::findRecycleFor(const ustring& path, std::vector<RecycleItem>& out) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    // path itself or any folder above it: origPath <= path and path starts with it.
    Stmt st;
    const std::string sql = std::string(kItemSelect) +
                            "AND (t.origPath = ?1 OR (?1 >= t.origPath || '/' AND ?1 < t.origPath || '0')) "
                            "ORDER BY t.time DESC, t.id DESC;";
    if (prepareBound(m_db, sql.c_str(), {path.str()}, st, "findRecycleFor") != DbResult::kOk) return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) out.push_back(readItem(st.p));
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "findRecycleFor: %s (%d)\n", sqlite3_errmsg(m_db), rc);
    return DbResult::kFailed;
}

DbResult FileEventDB::addConflict(const ustring& copyPath, const ustring& origPath, const ustring& reason,
                                  uint32_t time) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    if (prepareBound(
            m_db, "INSERT OR REPLACE INTO conflict_table (copyPath, origPath, reason, time) VALUES (?1, ?2, ?3, ?4);",
            {copyPath.str(), origPath.str(), reason.str()}, st, "addConflict") != DbResult::kOk)
        return DbResult::kFailed;
    sqlite3_bind_int64(st.p, 4, static_cast<sqlite3_int64>(time));
    return runOnce(m_db, st, "addConflict");
}

DbResult FileEventDB::listConflicts(std::vector<ConflictItem>& out) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    if (prepareBound(m_db, "SELECT copyPath, origPath, reason, time FROM conflict_table ORDER BY time, id;", {}, st,
                     "listConflicts") != DbResult::kOk)
        return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) {
        ConflictItem c;
        c.copyPath = columnText(st.p, 0);
        c.origPath = columnText(st.p, 1);
        c.reason = columnText(st.p, 2);
        c.time = static_cast<uint32_t>(sqlite3_column_int64(st.p, 3));
        out.push_back(c);
    }
    if (rc == SQLITE_DONE) return DbResult::kOk;
    NLOG_AT(L_ERR, kChannel, "event-db.cpp", "listConflicts: %s (%d)\n", sqlite3_errmsg(m_db), rc);
    return DbResult::kFailed;
}

DbResult FileEventDB::rmConflict(const ustring& copyPath) {
    MutexLock lock(m_dbMutex);
    settleGroupLocked();
    Stmt st;
    if (prepareBound(m_db, "DELETE FROM conflict_table WHERE copyPath = ?1;", {copyPath.str()}, st, "rmConflict") !=
        DbResult::kOk)
        return DbResult::kFailed;
    return runOnce(m_db, st, "rmConflict");
}
