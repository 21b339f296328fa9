// FileEventDB: the per-session record of what has been synchronised (one row per
// path), the session's server sync id, the index of its local recycle bin, and the
// signature store (one signature file per synchronised file version, named by row id).
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "store/db_result.h"
#include "store/event.h"
#include "store/file_list.h"

// Unless said otherwise an operation gives DbResult (failures logged). Lookups give
// DbLookup: kFound with the row filled in, kAbsent when there is none.
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

    [[nodiscard]] DbResult initialize(const ustring& location);
    void destroy();

    [[nodiscard]] DbLookup getEventInfo(const ustring& path, ClientFileEventInfo& info);
    [[nodiscard]] DbResult setEventInfo(const ClientFileEventInfo& info);
    [[nodiscard]] DbLookup contains(const ustring& path, EventInfo& info);
    [[nodiscard]] DbResult rmEventInfo(const ustring& path);
    [[nodiscard]] DbResult rmEventInfoV3(const ustring& path);
    // A removal stored on the server as syncID is a change below every folder that held
    // the path: their rows' maxSyncID rise to it (rows never fall, and no row is made),
    // so that a later removal or upload of one of them names the version the server
    // holds.
    [[nodiscard]] DbResult raiseAncestorsMaxSyncId(const ustring& path, uint64_t syncID);
    [[nodiscard]] DbResult rmAllFolders();

    [[nodiscard]] DbResult getSyncId(uint64_t& sync_id);
    [[nodiscard]] DbResult setSyncId(uint64_t sync_id);

    [[nodiscard]] DbResult getFileList(FileList* list, const ustring& prefix);
    [[nodiscard]] DbResult getFileListWithoutRecursive(FileList* list, const ustring& prefix);
    [[nodiscard]] DbResult getFileListWithoutRecursive(FileList* list, const ustring& prefix, uint64_t syncID);

    [[nodiscard]] DbLookup getFilePathByHash(const ustring& hash, const ustring& macHash, ustring& path);
    [[nodiscard]] DbLookup getFilePathByHashFromRecycle(const ustring& hash, const ustring& macHash, ustring& path);

    [[nodiscard]] DbResult addFileToRecycleBin(const ustring& path, uint64_t size, const ustring& checksum,
                                               const ustring& macHash);
    [[nodiscard]] DbResult dumpFileToRecycleBin(const ustring& recyclePath, const ustring& path);
    [[nodiscard]] DbResult dumpDirToRecycleBin(const ustring& recyclePrefix, const ustring& path);
    [[nodiscard]] DbResult rmRecycleByPath(const ustring& path);
    // Removes the recycle-bin rows of the entry `path` and of everything recorded
    // below it ("path/...").
    [[nodiscard]] DbResult rmRecycleTree(const ustring& path);
    [[nodiscard]] DbResult resetRecycleBin();
    [[nodiscard]] DbResult getOldestRecyleTime(uint32_t& time);
    [[nodiscard]] DbResult getRotateList(uint32_t time, std::set<ustring>& list);
    [[nodiscard]] DbResult rmRotateRecords(uint32_t time);

    // ---- Recovery (recycle_index.cpp): where each recycled item came from, and the
    // conflict copies made. Paths named "origPath"/"copyPath" are session paths with a
    // leading "/"; recycle names are top-level entries "/name" of the recycle folder.
    struct RecycleItem {
        ustring name;        // "/name" in the recycle folder
        ustring origPath;    // where it was; empty when unknown (found without a record)
        ustring reason;      // "removed", "replaced", "parked" or "found"
        uint64_t bytes = 0;  // its size, a folder's the sum of the files recorded in it
        uint32_t time = 0;   // when it was moved there
    };
    struct ConflictItem {
        ustring copyPath;  // the copy that keeps the local version
        ustring origPath;  // the name the other version took
        ustring reason;
        uint32_t time = 0;
    };
    // Sets the origin of the top-level entry `name`.
    [[nodiscard]] DbResult setRecycleOrigin(const ustring& name, const ustring& origPath, const ustring& reason);
    // Records an entry that has no row yet (a replaced version: its rows stay with the
    // new one; an entry found on disk without a record).
    [[nodiscard]] DbResult addRecycleEntry(const ustring& name, const ustring& origPath, const ustring& reason,
                                           uint64_t size, const ustring& checksum, const ustring& macHash,
                                           uint32_t time);
    // The top-level entries, oldest first (ties by insertion).
    [[nodiscard]] DbResult listRecycle(std::vector<RecycleItem>& out);
    // The top-level entries whose origPath is `path` or a folder above it, newest
    // first (appended to out).
    [[nodiscard]] DbResult findRecycleFor(const ustring& path, std::vector<RecycleItem>& out);
    // Records a conflict copy (a later record of the same copy replaces it).
    [[nodiscard]] DbResult addConflict(const ustring& copyPath, const ustring& origPath, const ustring& reason,
                                       uint32_t time);
    [[nodiscard]] DbResult listConflicts(std::vector<ConflictItem>& out);
    [[nodiscard]] DbResult rmConflict(const ustring& copyPath);

    // A stamp that a file was compared under, for the row of the version it held.
    struct RowStamp {
        ustring path;
        uint64_t syncID = 0;
        ustring checksum;
        uint32_t execBit = 0;
        LocalStamp stamp;
    };
    // Writes each stamp where its row is still a file of that sync id, checksum and
    // execute bit (a row changed since keeps what it has), all in one transaction.
    [[nodiscard]] DbResult setStamps(const std::vector<RowStamp>& rows);
    // The paths of the file rows whose stamp names this inode (hard links of one file,
    // with their leading "/").
    [[nodiscard]] DbResult getPathsByInode(uint64_t inode, std::vector<ustring>& paths);

    // Where the signature of row `id` lives: the id's bytes from the most significant
    // non-zero one down, two hex digits each, joined by "/", the last one behind a ".".
    static ustring SignatureName(uint64_t id);
    ustring getSignaturePath(uint64_t id) const;

    const ustring& getDBPath() const { return m_eventDBPath; }
    const ustring& getSignDir() const { return m_signPath; }

private:
    // A caller of setEventInfo whose row waits in the open group transaction.
    struct GroupMember {
        bool pending = false;    // written, not yet committed or rolled back
        bool committed = false;  // its group was committed
    };
    // The row's part of setEventInfo (inside the group transaction): the row, its
    // ancestors and the signature move. `found` tells whether an existing row changed;
    // `renamed` whether the signature was moved to `location`.
    [[nodiscard]] DbResult writeRowLocked(const ClientFileEventInfo& info, const ustring& stripped, bool& found,
                                          uint64_t& rowId, bool& renamed, ustring& location) REQUIRES(m_dbMutex);
    // Commits the open group transaction, if any, and wakes its members. Every holder
    // of the lock calls it first, so that a group never outlives its last writer.
    void settleGroupLocked() REQUIRES(m_dbMutex);
    void rollbackGroupLocked() REQUIRES(m_dbMutex);
    void endGroupLocked(bool committed) REQUIRES(m_dbMutex);
    [[nodiscard]] DbResult execLocked(const char* sql, const char* what) REQUIRES(m_dbMutex);
    // Adds the recycle origin columns, the conflict table and the stamp columns when a
    // database from before them is opened.
    [[nodiscard]] DbResult migrateRecoveryLocked() REQUIRES(m_dbMutex);
    [[nodiscard]] DbLookup containsLocked(const ustring& stripped, EventInfo& info) REQUIRES(m_dbMutex);
    [[nodiscard]] DbResult updateAncestorsLocked(const ustring& stripped, uint64_t syncID, uint32_t mtime)
        REQUIRES(m_dbMutex);
    [[nodiscard]] DbLookup pathByHash(const char* table_sql, const ustring& hash, ustring& path) EXCLUDES(m_dbMutex);
    // The statement for sql, prepared once per handle (kept until destroy) with its
    // bindings cleared; the caller resets it after use (sqlutil::ResetGuard). Null,
    // logged, when it cannot be prepared.
    sqlite3_stmt* cached(const char* sql) REQUIRES(m_dbMutex);
    void finalizeCached() REQUIRES(m_dbMutex);
    // Steps a cached statement that returns no rows and resets it; a failure is logged
    // as `what`.
    [[nodiscard]] DbResult stepDone(sqlite3_stmt* st, const char* what) REQUIRES(m_dbMutex);

    ustring m_eventDBPath;
    ustring m_signPath;
    Mutex m_dbMutex;
    sqlite3* m_db GUARDED_BY(m_dbMutex) = nullptr;
    std::map<std::string, sqlite3_stmt*> m_stmts GUARDED_BY(m_dbMutex);
    bool m_groupOpen GUARDED_BY(m_dbMutex) = false;
    std::vector<GroupMember*> m_groupMembers GUARDED_BY(m_dbMutex);
    CondVar m_groupDone;
    // setEventInfo callers about to take the lock: one of them will commit the group.
    std::atomic<int> m_arriving{0};
};
