// Conflict renaming: keeps a local file or directory under a self-describing name
// in the same folder ("report_PC1_Dec-06-1604-2026_Conflict.txt") so that an
// incoming version can take its name. An existing entry is never replaced.
#pragma once

#include "foundation/ustring.h"
#include "platform/file_ops.h"

class SessionRoot;

// Paths are relative to the session's root and every step stays beneath it (a
// link on the way gives FsResult::kLink). Log lines name the full paths.
//
// Renames org_path to the first free name among
//   <stem>_<client>_<time>_<reason><ext>  and  <stem>_<client>_<time>_<reason>_<n><ext>, n = 1..99.
// kOk; kFailed when the rename fails or every name is taken; kNameTooLong when the
// name is too long; kLink when the path runs through a link. renamed_to, when given,
// receives the new path on success.
[[nodiscard]] FsResult ConflictRename(const SessionRoot& root, const ustring& org_path, const ustring& client_name,
                                      const ustring& reason, ustring* renamed_to = nullptr);

// Whether the last component of path is a name ConflictRename made for reason: its
// stem (before the last ".") ends with "_<time>_<reason>" or "_<time>_<reason>_<n>".
bool IsConflictName(const ustring& path, const ustring& reason);

// For a name with leading or trailing spaces: moves fullpath to the trimmed
// basename in the same folder, or when that is taken to the first free name among
//   <trimmed stem>_<client>_<time>_WhiteSpaceConflict<ext> and ..._WhiteSpaceConflict_<n><ext>, n = 0..99.
// Results as for ConflictRename.
[[nodiscard]] FsResult WhiteSpaceConflictRename(const SessionRoot& root, const ustring& fullpath,
                                                const ustring& basename, const ustring& clientname);

// The pieces, exposed for tests and for callers that want to show the name.
// Time stamp of t in local time, e.g. "Dec-06-1604-2026".
ustring ConflictTimeStamp(time_t t);
// path with insert placed before the extension (from the last "." of the last
// component), or at the end when there is none. With dot_at_end_is_extension false,
// a final "." does not start an extension. A last component that would pass 255
// bytes has its stem shortened on a UTF-8 character boundary (insert and extension
// kept whole; an extension too long for that is shortened with the stem).
ustring InsertBeforeExtension(const ustring& path, const ustring& insert, bool dot_at_end_is_extension);
