// "nimbrelctl conflicts" and "nimbrelctl recycle": what the daemon kept for the user
// (conflict copies, removed and replaced items) and bringing an item back.
#pragma once

#include <string>
#include <vector>

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
