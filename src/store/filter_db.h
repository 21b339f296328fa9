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
#include "store/db_result.h"

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
// that became allowed. Encode: false when the text cannot be made. Decode: false for
// an empty text or one that does not hold the two numbers.
[[nodiscard]] bool EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring& out);
[[nodiscard]] bool DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& lower_bound, uint64_t& upper_bound);

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

// Unless said otherwise an operation gives DbResult (failures logged). Lookups give
// DbLookup: kFound with the row filled in, kAbsent when there is none.
class FilterDB {
public:
    static FilterDB& getInstance();

    FilterDB() = default;
    ~FilterDB();
    FilterDB(const FilterDB&) = delete;
    FilterDB& operator=(const FilterDB&) = delete;

    [[nodiscard]] DbResult initialize(const ustring& path);
    void destroy();

    [[nodiscard]] DbResult setFilter(uint64_t sess, uint64_t syncId, int type, const ustring& desc);
    [[nodiscard]] DbResult rmFilter(uint64_t sess, int type, const ustring& desc);
    [[nodiscard]] DbResult setSizeFilter(uint64_t sess, uint64_t syncId, uint64_t size);
    [[nodiscard]] DbResult updateSizeFilter(uint64_t sess, uint64_t oldSize, uint64_t newSize);
    [[nodiscard]] DbResult rmSizeFilter(uint64_t sess, uint64_t size);
    // The rule in `info` ({0, ""} when the session has none).
    [[nodiscard]] DbResult getSizeFilter(uint64_t sess, FilterInfo& info);

    [[nodiscard]] DbResult setResumeCondition(const ResumeCondition& condition, uint64_t& id);
    // The first stored condition.
    [[nodiscard]] DbLookup getResumeCondition(uint64_t& id, ResumeCondition& condition);
    [[nodiscard]] DbResult getResumeConditionsBySession(uint64_t sess,
                                                        std::list<std::pair<uint64_t, ResumeCondition>>& list);
    [[nodiscard]] DbResult updateResumeSyncId(uint64_t id, uint64_t syncId);
    [[nodiscard]] DbResult rmResumeCondition(uint64_t id);

    [[nodiscard]] DbResult setLocalFilteredEvent(const FilterLocalEvent& event);
    [[nodiscard]] DbLookup getLocalFilteredEventByPath(uint64_t sess, const ustring& path, FilterLocalEvent& event);
    [[nodiscard]] DbResult rmLocalFilteredEventByPath(uint64_t sess, const ustring& path);
    [[nodiscard]] DbResult cleanLocalFilteredEventBySession(uint64_t sess);
    [[nodiscard]] DbResult dumpLocalFilteredEvent(uint64_t sess, std::set<FilterLocalEvent>& events);

    [[nodiscard]] DbResult setConfigItem(const ustring& key, const ustring& value);
    // The stored value, or E_OVERFLOW when the key is absent.
    [[nodiscard]] DbResult checkEventOverflow(int& stat);

    [[nodiscard]] DbResult ConvertFilterDBToSelectiveSyncInfo(uint64_t sess, SelectiveSyncInfo& info);

private:
    [[nodiscard]] DbResult execLocked(const char* sql, const char* what) REQUIRES(m_db_mutex);
    // Runs a statement made by sqlite3_mprintf (null when that failed) under the lock; frees it.
    [[nodiscard]] DbResult execFormatted(const char* what, char* sql);

    // Whether the session may hold filtered local events: answered from the table the
    // first time and remembered while nothing is removed; a session without any makes
    // removing one of its paths no database write at all. kFound: it may.
    [[nodiscard]] DbLookup mayHoldLocalEventsLocked(uint64_t sess) REQUIRES(m_db_mutex);

    ustring m_filter_db_path;
    Mutex m_db_mutex;
    sqlite3* m_db GUARDED_BY(m_db_mutex) = nullptr;
    // Per session: true once an event was recorded, false when the table had none.
    // Only this object writes the table, so the answer holds until it changes it.
    std::map<uint64_t, bool> m_holds_local_events GUARDED_BY(m_db_mutex);
};
