#include "events/registry.h"

#include <utility>
#include <vector>

#include "filter/black_list.h"
#include "filter/white_list.h"
#include "store/file_event_db.h"

Registry& Registry::getInstance() {
    // Never destroyed: the objects an entry owns log while they close, and the logger
    // may already be gone when static destructors run. Stopping clears the registry.
    static Registry* instance = new Registry;
    return *instance;
}

std::shared_ptr<FileEventDB> Registry::MakeEventDB() {
    return std::shared_ptr<FileEventDB>(new FileEventDB(), [](FileEventDB* db) {
        db->destroy();
        delete db;
    });
}

int Registry::Find(uint64_t sess_id, Entry& out) {
    MutexLock g(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    out = it->second;
    return 1;
}

int Registry::FindNext(uint64_t sess_id, Entry& out) {
    MutexLock g(mutex);
    if (index.empty()) return 0;
    auto it = index.find(sess_id);
    if (it == index.end()) {
        it = index.begin();
    } else if (++it == index.end()) {
        it = index.begin();
    }
    out = it->second;
    return 1;
}

void Registry::Set(const Entry& entry) {
    // The replaced objects may be the last hold on a database, whose closing logs and
    // takes its own lock: they are let go after the registry lock.
    Entry replaced;
    {
        MutexLock g(mutex);
        Entry& slot = index[entry.sess_id];
        replaced = std::move(slot);
        slot = entry;
    }
}

int Registry::SetPause(uint64_t sess_id, bool pause) {
    MutexLock g(mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    it->second.pause = pause;
    return 1;
}

int Registry::SetRoot(uint64_t sess_id, std::shared_ptr<const SessionRoot> root) {
    {
        MutexLock g(mutex);
        auto it = index.find(sess_id);
        if (it == index.end()) return 0;
        it->second.root.swap(root);
    }
    return 1;  // the old root is let go here, outside the lock
}

void Registry::Clear(uint64_t sess_id) {
    Entry removed;
    {
        MutexLock g(mutex);
        auto it = index.find(sess_id);
        if (it == index.end()) return;
        removed = std::move(it->second);
        index.erase(it);
    }
}

void Registry::Clear() {
    std::map<uint64_t, Entry> removed;
    {
        MutexLock g(mutex);
        removed.swap(index);
    }
}

void Registry::InitRecycleTime(const Entry& entry, uint32_t t) {
    MutexLock g(mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    if (it->second.recycle_time == 0 || it->second.recycle_time > t) it->second.recycle_time = t;
}

void Registry::UpdateRecycleTime(const Entry& entry, uint32_t start, uint32_t t) {
    MutexLock g(mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    uint32_t& cur = it->second.recycle_time;
    if (cur == start)
        cur = t;
    else if (t != 0 && (cur == 0 || t < cur))
        cur = t;  // a worker parked something meanwhile: the older of the two is due first
}

size_t Registry::Size() {
    MutexLock g(mutex);
    return index.size();
}
