#include "platform/inotify.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Room for a few hundred records per read; a longer queue takes more reads.
constexpr size_t kReadBuffer = 64 * 1024;

int MapAddError(int err) {
    switch (err) {
        case ENOSPC:
            return INOTIFY_ERR_LIMIT;
        case ENOTDIR:
        case ELOOP:
            return INOTIFY_ERR_NOT_DIR;
        case ENOENT:
            return INOTIFY_ERR_GONE;
        case EACCES:
        case EPERM:
            return INOTIFY_ERR_DENIED;
        default:
            return INOTIFY_ERR;
    }
}

}  // namespace

Inotify::~Inotify() { Close(); }

int Inotify::Open() {
    if (fd >= 0) return INOTIFY_OK;
    fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return fd >= 0 ? INOTIFY_OK : INOTIFY_ERR;
}

void Inotify::Close() {
    if (fd < 0) return;
    // Closing the instance ends its watches as well.
    close(fd);
    fd = -1;
    MutexLock guard(lock);
    watches.clear();
}

int Inotify::Added(int rc, int new_wd, int& wd) {
    if (rc < 0) return MapAddError(errno);
    MutexLock guard(lock);
    if (watch_limit != 0 && watches.count(new_wd) == 0 && watches.size() >= watch_limit) {
        inotify_rm_watch(fd, new_wd);
        errno = ENOSPC;
        return INOTIFY_ERR_LIMIT;
    }
    watches.insert(new_wd);
    wd = new_wd;
    return INOTIFY_OK;
}

int Inotify::AddWatch(const std::string& path, uint32_t mask, int& wd) {
    if (fd < 0 || path.empty() || path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return INOTIFY_ERR;
    }
    const int rc = inotify_add_watch(fd, path.c_str(), mask | IN_DONT_FOLLOW | IN_ONLYDIR);
    return Added(rc, rc, wd);
}

int Inotify::AddWatchAt(int dir_fd, uint32_t mask, int& wd) {
    if (fd < 0 || dir_fd < 0) {
        errno = EINVAL;
        return INOTIFY_ERR;
    }
    // The descriptor's /proc name leads to the directory it holds open; it is the only
    // link followed here, and it cannot lead anywhere else.
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", dir_fd);
    const int rc = inotify_add_watch(fd, name, mask | IN_ONLYDIR);
    return Added(rc, rc, wd);
}

int Inotify::RemoveWatch(int wd) {
    if (fd < 0) return INOTIFY_ERR;
    {
        MutexLock guard(lock);
        watches.erase(wd);
    }
    return inotify_rm_watch(fd, wd) == 0 ? INOTIFY_OK : INOTIFY_ERR;
}

int Inotify::Wait(int timeout_ms) {
    if (fd < 0) return INOTIFY_ERR;
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        const int rc = poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return INOTIFY_ERR;
        if (rc == 0) return 0;
        return (p.revents & POLLIN) != 0 ? 1 : INOTIFY_ERR;
    }
}

int Inotify::Read(std::vector<InotifyRecord>& out) {
    if (fd < 0) return INOTIFY_ERR;
    alignas(struct inotify_event) char buf[kReadBuffer];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? 0 : INOTIFY_ERR;

    MutexLock guard(lock);
    const size_t first = out.size();
    size_t pos = 0;
    while (pos + sizeof(struct inotify_event) <= static_cast<size_t>(n)) {
        struct inotify_event ev;
        memcpy(&ev, buf + pos, sizeof ev);
        const size_t next = pos + sizeof ev + ev.len;
        if (next > static_cast<size_t>(n)) break;  // never happens: the kernel writes whole records
        if (queue_limit != 0 && out.size() - first >= queue_limit) {
            // What a full kernel queue does: the rest is lost and the reader is told.
            InotifyRecord overflow;
            overflow.mask = IN_Q_OVERFLOW;
            out.push_back(overflow);
            break;
        }
        InotifyRecord rec;
        rec.wd = ev.wd;
        rec.mask = ev.mask;
        rec.cookie = ev.cookie;
        if (ev.len > 0) rec.name.assign(buf + pos + sizeof ev, strnlen(buf + pos + sizeof ev, ev.len));
        if ((ev.mask & IN_IGNORED) != 0) watches.erase(ev.wd);
        out.push_back(std::move(rec));
        pos = next;
    }
    return static_cast<int>(out.size() - first);
}

void Inotify::SetWatchLimit(size_t n) {
    MutexLock guard(lock);
    watch_limit = n;
}

void Inotify::SetQueueLimit(size_t n) {
    MutexLock guard(lock);
    queue_limit = n;
}

size_t Inotify::GetWatchCount() {
    MutexLock guard(lock);
    return watches.size();
}
