// "nimbrelctl conflicts" and "nimbrelctl recycle": what the daemon kept for the user
// (conflict copies, removed and replaced items) and bringing an item back.
#pragma once

#include <string>
#include <vector>

// The usage lines of both commands, spliced into the help text.
#define NIMBRELCTL_RECOVERY_USAGE                                                             \
    "  nimbrelctl conflicts [FOLDER] [--json] [--port N] [--state DIR]\n"                    \
    "      the conflict copies that still exist: each keeps a local version that another\n"  \
    "      version (named after it) would have overwritten\n"                                \
    "  nimbrelctl recycle list [FOLDER] [--json] [--port N] [--state DIR]\n"                 \
    "      what the recycle folders hold (removed items, versions replaced by a\n"           \
    "      download), oldest first, under their original paths\n"                           \
    "  nimbrelctl recycle restore PATH [--to DEST] [--port N] [--state DIR]\n"               \
    "      puts the newest item removed from PATH back at PATH (or DEST), never over an\n"   \
    "      existing file; it is then uploaded like any new file\n"

namespace nimbrelctl {

// conflicts [FOLDER]: the conflict copies that still exist, with their originals,
// why and when. json prints the daemon's reply as it came. Exit code: 0, or 1 with
// the cause on standard error.
int RunConflicts(int port, const std::vector<std::string>& args, bool json);

// recycle list [FOLDER] | recycle restore PATH [--to DEST] (to: DEST or empty).
// Relative paths are taken from the current folder; links along them are resolved
// as far as they exist, as the daemon resolves its folders. Exit code as above.
int RunRecycle(int port, const std::vector<std::string>& args, const std::string& to, bool json);


}  // namespace nimbrelctl
