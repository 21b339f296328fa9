// FileEventDB: the per-session record of what has been synchronised (one row per
// path), the session's server sync id, the index of its local recycle bin, and the
// signature store (one signature file per synchronised file version, named by row id).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "store/event.h"
#include "store/file_list.h"

class FileEventDB {
public:
    struct EventInfo {
        uint64_t row_id = 0;
        uint64_t sync_id = 0;
    };

    FileEventDB();
    ~FileEventDB();
    FileEventDB(const FileEventDB&) = delete;
    FileEventDB& operator=(const FileEventDB&) = delete;

    int initialize(const ustring& location);
    int destroy();

    int getEventInfo(const ustring& path, ClientFileEventInfo& info);
    int setEventInfo(const ClientFileEventInfo& info);
    int contains(const ustring& path, EventInfo& info);
    int rmEventInfo(const ustring& path);
    int rmEventInfoV3(const ustring& path);
    // A removal stored on the server as syncID is a change below every folder that held
    // the path: their rows' maxSyncID rise to it (rows never fall, and no row is made),
    // so that a later removal or upload of one of them names the version the server
    // holds. 0, or -1 when the database failed.
    int raiseAncestorsMaxSyncId(const ustring& path, uint64_t syncID);
    int rmAllFolders();

    int getSyncId(uint64_t& sync_id);
    int setSyncId(uint64_t sync_id);

    int getFileList(FileList* list, const ustring& prefix);
    int getFileListWithoutRecursive(FileList* list, const ustring& prefix);
    int getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t syncID);

    int getFilePathByHash(const ustring& hash, const ustring& macHash, ustring& path);
    int getFilePathByHashFromRecycle(const ustring& hash, const ustring& macHash, ustring& path);

    int addFileToRecycleBin(const ustring& path, uint64_t size, const ustring& checksum, const ustring& macHash);
    int dumpFileToRecycleBin(const ustring& recyclePath, const ustring& path);
    int dumpDirToRecycleBin(const ustring& recyclePrefix, const ustring& path);
    int rmRecycleByPath(const ustring& path);
    // Removes the recycle-bin rows of the entry `path` and of everything recorded
    // below it ("path/..."). 0 or -1.
    int rmRecycleTree(const ustring& path);
    int resetRecycleBin();
    int getOldestRecyleTime(uint32_t& time);
    int getRotateList(uint32_t time, std::set<ustring>& list);
    int rmRotateRecords(uint32_t time);

    // ---- Recovery (recycle_index.cpp): where each recycled item came from, and the
    // conflict copies made. Paths named "origPath"/"copyPath" are session paths with a
    // leading "/"; recycle names are top-level entries "/name" of the recycle folder.
    struct RecycleItem {
        ustring name;      // "/name" in the recycle folder
        ustring origPath;  // where it was; empty when unknown (found without a record)
        ustring reason;    // "removed", "replaced", "parked" or "found"
        uint64_t bytes = 0;  // its size, a folder's the sum of the files recorded in it
        uint32_t time = 0;   // when it was moved there
    };
    struct ConflictItem {
        ustring copyPath;  // the copy that keeps the local version
        ustring origPath;  // the name the other version took
        ustring reason;
        uint32_t time = 0;
    };
    // Sets the origin of the top-level entry `name`. 0 or -1.
    int setRecycleOrigin(const ustring& name, const ustring& origPath, const ustring& reason);
    // Records an entry that has no row yet (a replaced version: its rows stay with the
    // new one; an entry found on disk without a record). 0 or -1.
    int addRecycleEntry(const ustring& name, const ustring& origPath, const ustring& reason, uint64_t size,
                        const ustring& checksum, const ustring& macHash, uint32_t time);
    // The top-level entries, oldest first (ties by insertion). 0 or -1.
    int listRecycle(std::vector<RecycleItem>& out);
    // The top-level entries whose origPath is `path` or a folder above it, newest
    // first (appended to out). 0 or -1.
    int findRecycleFor(const ustring& path, std::vector<RecycleItem>& out);
    // Records a conflict copy (a later record of the same copy replaces it). 0 or -1.
    int addConflict(const ustring& copyPath, const ustring& origPath, const ustring& reason, uint32_t time);
    int listConflicts(std::vector<ConflictItem>& out);
    int rmConflict(const ustring& copyPath);

    // The paths of the file rows whose stamp names this inode (hard links of one file,
    // with their leading "/"). 0, or -1 when the database failed.
    int getPathsByInode(uint64_t inode, std::vector<ustring>& paths);

    // Where the signature of row `id` lives: the id's bytes from the most significant
    // non-zero one down, two hex digits each, joined by "/", the last one behind a ".".
    static ustring SignatureName(uint64_t id);
    ustring getSignaturePath(uint64_t id) const;

    const ustring& getDBPath() const { return m_eventDBPath; }
    const ustring& getSignDir() const { return m_signPath; }

private:
    int execLocked(const char* sql, const char* what) REQUIRES(m_dbMutex);
    // Adds the recycle origin columns, the conflict table and the stamp columns when a
    // database from before them is opened. 0 or -1.
    int migrateRecoveryLocked() REQUIRES(m_dbMutex);
    int containsLocked(const ustring& stripped, EventInfo& info) REQUIRES(m_dbMutex);
    int updateAncestorsLocked(const ustring& stripped, uint64_t syncID, uint32_t mtime) REQUIRES(m_dbMutex);
    int pathByHash(const char* table_sql, const ustring& hash, ustring& path) EXCLUDES(m_dbMutex);
    // The statement for sql, prepared once per handle (kept until destroy) with its
    // bindings cleared; the caller resets it after use (sqlutil::ResetGuard). Null,
    // logged, when it cannot be prepared.
    sqlite3_stmt* cached(const char* sql) REQUIRES(m_dbMutex);
    void finalizeCached() REQUIRES(m_dbMutex);
    // Steps a cached statement that returns no rows and resets it: 0, or -1 logged as
    // `what`.
    int stepDone(sqlite3_stmt* st, const char* what) REQUIRES(m_dbMutex);

    ustring m_eventDBPath;
    ustring m_signPath;
    Mutex m_dbMutex;
    sqlite3* m_db GUARDED_BY(m_dbMutex) = nullptr;
    std::map<std::string, sqlite3_stmt*> m_stmts GUARDED_BY(m_dbMutex);
};
