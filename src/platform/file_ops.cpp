#include "platform/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/mutex.h"
#include "foundation/tmp_name.h"
#include "platform/file_ops_at.h"
#include "platform/make_dirs.h"
#include "platform/trash.h"
#include "platform/volume.h"

namespace {

constexpr const char* kChannel = "file_op_debug";

Mutex g_trash_mutex;

// Fallback buffer of FSCopy when the kernel cannot copy between the two files.
constexpr size_t kCopyBuffer = 4u << 20;
// Bytes asked of copy_file_range per call; it may move fewer.
constexpr size_t kCopyChunk = 1u << 30;
// Fresh names FSMktemp draws before it gives up on collisions.
constexpr int kMktempAttempts = 32;

std::string strip_trailing_slashes(const std::string& p) {
    size_t end = p.size();
    while (end > 1 && p[end - 1] == '/') --end;
    return p.substr(0, end);
}

std::string last_component(const std::string& p) {
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parent_of(const std::string& p) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

ustring join(const ustring& dir, const char* name) {
    ustring out(dir);
    if (out.empty() || out[out.length() - 1] != '/') out += "/";
    out += name;
    return out;
}

// lstat of path, honouring the exact-name rule. 1: exists (st filled),
// 0: missing, -1: cannot tell (errno set).
int lstat_exact(const ustring& path, struct stat* st) {
    if (path.empty()) return 0;
    std::string p = strip_trailing_slashes(path.str());
    if (lstat(p.c_str(), st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return 0;
        return -1;
    }
    if (p == "/") return 1;
    std::string parent = parent_of(p);
    // A case-folding directory answers for names that differ in letter case;
    // the engine wants the entry exactly as named.
    if (IsCaseFoldingHolder(-1, parent.empty() ? "/" : parent.c_str(), *st) &&
        !fsat::HasExactEntryAt(AT_FDCWD, parent, last_component(p)))
        return 0;
    return 1;
}

struct Entry {
    std::string name;
    bool is_dir;
};

// Names in the directory open at fd, without "." and "..". The fd stays open.
bool list_dir_fd(int fd, std::vector<Entry>& out) {
    int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0) return false;
    DIR* d = fdopendir(dup_fd);
    if (!d) {
        close(dup_fd);
        return false;
    }
    errno = 0;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        bool is_dir;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            is_dir = fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        } else {
            is_dir = e->d_type == DT_DIR;
        }
        out.push_back({e->d_name, is_dir});
        errno = 0;
    }
    int err = errno;
    closedir(d);
    errno = err;
    return err == 0;
}

}  // namespace

namespace fsat {

Mutex& RenameMutex() {
    static Mutex m;
    return m;
}

bool DiskFull(int err) { return FSIsDiskFull(err); }

uint32_t ClampTime(time_t t) {
    if (t < 0) return 0;
    if (static_cast<unsigned long long>(t) > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(t);
}

FILE_TYPE TypeOfMode(mode_t m) {
    if (S_ISLNK(m)) return FT_SLINK;
    if (S_ISDIR(m)) return FT_DIR;
    if (S_ISREG(m)) return FT_FILE;
    return FT_ERR;  // devices, FIFOs and sockets are nothing the engine may read
}

bool HasExactEntryAt(int at_fd, const std::string& dir, const std::string& name) {
    int fd = openat(at_fd, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        return false;
    }
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (name == e->d_name) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// Links are unlinked, never followed, and another volume mounted below is left
// alone, as the mount point is.
FsResult RemoveContentsAt(int fd, const ustring& path) {
    struct stat self;
    if (fstat(fd, &self) != 0) return FsResult::kFailed;
    std::vector<Entry> entries;
    if (!list_dir_fd(fd, entries)) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectoryRecursive: error code %d\n", errno);
        return FsResult::kFailed;
    }
    FsResult result = FsResult::kOk;
    for (const Entry& e : entries) {
        if (e.is_dir) {
            int sub = openat(fd, e.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat sub_st;
            if (sub >= 0 && (fstat(sub, &sub_st) != 0 || sub_st.st_dev != self.st_dev)) {
                close(sub);
                NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectory: error code %d\n", EXDEV);
                result = FsResult::kFailed;
                continue;
            }
            if (sub >= 0) {
                (void)RemoveContentsAt(sub, join(path, e.name.c_str()));  // what stays fails the rmdir below
                close(sub);
                if (unlinkat(fd, e.name.c_str(), AT_REMOVEDIR) != 0) {
                    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectory: error code %d\n", errno);
                    result = FsResult::kFailed;
                }
                continue;
            }
            if (errno != ENOTDIR && errno != ELOOP) {
                NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectoryRecursive: error code %d\n", errno);
                result = FsResult::kFailed;
                continue;
            }
            // Replaced by a link or a file since the listing: unlink it below.
        }
        if (unlinkat(fd, e.name.c_str(), 0) != 0 && errno != ENOENT) {
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "DeleteFile: error code %d\n", errno);
            result = FsResult::kFailed;
        }
    }
    return result;
}

FsResult CopyData(int in, int out) {
    FsResult result = FsResult::kOk;
    bool kernel_copy = true;
    char* buffer = nullptr;
    for (;;) {
        if (kernel_copy) {
            ssize_t n = copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
            if (n > 0) continue;
            if (n == 0) break;
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
                kernel_copy = false;  // not between these two files: copy through memory
                continue;
            }
            int err = errno;
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: WriteFile failed with error code %d\n", err);
            result = DiskFull(err) ? FsResult::kDiskFull : FsResult::kFailed;
            break;
        }
        if (!buffer) {
            buffer = static_cast<char*>(malloc(kCopyBuffer));
            if (!buffer) {
                NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Buffer allocated failed\n");
                result = FsResult::kFailed;
                break;
            }
        }
        ssize_t got = read(in, buffer, kCopyBuffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: ReadFile failed with error code %d\n", errno);
            result = FsResult::kFailed;
            break;
        }
        if (got == 0) break;
        ssize_t done = 0;
        while (done < got) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(got - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                int err = w < 0 ? errno : ENOSPC;
                NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: WriteFile failed with error code %d\n", err);
                result = DiskFull(err) ? FsResult::kDiskFull : FsResult::kFailed;
                break;
            }
            done += w;
        }
        if (result != FsResult::kOk) break;
    }
    free(buffer);
    return result;
}

}  // namespace fsat

namespace {

FsResult log_rename_failure(int err) {
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSRename: error code %d\n", err);
    return err == ENAMETOOLONG ? FsResult::kNameTooLong : FsResult::kFailed;
}

}  // namespace

_DIR_HANDLE_tag::~_DIR_HANDLE_tag() {
    if (handle) closedir(static_cast<DIR*>(handle));
}

bool IsFileExist(const ustring& path) {
    if (path.empty()) return false;
    struct stat st;
    int r = lstat_exact(path, &st);
    if (r < 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FindFirstFile: %d\n", errno);
        return false;
    }
    return r == 1;
}

FsResult FSStat(const ustring& path, FILE_INFO& info) {
    struct stat st;
    int r = lstat_exact(path, &st);
    if (r == 0) {
        info.isExist = false;
        return FsResult::kOk;
    }
    if (r < 0) {
        // Not knowing is not the same as missing: a caller must not take an
        // unreadable file for a removed one.
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSStat: Failed on %s. Error code %d\n", path.c_str_utf8(), errno);
        return FsResult::kFailed;
    }
    info.isExist = true;
    info.path = path;
    info.type = fsat::TypeOfMode(st.st_mode);
    info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
    info.mtime = fsat::ClampTime(st.st_mtime);
    return FsResult::kOk;
}

void FSOpenDir(const ustring& path, int32_t flag, DIR_HANDLE& dh) {
    if (dh.handle) {
        closedir(static_cast<DIR*>(dh.handle));
        dh.handle = nullptr;
    }
    dh.path = path;
    dh.flag = flag;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
    if (!dh.handle) {
        if (dh.path.empty()) return -1;
        DIR* d = opendir(dh.path.c_str_utf8());
        if (!d) return -1;
        dh.handle = d;
    }
    DIR* d = static_cast<DIR*>(dh.handle);
    errno = 0;
    dirent* e = readdir(d);
    if (!e) return errno == 0 ? 0 : -1;

    entry.name = e->d_name;
    entry.mtime = 0;
    entry.size = 0;
    bool need_stat = (dh.flag & FS_DIR_STAT) || e->d_type == DT_UNKNOWN;
    struct stat st;
    if (need_stat && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.type = fsat::TypeOfMode(st.st_mode);
        if (dh.flag & FS_DIR_STAT) {
            entry.mtime = fsat::ClampTime(st.st_mtime);
            if (entry.type == FT_FILE) entry.size = static_cast<uint64_t>(st.st_size);
        }
    } else {
        switch (e->d_type) {
            case DT_LNK:
                entry.type = FT_SLINK;
                break;
            case DT_DIR:
                entry.type = FT_DIR;
                break;
            case DT_REG:
                entry.type = FT_FILE;
                break;
            default:
                entry.type = FT_ERR;
                break;  // special files, or gone meanwhile
        }
    }
    return 1;
}

void FSCloseDir(DIR_HANDLE& dh) {
    if (dh.handle) closedir(static_cast<DIR*>(dh.handle));
    dh.handle = nullptr;
    dh.path.clear();
}

FsResult FSMKDir(const ustring& path, bool isCreateParent) {
    if (isCreateParent) return FSMKDirP(path, nullptr, false);
    if (path.empty()) return FsResult::kFailed;
    if (mkdir(path.c_str_utf8(), 0777) == 0 || errno == EEXIST) return FsResult::kOk;
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSMKDirP: error code %d\n", errno);
    return FsResult::kFailed;
}

FsResult FSMKDirP(const ustring& path, const char*, bool blForceCreate, uint32_t, uint32_t, uint32_t) {
    if (path.empty()) return FsResult::kFailed;
    std::function<bool(const std::string&)> remove_in_the_way;
    if (blForceCreate)
        remove_in_the_way = [](const std::string& p) { return FSRemove(p.c_str(), false) == FsResult::kOk; };
    if (MakeDirs(path.str(), 0777, true, remove_in_the_way)) return FsResult::kOk;
    NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "FSMKDirP fail: %s\n", path.c_str_utf8());
    return FsResult::kFailed;
}

FsResult FSRemove(const ustring& path, bool allowundo) {
    if (path.empty()) return FsResult::kFailed;
    FILE_INFO info;
    if (FSStat(path, info) != FsResult::kOk) return FsResult::kFailed;
    if (!info.isExist) return FsResult::kOk;

    if (allowundo) {
        MutexLock lock(g_trash_mutex);
        if (MoveToTrash(path)) return FsResult::kOk;
        const int rc = -1;  // the code this log line has always shown
        int err = errno;
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp",
                "SHFileOperation fail: %s %s  GetLastError:%d   return code: %d=%x\n", path.c_str_utf8(), strerror(err),
                err, rc, static_cast<unsigned>(rc));
        return FsResult::kTrash;
    }

    switch (info.type) {
        case FT_DIR:
            return RemoveDirectoryRecursive(path);
        case FT_FILE:
        case FT_SLINK:  // the link itself goes, never what it points to
            if (unlink(path.c_str_utf8()) != 0) {
                NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSRemove: failed on %s. error code %d\n",
                        path.c_str_utf8(), errno);
                return FsResult::kFailed;
            }
            return FsResult::kOk;
        default:
            return FsResult::kFailed;
    }
}

FsResult RemoveDirectoryRecursive(const ustring& path) {
    if (path.empty()) return FsResult::kFailed;
    const std::string p = strip_trailing_slashes(path.str());
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        struct stat st;
        if ((errno == ENOTDIR || errno == ELOOP) && lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            // A link to a directory: remove the link, leave the target alone.
            if (unlink(p.c_str()) == 0) return FsResult::kOk;
        }
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectoryRecursive: error code %d\n", errno);
        return FsResult::kFailed;
    }
    FsResult result = fsat::RemoveContentsAt(fd, path);
    close(fd);
    if (rmdir(p.c_str()) != 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectory: error code %d\n", errno);
        return FsResult::kFailed;
    }
    return result;
}

FsResult FSRename(const ustring& from, const ustring& to) {
    MutexLock lock(fsat::RenameMutex());
    if (rename(from.c_str_utf8(), to.c_str_utf8()) == 0) return FsResult::kOk;
    return log_rename_failure(errno);
}

FsResult FSRenameNoReplace(const ustring& from, const ustring& to) {
    MutexLock lock(fsat::RenameMutex());
    if (renameat2(AT_FDCWD, from.c_str_utf8(), AT_FDCWD, to.c_str_utf8(), RENAME_NOREPLACE) == 0) return FsResult::kOk;
    int err = errno;
    if (err == EEXIST) return FsResult::kExist;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // A file system without the no-replace flag: test, then rename. Our own
        // renames are serialised by the mutex; only another program can race us.
        struct stat st;
        if (lstat(to.c_str_utf8(), &st) == 0) return FsResult::kExist;
        if (rename(from.c_str_utf8(), to.c_str_utf8()) == 0) return FsResult::kOk;
        err = errno;
    }
    return log_rename_failure(err);
}

FsResult FSCopy(const ustring& from, const ustring& to, bool isDelOrigin) {
    int in = open(from.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat sst;
    if (in >= 0 && (fstat(in, &sst) != 0 || !S_ISREG(sst.st_mode))) {
        // Only regular files: reading a FIFO or a device could block or never end.
        close(in);
        in = -1;
        errno = EINVAL;
    }
    if (in < 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid source (%s). Error code %d\n", from.c_str_utf8(),
                errno);
        return FsResult::kFailed;
    }
    struct stat dst;
    if (stat(to.c_str_utf8(), &dst) == 0 && dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino) {
        // Truncating the destination would destroy the source.
        close(in);
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid destination. Error code %d\n", EINVAL);
        return FsResult::kFailed;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Never write through a link: its target may lie outside the synchronised folder.
    int out = open(to.c_str_utf8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
    if (out < 0) {
        int err = errno;
        close(in);
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid destination. Error code %d\n", err);
        return FsResult::kFailed;
    }

    FsResult result = fsat::CopyData(in, out);
    close(in);
    if (close(out) != 0 && result == FsResult::kOk) {
        // Some file systems report a full disk only when the file is closed.
        int err = errno;
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: WriteFile failed with error code %d\n", err);
        result = fsat::DiskFull(err) ? FsResult::kDiskFull : FsResult::kFailed;
    }
    if (result != FsResult::kOk) {
        // A partial copy must not pass for the file.
        unlink(to.c_str_utf8());
        return result;
    }
    if (isDelOrigin && unlink(from.c_str_utf8()) != 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: DeleteFile failed with error code %d\n", errno);
        return FsResult::kFailed;
    }
    return FsResult::kOk;
}

FsResult FSUTime(const ustring& path, uint32_t, uint32_t mtime) {
    if (FSTwoSecondTime()) mtime &= ~1u;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, path.c_str_utf8(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSUTime: error code %d\n", errno);
        return FsResult::kFailed;
    }
    return FsResult::kOk;
}

bool isFileLocked(const ustring& path, int access) {
    if (path.empty()) return false;
    struct stat st;
    if (lstat(path.c_str_utf8(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
    auto denied = [](int err) { return err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY; };

    // Write and delete rights are checked without opening for writing, so that a
    // change watcher sees no write.
    if ((access & FS_ACCESS_WRITE) && faccessat(AT_FDCWD, path.c_str_utf8(), W_OK, AT_EACCESS) != 0 && denied(errno))
        return true;
    if (access & FS_ACCESS_DELETE) {
        std::string parent = parent_of(strip_trailing_slashes(path.str()));
        if (faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && denied(errno)) return true;
    }
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (S_ISDIR(st.st_mode)) flags |= O_DIRECTORY;
    int fd = open(path.c_str_utf8(), flags);
    if (fd < 0) return denied(errno) && (access & FS_ACCESS_READ);

    bool locked = false;
    const bool exclusive = access & (FS_ACCESS_WRITE | FS_ACCESS_DELETE);
    struct flock fl {};
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) locked = true;
    if (!locked) {
        if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
            flock(fd, LOCK_UN);
        else if (errno == EWOULDBLOCK)
            locked = true;
    }
    close(fd);
    return locked;
}

FsResult TraverseDir(const ustring& dir, TraverseCallback callback, void* priv) {
    if (callback(dir, priv) != 0) return FsResult::kStopped;
    struct stat st;
    if (lstat(dir.c_str_utf8(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "TraverseDir: '%s' is not directory, stop here\n",
                dir.c_str_utf8());
        return FsResult::kOk;
    }
    std::vector<Entry> entries;
    int fd = open(dir.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FsResult::kFailed;
    const bool listed = list_dir_fd(fd, entries);
    close(fd);
    if (!listed) return FsResult::kFailed;
    for (const Entry& e : entries) {
        ustring full = join(dir, e.name.c_str());
        const bool stopped = e.is_dir ? TraverseDir(full, callback, priv) != FsResult::kOk : callback(full, priv) != 0;
        if (stopped)
            NLOG_AT(L_NOTICE, kChannel, "file-op-win.cpp", "TraverseDir: stopped at '%s'\n", full.c_str_utf8());
    }
    return FsResult::kOk;
}

FsResult FSCreateTempPath(const ustring& prefix, ustring& path) {
    ustring name = TmpNameGen::getInstance().getTmpName(prefix);
    if (name.empty()) return FsResult::kFailed;
    path = name;
    return FsResult::kOk;
}

FsResult FSMktemp(const ustring& prefix, ustring& path) {
    for (int attempt = 0; attempt < kMktempAttempts; ++attempt) {
        ustring name = TmpNameGen::getInstance().getTmpName(prefix);
        NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "FSMktemp: prefix [%s], path[%s]\n", prefix.c_str_utf8(),
                name.c_str_utf8());
        if (name.empty()) break;
        // O_EXCL: an existing file, whoever made it, is never opened or truncated.
        int fd = open(name.c_str_utf8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            close(fd);
            path = name;
            return FsResult::kOk;
        }
        if (errno != EEXIST) break;
    }
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSMktemp failed.\n");
    return FsResult::kFailed;
}

int FSInitialize() { return 0; }
int FSChown(const ustring&) { return 0; }

bool FSIsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }
