#include "daemon/selective_sync.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "events/progress_cache.h"
#include "events/registry.h"
#include "filter/filter_codes.h"
#include "filter/filter_parser.h"
#include "foundation/logger.h"
#include "platform/file_ops.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"

namespace {
const char* const kChannel = "client_debug";
constexpr int kUniqueNameAttempts = 16;

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// A size description as a number; empty (and anything unreadable) is 0.
uint64_t SizeOf(const ustring& desc) {
    if (desc.empty()) return 0;
    return strtoull(desc.c_str_utf8(), nullptr, 10);
}

// 0 means no limit, which is looser than any number.
uint64_t EffectiveLimit(uint64_t size) { return size == 0 ? UINT64_MAX : size; }

ustring Decimal(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llu", ull(v));
    return ustring(buf);
}

void AddSet(const value_type_string_set& set, uint64_t sync_id, std::set<FilterInfo>& out) {
    for (uint32_t i = 0; i < set.used; ++i) {
        if (set.set[i] == nullptr) continue;
        FilterInfo info;
        info.sync_id = sync_id;
        info.filter_desc = set.set[i];
        out.insert(info);
    }
}

// The components of a session-relative path, empty ones ("//", a trailing "/") left out.
std::vector<ustring> Components(const ustring& path) {
    std::vector<ustring> parts;
    uint32_t start = 0;
    while (start <= path.length()) {
        uint32_t slash = path.find('/', start);
        if (slash == ustring::npos) slash = path.length();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

bool StoreResume(const ResumeCondition& condition, std::set<uint64_t>* added_rows, const char* fmt_fail, int line) {
    uint64_t row_id = 0;
    if (FilterDB::getInstance().setResumeCondition(condition, row_id) != DbResult::kOk) {
        Logger::LogMsg(Logger::L_ERR, kChannel, fmt_fail, line, ull(condition.sess_id),
                       condition.filter_desc.c_str_utf8());
        return false;
    }
    ProgressCache::getInstance().addProgressEntry(row_id, condition);
    if (added_rows != nullptr) added_rows->insert(row_id);
    return true;
}
}  // namespace

bool IsSafeSelectiveSyncPrefix(const ustring& desc) {
    if (desc.empty() || desc[0] != '/') return false;
    std::vector<ustring> parts = Components(desc);
    if (parts.empty()) return false;
    for (const ustring& part : parts) {
        if (part == "." || part == "..") return false;
    }
    return true;
}

void ConvertFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const Filter& filter,
                                          SelectiveSyncInfo& ss_info) {
    (void)sess_id;
    AddSet(filter.common.black_path_prefix_selective_sync, sync_id, ss_info.black_prefix);
    AddSet(filter.file.black_name_selective_sync, sync_id, ss_info.black_name);
    AddSet(filter.file.black_ext_selective_sync, sync_id, ss_info.black_ext);
    ss_info.black_size.sync_id = sync_id;
    ss_info.black_size.filter_desc = Decimal(filter.file.max_size_selective_sync);
}

bool MoveSelectiveSyncFolderAside(uint64_t sess_id, const ustring& sync_folder, const ustring& desc) {
    if (!IsSafeSelectiveSyncPrefix(desc)) {
        NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Refuse to move aside '%s'\n", desc.c_str_utf8());
        return false;
    }
    // The path as the event database stores it: "/a/b", without empty components.
    ustring rel;
    for (const ustring& part : Components(desc)) rel += "/" + part;

    // The registered session's root, opened when it was added; without one the folder
    // is opened now. Every step below is resolved beneath it, never through a link.
    Registry::Entry entry;
    const bool registered = Registry::getInstance().Find(sess_id, entry) != 0 && entry.event_db != nullptr;
    std::shared_ptr<const SessionRoot> root = registered ? entry.root : nullptr;
    if (!root && !SessionRoot::Open(sync_folder, root)) return false;

    FILE_INFO info;
    FsResult rc = root->Stat(rel, info);
    // A link as the last component is moved as the link it is; one on the way is
    // never passed through.
    if (rc == FsResult::kLink) {
        NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "'%s' is not a folder of the session, '%s' stays\n",
                root->Full(rel).c_str_utf8(), rel.c_str_utf8());
        return false;
    }
    if (rc != FsResult::kOk) return false;
    if (!info.isExist) return true;  // nothing to move
    const bool is_dir = info.type == FT_DIR;

    if (root->MKDirP(session_folders::kRelRecycleFolder) != FsResult::kOk) return false;
    ustring unique;
    rc = FsResult::kFailed;
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        if (FSCreateTempPath("", unique) != FsResult::kOk) break;
        rc = root->RenameNoReplace(rel, session_folders::kRelRecycleFolder + unique);
        if (rc != FsResult::kExist) break;
    }
    if (rc != FsResult::kOk) return false;
    NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "'%s' moved to the recycle folder as '%s'\n", rel.c_str_utf8(),
            unique.c_str_utf8());

    if (!registered) {
        // Without a session there is no index to record it in; the recycle folder is
        // emptied when the session is added again.
        NLOG_AT(L_WARNING, kChannel, "filter-utils.cpp", "session %llu is not registered, '%s' is not recorded\n",
                ull(sess_id), unique.c_str_utf8());
        return true;
    }
    const DbResult recorded =
        is_dir ? entry.event_db->dumpDirToRecycleBin(unique, rel) : entry.event_db->dumpFileToRecycleBin(unique, rel);
    if (recorded != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "failed to record '%s' in the recycle bin of session %llu\n",
                unique.c_str_utf8(), ull(sess_id));
    }
    Registry::getInstance().InitRecycleTime(entry, static_cast<uint32_t>(time(nullptr)));
    return true;
}

bool CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                       const std::set<FilterInfo>& file_set, const ustring& sync_folder,
                       std::set<uint64_t>* added_rows) {
    FilterDB& db = FilterDB::getInstance();
    auto d = db_set.begin();
    auto f = file_set.begin();
    while (d != db_set.end() || f != file_set.end()) {
        const bool take_db = f == file_set.end() || (d != db_set.end() && d->filter_desc < f->filter_desc);
        const bool take_file = d == db_set.end() || (f != file_set.end() && f->filter_desc < d->filter_desc);
        if (!take_db && !take_file) {
            NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "filter: (%llu)[%s] didn't change, skipping...\n",
                    ull(sess_id), d->filter_desc.c_str_utf8());
            ++d;
            ++f;
        } else if (take_db) {
            // The rule was dropped: what it held back is to be fetched.
            ResumeCondition condition;
            condition.sess_id = sess_id;
            condition.sync_id = d->sync_id;
            condition.filter_type = filter_type;
            condition.filter_desc = d->filter_desc;
            if (!StoreResume(condition, added_rows,
                             "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition (%llu)[%s].\n", __LINE__))
                return false;
            if (db.rmFilter(sess_id, filter_type, d->filter_desc) != DbResult::kOk) {
                NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to rmFilter (%llu)[%s].\n", ull(sess_id),
                        d->filter_desc.c_str_utf8());
                return false;
            }
            NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "RESUME filter: (%llu)[%s].\n", ull(sess_id),
                    d->filter_desc.c_str_utf8());
            ++d;
        } else {
            const bool prefix = filter_type == FILTER_PATH_PREFIX_SELECTIVE_SYNC;
            if (prefix && !IsSafeSelectiveSyncPrefix(f->filter_desc)) {
                NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Refuse path prefix filter (%llu)[%s].\n", ull(sess_id),
                        f->filter_desc.c_str_utf8());
                return false;
            }
            if (db.setFilter(sess_id, prefix ? 0 : f->sync_id, filter_type, f->filter_desc) != DbResult::kOk) {
                NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to setFilter (%llu)[%s].\n", ull(sess_id),
                        f->filter_desc.c_str_utf8());
                return false;
            }
            if (prefix) {
                NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "Remove dir (%llu)[%s].\n", ull(sess_id),
                        f->filter_desc.c_str_utf8());
                // Not deleted: the server may not hold the same content. The recycle
                // folder keeps it until the rotation removes it.
                if (!MoveSelectiveSyncFolderAside(sess_id, sync_folder, f->filter_desc)) {
                    NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to remove path '%s'\n",
                            (sync_folder + f->filter_desc).c_str_utf8());
                }
            }
            NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "NEW filter: (%llu)[%s].\n", ull(sess_id),
                    f->filter_desc.c_str_utf8());
            ++f;
        }
    }
    return true;
}

bool CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_finfo, const FilterInfo& file_finfo,
                       std::set<uint64_t>* added_rows) {
    FilterDB& db = FilterDB::getInstance();
    const uint64_t db_size = SizeOf(db_finfo.filter_desc);
    const uint64_t file_size = SizeOf(file_finfo.filter_desc);

    // No rule stored yet. A stored rule of 0 (lifted earlier) is a rule, and is
    // compared below, so that it is updated rather than joined by a second row.
    if (db_finfo.filter_desc.empty()) {
        if (file_size != 0) {
            if (db.setSizeFilter(sess_id, file_finfo.sync_id, file_size) != DbResult::kOk) {
                NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to setSizeFilter (%llu)[%llu]\n", ull(sess_id),
                        ull(file_size));
                return false;
            }
            NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "NEW filter (%llu)[%s]\n", ull(sess_id),
                    file_finfo.filter_desc.c_str_utf8());
        }
        return true;
    }
    if (db_size == file_size) {
        NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "size filter (%llu)[%s] didn't change, skipping...\n",
                ull(sess_id), file_finfo.filter_desc.c_str_utf8());
        return true;
    }
    if (EffectiveLimit(file_size) > EffectiveLimit(db_size)) {
        ResumeCondition condition;
        condition.sess_id = sess_id;
        condition.sync_id = db_finfo.sync_id;
        condition.filter_type = FILTER_FILE_SIZE_SELECTIVE_SYNC;
        if (!EncodeResumeSizeFilterDesc(db_size, file_size == 0 ? kResumeSizeNoLimit : file_size,
                                        condition.filter_desc))
            return false;
        if (!StoreResume(condition, added_rows,
                         "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition (%llu)[%s]\n", __LINE__))
            return false;
        if (db.updateSizeFilter(sess_id, db_size, file_size) != DbResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to updateSizeFilter (%llu)from [%llu] to [%llu].\n",
                    ull(sess_id), ull(db_size), ull(file_size));
            return false;
        }
        NLOG_AT(L_INFO, kChannel, "filter-utils.cpp", "size filter is more loosely, update DB and resume (%llu)[%s].\n",
                ull(sess_id), condition.filter_desc.c_str_utf8());
        return true;
    }
    if (db.updateSizeFilter(sess_id, db_size, file_size) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "filter-utils.cpp", "Failed to updateSizeFilter (%llu)[%s]\n", ull(sess_id),
                file_finfo.filter_desc.c_str_utf8());
        return false;
    }
    NLOG_AT(L_INFO, kChannel, "filter-utils.cpp",
            "size filter is more stringent, just update DB (%llu)from %llu to %llu. \n", ull(sess_id), ull(db_size),
            ull(file_size));
    return true;
}

bool reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& filter_path, const ustring& sync_folder,
                   std::set<uint64_t>* added_rows) {
    Filter filter;
    filter_init(&filter);
    if (!filter_read(&filter, filter_path)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to read filter [%s]\n", filter_path.c_str_utf8());
        return false;
    }
    SelectiveSyncInfo file_info;
    ConvertFilterFileToSelectiveSyncInfo(sess_id, sync_id, filter, file_info);
    filter_destroy(&filter);

    SelectiveSyncInfo db_info;
    if (FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(sess_id, db_info) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to convert from filter DB.\n");
        return false;
    }

    // A new path-prefix rule acts on the local disk; a description that names no
    // folder below the session is refused before anything is changed.
    for (const FilterInfo& info : file_info.black_prefix) {
        if (db_info.black_prefix.count(info) != 0) continue;
        if (!IsSafeSelectiveSyncPrefix(info.filter_desc)) {
            NLOG_AT(L_ERR, kChannel, "app.cpp", "Refuse selective sync path prefix [%s] for session '%llu'.\n",
                    info.filter_desc.c_str_utf8(), ull(sess_id));
            return false;
        }
    }

    if (!CompareFilterList(sess_id, FILTER_PATH_PREFIX_SELECTIVE_SYNC, db_info.black_prefix, file_info.black_prefix,
                           sync_folder, added_rows)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to CompareFilterList for PATH_PREFIX.\n");
        return false;
    }
    if (!CompareFilterList(sess_id, FILTER_NAME_SELECTIVE_SYNC, db_info.black_name, file_info.black_name, sync_folder,
                           added_rows)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to CompareFilterList for BLACK_NAME.\n");
        return false;
    }
    if (!CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, db_info.black_ext, file_info.black_ext, sync_folder,
                           added_rows)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to CompareFilterList for BLACK_EXTENSION.\n");
        return false;
    }
    if (!CompareSizeFilter(sess_id, db_info.black_size, file_info.black_size, added_rows)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to CompareSizeFilter.\n");
        return false;
    }
    return true;
}
