#include "storage.h"

#include <dirent.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// NORMAL: a commit survives the server process crashing, not the machine losing power;
// FULL would add a sync of the log to every stored change, which is what a test server
// spends most of its time on otherwise.
const char* kSchema =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "CREATE TABLE IF NOT EXISTS views ("
    "  view_id INTEGER PRIMARY KEY, created INTEGER NOT NULL);"
    // AUTOINCREMENT: a sync id is never handed out twice, even after removals.
    "CREATE TABLE IF NOT EXISTS changes ("
    "  sync_id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  view_id INTEGER NOT NULL, path TEXT NOT NULL,"
    "  is_dir INTEGER NOT NULL DEFAULT 0, is_removed INTEGER NOT NULL DEFAULT 0,"
    "  hash TEXT NOT NULL DEFAULT '', size INTEGER NOT NULL DEFAULT 0,"
    "  mtime INTEGER NOT NULL DEFAULT 0, mac_hash TEXT NOT NULL DEFAULT '',"
    "  exec_bit INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS changes_by_path ON changes(view_id, path, sync_id);";

int MakeDir(const std::string& p) {
    if (mkdir(p.c_str(), 0700) == 0 || errno == EEXIST) return 0;
    return -1;
}

void ReadRow(sqlite3_stmt* st, ChangeRow* r) {
    r->sync_id = (uint64_t)sqlite3_column_int64(st, 0);
    r->view_id = (uint64_t)sqlite3_column_int64(st, 1);
    // By length: a stored path may hold any byte (tests store hostile ones on purpose).
    const unsigned char* p = sqlite3_column_text(st, 2);
    r->path = p ? std::string((const char*)p, (size_t)sqlite3_column_bytes(st, 2)) : "";
    r->is_dir = sqlite3_column_int(st, 3) != 0;
    r->is_removed = sqlite3_column_int(st, 4) != 0;
    p = sqlite3_column_text(st, 5);
    r->hash = p ? (const char*)p : "";
    r->size = (uint64_t)sqlite3_column_int64(st, 6);
    r->mtime = (uint64_t)sqlite3_column_int64(st, 7);
    p = sqlite3_column_text(st, 8);
    r->mac_hash = p ? (const char*)p : "";
    r->exec_bit = sqlite3_column_int(st, 9) != 0;
}

// Steps a statement that names at most one row: 1 with the row read into row (when
// given), 0 for no row, -1 on failure.
int StepOneRow(sqlite3_stmt* st, ChangeRow* row) {
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        if (row) ReadRow(st, row);
        return 1;
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

// Leaves a cached statement reset, whatever path the caller takes out.
struct ResetOnExit {
    sqlite3_stmt* st;
    ~ResetOnExit() {
        if (st) sqlite3_reset(st);
    }
};

void BindText(sqlite3_stmt* st, int index, const std::string& text) {
    sqlite3_bind_text(st, index, text.c_str(), (int)text.size(), SQLITE_TRANSIENT);
}

// The upper end of the range below a directory: "/" + 1 = "0".
std::string RangeEnd(std::string lo) {
    lo.back() = (char)(lo.back() + 1);
    return lo;
}

#define REF_CHANGE_COLS "sync_id, view_id, path, is_dir, is_removed, hash, size, mtime, mac_hash, exec_bit"

sqlite3_int64 ClampId(uint64_t id) { return (sqlite3_int64)(id > (uint64_t)INT64_MAX ? (uint64_t)INT64_MAX : id); }

// Upper bound for a LIKE-free prefix range: every path below "/a" sorts in ["/a/", "/a0").
std::string DirPrefix(const std::string& dir) {
    if (dir == "/") return "/";
    return dir + "/";
}

}  // namespace

Storage::~Storage() { Close(); }

void Storage::Close() {
    MutexLock g(m_lock);
    for (auto& [sql, st] : m_stmts) sqlite3_finalize(st);
    m_stmts.clear();
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
}

sqlite3_stmt* Storage::Cached(const char* sql) {
    if (!m_db) return nullptr;
    auto it = m_stmts.find(sql);
    if (it != m_stmts.end()) {
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        m_error = sqlite3_errmsg(m_db);
        sqlite3_finalize(st);
        return nullptr;
    }
    m_stmts.emplace(sql, st);
    return st;
}

int Storage::Exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        m_error = msg ? msg : "sqlite error";
        sqlite3_free(msg);
        return -1;
    }
    return 0;
}

int Storage::Open(const std::string& root) {
    MutexLock g(m_lock);
    m_root = root;
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
    if (MakeDir(m_root) || MakeDir(m_root + "/blobs") || MakeDir(m_root + "/resume") || MakeDir(m_root + "/tmp")) {
        m_error = "cannot create storage folders under " + m_root + ": " + strerror(errno);
        return -1;
    }
    std::string db = m_root + "/index.sqlite";
    if (sqlite3_open(db.c_str(), &m_db) != SQLITE_OK) {
        m_error = m_db ? sqlite3_errmsg(m_db) : "sqlite3_open failed";
        if (m_db) sqlite3_close(m_db);
        m_db = nullptr;
        return -1;
    }
    sqlite3_busy_timeout(m_db, 30000);
    if (Exec(kSchema)) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return -1;
    }
    return 0;
}

int Storage::EnsureView(uint64_t view_id) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached("INSERT OR IGNORE INTO views(view_id, created) VALUES(?, ?)");
    if (!st) return -1;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    sqlite3_bind_int64(st, 2, (sqlite3_int64)time(nullptr));
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        return -1;
    }
    return sqlite3_changes(m_db) > 0 ? 1 : 0;
}

bool Storage::HasView(uint64_t view_id) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached("SELECT 1 FROM views WHERE view_id = ?");
    if (!st) return false;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    return sqlite3_step(st) == SQLITE_ROW;
}

int Storage::AddChange(const ChangeRow& row, uint64_t* sync_id) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached(
        "INSERT INTO changes(view_id, path, is_dir, is_removed, hash, size, mtime, mac_hash, exec_bit)"
        " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!st) return -1;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)row.view_id);
    sqlite3_bind_text(st, 2, row.path.c_str(), (int)row.path.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 3, row.is_dir ? 1 : 0);
    sqlite3_bind_int(st, 4, row.is_removed ? 1 : 0);
    sqlite3_bind_text(st, 5, row.hash.c_str(), (int)row.hash.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 6, (sqlite3_int64)row.size);
    sqlite3_bind_int64(st, 7, (sqlite3_int64)row.mtime);
    sqlite3_bind_text(st, 8, row.mac_hash.c_str(), (int)row.mac_hash.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 9, row.exec_bit ? 1 : 0);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        return -1;
    }
    if (sync_id) *sync_id = (uint64_t)sqlite3_last_insert_rowid(m_db);
    ++m_change_count;
    m_changed.Broadcast();
    return 0;
}

int Storage::Current(uint64_t view_id, const std::string& path, ChangeRow* row) {
    MutexLock g(m_lock);
    sqlite3_stmt* st =
        Cached("SELECT " REF_CHANGE_COLS " FROM changes WHERE view_id = ? AND path = ? ORDER BY sync_id DESC LIMIT 1");
    if (!st) return -1;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    sqlite3_bind_text(st, 2, path.c_str(), (int)path.size(), SQLITE_TRANSIENT);
    return StepOneRow(st, row);
}

int Storage::AtSyncId(uint64_t view_id, const std::string& path, uint64_t sync_id, ChangeRow* row) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached("SELECT " REF_CHANGE_COLS " FROM changes WHERE view_id = ? AND path = ? AND sync_id = ?");
    if (!st) return -1;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    sqlite3_bind_text(st, 2, path.c_str(), (int)path.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 3, (sqlite3_int64)sync_id);
    return StepOneRow(st, row);
}

uint64_t Storage::MaxSyncId(uint64_t view_id) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached("SELECT MAX(sync_id) FROM changes WHERE view_id = ?");
    if (!st) return 0;
    ResetOnExit reset{st};
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    return sqlite3_step(st) == SQLITE_ROW ? (uint64_t)sqlite3_column_int64(st, 0) : 0;
}

uint64_t Storage::MaxSyncIdBelow(uint64_t view_id, const std::string& dir_path) {
    MutexLock g(m_lock);
    sqlite3_stmt* st =
        Cached("SELECT MAX(sync_id) FROM changes WHERE view_id = ? AND (path = ? OR (path >= ? AND path < ?))");
    if (!st) return 0;
    ResetOnExit reset{st};
    const std::string lo = DirPrefix(dir_path);
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    BindText(st, 2, dir_path);
    BindText(st, 3, lo);
    BindText(st, 4, RangeEnd(lo));
    return sqlite3_step(st) == SQLITE_ROW ? (uint64_t)sqlite3_column_int64(st, 0) : 0;
}

int Storage::LatestSince(uint64_t view_id, uint64_t since, const std::string& prefix, bool recursive,
                         std::vector<ChangeRow>* rows, uint64_t upto) {
    MutexLock g(m_lock);
    sqlite3_stmt* st = Cached("SELECT " REF_CHANGE_COLS
                              " FROM changes c WHERE view_id = ?1 AND sync_id > ?2 AND sync_id <= ?6"
                              // Below "/" is the whole view, whatever its rows look like.
                              " AND (?3 = '/' OR path = ?3 OR (path >= ?4 AND path < ?5))"
                              " AND sync_id = (SELECT MAX(sync_id) FROM changes d"
                              "                WHERE d.view_id = c.view_id AND d.path = c.path)"
                              " ORDER BY sync_id");
    if (!st) return -1;
    ResetOnExit reset{st};
    const std::string lo = DirPrefix(prefix);
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    sqlite3_bind_int64(st, 2, (sqlite3_int64)since);
    BindText(st, 3, prefix);
    BindText(st, 4, lo);
    BindText(st, 5, RangeEnd(lo));
    sqlite3_bind_int64(st, 6, ClampId(upto));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ChangeRow r;
        ReadRow(st, &r);
        if (!recursive && r.path != prefix) {
            // Only the direct children of the prefix.
            if (r.path.find('/', lo.size()) != std::string::npos) continue;
        }
        rows->push_back(std::move(r));
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int Storage::ScanChanges(uint64_t view_id, uint64_t after, uint64_t upto, const std::string& prefix, unsigned limit,
                         std::vector<ChangeRow>* rows) {
    MutexLock g(m_lock);
    // Along the table's own key, each row read once: the "+" keeps the planner off the
    // path index, which would read the whole view and sort it for every batch.
    sqlite3_stmt* st = Cached("SELECT " REF_CHANGE_COLS
                              " FROM changes WHERE sync_id > ?2 AND sync_id <= ?3"
                              " AND +view_id = ?1 AND (?4 = '/' OR +path = ?4 OR (+path >= ?5 AND +path < ?6))"
                              " ORDER BY sync_id LIMIT ?7");
    if (!st) return -1;
    ResetOnExit reset{st};
    const std::string lo = DirPrefix(prefix);
    sqlite3_bind_int64(st, 1, (sqlite3_int64)view_id);
    sqlite3_bind_int64(st, 2, ClampId(after));
    sqlite3_bind_int64(st, 3, ClampId(upto));
    BindText(st, 4, prefix);
    BindText(st, 5, lo);
    BindText(st, 6, RangeEnd(lo));
    sqlite3_bind_int64(st, 7, (sqlite3_int64)limit);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        rows->emplace_back();
        ReadRow(st, &rows->back());
    }
    if (rc != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        return -1;
    }
    return 0;
}

uint64_t Storage::ChangeCount() {
    MutexLock g(m_lock);
    return m_change_count;
}

uint64_t Storage::WaitForChange(uint64_t seen, std::chrono::milliseconds most) {
    const auto until = std::chrono::steady_clock::now() + most;
    MutexLock g(m_lock);
    while (m_change_count == seen) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) break;
        m_changed.WaitFor(
            m_lock, std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1));
    }
    return m_change_count;
}

bool Storage::IsHex(const std::string& s, size_t len) {
    if (s.size() != len) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

bool Storage::IsValidPath(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    if (path == "/") return true;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string comp = path.substr(start, end - start);
        if (comp.empty() || comp == "." || comp == "..") return false;
        start = end + 1;
    }
    return path.find('\0') == std::string::npos && path.find('\\') == std::string::npos;
}

std::string Storage::BlobPath(const std::string& md4_hex) const {
    if (!IsHex(md4_hex, 32)) return std::string();
    std::string lower = md4_hex;
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = (char)(c - 'A' + 'a');
    return m_root + "/blobs/" + lower;
}

bool Storage::HasBlob(const std::string& md4_hex) const {
    std::string p = BlobPath(md4_hex);
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int Storage::AdoptBlob(const std::string& tmp_path, const std::string& md4_hex) {
    std::string p = BlobPath(md4_hex);
    if (p.empty()) return -1;
    if (HasBlob(md4_hex)) {
        unlink(tmp_path.c_str());
        return 0;
    }
    return rename(tmp_path.c_str(), p.c_str()) == 0 ? 0 : -1;
}

std::string Storage::NewResumeToken() {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1) return std::string();
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", raw[i]);
    return std::string(hex, 32);
}

std::string Storage::ResumePath(const std::string& token) const {
    if (!IsHex(token, 32)) return std::string();
    return m_root + "/resume/" + token;
}

void Storage::DropResume(const std::string& token) {
    const std::string held = ResumePath(token);
    if (held.empty()) return;
    for (const char* suffix : {"", ".data", ".delta"}) unlink((held + suffix).c_str());
}

void Storage::SweepResume(uint64_t max_age) {
    const std::string dir = m_root + "/resume";
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    const time_t now = time(nullptr);
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        const std::string path = dir + "/" + e->d_name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > (time_t)max_age)
            unlink(path.c_str());
    }
    closedir(d);
}

std::string Storage::TempPath() {
    MutexLock g(m_lock);
    return m_root + "/tmp/" + std::to_string(getpid()) + "-" + std::to_string(++m_tmp_serial);
}
