#include "platform/volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <string>

#include "foundation/logger.h"
#include "foundation/mutex.h"

namespace {

constexpr const char* kChannel = "file_op_debug";

constexpr unsigned long kExfatMagic = 0x2011BAB0UL;
constexpr unsigned long kNtfsMagic = 0x5346544EUL;  // ntfs3 and ntfs-3g's kernel twin
constexpr unsigned long kCifsMagic = 0xFF534D42UL;
constexpr unsigned long kSmb2Magic = 0xFE534D42UL;
constexpr unsigned long kSmbMagic = 0x517BUL;
constexpr unsigned long kF2fsMagic = 0xF2F52010UL;
#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif

std::atomic<bool> g_two_second_time{false};

const char* fs_name(unsigned long t) {
    switch (t) {
        case MSDOS_SUPER_MAGIC:
            return "FAT";
        case kExfatMagic:
            return "exFAT";
        default:
            return "other";
    }
}

// statfs of path, or of its nearest existing ancestor when path is not there yet.
bool volume_of(const std::string& path, struct statfs* out) {
    std::string p = path;
    for (;;) {
        if (statfs(p.c_str(), out) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR) return false;
        size_t slash = p.find_last_of('/');
        if (slash == std::string::npos) return false;
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
}

}  // namespace

bool IsTwoSecondTimeFsType(unsigned long f_type) { return f_type == MSDOS_SUPER_MAGIC || f_type == kExfatMagic; }

bool FSInit(const ustring& path) {
    if (path.empty() || path[0] != '/') {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSInit: Invalid path (%s)\n", path.c_str_utf8());
        return false;
    }
    struct statfs sf {};
    if (!volume_of(path.str(), &sf)) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "GetVolumeInformation: Error code %d\n", errno);
        return false;
    }
    unsigned long t = static_cast<unsigned long>(sf.f_type);
    if (IsTwoSecondTimeFsType(t)) {
        NLOG_AT(L_WARNING, kChannel, "file-op-win.cpp", "Detect a non-NTFS platform (%s)\n", fs_name(t));
        g_two_second_time = true;
    }
    return true;
}

bool IsMSDOS(const ustring& path) {
    if (path.empty() || path[0] != '/') {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "IsSupportLargeFile: Invalid path (%s)\n", path.c_str_utf8());
        return false;
    }
    struct statfs sf {};
    if (!volume_of(path.str(), &sf)) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "GetVolumeInformation: Error code %d\n", errno);
        return false;
    }
    unsigned long t = static_cast<unsigned long>(sf.f_type);
    if (!IsTwoSecondTimeFsType(t)) return false;
    NLOG_AT(L_WARNING, kChannel, "file-op-win.cpp", "Detect a non-NTFS platform (%s) for path '%s'.\n", fs_name(t),
            path.c_str_utf8());
    return true;
}

bool FSTimeEqual(uint32_t a, uint32_t b) {
    if (!g_two_second_time) return a == b;
    return (a > b ? a - b : b - a) <= 1;
}

bool FSTwoSecondTime() { return g_two_second_time; }
void FSSetTwoSecondTime(bool on) { g_two_second_time = on; }

bool IsCaseFoldingDir(const ustring& dir) {
    int fd = open(dir.empty() ? "/" : dir.c_str_utf8(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool folding = IsCaseFoldingDirFd(fd);
    close(fd);
    return folding;
}

namespace {

// Whether this kernel can mark directories case-folding on such a volume at all.
bool KernelFoldsCaseOn(unsigned long f_type) {
    if (f_type == EXT4_SUPER_MAGIC) return access("/sys/fs/ext4/features/casefold", F_OK) == 0;
    if (f_type == kF2fsMagic) return access("/sys/fs/f2fs/features/casefold", F_OK) == 0;
    return f_type == TMPFS_MAGIC;  // a mount option; each directory is asked
}

VolumeCase CaseOfFsType(unsigned long t) {
    switch (t) {
        case MSDOS_SUPER_MAGIC:
        case kExfatMagic:
        case kNtfsMagic:
        case kCifsMagic:
        case kSmb2Magic:
        case kSmbMagic:
            return VolumeCase::kFolding;
        case EXT4_SUPER_MAGIC:
        case kF2fsMagic:
        case TMPFS_MAGIC:
            return KernelFoldsCaseOn(t) ? VolumeCase::kPerDirectory : VolumeCase::kExact;
        default:
            return VolumeCase::kExact;
    }
}

bool DirHasCaseFoldFlag(int dir_fd) {
    // The flags need a real descriptor, not a path-only one.
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;  // the kernel reads and writes an int here
    bool folding = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL);
    close(fd);
    return folding;
}

Mutex g_volume_case_lock;
std::map<dev_t, VolumeCase> g_volume_case GUARDED_BY(g_volume_case_lock);

}  // namespace

VolumeCase VolumeCaseOfFd(int dir_fd) {
    struct statfs sf {};
    if (fstatfs(dir_fd, &sf) != 0) return VolumeCase::kExact;
    return CaseOfFsType(static_cast<unsigned long>(sf.f_type));
}

bool IsCaseFoldingDirFd(int dir_fd) {
    struct statfs sf {};
    if (fstatfs(dir_fd, &sf) != 0) return false;
    switch (CaseOfFsType(static_cast<unsigned long>(sf.f_type))) {
        case VolumeCase::kFolding:
            return true;
        case VolumeCase::kPerDirectory:
            return DirHasCaseFoldFlag(dir_fd);
        default:
            return false;
    }
}

bool IsCaseFoldingHolder(int dir_fd, const char* dir_path, const struct stat& entry) {
    auto probe = [&] { return dir_fd >= 0 ? IsCaseFoldingDirFd(dir_fd) : IsCaseFoldingDir(dir_path); };
    dev_t dev = entry.st_dev;
    if (S_ISDIR(entry.st_mode)) {
        // A directory may be the top of another volume: ask for its holder's device.
        struct stat holder {};
        if ((dir_fd >= 0 ? fstat(dir_fd, &holder) : lstat(dir_path, &holder)) != 0) return probe();
        dev = holder.st_dev;
    }
    // Anonymous devices (major 0: tmpfs, network and pseudo volumes) are numbered
    // again after an unmount, so only block devices are remembered.
    if (major(dev) == 0) return probe();
    VolumeCase kind;
    {
        MutexLock g(g_volume_case_lock);
        auto it = g_volume_case.find(dev);
        if (it == g_volume_case.end()) {
            struct statfs sf {};
            const int rc = dir_fd >= 0 ? fstatfs(dir_fd, &sf) : statfs(dir_path, &sf);
            if (rc != 0) return false;
            it = g_volume_case.emplace(dev, CaseOfFsType(static_cast<unsigned long>(sf.f_type))).first;
        }
        kind = it->second;
    }
    if (kind == VolumeCase::kPerDirectory) return probe();
    return kind == VolumeCase::kFolding;
}
