#include "platform/session_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/logger.h"
#include "foundation/tmp_name.h"
#include "platform/file_ops_at.h"
#include "platform/volume.h"

namespace {

constexpr const char* kChannel = "file_op_debug";
// Refusals logged per root; past this a session full of links logs no more.
constexpr size_t kMaxReported = 4096;
// Fresh names Mktemp draws before it gives up on collisions.
constexpr int kMktempAttempts = 32;

// Closes a descriptor when the scope ends.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// openat2 beneath dir_fd, never through a link. The kernel answers EAGAIN when a
// rename elsewhere raced the walk; the walk is simply made again.
int open_beneath(int dir_fd, const char* rel, int flags, mode_t mode) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 16; ++attempt) {
        long fd = syscall(SYS_openat2, dir_fd, rel, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != EAGAIN && errno != EINTR) return -1;
    }
    return -1;
}

// The components of rel without empty ones; false for "." or ".." parts and NUL bytes,
// which no path of the engine holds.
bool split(const ustring& rel, std::vector<std::string>& parts) {
    const std::string& s = rel.str();
    if (s.find('\0') != std::string::npos) return false;
    size_t start = 0;
    while (start <= s.size()) {
        size_t slash = s.find('/', start);
        if (slash == std::string::npos) slash = s.size();
        if (slash > start) {
            std::string part = s.substr(start, slash - start);
            if (part == "." || part == "..") return false;
            parts.push_back(std::move(part));
        }
        start = slash + 1;
    }
    return true;
}

std::string joined(const std::vector<std::string>& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i) out += "/";
        out += parts[i];
    }
    return out.empty() ? std::string(".") : out;
}

}  // namespace

bool SessionRoot::Open(const ustring& path, std::shared_ptr<const SessionRoot>& out) {
    if (path.empty() || path[0] != '/' || path.str().find('\0') != std::string::npos) return false;
    char* real = realpath(path.c_str_utf8(), nullptr);
    if (real == nullptr) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "cannot resolve the folder '%s': error code %d\n",
                path.c_str_utf8(), errno);
        return false;
    }
    ustring resolved(real);
    free(real);
    // The resolved name has no links left; a link put in its place meanwhile is refused.
    int fd = open(resolved.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "cannot open the folder '%s': error code %d\n",
                resolved.c_str_utf8(), errno);
        return false;
    }
    if (resolved != path)
        NLOG_AT(L_INFO, kChannel, "file-op-win.cpp", "folder '%s' is '%s'\n", path.c_str_utf8(), resolved.c_str_utf8());
    out.reset(new SessionRoot(fd, resolved));
    return true;
}

bool RootFaults::Hit() {
    const int n = ++seen;
    const int at = fail_at.load();
    if (at == 0 || n < at || (once && n != at)) return false;
    errno = err.load();
    return true;
}

bool SessionRoot::OpenWithFaults(const ustring& path, std::shared_ptr<RootFaults> faults,
                                 std::shared_ptr<const SessionRoot>& out) {
    std::shared_ptr<const SessionRoot> root;
    if (!Open(path, root)) return false;
    const_cast<SessionRoot&>(*root).faults = std::move(faults);
    out = std::move(root);
    return true;
}

SessionRoot::SessionRoot(int fd, const ustring& path) : root_fd(fd), root_path(path) {
    struct stat st;
    if (fstat(fd, &st) == 0) {
        root_dev = st.st_dev;
        root_ino = st.st_ino;
    }
    if (root_path.length() > 1 && root_path[root_path.length() - 1] == '/')
        root_path = root_path.substr(0, root_path.length() - 1);
}

SessionRoot::~SessionRoot() { close(root_fd); }

bool SessionRoot::CheckPresent(uint64_t expected_dev, std::string* cause) const {
    struct stat st;
    const char* why = nullptr;
    if (stat(root_path.c_str_utf8(), &st) != 0)
        why = "is missing";
    else if (!S_ISDIR(st.st_mode))
        why = "is not a directory";
    else if (st.st_dev != root_dev || st.st_ino != root_ino)
        why = "was replaced or a volume was mounted over it";
    else if (expected_dev != 0 && st.st_dev != expected_dev)
        why = "is on another volume than when the session was added";
    else if (faccessat(root_fd, ".", R_OK | X_OK, 0) != 0)
        why = "cannot be read";
    if (why == nullptr) return true;
    if (cause != nullptr) {
        *cause = "the folder " + root_path.str() + " " + why;
        return false;
    }
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "the synchronised folder '%s' %s\n", root_path.c_str_utf8(), why);
    return false;
}

bool SessionRoot::FreeBytes(uint64_t& bytes) const {
    struct statvfs v;
    if (fstatvfs(root_fd, &v) != 0) return false;
    bytes = static_cast<uint64_t>(geteuid() == 0 ? v.f_bfree : v.f_bavail) * v.f_frsize;
    return true;
}

ustring SessionRoot::Full(const ustring& rel) const {
    if (rel.empty() || rel == "/") return root_path;
    ustring out = root_path == "/" ? ustring() : root_path;
    if (rel[0] != '/') out += "/";
    out += rel;
    return out;
}

bool SessionRoot::Relative(const ustring& full, ustring& rel) const {
    const std::string& f = full.str();
    const std::string& r = root_path.str();
    if (r == "/") {
        if (f.empty() || f[0] != '/') return false;
        rel = full;
        return true;
    }
    if (f == r) {
        rel = "/";
        return true;
    }
    if (f.size() <= r.size() || f.compare(0, r.size(), r) != 0 || f[r.size()] != '/') return false;
    rel = ustring(f.substr(r.size()));
    return true;
}

bool SessionRoot::Report(const ustring& rel, const char* reason) const {
    MutexLock guard(reported_lock);
    return reported.size() < kMaxReported && reported.emplace(rel.str(), reason).second;
}

FsResult SessionRoot::Refused(int err, const ustring& rel) const {
    if (err == ENAMETOOLONG) {
        if (Report(rel, "the path is too long for this file system"))
            NLOG_AT(L_NOTICE, kChannel, "file-op-win.cpp", "'%s' is too long a path; not synchronised\n",
                    Full(rel).c_str_utf8());
    }
    if (err != ELOOP && err != EXDEV) {
        errno = err;
        return FsResult::kFailed;
    }
    if (Report(rel, "a symbolic link (or leads through one): never followed"))
        NLOG_AT(L_NOTICE, kChannel, "file-op-win.cpp",
                "'%s' is or runs through a symbolic link; not synchronised, never followed\n", Full(rel).c_str_utf8());
    errno = err;
    return FsResult::kLink;
}

bool SessionRoot::NoteUnsyncable(const ustring& rel, const char* reason) const {
    if (!Report(rel, reason)) return false;
    NLOG_AT(L_NOTICE, kChannel, "file-op-win.cpp", "'%s' cannot be synchronised: %s\n", Full(rel).c_str_utf8(), reason);
    return true;
}

void SessionRoot::ForgetUnsyncable(const ustring& rel) const {
    MutexLock guard(reported_lock);
    reported.erase(rel.str());
}

bool SessionRoot::Unreadable(const ustring& rel) const {
    int fd = -1;
    if (OpenAt(rel, O_PATH | O_NOFOLLOW, 0, fd) != FsResult::kOk) return Denied(errno);
    struct stat st {};
    bool denied = false;
    if (fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
        // Opened again through the descriptor's /proc name, which leads to the very
        // item found above and checks the permissions; only a regular file or a
        // folder, non-blocking, so nothing waits here.
        char name[64];
        snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
        const int opened = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        denied = opened < 0 && Denied(errno);
        if (opened >= 0) close(opened);
    }
    close(fd);
    return denied;
}

size_t SessionRoot::ForgetUnreadable(const ustring& rel, bool below) const {
    const std::string& top = rel.str();
    MutexLock guard(reported_lock);
    size_t forgotten = 0;
    for (auto it = reported.lower_bound(top); it != reported.end() && it->first.compare(0, top.size(), top) == 0;) {
        const bool in_tree = it->first.size() == top.size() || (below && (top == "/" || it->first[top.size()] == '/'));
        if (in_tree && it->second == kUnreadable) {
            it = reported.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    return forgotten;
}

void SessionRoot::NoteUnsynchronised(const ustring& rel, FILE_TYPE type) const {
    if (type == FT_SLINK) {
        (void)NoteLink(rel);
        return;
    }
    if (type == FT_FILE || type == FT_DIR) return;
    int dir_fd = -1;
    std::string name;
    if (OpenParent(rel, dir_fd, name) != FsResult::kOk) return;
    struct stat st {};
    const bool seen = fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    close(dir_fd);
    if (!seen) return;  // gone again
    const char* reason = S_ISFIFO(st.st_mode)   ? "a FIFO (named pipe): only files and folders are synchronised"
                         : S_ISSOCK(st.st_mode) ? "a socket: only files and folders are synchronised"
                         : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)
                             ? "a device: only files and folders are synchronised"
                             : nullptr;
    if (reason && Report(rel, reason))
        NLOG_AT(L_NOTICE, kChannel, "file-op-win.cpp", "'%s' is %s; not synchronised\n", Full(rel).c_str_utf8(),
                reason);
}

std::vector<SessionRoot::Unsynchronised> SessionRoot::NotSynchronised(size_t max, size_t& total) const {
    std::vector<Unsynchronised> noted;
    {
        MutexLock guard(reported_lock);
        for (const auto& [path, reason] : reported) noted.push_back({path, reason});
    }
    // Checked outside the lock: an item removed since is no longer a problem.
    std::vector<Unsynchronised> out;
    std::vector<std::string> gone;
    for (Unsynchronised& item : noted) {
        if (out.size() >= max) break;
        int dir_fd = -1;
        std::string name;
        struct stat st {};
        int rc = -1;
        int err = ENOENT;
        if (OpenParent(ustring(item.path), dir_fd, name) == FsResult::kOk) {
            rc = fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
            err = errno;
            close(dir_fd);
        } else {
            err = errno;
        }
        if (rc != 0 && (err == ENOENT || err == ENOTDIR))
            gone.push_back(item.path);
        else
            out.push_back(std::move(item));
    }
    MutexLock guard(reported_lock);
    for (const std::string& path : gone) reported.erase(path);
    total = reported.size();
    return out;
}

FsResult SessionRoot::OpenParent(const ustring& rel, int& dir_fd, std::string& name) const {
    std::vector<std::string> parts;
    if (!split(rel, parts)) {
        errno = EINVAL;
        return FsResult::kFailed;
    }
    if (parts.empty()) {
        name.clear();
        dir_fd = open_beneath(root_fd, ".", O_PATH | O_DIRECTORY, 0);
        return dir_fd >= 0 ? FsResult::kOk : FsResult::kFailed;
    }
    name = parts.back();
    dir_fd = open_beneath(root_fd, joined(parts, parts.size() - 1).c_str(), O_PATH | O_DIRECTORY, 0);
    if (dir_fd < 0) return Refused(errno, rel);
    return FsResult::kOk;
}

FsResult SessionRoot::ParentOrRoot(const ustring& rel, int& dir_fd, std::string& name) const {
    std::vector<std::string> parts;
    if (split(rel, parts) && parts.size() == 1) {
        // One component without "/", "." or "..": it cannot leave the root, and the
        // caller does not follow a link there.
        name = parts.front();
        dir_fd = root_fd;
        return FsResult::kOk;
    }
    return OpenParent(rel, dir_fd, name);
}

FsResult SessionRoot::OpenAt(const ustring& rel, int flags, mode_t mode, int& fd) const {
    std::vector<std::string> parts;
    if (!split(rel, parts)) {
        errno = EINVAL;
        return FsResult::kFailed;
    }
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0 && Faulted()) return FsResult::kFailed;
    fd = open_beneath(root_fd, joined(parts, parts.size()).c_str(), flags, mode);
    if (fd < 0) return Refused(errno, rel);
    return FsResult::kOk;
}

FsResult SessionRoot::LStat(const ustring& rel, struct stat& st) const {
    int dir_fd = -1;
    std::string name;
    const FsResult rc = ParentOrRoot(rel, dir_fd, name);
    if (rc != FsResult::kOk) return rc;
    Fd dir(dir_fd == root_fd ? -1 : dir_fd);
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0)) != 0)
        return Refused(errno, rel);
    return FsResult::kOk;
}

namespace {

// The process's umask, read without changing it (umask(2) can only swap it, which
// would race with every other thread creating files).
mode_t CurrentUmask() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    unsigned mask = 022;
    if (f) {
        char line[128];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        std::fclose(f);
    }
    return static_cast<mode_t>(mask & 0777);
}

}  // namespace

bool SessionRoot::TakeModeFor(const ustring& rel, const ustring& target, bool exec) const {
    const mode_t mask = CurrentUmask();
    mode_t mode = 0666 & ~mask;
    int fd = -1;
    if (OpenAt(target, O_PATH | O_NOFOLLOW, 0, fd) == FsResult::kOk) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
        close(fd);
    }
    if (exec) mode |= ((mode & 0444) >> 2) & ~mask;
    if (OpenAt(rel, O_PATH | O_NOFOLLOW, 0, fd) != FsResult::kOk) return false;
    // A path descriptor cannot be changed itself; its /proc name reaches the file.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    struct stat st {};
    const int rc = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? chmod(proc.c_str(), mode) : -1;
    close(fd);
    return rc == 0;
}

bool SessionRoot::IsExecutable(const ustring& rel) const {
    struct stat st {};
    return LStat(rel, st) == FsResult::kOk && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

FsResult SessionRoot::Stat(const ustring& rel, FILE_INFO& info) const {
    int dir_fd = -1;
    std::string name;
    FsResult rc = ParentOrRoot(rel, dir_fd, name);
    if (rc != FsResult::kOk) {
        if (rc == FsResult::kFailed && (errno == ENOENT || errno == ENOTDIR)) {
            info.isExist = false;
            return FsResult::kOk;
        }
        return rc;
    }
    Fd dir(dir_fd == root_fd ? -1 : dir_fd);
    struct stat st;
    if (fstatat(dir_fd, name.empty() ? "" : name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            info.isExist = false;
            return FsResult::kOk;
        }
        if (errno == ENAMETOOLONG) return Refused(errno, rel);  // noted once, not an error each time
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSStat: Failed on %s. Error code %d\n", Full(rel).c_str_utf8(),
                errno);
        return FsResult::kFailed;
    }
    // A case-folding directory answers for names that differ in letter case; the
    // engine wants the entry exactly as named.
    if (!name.empty() && IsCaseFoldingHolder(dir_fd, nullptr, st) && !fsat::HasExactEntryAt(dir_fd, ".", name)) {
        info.isExist = false;
        return FsResult::kOk;
    }
    info.isExist = true;
    info.path = Full(rel);
    info.type = fsat::TypeOfMode(st.st_mode);
    info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
    info.mtime = fsat::ClampTime(st.st_mtime);
    return FsResult::kOk;
}

bool SessionRoot::Exists(const ustring& rel) const {
    FILE_INFO info;
    return Stat(rel, info) == FsResult::kOk && info.isExist;
}

FsResult SessionRoot::MKDirP(const ustring& rel, bool force) const {
    std::vector<std::string> parts;
    if (!split(rel, parts)) {
        errno = EINVAL;
        return FsResult::kFailed;
    }
    if (Faulted()) return FsResult::kFailed;
    // Usually the folder is there already (a worker makes sure of its working folder
    // for every file): one open answers that, instead of a mkdir and an open per level.
    if (!parts.empty()) {
        const int there = open_beneath(root_fd, joined(parts, parts.size()).c_str(), O_PATH | O_DIRECTORY, 0);
        if (there >= 0) {
            close(there);
            return FsResult::kOk;
        }
    }
    int cur = open_beneath(root_fd, ".", O_PATH | O_DIRECTORY, 0);
    if (cur < 0) return FsResult::kFailed;
    for (size_t i = 0; i < parts.size(); ++i) {
        const char* part = parts[i].c_str();
        const ustring so_far(joined(parts, i + 1));
        if (mkdirat(cur, part, 0777) != 0 && errno != EEXIST) {
            int err = errno;
            close(cur);
            NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "FSMKDirP fail: %s\n", Full(so_far).c_str_utf8());
            errno = err;
            return FsResult::kFailed;
        }
        int next = open_beneath(cur, part, O_PATH | O_DIRECTORY, 0);
        if (next < 0 && errno == ENOTDIR && force) {
            // A file where a directory belongs: with force it makes way. A link is
            // never removed here (open_beneath reports it as ELOOP, not ENOTDIR).
            struct stat st;
            if (fstatat(cur, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
                unlinkat(cur, part, 0) == 0 && mkdirat(cur, part, 0777) == 0)
                next = open_beneath(cur, part, O_PATH | O_DIRECTORY, 0);
        }
        if (next < 0) {
            int err = errno;
            close(cur);
            NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "FSMKDirP fail: %s\n", Full(so_far).c_str_utf8());
            return Refused(err, so_far);
        }
        close(cur);
        cur = next;
    }
    close(cur);
    return FsResult::kOk;
}

FsResult SessionRoot::Remove(const ustring& rel) const {
    if (Faulted()) return FsResult::kFailed;
    int dir_fd = -1;
    std::string name;
    FsResult rc = OpenParent(rel, dir_fd, name);
    if (rc != FsResult::kOk)
        return rc == FsResult::kFailed && (errno == ENOENT || errno == ENOTDIR) ? FsResult::kOk : rc;
    Fd dir(dir_fd);
    if (name.empty()) {
        errno = EINVAL;
        return FsResult::kFailed;  // the root itself stays
    }
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? FsResult::kOk : FsResult::kFailed;
    if (S_ISDIR(st.st_mode)) {
        int sub = open_beneath(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY, 0);
        if (sub < 0) return Refused(errno, rel);
        struct stat sub_st;
        struct stat parent_st;
        if (fstat(sub, &sub_st) != 0 || fstat(dir_fd, &parent_st) != 0 || sub_st.st_dev != parent_st.st_dev) {
            close(sub);
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectory: error code %d\n", EXDEV);
            return FsResult::kFailed;
        }
        FsResult result = fsat::RemoveContentsAt(sub, Full(rel));
        close(sub);
        if (unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "RemoveDirectory: error code %d\n", errno);
            return FsResult::kFailed;
        }
        return result;
    }
    if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSRemove: failed on %s. error code %d\n", Full(rel).c_str_utf8(),
                errno);
        return FsResult::kFailed;
    }
    return FsResult::kOk;
}

namespace {
FsResult rename_result(int err) {
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSRename: error code %d\n", err);
    errno = err;
    return err == ENAMETOOLONG ? FsResult::kNameTooLong : FsResult::kFailed;
}
}  // namespace

FsResult SessionRoot::OpenParents(const ustring& from, int& from_dir, std::string& from_name, const ustring& to,
                                  int& to_dir, std::string& to_name) const {
    FsResult rc = OpenParent(from, from_dir, from_name);
    if (rc != FsResult::kOk) return rc == FsResult::kFailed ? rename_result(errno) : rc;
    rc = OpenParent(to, to_dir, to_name);
    if (rc != FsResult::kOk) {
        rc = rc == FsResult::kFailed ? rename_result(errno) : rc;
        ::close(from_dir);
        return rc;
    }
    return FsResult::kOk;
}

FsResult SessionRoot::Rename(const ustring& from, const ustring& to) const { return MoveEntry(from, to, true); }

FsResult SessionRoot::RenameNoReplace(const ustring& from, const ustring& to) const {
    return MoveEntry(from, to, false);
}

FsResult SessionRoot::MoveEntry(const ustring& from, const ustring& to, bool replace) const {
    if (Faulted()) return rename_result(errno);
    int from_dir = -1, to_dir = -1;
    std::string from_name, to_name;
    if (const FsResult rc = OpenParents(from, from_dir, from_name, to, to_dir, to_name); rc != FsResult::kOk) return rc;
    Fd a(from_dir), b(to_dir);
    if (from_name.empty() || to_name.empty()) return rename_result(EINVAL);
    MutexLock lock(fsat::RenameMutex());
    if (replace) {
        if (renameat(from_dir, from_name.c_str(), to_dir, to_name.c_str()) == 0) return FsResult::kOk;
        return rename_result(errno);
    }
    if (renameat2(from_dir, from_name.c_str(), to_dir, to_name.c_str(), RENAME_NOREPLACE) == 0) return FsResult::kOk;
    int err = errno;
    if (err == EEXIST) return FsResult::kExist;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // A file system without the no-replace flag: test, then rename (our own
        // renames are serialised by the mutex).
        struct stat st;
        if (fstatat(to_dir, to_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return FsResult::kExist;
        if (renameat(from_dir, from_name.c_str(), to_dir, to_name.c_str()) == 0) return FsResult::kOk;
        err = errno;
    }
    return rename_result(err);
}

FsResult SessionRoot::HardLink(const ustring& from, const ustring& to) const {
    int from_dir = -1, to_dir = -1;
    std::string from_name, to_name;
    if (const FsResult rc = OpenParents(from, from_dir, from_name, to, to_dir, to_name); rc != FsResult::kOk) return rc;
    Fd a(from_dir), b(to_dir);
    if (from_name.empty() || to_name.empty()) return FsResult::kFailed;
    struct stat st;
    if (fstatat(from_dir, from_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return FsResult::kFailed;
    // No AT_SYMLINK_FOLLOW: a link that took the file's place since is linked as itself.
    if (linkat(from_dir, from_name.c_str(), to_dir, to_name.c_str(), 0) == 0) return FsResult::kOk;
    return errno == EEXIST ? FsResult::kExist : FsResult::kFailed;
}

FsResult SessionRoot::Copy(const ustring& from, const ustring& to, bool del) const {
    if (Faulted()) return fsat::DiskFull(errno) ? FsResult::kDiskFull : FsResult::kFailed;
    int in = -1;
    FsResult rc = OpenAt(from, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, in);
    if (rc != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid source (%s). Error code %d\n",
                Full(from).c_str_utf8(), errno);
        return rc;
    }
    Fd src(in);
    struct stat sst;
    if (fstat(in, &sst) != 0 || !S_ISREG(sst.st_mode)) {
        // Only regular files: reading a FIFO or a device could block or never end.
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid source (%s). Error code %d\n",
                Full(from).c_str_utf8(), EINVAL);
        errno = EINVAL;
        return FsResult::kFailed;
    }
    int to_dir = -1;
    std::string to_name;
    rc = OpenParent(to, to_dir, to_name);
    if (rc != FsResult::kOk) return rc;
    Fd dir(to_dir);
    if (to_name.empty()) {
        errno = EISDIR;
        return FsResult::kFailed;
    }
    struct stat dst;
    if (fstatat(to_dir, to_name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0 && dst.st_dev == sst.st_dev &&
        dst.st_ino == sst.st_ino) {
        // Truncating the destination would destroy the source.
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid destination. Error code %d\n", EINVAL);
        errno = EINVAL;
        return FsResult::kFailed;
    }
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    int out = open_beneath(to_dir, to_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
    if (out < 0) {
        int err = errno;
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: Invalid destination. Error code %d\n", err);
        return Refused(err, to);
    }
    FsResult result = fsat::CopyData(in, out);
    if (close(out) != 0 && result == FsResult::kOk) {
        // Some file systems report a full disk only when the file is closed.
        int err = errno;
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: WriteFile failed with error code %d\n", err);
        result = fsat::DiskFull(err) ? FsResult::kDiskFull : FsResult::kFailed;
    }
    if (result != FsResult::kOk) {
        unlinkat(to_dir, to_name.c_str(), 0);  // a partial copy must not pass for the file
        return result;
    }
    if (del) {
        int from_dir = -1;
        std::string from_name;
        if (OpenParent(from, from_dir, from_name) != FsResult::kOk) return FsResult::kFailed;
        Fd fdir(from_dir);
        if (unlinkat(from_dir, from_name.c_str(), 0) != 0) {
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSCopy: DeleteFile failed with error code %d\n", errno);
            return FsResult::kFailed;
        }
    }
    return FsResult::kOk;
}

FsResult SessionRoot::UTime(const ustring& rel, uint32_t mtime) const {
    if (Faulted()) return FsResult::kFailed;
    int dir_fd = -1;
    std::string name;
    FsResult rc = OpenParent(rel, dir_fd, name);
    if (rc != FsResult::kOk) return rc;
    Fd dir(dir_fd);
    if (FSTwoSecondTime()) mtime &= ~1u;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    if (utimensat(dir_fd, name.empty() ? "" : name.c_str(), times,
                  AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0)) != 0) {
        NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSUTime: error code %d\n", errno);
        return FsResult::kFailed;
    }
    return FsResult::kOk;
}

FsResult SessionRoot::OpenDir(const ustring& rel, int32_t flag, DIR_HANDLE& dh) const {
    FSCloseDir(dh);
    int fd = -1;
    FsResult rc = OpenAt(rel, O_RDONLY | O_DIRECTORY, 0, fd);
    if (rc != FsResult::kOk) return rc;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return FsResult::kFailed;
    }
    dh.path = Full(rel);
    dh.flag = flag;
    dh.handle = d;
    return FsResult::kOk;
}

FsResult SessionRoot::Mktemp(const ustring& dir, ustring& rel) const {
    for (int attempt = 0; attempt < kMktempAttempts; ++attempt) {
        ustring name = TmpNameGen::getInstance().getTmpName(dir);
        NLOG_AT(L_DEBUG, kChannel, "file-op-win.cpp", "FSMktemp: prefix [%s], path[%s]\n", Full(dir).c_str_utf8(),
                name.c_str_utf8());
        if (name.empty()) break;
        int fd = -1;
        // O_EXCL: an existing file, whoever made it, is never opened or truncated.
        FsResult rc = OpenAt(name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0666, fd);
        if (rc == FsResult::kOk) {
            close(fd);
            rel = name;
            return FsResult::kOk;
        }
        if (rc != FsResult::kFailed || errno != EEXIST) {
            const int err = errno;
            NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSMktemp failed.\n");
            errno = err;
            return rc;
        }
    }
    NLOG_AT(L_ERR, kChannel, "file-op-win.cpp", "FSMktemp failed.\n");
    return FsResult::kFailed;
}
