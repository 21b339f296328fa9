// ProgressCache: the in-memory queue of selective-sync resume conditions that the
// progress puller works through, in insertion order. One mutex guards every operation;
// entries are copied in and out.
#pragma once

#include <cstdint>
#include <list>

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
    void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
    void rmProgressEntry(uint64_t row_id);
    bool isInProgrssCache(uint64_t sess_id);
    // Drops every entry of the session (it is being removed).
    void rmSessionEntries(uint64_t sess_id);
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
