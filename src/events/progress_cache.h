// ProgressCache: the in-memory queue of selective-sync resume conditions that the
// progress puller works through, in insertion order. One mutex guards every operation;
// entries are copied in and out.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <set>

#include "foundation/mutex.h"
#include "store/filter_db.h"

class ProgressCache {
public:
    struct Entry {
        uint64_t row_id = 0;  // the condition's row in the filter database
        ResumeCondition condition;
    };

    static ProgressCache& getInstance();

    void addProgressEntry(uint64_t row_id, const ResumeCondition& condition);
    // Copies the first entry, which stays queued; false when the cache is empty.
    bool getProgressEntry(Entry& entry);
    // Copies the first entry whose session is not in skip; false when there is none.
    bool getProgressEntry(Entry& entry, const std::set<uint64_t>& skip);
    void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
    void rmProgressEntry(uint64_t row_id);
    bool isInProgrssCache(uint64_t sess_id);
    // Removes every entry of the session (it was removed; its stored conditions stay
    // for a later add); returns how many. With confirm, only when confirm(sess_id),
    // asked under the cache's lock, still agrees: a session added again meanwhile
    // queues its conditions only after it is registered, so none of them is lost.
    // Lock order: the cache's mutex, then whatever confirm takes (the registry's).
    size_t rmSessionEntries(uint64_t sess_id, const std::function<bool(uint64_t)>& confirm = nullptr);
    // Drops every entry (the environment is being torn down).
    void clear();
    size_t size();

    ProgressCache(const ProgressCache&) = delete;
    ProgressCache& operator=(const ProgressCache&) = delete;

private:
    ProgressCache() = default;
    ~ProgressCache() = default;

    Mutex m_mutex;
    std::list<Entry> cache_list GUARDED_BY(m_mutex);
};
