// SessionRoot: the one way to touch files inside a session's folder (its files, its
// working directory and its recycle folder). The root directory is opened once; every
// path given to the functions below is relative to it ("a/b" or "/a/b"; "" and "/"
// name the root itself) and the kernel resolves it beneath the root without passing
// through any symbolic link (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS). A
// link inside a session is an item the daemon does not synchronise: it is never
// followed, and an operation whose path runs through one fails with kLink. The first
// such refusal of each path is logged on "file_op_debug".
//
// Results (FsResult, shared with file_ops.h); the checks that only succeed or fail
// give a bool instead:
//   kOk           success
//   kFailed       any other failure (errno describes it): missing parent,
//                 permission, an invalid path ("." or ".." parts, a NUL byte)
//   kDiskFull     Copy: the volume is full (the partial copy is removed)
//   kExist        RenameNoReplace, HardLink: the target is taken
//   kLink         the path runs through a symbolic link, is one where the operation
//                 would follow it, or would leave the root
//   kNameTooLong  Rename, RenameNoReplace: a name is too long
// Objects are shared-owned (std::shared_ptr) and immutable after Open, so any number
// of threads may use one at a time and a task may keep one after its session is gone.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "platform/file_ops.h"

// Faults a test injects into one root, so that a full or failing volume can be played
// without root rights or a small file system. Every change made through the root
// counts (a file opened for writing or created, a folder made, a rename, a copy, a
// removal, a time set); the change numbered fail_at (1-based; 0: none) fails with
// errno err, and so does every later one unless once is set. The test keeps a
// shared_ptr to re-arm it; the atomics let the root's users run on any thread.
struct RootFaults {
    std::atomic<int> seen{0};
    std::atomic<int> fail_at{0};
    std::atomic<int> err{ENOSPC};
    std::atomic<bool> once{false};
    // Counts one change: true with errno set when it is to fail.
    bool Hit();
};

class SessionRoot {
public:
    // Opens the directory at `path` (absolute). A link in `path` itself is followed
    // once here, so a root given as a link (people keep ~/Sync as one) works beneath
    // the directory it names; path() is then that directory. True with `out` set, or
    // false when `path` is not absolute or names no directory.
    [[nodiscard]] static bool Open(const ustring& path, std::shared_ptr<const SessionRoot>& out);
    // As Open, with faults injected into every change made through the root (tests).
    [[nodiscard]] static bool OpenWithFaults(const ustring& path, std::shared_ptr<RootFaults> faults,
                                             std::shared_ptr<const SessionRoot>& out);

    ~SessionRoot();
    SessionRoot(const SessionRoot&) = delete;
    SessionRoot& operator=(const SessionRoot&) = delete;

    // The resolved absolute path of the root, without a trailing "/".
    const ustring& path() const { return root_path; }
    // path() joined with a relative path, for log lines and for callers that must
    // hand a full name on. Never use it to open what it names.
    ustring Full(const ustring& rel) const;
    // The relative form of a full path that lies beneath path() (lexically): true with
    // `rel` set ("/..."), or false when `full` is not beneath the root.
    [[nodiscard]] bool Relative(const ustring& full, ustring& rel) const;

    // Opens rel with open(2) flags (O_CLOEXEC is added; O_CREAT takes `mode`). kOk with
    // `fd` set (the caller closes it), kLink, or kFailed.
    [[nodiscard]] FsResult OpenAt(const ustring& rel, int flags, mode_t mode, int& fd) const;
    // lstat(2) of rel beneath the root: as OpenAt(rel, O_PATH | O_NOFOLLOW) and fstat,
    // with the same results (kOk with `st`, kLink, or kFailed with errno), in one call
    // for an entry of the root.
    [[nodiscard]] FsResult LStat(const ustring& rel, struct stat& st) const;
    // As FSStat: a link at rel is reported as FT_SLINK, never followed; a missing
    // path gives kOk with isExist false (also when a parent is missing). kLink when a
    // parent is a link, kFailed when the path cannot be examined.
    [[nodiscard]] FsResult Stat(const ustring& rel, FILE_INFO& info) const;
    // True when an entry named exactly so exists (a link counts, whatever it names).
    bool Exists(const ustring& rel) const;
    // Gives the regular file rel the permission bits for taking target's place: those
    // of target when it is a regular file (a replaced file keeps its mode), else 0666
    // less the umask (a new file). With exec, execute bits are added where read bits
    // are (less the umask); without, none are taken away: a server that keeps no
    // execute bit cannot be told from one that says "not executable". True on success.
    [[nodiscard]] bool TakeModeFor(const ustring& rel, const ustring& target, bool exec) const;
    // Whether rel is a regular file with its owner's execute bit set.
    bool IsExecutable(const ustring& rel) const;
    // Creates every missing directory along rel. A file in the way fails the call
    // (kFailed) unless force, which replaces it by a directory; a link in the way is
    // never replaced (kLink).
    [[nodiscard]] FsResult MKDirP(const ustring& rel, bool force = false) const;
    // Removes a file, a link (never what it names) or a directory tree; a missing
    // path gives kOk. The root itself is never removed (kFailed). Another volume
    // mounted below is left in place (kFailed).
    [[nodiscard]] FsResult Remove(const ustring& rel) const;
    // Moves from to to, replacing an existing file (Rename) or never (RenameNoReplace:
    // kExist when to is taken).
    [[nodiscard]] FsResult Rename(const ustring& from, const ustring& to) const;
    [[nodiscard]] FsResult RenameNoReplace(const ustring& from, const ustring& to) const;
    // Makes to a second name of the regular file from (never replacing an entry at
    // to, never following a link at from). kOk, kExist, kLink or kFailed (also when
    // the file system has no hard links).
    [[nodiscard]] FsResult HardLink(const ustring& from, const ustring& to) const;
    // Copies the regular file from to to (created or truncated); with del, from is
    // removed after a successful copy. As FSCopy: the partial copy is removed on
    // failure (kDiskFull when the volume is full) and from is never lost.
    [[nodiscard]] FsResult Copy(const ustring& from, const ustring& to, bool del) const;
    // Sets the modification time of rel itself (a link is not followed).
    [[nodiscard]] FsResult UTime(const ustring& rel, uint32_t mtime) const;
    // Opens the folder rel for listing with FSReadDir (flag as for FSOpenDir). Entries
    // that are links are listed as FT_SLINK, never followed. kOk, kLink or kFailed.
    [[nodiscard]] FsResult OpenDir(const ustring& rel, int32_t flag, DIR_HANDLE& dh) const;
    // Creates a new empty file under a fresh temporary name in the folder dir and
    // stores its relative path in rel. Never opens an existing file.
    [[nodiscard]] FsResult Mktemp(const ustring& dir, ustring& rel) const;

    // Whether the folder is still there to be synchronised: path() names the very
    // directory opened (same device and inode), it can be listed, and, when
    // expected_dev is not 0, it lies on that device. True when so; otherwise false, and
    // a caller must not read the folder's absence as its files having been removed (a
    // deleted, replaced or unmounted folder lists as empty).
    // With cause, nothing is logged and the cause goes there as a sentence (for a status
    // that asks often); without it the failure is logged.
    [[nodiscard]] bool CheckPresent(uint64_t expected_dev = 0, std::string* cause = nullptr) const;
    // The device the root was opened on.
    uint64_t device() const { return root_dev; }
    // Bytes this process may still put on the root's volume (root may use the
    // blocks reserved for it): true with `bytes` set, or false when the volume cannot
    // be asked.
    [[nodiscard]] bool FreeBytes(uint64_t& bytes) const;

    // Logs, once per path, that rel is (or runs through) a link and is not
    // synchronised. For callers that meet an FT_SLINK entry. Returns kLink.
    FsResult NoteLink(const ustring& rel) const { return Refused(ELOOP, rel); }
    // For callers that meet an entry of a type they do not synchronise (type as listed
    // or stat'ed): a link is noted as by NoteLink, a FIFO, socket or device once with
    // its kind (looked up beneath the root); files and folders are left alone.
    void NoteUnsynchronised(const ustring& rel, FILE_TYPE type) const;

    // Records that rel cannot be synchronised for `reason` (a sentence, e.g. "the name
    // is not valid UTF-8") and logs it once as a notice; the record goes with the
    // path (NotSynchronised). True the first time.
    bool NoteUnsyncable(const ustring& rel, const char* reason) const;
    // Forgets a record of rel (it synchronises again, or it is gone).
    void ForgetUnsyncable(const ustring& rel) const EXCLUDES(reported_lock);
    // Forgets the records noted for kUnreadable of rel and, with below, of everything
    // below it (rel can be read again); the number forgotten.
    size_t ForgetUnreadable(const ustring& rel, bool below) const EXCLUDES(reported_lock);
    // The reason noted for a folder this process may not list (or an item beneath one
    // it may not search): its permissions. Its content is then neither uploaded nor
    // read as removed.
    static constexpr const char* kUnreadable = "permission denied: the daemon may not read it";
    // Whether err is such a refusal.
    static bool Denied(int err) { return err == EACCES || err == EPERM; }
    // Whether this process's permissions refuse it rel: a folder above rel may not be
    // searched, or rel is a folder it may not list or a file it may not read. False
    // when rel can be read, is gone, or fails for another reason.
    bool Unreadable(const ustring& rel) const;

    // One item met that is not synchronised, and why, as a sentence for the status.
    struct Unsynchronised {
        std::string path;  // relative, as noted
        std::string reason;
    };
    // The items noted so far (links, special files, paths too long for the file
    // system) that are still there, at most max of them in path order; those whose
    // path is gone are dropped from the record. total gets the number still recorded.
    std::vector<Unsynchronised> NotSynchronised(size_t max, size_t& total) const EXCLUDES(reported_lock);

private:
    SessionRoot(int fd, const ustring& path);
    // The folder holding rel's last component, opened beneath the root: kOk with
    // `dir_fd` (O_PATH) and `name` set; `name` is empty for the root itself.
    FsResult OpenParent(const ustring& rel, int& dir_fd, std::string& name) const;
    // As OpenParent, but an entry of the root itself gets the root's own descriptor
    // (`dir_fd` == root_fd: not to be closed) instead of a new one.
    FsResult ParentOrRoot(const ustring& rel, int& dir_fd, std::string& name) const;
    // Both parents for a move or link: kOk with both descriptors open (the caller
    // closes them), else a rename result with none left open.
    FsResult OpenParents(const ustring& from, int& from_dir, std::string& from_name, const ustring& to, int& to_dir,
                         std::string& to_name) const;
    // Rename and RenameNoReplace.
    FsResult MoveEntry(const ustring& from, const ustring& to, bool replace) const;
    // Maps an errno of a resolution to a result (kLink for a link or a step out of the
    // root, else kFailed), logging a link refusal (or a path too long) once.
    FsResult Refused(int err, const ustring& rel) const;
    // Records rel with its reason: true the first time (the caller logs it then).
    bool Report(const ustring& rel, const char* reason) const EXCLUDES(reported_lock);

    // True (errno set) when the injected faults fail this change.
    bool Faulted() const { return faults && faults->Hit(); }

    std::shared_ptr<RootFaults> faults;  // tests only; null otherwise
    int root_fd;
    uint64_t root_dev = 0;
    uint64_t root_ino = 0;
    ustring root_path;
    mutable Mutex reported_lock;
    // Paths not synchronised (logged once each), with the reason.
    mutable std::map<std::string, std::string> reported GUARDED_BY(reported_lock);
};
