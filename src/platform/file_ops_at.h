// Descriptor-based steps that file_ops.cpp and session_root.cpp share. Internal to
// the platform layer.
#pragma once

#include <mutex>

#include "foundation/ustring.h"

namespace fsat {

// Serialises every rename of the process.
std::mutex& RenameMutex();
// Empties the directory open at fd without following links or crossing into another
// volume; `path` names it in log lines. 0, or -1 when anything stayed.
int RemoveContentsAt(int fd, const ustring& path);
// Copies everything from `in` to `out` (both open). 0, FS_ERR_DISK_FULL or -1.
int CopyData(int in, int out);
// An errno that means a full volume.
bool DiskFull(int err);

}  // namespace fsat
