// A tmpfs of a chosen size mounted on a directory for the life of the guard: a small
// disk that fills up. Mounting needs root; tests skip when `mounted` is false. A mount
// made here is always undone, lazily when something still uses it.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

class TmpfsMount {
public:
    // extra: further mount options, such as "nr_inodes=N" (a disk out of entries).
    TmpfsMount(std::string where, uint64_t bytes, const std::string& extra = "") : dir(std::move(where)) {
        const std::string opts = Size(bytes) + (extra.empty() ? "" : "," + extra);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) == 0;
        if (!mounted) why = strerror(errno);
    }
    ~TmpfsMount() {
        if (mounted && umount2(dir.c_str(), 0) != 0) umount2(dir.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    // Grows or shrinks the disk (not below what it holds); false with errno set.
    bool Resize(uint64_t bytes, const std::string& extra = "") {
        const std::string opts = Size(bytes) + (extra.empty() ? "" : "," + extra);
        return mount("tmpfs", dir.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, opts.c_str()) == 0;
    }

    std::string dir, why;
    bool mounted = false;

private:
    static std::string Size(uint64_t bytes) { return "size=" + std::to_string(bytes / 1024) + "k"; }
};
