// File-system operations of the sync engine, on UTF-8 paths.
// Results: FsResult::kOk for success and kFailed for failure unless stated; failures
// are logged on the "file_op_debug" channel. Paths are joined with "/". Files inside a session
// folder are reached through SessionRoot (session_root.h) instead, never by a
// full path that could pass through a link.
#pragma once

#include <cstdint>

#include "foundation/ustring.h"

typedef enum _FILE_TYPE_tag {
    FT_ERR = 0,
    FT_FILE = 1,
    FT_DIR = 2,
    FT_SLINK = 3,
    FT_HLINK = 4,
    FT_DEV = 5,
    FT_FIFO = 6,
    FT_SOCK = 7,
} FILE_TYPE;

typedef struct _FILE_INFO_tag {
    ustring path;
    ustring name;  // set by callers that need it; FSStat leaves it alone
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;  // seconds since 1970-01-01 UTC
    uint64_t size = 0;   // bytes; 0 for anything but a regular file
    bool isExist = false;
    uint32_t uid = 0;  // never filled
    uint32_t gid = 0;  // never filled

    bool operator==(const _FILE_INFO_tag& o) const {
        return isExist == o.isExist && size == o.size && mtime == o.mtime && type == o.type && path == o.path &&
               name == o.name;
    }
    bool operator!=(const _FILE_INFO_tag& o) const { return !(*this == o); }
} FILE_INFO;

// Results of the file-system operations here and in session_root.h: a family of
// their own, never to be read as another family's numbers. Where one must travel on
// as a number (a log line), FsCode gives it.
enum class FsResult : int {
    kOk = 0,
    kFailed = -1,        // any other failure; errno describes it
    kDiskFull = -2,      // FSCopy: the destination volume is full
    kTrash = -3,         // FSRemove: the move to the trash failed
    kExist = -4,         // FSRenameNoReplace: the target is taken
    kLink = -5,          // SessionRoot: a link on the way, or a step out of the root
    kStopped = -6,       // TraverseDir: the callback refused the folder itself
    kNameTooLong = -100  // FSRename: the new name is too long
};
constexpr int FsCode(FsResult r) { return static_cast<int>(r); }

// Whether an errno means a full volume: no room or no entries left, or over quota.
bool FSIsDiskFull(int err);

// Options of FSOpenDir.
enum { FS_DIR_STAT = 1 };  // fill mtime and size of every entry

typedef struct _DIR_HANDLE_tag {
    ustring path;
    int32_t flag = 0;
    void* handle = nullptr;  // the open directory stream, null until the first read

    _DIR_HANDLE_tag() = default;
    ~_DIR_HANDLE_tag();
    _DIR_HANDLE_tag(const _DIR_HANDLE_tag&) = delete;
    _DIR_HANDLE_tag& operator=(const _DIR_HANDLE_tag&) = delete;
} DIR_HANDLE;

typedef struct _DIR_ENTRY_tag {
    ustring name;
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;
    uint64_t size = 0;
} DIR_ENTRY;

// Access wanted by isFileLocked.
enum { FS_ACCESS_READ = 1, FS_ACCESS_WRITE = 2, FS_ACCESS_DELETE = 4 };

// Existence of path with exactly this last component, letter case included. A
// symbolic link counts as existing whatever it points to.
bool IsFileExist(const ustring& path);

// Fills info from the path itself (a symbolic link is FT_SLINK and is never
// followed; devices, FIFOs and sockets are FT_ERR). A missing path gives kOk with
// isExist false; a path that cannot be examined gives kFailed.
[[nodiscard]] FsResult FSStat(const ustring& path, FILE_INFO& info);

// Directory listing: FSOpenDir always succeeds; FSReadDir gives 1 with an entry
// ("." and ".." included), 0 at the end, -1 on failure (a count, not an FsResult).
void FSOpenDir(const ustring& path, int32_t flag, DIR_HANDLE& dh);
int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
void FSCloseDir(DIR_HANDLE& dh);

// Creates one directory (an existing entry counts as success), or with
// isCreateParent every missing one along the path.
[[nodiscard]] FsResult FSMKDir(const ustring& path, bool isCreateParent);
// Creates every missing directory along path. An existing non-directory in the
// way fails the call (errno EEXIST for the last component, ENOTDIR for an inner
// one) unless blForceCreate, which replaces it by a directory. The result is that
// of the last component. endptr, uid, gid and mode are not used.
[[nodiscard]] FsResult FSMKDirP(const ustring& path, const char* endptr = nullptr, bool blForceCreate = false,
                                uint32_t uid = 0, uint32_t gid = 0, uint32_t mode = 0);

// Removes a file, a symbolic link (never its target) or a directory tree. A missing
// path gives kOk, an empty one kFailed. With allowundo the path goes to the desktop
// trash instead (kTrash when that fails; nothing is deleted then).
[[nodiscard]] FsResult FSRemove(const ustring& path, bool allowundo);
// Deletes a tree without following symbolic links: a link is unlinked, never
// descended. kFailed when anything in it could not be removed.
[[nodiscard]] FsResult RemoveDirectoryRecursive(const ustring& path);

// Moves from to to, replacing an existing file. kNameTooLong when a name is too
// long, else kFailed on failure.
[[nodiscard]] FsResult FSRename(const ustring& from, const ustring& to);
// The same, but never replaces: kExist when to is taken.
[[nodiscard]] FsResult FSRenameNoReplace(const ustring& from, const ustring& to);

// Copies the regular file from to to (created or truncated). kDiskFull when the
// destination volume is full, kFailed on other failures; after a failure to is
// removed and from is never deleted. With isDelOrigin, from is deleted after a
// successful copy.
[[nodiscard]] FsResult FSCopy(const ustring& from, const ustring& to, bool isDelOrigin);

// Sets only the modification time (rounded down to an even second when two-second
// times are in force); atime is ignored. A link itself is changed, not its target.
[[nodiscard]] FsResult FSUTime(const ustring& path, uint32_t atime, uint32_t mtime);

// True when the existing path cannot be opened with the wanted access (FS_ACCESS_*)
// for lack of permission, or another process holds a conflicting lock on it.
bool isFileLocked(const ustring& path, int access);

// Calls callback(dir, priv) first (non-zero: kStopped), then for every entry below
// dir, each directory before its contents; a non-zero answer for a directory skips
// its contents. Symbolic links are passed to the callback, never descended. kOk, or
// kFailed when dir cannot be listed.
typedef int (*TraverseCallback)(const ustring& path, void* priv);
[[nodiscard]] FsResult TraverseDir(const ustring& dir, TraverseCallback callback, void* priv);

// path = a fresh temporary name for prefix (no file is made).
[[nodiscard]] FsResult FSCreateTempPath(const ustring& prefix, ustring& path);
// Creates a new empty file under a fresh temporary name for prefix and stores the
// name in path. Never opens an existing file.
[[nodiscard]] FsResult FSMktemp(const ustring& prefix, ustring& path);

// No effect on this platform.
int FSInitialize();
int FSChown(const ustring& path);
