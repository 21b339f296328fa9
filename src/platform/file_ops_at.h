// Descriptor-based steps that file_ops.cpp and session_root.cpp share. Internal to
// the platform layer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "platform/file_ops.h"

namespace fsat {

// Serialises every rename of the process.
Mutex& RenameMutex();
// Empties the directory open at fd without following links or crossing into another
// volume; `path` names it in log lines. kOk, or kFailed when anything stayed.
[[nodiscard]] FsResult RemoveContentsAt(int fd, const ustring& path);
// Copies everything from `in` to `out` (both open). kOk, kDiskFull or kFailed.
[[nodiscard]] FsResult CopyData(int in, int out);
// An errno that means a full volume.
bool DiskFull(int err);
// A time stamp clamped to the 32-bit seconds FILE_INFO holds.
uint32_t ClampTime(time_t t);
// The FILE_INFO type of a mode (devices, FIFOs and sockets are FT_ERR).
FILE_TYPE TypeOfMode(mode_t m);
// Whether the folder dir (relative to at_fd, or AT_FDCWD) holds an entry named
// exactly name, byte for byte.
bool HasExactEntryAt(int at_fd, const std::string& dir, const std::string& name);

}  // namespace fsat
