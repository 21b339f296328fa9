// The recycle folder as the user sees it: readable entry names, the reconciliation
// of the folder with its table when a session starts, the size cap, and restoring an
// entry to the synchronised folder. Every path is relative to the session's root and
// every file operation goes through its SessionRoot (beneath the root, never through
// a link). The table columns are described in doc/recycle.md.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/ustring.h"

class FileEventDB;
class SessionRoot;
class TmpNameGen;

namespace recycle {

// Why an entry is in the recycle folder (the table's "reason" column).
inline constexpr const char* kRemoved = "removed";    // removed on the server, or a folder replaced by a file
inline constexpr const char* kReplaced = "replaced";  // the version a download replaced
inline constexpr const char* kParked = "parked";      // a download that could not be put in place
inline constexpr const char* kFound = "found";        // on disk without a record (an interrupted move)

// The entry name for an item called base_name: "/" + stem + "~" + tag + extension
// ("report.txt" -> "/report~Ab3dEf9k.txt", "photos" -> "/photos~Ab3dEf9k"). The
// extension is kept (up to 16 bytes) so that the file still opens as what it is; the
// stem is cut at a character boundary so that the name stays within 255 bytes.
ustring EntryName(const ustring& base_name, const std::string& tag);

// A fresh entry name for the item at rel, the recycle folder made when missing.
// 0 with name set, -1.
[[nodiscard]] int FreshName(TmpNameGen& names, const SessionRoot& root, const ustring& rel, ustring& name);

// Empties the working directory of scratch files, keeping the recycle folder (made
// when missing). A link in the way is removed as a link. 0, or -1 when the recycle
// folder cannot be made.
[[nodiscard]] int ClearWorkingDirectory(const SessionRoot& root);

// Makes the table and the folder agree when a session starts: rows whose entry is gone
// are dropped; entries without a row are recorded as found at `now`, so that the
// rotation takes them in time. `oldest` receives the oldest remaining time (0: none).
// 0, or -1 when the folder or the table could not be read.
[[nodiscard]] int Reconcile(const SessionRoot& root, FileEventDB& db, uint32_t now, uint32_t& oldest);

// Removes the oldest entries (with their rows) until the bytes recorded fit in
// max_bytes (0: no cap). An entry that cannot be removed is skipped and the next one
// taken. 0; -1 when the table failed or an entry could not be removed.
[[nodiscard]] int TrimToSize(const SessionRoot& root, FileEventDB& db, uint64_t max_bytes);

enum class RestoreResult {
    kOk,
    kNothing,       // no entry was removed from that path (or a folder above it)
    kGone,          // the entry's item is no longer in the recycle folder
    kTargetExists,  // something is at the destination: never overwritten
    kBadTarget,     // the destination is the root, inside the working directory, through a link, or invalid
    kFailed,        // the move or the table failed (logged)
};

// Moves the newest entry removed from `path`, or the item at `path` inside a recycled
// folder above it (the newest that holds it), to `dest` (both session paths with a leading "/"; the
// parent folders are made), and drops its rows. The item then shows up in the folder
// like any new file and is uploaded. `entry` receives the entry's recycle path.
[[nodiscard]] RestoreResult Restore(const SessionRoot& root, FileEventDB& db, const ustring& path, const ustring& dest,
                                    ustring& entry);

// What a restore result means, for replies.
const char* RestoreText(RestoreResult r);

}  // namespace recycle
