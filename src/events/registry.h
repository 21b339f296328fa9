// Registry: the process-wide table of live sessions. Callers get copies of entries,
// never references into the table. An entry's black list, white list and event
// database are shared-owned: a copy that a task still holds keeps them usable after
// the session was removed, and they are destroyed when the last copy goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "platform/session_root.h"

class BlackList2;
class WhiteListCpp;
class FileEventDB;

class Registry {
public:
    struct Entry {
        uint64_t sess_id = 0;
        uint64_t view_id = 0;
        uint64_t node_id = 0;
        uint32_t recycle_time = 0;  // oldest entry of the recycle folder, 0 = none
        bool recursive = true;
        ustring local_path;  // the resolved folder: root->path()
        // The device the folder lay on when the session was first added (0: unknown);
        // a folder found on another device is taken for missing, not for empty.
        uint64_t root_dev = 0;
        // Every file operation in the session's folder goes through this root.
        std::shared_ptr<const SessionRoot> root;
        ustring remote_path;
        ustring config_path;
        bool isMSDOS = false;
        bool pause = false;
        std::shared_ptr<BlackList2> black_list;
        std::shared_ptr<WhiteListCpp> white_list;
        // Closed (FileEventDB::destroy) when the last holder lets go.
        std::shared_ptr<FileEventDB> event_db;
    };

    static Registry& getInstance();
    // An event database that is closed before it is freed, for Entry::event_db.
    static std::shared_ptr<FileEventDB> MakeEventDB();

    // 1 and a copy when registered, else 0 (out untouched).
    int Find(uint64_t sess_id, Entry& out) EXCLUDES(mutex);
    // 0 only when empty; else 1 and the entry after sess_id (wrapping), or the first
    // entry when sess_id is not registered.
    int FindNext(uint64_t sess_id, Entry& out) EXCLUDES(mutex);
    // Inserts, or replaces the whole registered entry of that id; the registry's hold
    // on the objects of a replaced entry is released.
    void Set(const Entry& entry) EXCLUDES(mutex);
    // Changes only the pause flag: 1 when the id is registered, else 0.
    int SetPause(uint64_t sess_id, bool pause) EXCLUDES(mutex);
    // Replaces only the session root (the folder was removed and made again, and the
    // old root names the deleted directory). 1 when the id is registered, else 0.
    // Copies already taken keep the old root.
    int SetRoot(uint64_t sess_id, std::shared_ptr<const SessionRoot> root) EXCLUDES(mutex);
    // Forgets the session; its objects go once no copy holds them any more.
    void Clear(uint64_t sess_id) EXCLUDES(mutex);
    void Clear() EXCLUDES(mutex);
    // Lowers recycle_time to t, or sets it when it is 0.
    void InitRecycleTime(const Entry& entry, uint32_t t) EXCLUDES(mutex);
    // The rotation's result: recycle_time becomes t when it still is `start`, the value
    // the pass began from; otherwise (changed meanwhile) it keeps the smaller non-zero
    // of the two, so a pass never wipes the time of an entry parked during it.
    void UpdateRecycleTime(const Entry& entry, uint32_t start, uint32_t t) EXCLUDES(mutex);
    size_t Size() EXCLUDES(mutex);

    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

private:
    Registry() = default;
    ~Registry() = default;

    Mutex mutex;
    std::map<uint64_t, Entry> index GUARDED_BY(mutex);
};
