#include "events/registry.h"

#include "filter/black_list.h"
#include "filter/white_list.h"
#include "foundation/mutex_guard.h"
#include "store/file_event_db.h"

Registry& Registry::getInstance() {
    // Never destroyed: the objects an entry owns log while they close, and the logger
    // may already be gone when static destructors run. Stopping clears the registry.
    static Registry* instance = new Registry;
    return *instance;
}

Registry::Registry() { pthread_mutex_init(&mutex, nullptr); }

Registry::~Registry() {
    Clear();
    pthread_mutex_destroy(&mutex);
}

void Registry::DestroyObjects(Entry& entry) {
    if (entry.event_db) {
        entry.event_db->destroy();
        delete entry.event_db;
        entry.event_db = nullptr;
    }
    delete entry.white_list;
    entry.white_list = nullptr;
    delete entry.black_list;
    entry.black_list = nullptr;
}

int Registry::Find(uint64_t sess_id, Entry& out) {
    MutexGuard g(&mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    out = it->second;
    return 1;
}

int Registry::FindNext(uint64_t sess_id, Entry& out) {
    MutexGuard g(&mutex);
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
    MutexGuard g(&mutex);
    index[entry.sess_id] = entry;
}

void Registry::Clear(uint64_t sess_id) {
    MutexGuard g(&mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return;
    DestroyObjects(it->second);
    index.erase(it);
}

void Registry::Clear() {
    MutexGuard g(&mutex);
    for (auto& kv : index) DestroyObjects(kv.second);
    index.clear();
}

void Registry::InitRecycleTime(const Entry& entry, uint32_t t) {
    MutexGuard g(&mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    if (it->second.recycle_time == 0 || it->second.recycle_time > t) it->second.recycle_time = t;
}

void Registry::UpdateRecycleTime(const Entry& entry, uint32_t t) {
    MutexGuard g(&mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    it->second.recycle_time = t;
}

size_t Registry::Size() {
    MutexGuard g(&mutex);
    return index.size();
}
