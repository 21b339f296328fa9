// Registry: the process-wide table of live sessions. Callers get copies of entries,
// never references into the table; the registered copy owns the session's black list,
// white list and event database, which only Clear destroys.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

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
        // Every file operation in the session's folder goes through this root.
        std::shared_ptr<const SessionRoot> root;
        ustring remote_path;
        ustring config_path;
        bool isMSDOS = false;
        bool pause = false;
        BlackList2* black_list = nullptr;
        WhiteListCpp* white_list = nullptr;
        FileEventDB* event_db = nullptr;
    };

    static Registry& getInstance();

    // 1 and a copy when registered, else 0 (out untouched).
    int Find(uint64_t sess_id, Entry& out);
    // 0 only when empty; else 1 and the entry after sess_id (wrapping), or the first
    // entry when sess_id is not registered.
    int FindNext(uint64_t sess_id, Entry& out);
    // Inserts, or replaces the whole registered entry of that id.
    void Set(const Entry& entry);
    // Destroys the session's event database, white list and black list and forgets it.
    void Clear(uint64_t sess_id);
    void Clear();
    // Lowers recycle_time to t, or sets it when it is 0.
    void InitRecycleTime(const Entry& entry, uint32_t t);
    void UpdateRecycleTime(const Entry& entry, uint32_t t);
    size_t Size();

    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

private:
    Registry();
    ~Registry();
    static void DestroyObjects(Entry& entry);

    std::map<uint64_t, Entry> index;
    pthread_mutex_t mutex;
};
