// Selective-sync reconciliation: brings a session's rules in the filter database in
// line with its black-list file. A rule that was dropped or loosened leaves a resume
// condition (stored and queued in the progress cache) so that the content it held
// back is fetched; a new path-prefix rule moves the local copy of that folder into
// the session's recycle folder.
#pragma once

#include <cstdint>
#include <set>

#include "filter/filter_record.h"
#include "foundation/ustring.h"
#include "store/filter_db.h"

// Upper bound written for a size limit that was lifted (0 = no limit): 10 GiB.
constexpr uint64_t kResumeSizeNoLimit = 10737418240ULL;

// True, or false when the file cannot be read, a description is refused or a database
// step fails (the reconciliation stops at the first failure). The row ids of the
// resume conditions it stored (and queued) are added to added_rows when given.
[[nodiscard]] bool reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& filter_path,
                                 const ustring& sync_folder, std::set<uint64_t>* added_rows = nullptr);

void ConvertFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const Filter& filter,
                                          SelectiveSyncInfo& ss_info);

// Brings the rules of one kind in the database in line with the file's: true, or
// false at the first refused description or failed database step.
[[nodiscard]] bool CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& db_set,
                                     const std::set<FilterInfo>& file_set, const ustring& sync_folder,
                                     std::set<uint64_t>* added_rows = nullptr);

// Sizes are the descriptions read as numbers, 0 meaning no limit; an empty database
// description means the session has no size rule yet. True, or false when a database
// step fails.
[[nodiscard]] bool CompareSizeFilter(uint64_t sess_id, const FilterInfo& db_finfo, const FilterInfo& file_finfo,
                                     std::set<uint64_t>* added_rows = nullptr);

// EncodeResumeSizeFilterDesc and DecodeResumeSizeFilterDesc: store/filter_db.h.

// A path-prefix description that may be acted on locally: a session-relative path
// with a leading "/", at least one component, and no "." or ".." component.
bool IsSafeSelectiveSyncPrefix(const ustring& desc);

// Moves sync_folder + desc into the session's recycle folder under a fresh unique
// name and records it in the session's event database, so that the recycle-bin
// rotation deletes it later. True also when there is nothing to move; false when the
// item stays in place (an unsafe description, a link in the way, a failed rename).
[[nodiscard]] bool MoveSelectiveSyncFolderAside(uint64_t sess_id, const ustring& sync_folder, const ustring& desc);
