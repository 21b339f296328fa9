#include "platform/volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "foundation/logger.h"

namespace {

constexpr const char* kChannel = "file_op_debug";

constexpr unsigned long kExfatMagic = 0x2011BAB0UL;
constexpr unsigned long kNtfsMagic = 0x5346544EUL;   // ntfs3 and ntfs-3g's kernel twin
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
        case MSDOS_SUPER_MAGIC: return "FAT";
        case kExfatMagic: return "exFAT";
        default: return "other";
    }
}

// statfs of path, or of its nearest existing ancestor when path is not there yet.
int volume_of(const std::string& path, struct statfs* out) {
    std::string p = path;
    for (;;) {
        if (statfs(p.c_str(), out) == 0) return 0;
        if (errno != ENOENT && errno != ENOTDIR) return -1;
        size_t slash = p.find_last_of('/');
        if (slash == std::string::npos) return -1;
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
}

}  // namespace

bool IsTwoSecondTimeFsType(unsigned long f_type) {
    return f_type == MSDOS_SUPER_MAGIC || f_type == kExfatMagic;
}

int FSInit(const ustring& path) {
    if (path.empty() || path[0] != '/') {
        NLOG(L_ERR, kChannel, "[ERROR] file-op-win.cpp(%d): FSInit: Invalid path (%s)\n", path.c_str_utf8());
        return -1;
    }
    struct statfs sf{};
    if (volume_of(path.str(), &sf) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] file-op-win.cpp(%d): GetVolumeInformation: Error code %d\n", errno);
        return -1;
    }
    unsigned long t = static_cast<unsigned long>(sf.f_type);
    if (IsTwoSecondTimeFsType(t)) {
        NLOG(L_WARNING, kChannel, "[WARNING] file-op-win.cpp(%d): Detect a non-NTFS platform (%s)\n", fs_name(t));
        g_two_second_time = true;
    }
    return 0;
}

bool IsMSDOS(const ustring& path) {
    if (path.empty() || path[0] != '/') {
        NLOG(L_ERR, kChannel, "[ERROR] file-op-win.cpp(%d): IsSupportLargeFile: Invalid path (%s)\n",
             path.c_str_utf8());
        return false;
    }
    struct statfs sf{};
    if (volume_of(path.str(), &sf) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] file-op-win.cpp(%d): GetVolumeInformation: Error code %d\n", errno);
        return false;
    }
    unsigned long t = static_cast<unsigned long>(sf.f_type);
    if (!IsTwoSecondTimeFsType(t)) return false;
    NLOG(L_WARNING, kChannel, "[WARNING] file-op-win.cpp(%d): Detect a non-NTFS platform (%s) for path '%s'.\n",
         fs_name(t), path.c_str_utf8());
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

bool IsCaseFoldingDirFd(int dir_fd) {
    struct statfs sf{};
    if (fstatfs(dir_fd, &sf) != 0) return false;
    unsigned long t = static_cast<unsigned long>(sf.f_type);
    switch (t) {
        case MSDOS_SUPER_MAGIC:
        case kExfatMagic:
        case kNtfsMagic:
        case kCifsMagic:
        case kSmb2Magic:
        case kSmbMagic:
            return true;
        case EXT4_SUPER_MAGIC:
        case kF2fsMagic:
        case TMPFS_MAGIC: {
            // These fold case only in directories marked for it; the flags need a
            // real descriptor, not a path-only one.
            int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) return false;
            int flags = 0;  // the kernel reads and writes an int here
            bool folding = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL);
            close(fd);
            return folding;
        }
        default:
            return false;
    }
}
