// Volume facts that change how the engine compares files: FAT-family volumes keep
// modification times to two seconds, and some volumes ignore letter case.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "foundation/ustring.h"

// Checks the volume of path (an absolute path; the nearest existing ancestor is
// asked). A FAT-family volume switches the whole process to two-second times.
// True, or false for a relative path or a failed volume query.
[[nodiscard]] bool FSInit(const ustring& path);

// True when path's volume is FAT-family; does not touch the process-wide flag.
bool IsMSDOS(const ustring& path);

// Times compare equal within one second once two-second times are in force.
bool FSTimeEqual(uint32_t a, uint32_t b);

// The process-wide two-second-time flag (set by FSInit; settable for tests).
bool FSTwoSecondTime();
void FSSetTwoSecondTime(bool on);

// Whether the volume type (statfs f_type) stores times at two-second resolution.
bool IsTwoSecondTimeFsType(unsigned long f_type);

// Whether names in directory dir may match entries that differ in letter case:
// a volume that always folds case, or a case-folding directory.
bool IsCaseFoldingDir(const ustring& dir);
// The same for a directory open at fd (an O_PATH descriptor will do).
bool IsCaseFoldingDirFd(int fd);

// How a volume treats letter case: never folds, always folds, or folds in the
// directories marked for it (only where this kernel supports such marks).
enum class VolumeCase { kExact, kFolding, kPerDirectory };
[[nodiscard]] VolumeCase VolumeCaseOfFd(int dir_fd);

// Whether the directory holding an entry folds case, given the entry's lstat and the
// directory (dir_fd, or dir_path when dir_fd is -1). The volume is asked once per
// block device and remembered: on a volume that never or always folds, a file costs
// no system call; only volumes with per-directory folding ask the directory.
bool IsCaseFoldingHolder(int dir_fd, const char* dir_path, const struct stat& entry);
