// FilterDB: the process-wide record of selective-sync state: the rules in force per
// session (with the server sync id at which each took effect), the resume conditions
// left behind when a rule was loosened, and the local changes a filter held back.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <utility>

#include "filter/filter_codes.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"

struct FilterInfo {
    uint64_t sync_id = 0;
    ustring filter_desc;
    bool operator<(const FilterInfo& o) const { return filter_desc < o.filter_desc; }
};

struct SelectiveSyncInfo {
    std::set<FilterInfo> black_prefix;
    std::set<FilterInfo> black_name;
    std::set<FilterInfo> black_ext;
    FilterInfo black_size;  // description: the size limit in decimal, empty when there is none
};

struct ResumeCondition {
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    int32_t filter_type = 0;
    ustring filter_desc;
};

// The description of a size condition: "from=<from>,to=<to>", the range of sizes
// that became allowed. Encode: 0, or -1 when the text cannot be made. Decode: 0, or
// -1 for an empty text or one that does not hold the two numbers.
int EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring& out);
int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& lower_bound, uint64_t& upper_bound);

struct FilterLocalEvent {
    ustring path;
    ustring file_checksum;
    ustring base_name;
    ustring win_hash;
    ustring mac_hash;
    ustring linux_hash;
    ustring varnel_hash;
    uint64_t sess_id = 0;
    uint64_t sync_id = 0;
    uint64_t file_size = 0;
    uint32_t event_type = 0;
    uint32_t file_mod_time = 0;
    uint64_t inode = 0;
    int32_t file_type = 0;
    int32_t filtered_type = 0;
    int32_t is_exist = 0;
    bool operator<(const FilterLocalEvent& o) const { return path < o.path; }
};

enum EVENT_OVERFLOW_STAT { E_NOT_OVERFLOW = 0, E_OVERFLOW = 1 };

class FilterDB {
public:
    static FilterDB& getInstance();

    FilterDB() = default;
    ~FilterDB();
    FilterDB(const FilterDB&) = delete;
    FilterDB& operator=(const FilterDB&) = delete;

    int initialize(const ustring& path);
    int destroy();

    int setFilter(uint64_t sess, uint64_t syncId, int type, const ustring& desc);
    int rmFilter(uint64_t sess, int type, const ustring& desc);
    int setSizeFilter(uint64_t sess, uint64_t syncId, uint64_t size);
    int updateSizeFilter(uint64_t sess, uint64_t oldSize, uint64_t newSize);
    int rmSizeFilter(uint64_t sess, uint64_t size);
    // 0 with the rule in `info` ({0, ""} when the session has none), -1 on error.
    int getSizeFilter(uint64_t sess, FilterInfo& info);

    int setResumeCondition(const ResumeCondition& condition, uint64_t& id);
    // 1 and the first stored condition, 0 when there is none, -1 on error.
    int getResumeCondition(uint64_t& id, ResumeCondition& condition);
    int getResumeConditionsBySession(uint64_t sess, std::list<std::pair<uint64_t, ResumeCondition>>& list);
    int updateResumeSyncId(uint64_t id, uint64_t syncId);
    int rmResumeCondition(uint64_t id);

    int setLocalFilteredEvent(const FilterLocalEvent& event);
    int getLocalFilteredEventByPath(uint64_t sess, const ustring& path, FilterLocalEvent& event);
    int rmLocalFilteredEventByPath(uint64_t sess, const ustring& path);
    int cleanLocalFilteredEventBySession(uint64_t sess);
    int dumpLocalFilteredEvent(uint64_t sess, std::set<FilterLocalEvent>& events);

    int setConfigItem(const ustring& key, const ustring& value);
    // 0 with the stored value, or E_OVERFLOW when the key is absent; -1 on error.
    int checkEventOverflow(int& stat);

    int ConvertFilterDBToSelectiveSyncInfo(uint64_t sess, SelectiveSyncInfo& info);

private:
    int execLocked(const char* sql, const char* what) REQUIRES(m_db_mutex);
    // Runs a statement made by sqlite3_mprintf (null when that failed) under the lock; frees it.
    int execFormatted(const char* what, char* sql);
    // Takes a statement from sqlite3_mprintf (null when it failed) and runs it under the lock.
    int execFormatted(char* sql, const char* what);

    // Whether the session may hold filtered local events: answered from the table the
    // first time and remembered while nothing is removed; a session without any makes
    // removing one of its paths no database write at all. -1 on error.
    int mayHoldLocalEventsLocked(uint64_t sess) REQUIRES(m_db_mutex);

    ustring m_filter_db_path;
    Mutex m_db_mutex;
    sqlite3* m_db GUARDED_BY(m_db_mutex) = nullptr;
    // Per session: true once an event was recorded, false when the table had none.
    // Only this object writes the table, so the answer holds until it changes it.
    std::map<uint64_t, bool> m_holds_local_events GUARDED_BY(m_db_mutex);
};
