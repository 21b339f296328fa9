#include "events/registry.h"

#include "filter/black_list.h"
#include "filter/white_list.h"
#include "store/file_event_db.h"

namespace {

struct Guard {
    explicit Guard(pthread_mutex_t* m) : m(m) { pthread_mutex_lock(m); }
    ~Guard() { pthread_mutex_unlock(m); }
    pthread_mutex_t* m;
};

}  // namespace

Registry& Registry::getInstance() {
    static Registry instance;
    return instance;
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
    Guard g(&mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return 0;
    out = it->second;
    return 1;
}

int Registry::FindNext(uint64_t sess_id, Entry& out) {
    Guard g(&mutex);
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
    Guard g(&mutex);
    index[entry.sess_id] = entry;
}

void Registry::Clear(uint64_t sess_id) {
    Guard g(&mutex);
    auto it = index.find(sess_id);
    if (it == index.end()) return;
    DestroyObjects(it->second);
    index.erase(it);
}

void Registry::Clear() {
    Guard g(&mutex);
    for (auto& kv : index) DestroyObjects(kv.second);
    index.clear();
}

void Registry::InitRecycleTime(const Entry& entry, uint32_t t) {
    Guard g(&mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    if (it->second.recycle_time == 0 || it->second.recycle_time > t) it->second.recycle_time = t;
}

void Registry::UpdateRecycleTime(const Entry& entry, uint32_t t) {
    Guard g(&mutex);
    auto it = index.find(entry.sess_id);
    if (it == index.end()) return;
    it->second.recycle_time = t;
}

size_t Registry::Size() {
    Guard g(&mutex);
    return index.size();
}
