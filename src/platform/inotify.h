// Inotify: one inotify instance and its watches, read as decoded records. The detector
// keeps one for every session; the records carry the watch, the event bits, the cookie
// that joins the two halves of a rename, and the entry's name as the kernel gave it
// (no translation of any kind).
//
// Result codes:
//   INOTIFY_OK           0   success
//   INOTIFY_ERR         -1   any other failure (errno describes it)
//   INOTIFY_ERR_LIMIT   -2   AddWatch, AddWatchAt: the per-user watch limit
//                            (fs.inotify.max_user_watches) is reached
//   INOTIFY_ERR_NOT_DIR -3   AddWatch, AddWatchAt: the path names no directory, or a
//                            link (never followed)
//   INOTIFY_ERR_GONE    -4   AddWatch: the path does not exist
//   INOTIFY_ERR_DENIED  -5   AddWatch, AddWatchAt: this process may not read the
//                            directory (its permissions)
// Thread safety: any thread may add and remove watches while another one reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "foundation/mutex.h"

enum {
    INOTIFY_OK = 0,
    INOTIFY_ERR = -1,
    INOTIFY_ERR_LIMIT = -2,
    INOTIFY_ERR_NOT_DIR = -3,
    INOTIFY_ERR_GONE = -4,
    INOTIFY_ERR_DENIED = -5,
};

struct InotifyRecord {
    int wd = -1;          // -1 for IN_Q_OVERFLOW
    uint32_t mask = 0;    // IN_* bits
    uint32_t cookie = 0;  // the same for IN_MOVED_FROM and IN_MOVED_TO of one rename
    std::string name;     // entry inside the watched directory; empty for the directory itself
};

class Inotify {
public:
    Inotify() = default;
    ~Inotify();
    Inotify(const Inotify&) = delete;
    Inotify& operator=(const Inotify&) = delete;

    // Creates the instance (non-blocking, close-on-exec). INOTIFY_OK, or INOTIFY_ERR
    // (the per-user instance limit, out of memory). Opening an open one is INOTIFY_OK.
    int Open();
    bool IsOpen() const { return fd >= 0; }
    void Close();

    // Watches the directory at path for mask; IN_DONT_FOLLOW | IN_ONLYDIR are always
    // added, so a link is refused, never followed. Watching a directory again gives its
    // existing descriptor (and replaces its mask). INOTIFY_OK with wd set, or a code.
    int AddWatch(const std::string& path, uint32_t mask, int& wd) EXCLUDES(lock);
    // The same for a directory already opened (O_PATH will do) by dir_fd, for callers
    // that resolved it beneath a root without links: the watch is on that very
    // directory, whatever its path has become.
    int AddWatchAt(int dir_fd, uint32_t mask, int& wd) EXCLUDES(lock);
    // Ends a watch. INOTIFY_OK, or INOTIFY_ERR when wd is no (longer a) watch.
    int RemoveWatch(int wd) EXCLUDES(lock);

    // Waits up to timeout_ms for records. 1 when some are waiting, 0 when the time ran
    // out, INOTIFY_ERR when the instance failed (or is not open).
    int Wait(int timeout_ms);
    // Appends the records that are waiting, without blocking. The count appended (0
    // when none), or INOTIFY_ERR.
    int Read(std::vector<InotifyRecord>& out) EXCLUDES(lock);

    // Test knobs that stand in for the kernel's limits without changing them:
    // at most `n` watches at a time (further new watches give INOTIFY_ERR_LIMIT); and
    // at most `n` records per Read, the rest dropped and IN_Q_OVERFLOW appended, as the
    // kernel does when its queue is full. 0 = no limit of our own.
    void SetWatchLimit(size_t n) EXCLUDES(lock);
    void SetQueueLimit(size_t n) EXCLUDES(lock);
    size_t GetWatchCount() EXCLUDES(lock);

private:
    int Added(int rc, int new_wd, int& wd) EXCLUDES(lock);

    int fd = -1;
    Mutex lock;
    std::set<int> watches GUARDED_BY(lock);  // live descriptors
    size_t watch_limit GUARDED_BY(lock) = 0;
    size_t queue_limit GUARDED_BY(lock) = 0;
};
