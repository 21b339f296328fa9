#include "store/filter_db.h"

#include <cstdio>

#include "foundation/logger.h"
#include "store/sql_util.h"

using sqlutil::bindTexts;
using sqlutil::columnText;
using sqlutil::SqlText;
using sqlutil::Stmt;
using sqlutil::SubtreeRange;

namespace {

const char* const kChannel = "filter_db_debug";

const char* const kSchema =
    "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;"
    "BEGIN TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT NULL);"
    "INSERT INTO config_table (key, value) VALUES ('version', 1);"
    "CREATE TABLE IF NOT EXISTS filter_table ("
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_range_table ("
    "sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL, "
    "PRIMARY KEY (sess_id, filter_type, filter_desc) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS filter_resume_table ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, sess_id INTEGER NOT NULL, sync_id INTEGER NOT NULL, "
    "filter_type INTEGER NOT NULL, filter_desc TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS filtered_local_event_table ("
    "sess_id INTEGER NOT NULL, file_type INTEGER NOT NULL, is_exist INTEGER NOT NULL, path TEXT NOT NULL, "
    "sync_id NUMERIC NOT NULL, file_size NUMERIC NOT NULL, file_mod_time NUMERIC NOT NULL, "
    "file_checksum TEXT NOT NULL, base_name TEXT NOT NULL, win_hash TEXT DEFAULT NULL, "
    "mac_hash TEXT DEFAULT NULL, linux_hash TEXT DEFAULT NULL, varnel_hash TEXT DEFAULT NULL, inode INTEGER, "
    "filtered_type NUMERIC NOT NULL, PRIMARY KEY (sess_id, path));"
    "CREATE INDEX IF NOT EXISTS filter_table_sess_id_idx ON filter_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_table_type_idx ON filter_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_table_desc_idx ON filter_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_sess_id_idx ON filter_range_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_type_idx ON filter_range_table(filter_type);"
    "CREATE INDEX IF NOT EXISTS filter_range_table_desc_idx ON filter_range_table(filter_desc);"
    "CREATE INDEX IF NOT EXISTS filter_resume_table_sess_id_idx ON filter_resume_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_sess_id_idx ON filtered_local_event_table(sess_id);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_path_idx ON filtered_local_event_table(path);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_filtered_type_idx ON "
    "filtered_local_event_table(filtered_type);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_file_size_idx ON filtered_local_event_table(file_size);"
    "CREATE INDEX IF NOT EXISTS filtered_local_event_table_base_name_idx ON filtered_local_event_table(base_name);"
    "COMMIT;";

void logSql(const char* op, const char* sql) { NLOG_AT(L_DEBUG, kChannel, "filter-db.cpp", "%s sql : %s\n", op, sql); }

void logMprintfFailed() { NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB: sqlite3_mprintf failed.\n"); }

// Logs `sql` for operation `what` and prepares it into `st`: false when there is
// no database or SQLite refuses it. A refusal is logged with `fail_format`, which
// takes the operation, SQLite's message and the result code.
bool prepare(sqlite3* db, const char* sql, const char* what, Stmt& st,
             const char* fail_format = "[ERROR] filter-db.cpp(%d): FilterDB %s fail: %s (%d).\n") {
    logSql(what, sql);
    if (!db) return false;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st.p, nullptr);
    if (rc == SQLITE_OK) return true;
    NLOG(L_ERR, kChannel, fail_format, what, sqlite3_errmsg(db), rc);
    return false;
}

// Logs a failed sqlite3_step; returns the failure of R.
template <class R = DbResult>
R stepFailed(sqlite3* db, int rc) {
    NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "sqlite3_step: %s (%d)\n", sqlite3_errmsg(db), rc);
    return R::kFailed;
}

void fillEvent(sqlite3_stmt* st, int first, FilterLocalEvent& e) {
    // Columns from `first`: file_type, sync_id, file_size, file_mod_time, file_checksum, base_name,
    // win_hash, mac_hash, linux_hash, varnel_hash, inode, filtered_type, is_exist.
    e.file_type = sqlite3_column_int(st, first + 0);
    e.sync_id = static_cast<uint64_t>(sqlite3_column_int64(st, first + 1));
    e.file_size = static_cast<uint64_t>(sqlite3_column_int64(st, first + 2));
    e.file_mod_time = static_cast<uint32_t>(sqlite3_column_int64(st, first + 3));
    e.file_checksum = columnText(st, first + 4);
    e.base_name = columnText(st, first + 5);
    e.win_hash = columnText(st, first + 6);
    e.mac_hash = columnText(st, first + 7);
    e.linux_hash = columnText(st, first + 8);
    e.varnel_hash = columnText(st, first + 9);
    e.inode = static_cast<uint64_t>(sqlite3_column_int64(st, first + 10));
    e.filtered_type = sqlite3_column_int(st, first + 11);
    e.is_exist = sqlite3_column_int(st, first + 12);
}

}  // namespace

FilterDB& FilterDB::getInstance() {
    static FilterDB instance;
    return instance;
}

FilterDB::~FilterDB() {
    MutexLock lock(m_db_mutex);
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
}

DbResult FilterDB::initialize(const ustring& path) {
    MutexLock lock(m_db_mutex);
    if (m_db) {
        NLOG_AT(L_INFO, kChannel, "filter-db.cpp", "FilterDB has been initialized (no-op)\n");
        return DbResult::kOk;
    }
    sqlite3* db = nullptr;
    int rc = sqlutil::openPrivate(path.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB: Failed to open database at '%s'. [%d] %s\n",
                path.c_str_utf8(), rc, db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return DbResult::kFailed;
    }
    char* err = nullptr;
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB: Failed to initialize database at '%s'. [%d] %s\n",
                path.c_str_utf8(), rc, sqlite3_errmsg(db));
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB init fail %s\n", err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
        return DbResult::kFailed;
    }
    sqlite3_busy_timeout(db, 300000);
    m_db = db;
    m_holds_local_events.clear();
    m_filter_db_path = path;
    NLOG_AT(L_INFO, kChannel, "filter-db.cpp", "FilterDB has been initialized with location '%s'\n", path.c_str_utf8());
    return DbResult::kOk;
}

void FilterDB::destroy() {
    MutexLock lock(m_db_mutex);
    if (!m_db) {
        NLOG_AT(L_INFO, kChannel, "filter-db.cpp", "FilterDB has been deinitialzed (no-op)\n");
        return;
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_filter_db_path.clear();
    NLOG_AT(L_INFO, kChannel, "filter-db.cpp", "FilterDB has been deinitialzed\n");
}

DbResult FilterDB::execLocked(const char* sql, const char* what) {
    logSql(what, sql);
    if (!m_db) return DbResult::kFailed;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB %s fail: %s (%d).\n", what, sqlite3_errmsg(m_db), rc);
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

DbResult FilterDB::execFormatted(const char* what, char* sql) {
    SqlText text(sql);
    if (!text) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    return execLocked(text.get(), what);
}

DbResult FilterDB::setFilter(uint64_t sess, uint64_t syncId, int type, const ustring& desc) {
    return execFormatted(
        "setFilter",
        sqlite3_mprintf(
            "INSERT INTO filter_table  (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %Q)",
            (unsigned long long)sess, (unsigned long long)syncId, type, desc.c_str_utf8()));
}

DbResult FilterDB::rmFilter(uint64_t sess, int type, const ustring& desc) {
    return execFormatted(
        "rmFilter",
        sqlite3_mprintf("DELETE FROM filter_table WHERE (sess_id = %llu AND filter_type = %d AND filter_desc = %Q)",
                        (unsigned long long)sess, type, desc.c_str_utf8()));
}

DbResult FilterDB::setSizeFilter(uint64_t sess, uint64_t syncId, uint64_t size) {
    return execFormatted("setSizeFilter", sqlite3_mprintf("INSERT INTO filter_range_table  (sess_id, sync_id, "
                                                          "filter_type, filter_desc) VALUES (%llu, %llu, %d, %llu)",
                                                          (unsigned long long)sess, (unsigned long long)syncId,
                                                          FILTER_FILE_SIZE_SELECTIVE_SYNC, (unsigned long long)size));
}

DbResult FilterDB::updateSizeFilter(uint64_t sess, uint64_t oldSize, uint64_t newSize) {
    return execFormatted("updateSizeFilter",
                         sqlite3_mprintf("UPDATE filter_range_table SET filter_desc = %llu WHERE sess_id = %llu AND "
                                         "filter_type = %d AND filter_desc = %llu",
                                         (unsigned long long)newSize, (unsigned long long)sess,
                                         FILTER_FILE_SIZE_SELECTIVE_SYNC, (unsigned long long)oldSize));
}

DbResult FilterDB::rmSizeFilter(uint64_t sess, uint64_t size) {
    return execFormatted(
        "rmSizeFilter",
        sqlite3_mprintf(
            "DELETE FROM filter_range_table WHERE sess_id = %llu AND filter_type = %d AND filter_desc = %llu;",
            (unsigned long long)sess, FILTER_FILE_SIZE_SELECTIVE_SYNC, (unsigned long long)size));
}

DbResult FilterDB::getSizeFilter(uint64_t sess, FilterInfo& info) {
    SqlText sql(sqlite3_mprintf(
        "SELECT filter_desc, sync_id FROM filter_range_table WHERE sess_id = %llu AND filter_type = %d;",
        (unsigned long long)sess, FILTER_FILE_SIZE_SELECTIVE_SYNC));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql.get(), "getSizeFilter", st)) return DbResult::kFailed;
    info = FilterInfo();
    int rc = sqlite3_step(st.p);
    if (rc == SQLITE_ROW) {
        info.filter_desc = columnText(st.p, 0);
        info.sync_id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 1));
        return DbResult::kOk;
    }
    if (rc == SQLITE_DONE) return DbResult::kOk;
    return stepFailed(m_db, rc);
}

DbResult FilterDB::setResumeCondition(const ResumeCondition& c, uint64_t& id) {
    SqlText sql(sqlite3_mprintf(
        "INSERT INTO filter_resume_table (sess_id, sync_id, filter_type, filter_desc) VALUES (%llu, %llu, %d, %Q);",
        (unsigned long long)c.sess_id, (unsigned long long)c.sync_id, c.filter_type, c.filter_desc.c_str_utf8()));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    if (execLocked(sql.get(), "setResumeCondition") != DbResult::kOk) return DbResult::kFailed;
    id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
    return DbResult::kOk;
}

DbLookup FilterDB::getResumeCondition(uint64_t& id, ResumeCondition& c) {
    const char* sql = "SELECT id, sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table LIMIT 1;";
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql, "getResumeCondition", st)) return DbLookup::kFailed;
    int rc = sqlite3_step(st.p);
    if (rc == SQLITE_DONE) return DbLookup::kAbsent;
    if (rc != SQLITE_ROW) return stepFailed<DbLookup>(m_db, rc);
    id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 0));
    c.sess_id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 1));
    c.sync_id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 2));
    c.filter_type = sqlite3_column_int(st.p, 3);
    c.filter_desc = columnText(st.p, 4);
    return DbLookup::kFound;
}

DbResult FilterDB::getResumeConditionsBySession(uint64_t sess, std::list<std::pair<uint64_t, ResumeCondition>>& list) {
    SqlText sql(
        sqlite3_mprintf("SELECT id, sync_id, filter_type, filter_desc FROM filter_resume_table WHERE sess_id = %llu;",
                        (unsigned long long)sess));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql.get(), "getResumeConditionsBySession", st)) return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) {
        ResumeCondition c;
        c.sess_id = sess;
        c.sync_id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 1));
        c.filter_type = sqlite3_column_int(st.p, 2);
        c.filter_desc = columnText(st.p, 3);
        list.emplace_back(static_cast<uint64_t>(sqlite3_column_int64(st.p, 0)), c);
    }
    if (rc != SQLITE_DONE) return stepFailed(m_db, rc);
    return DbResult::kOk;
}

DbResult FilterDB::updateResumeSyncId(uint64_t id, uint64_t syncId) {
    return execFormatted("updateResumeSyncId",
                         sqlite3_mprintf("UPDATE filter_resume_table SET sync_id = %llu WHERE id = %llu;",
                                         (unsigned long long)syncId, (unsigned long long)id));
}

DbResult FilterDB::rmResumeCondition(uint64_t id) {
    return execFormatted("rmResumeCondition",
                         sqlite3_mprintf("DELETE FROM filter_resume_table WHERE id = %llu;", (unsigned long long)id));
}

DbLookup FilterDB::mayHoldLocalEventsLocked(uint64_t sess) {
    auto known = m_holds_local_events.find(sess);
    if (known != m_holds_local_events.end()) return known->second ? DbLookup::kFound : DbLookup::kAbsent;
    Stmt st;
    if (!prepare(m_db, "SELECT 1 FROM filtered_local_event_table WHERE sess_id = ?1 LIMIT 1;", "mayHoldLocalEvents",
                 st))
        return DbLookup::kFailed;
    sqlite3_bind_int64(st.p, 1, static_cast<sqlite3_int64>(sess));
    const int rc = sqlite3_step(st.p);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return stepFailed<DbLookup>(m_db, rc);
    m_holds_local_events[sess] = rc == SQLITE_ROW;
    return rc == SQLITE_ROW ? DbLookup::kFound : DbLookup::kAbsent;
}

DbResult FilterDB::setLocalFilteredEvent(const FilterLocalEvent& e) {
    {
        MutexLock lock(m_db_mutex);
        m_holds_local_events[e.sess_id] = true;
    }
    return execFormatted(
        "setLocalFilteredEvent",
        sqlite3_mprintf("INSERT OR REPLACE INTO filtered_local_event_table  (sess_id, file_type, is_exist, sync_id, "
                        "path, file_size, "
                        "file_mod_time, file_checksum, base_name, win_hash, mac_hash, linux_hash, varnel_hash, inode, "
                        "filtered_type) "
                        "VALUES (%llu, %d, %d, %llu, %Q, %llu, %lu, %Q, %Q, %Q, %Q, %Q, %Q, %llu, %d)",
                        (unsigned long long)e.sess_id, e.file_type, e.is_exist, (unsigned long long)e.sync_id,
                        e.path.c_str_utf8(), (unsigned long long)e.file_size, (unsigned long)e.file_mod_time,
                        e.file_checksum.c_str_utf8(), e.base_name.c_str_utf8(), e.win_hash.c_str_utf8(),
                        e.mac_hash.c_str_utf8(), e.linux_hash.c_str_utf8(), e.varnel_hash.c_str_utf8(),
                        (unsigned long long)e.inode, e.filtered_type));
}

DbLookup FilterDB::getLocalFilteredEventByPath(uint64_t sess, const ustring& path, FilterLocalEvent& e) {
    SqlText sql(
        sqlite3_mprintf("SELECT file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, "
                        "mac_hash, linux_hash, "
                        "varnel_hash, inode, filtered_type, is_exist FROM filtered_local_event_table WHERE sess_id = "
                        "%llu AND path = %Q;",
                        (unsigned long long)sess, path.c_str_utf8()));
    if (!sql) return logMprintfFailed(), DbLookup::kFailed;
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql.get(), "getLocalFilteredEventByPath", st)) return DbLookup::kFailed;
    int rc = sqlite3_step(st.p);
    if (rc == SQLITE_DONE) return DbLookup::kAbsent;
    if (rc != SQLITE_ROW) return stepFailed<DbLookup>(m_db, rc);
    fillEvent(st.p, 0, e);
    e.sess_id = sess;
    e.path = path;
    return DbLookup::kFound;
}

DbResult FilterDB::rmLocalFilteredEventByPath(uint64_t sess, const ustring& path) {
    SqlText sql(sqlite3_mprintf(
        "DELETE FROM filtered_local_event_table WHERE sess_id = %llu AND (path = ?1 OR (path >= ?2 AND path < ?3));",
        (unsigned long long)sess));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    const DbLookup holds = mayHoldLocalEventsLocked(sess);
    if (holds != DbLookup::kFound) return holds == DbLookup::kAbsent ? DbResult::kOk : DbResult::kFailed;
    Stmt st;
    if (!prepare(m_db, sql.get(), "rmLocalFilteredEventByPath", st)) return DbResult::kFailed;
    const SubtreeRange below(path.str());
    int rc = bindTexts(st.p, {path.str(), below.lo, below.hi});
    if (rc == SQLITE_OK) rc = sqlite3_step(st.p);
    // Whether any are left is asked again next time.
    m_holds_local_events.erase(sess);
    return rc == SQLITE_DONE ? DbResult::kOk : stepFailed(m_db, rc);
}

DbResult FilterDB::cleanLocalFilteredEventBySession(uint64_t sess) {
    {
        MutexLock lock(m_db_mutex);
        m_holds_local_events.erase(sess);
    }
    return execFormatted(
        "cleanLocalFilteredEventBySession",
        sqlite3_mprintf("DELETE FROM filtered_local_event_table WHERE sess_id = %llu;", (unsigned long long)sess));
}

DbResult FilterDB::dumpLocalFilteredEvent(uint64_t sess, std::set<FilterLocalEvent>& events) {
    SqlText sql(sqlite3_mprintf(
        "SELECT path, file_type, sync_id, file_size, file_mod_time, file_checksum, base_name, win_hash, mac_hash, "
        "linux_hash, varnel_hash, inode, filtered_type, is_exist FROM filtered_local_event_table WHERE sess_id = %llu;",
        (unsigned long long)sess));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql.get(), "dumpLocalFilteredEvent", st)) return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) {
        FilterLocalEvent e;
        e.path = columnText(st.p, 0);
        fillEvent(st.p, 1, e);
        e.sess_id = sess;
        events.insert(e);
    }
    if (rc != SQLITE_DONE) return stepFailed(m_db, rc);
    return DbResult::kOk;
}

DbResult FilterDB::setConfigItem(const ustring& key, const ustring& value) {
    SqlText sql(sqlite3_mprintf("INSERT OR REPLACE INTO config_table  (key, value) VALUES(%Q, %Q);", key.c_str_utf8(),
                                value.c_str_utf8()));
    if (!sql) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "FilterDB: Failed to sqlite3_mprintf.\n");
        return DbResult::kFailed;
    }
    MutexLock lock(m_db_mutex);
    logSql("setConfigItem", sql.get());
    if (!m_db) return DbResult::kFailed;
    int rc = sqlite3_exec(m_db, sql.get(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "setConfigItem fail: %s (%d).\n", sqlite3_errmsg(m_db), rc);
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

DbResult FilterDB::checkEventOverflow(int& stat) {
    const char* sql = "SELECT value FROM config_table WHERE key = 'event_overflow';";
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql, "checkEventOverflow", st, "[ERROR] filter-db.cpp(%d): %s: sqlite3_prepare_v2: %s (%d)\n"))
        return DbResult::kFailed;
    int rc = sqlite3_step(st.p);
    if (rc == SQLITE_DONE) {
        stat = E_OVERFLOW;  // never recorded: assume changes were missed
        return DbResult::kOk;
    }
    if (rc != SQLITE_ROW) {
        NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "checkEventOverflow: sqlite3_step: %s (%d)\n", sqlite3_errmsg(m_db),
                rc);
        return DbResult::kFailed;
    }
    stat = sqlite3_column_int(st.p, 0);
    return DbResult::kOk;
}

DbResult FilterDB::ConvertFilterDBToSelectiveSyncInfo(uint64_t sess, SelectiveSyncInfo& info) {
    SqlText sql(
        sqlite3_mprintf("SELECT filter_type, sync_id, filter_desc FROM filter_table WHERE sess_id = %llu  UNION ALL "
                        "SELECT filter_type, "
                        "sync_id, filter_desc FROM filter_range_table WHERE sess_id = %llu;",
                        (unsigned long long)sess, (unsigned long long)sess));
    if (!sql) return logMprintfFailed(), DbResult::kFailed;
    MutexLock lock(m_db_mutex);
    Stmt st;
    if (!prepare(m_db, sql.get(), "ConvertFilterDBToSelectiveSyncInfo", st,
                 "[ERROR] filter-db.cpp(%d): %s failed1 : %s (%d).\n"))
        return DbResult::kFailed;
    int rc;
    while ((rc = sqlite3_step(st.p)) == SQLITE_ROW) {
        int64_t type = sqlite3_column_int64(st.p, 0);
        FilterInfo fi;
        fi.sync_id = static_cast<uint64_t>(sqlite3_column_int64(st.p, 1));
        fi.filter_desc = columnText(st.p, 2);
        switch (type) {
            case FILTER_FILE_SIZE_SELECTIVE_SYNC:
                info.black_size = fi;
                break;
            case FILTER_NAME_SELECTIVE_SYNC:
                info.black_name.insert(fi);
                break;
            case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
                info.black_prefix.insert(fi);
                break;
            case FILTER_EXT_SELECTIVE_SYNC:
                info.black_ext.insert(fi);
                break;
            default:
                NLOG_AT(L_ERR, kChannel, "filter-db.cpp", "Unknow filter_type: %llu\n", (unsigned long long)type);
                break;
        }
    }
    if (rc != SQLITE_DONE) return stepFailed(m_db, rc);
    return DbResult::kOk;
}

bool EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring& out) {
    char buf[64];
    int n = snprintf(buf, sizeof buf, "from=%llu,to=%llu", (unsigned long long)from, (unsigned long long)to);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return false;
    out = buf;
    return true;
}

bool DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& lower_bound, uint64_t& upper_bound) {
    if (desc.empty()) return false;
    unsigned long long lower = 0, upper = 0;
    if (sscanf(desc.c_str_utf8(), "from=%llu,to=%llu", &lower, &upper) != 2) return false;
    lower_bound = lower;
    upper_bound = upper;
    return true;
}
