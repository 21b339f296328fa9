#include "sync/detector.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/session_folders.h"

namespace {
const char* const kChannel = "detector_debug";
}  // namespace

Detector::Detector(TaskManager* owner) : Task(owner, nullptr) {}

Detector::~Detector() {
    Clear();
}

void Detector::Release(session_info& info) {
    if (info.fd >= 0) {
        // Closing the instance removes its watches as well.
        close(info.fd);
        info.fd = -1;
        info.wd = -1;
    }
}

void Detector::CreateWorkingDirectory(const ustring& root) {
    NLOG(L_DEBUG, kChannel, "[DEBUG] detector-win2.cpp(%d): creating working directory under %s\n", root.c_str_utf8());
    // The leading dot keeps it hidden; there is no attribute to set. Made beneath the
    // folder, never through a link that stands in its place.
    std::shared_ptr<const SessionRoot> dir;
    if (SessionRoot::Open(root, dir) != 0) return;
    dir->MKDirP(session_folders::kRelRecycleFolder);
}

int Detector::AddWatch(const ustring& path, uint64_t sess_id) {
    NLOG(L_DEBUG, kChannel, "[DEBUG] detector-win2.cpp(%d): Detector add watch: %s\n", path.c_str_utf8());
    session_info info;
    info.path = path;
    info.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (info.fd < 0) {
        NLOG(L_ERR, kChannel, "[ERROR] detector-win2.cpp(%d): CreateEvent: Error Code: %d\n", errno);
        return -1;
    }
    // IN_ONLYDIR: a file or a link to one is no folder to watch. The link itself is
    // not followed, so a watch never ends up outside the folder it was given.
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                          IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
    info.wd = inotify_add_watch(info.fd, path.c_str_utf8(), mask);
    if (info.wd < 0) {
        NLOG(L_ERR, kChannel, "[ERROR] detector-win2.cpp(%d): CreateFile(%s): Error code: %d\n", path.c_str_utf8(),
             errno);
        Release(info);
        return -1;
    }
    CreateWorkingDirectory(path);

    MutexLock guard(lock);
    auto it = index.find(sess_id);
    if (it != index.end()) {
        // A second watch for the same id: the first one's resources are released,
        // never left unreachable.
        Release(it->second);
        it->second = info;
    } else {
        index.emplace(sess_id, info);
    }
    return 0;
}

void Detector::RemoveWatch(uint64_t sess_id) {
    MutexLock guard(lock);
    auto it = index.find(sess_id);
    if (it == index.end()) return;
    Release(it->second);
    index.erase(it);
}

void Detector::Clear() {
    MutexLock guard(lock);
    for (auto& [sess_id, info] : index) {
        NLOG(L_DEBUG, kChannel, "[DEBUG] detector-win2.cpp(%d): session #%llu (%s) down\n",
             static_cast<unsigned long long>(sess_id), info.path.c_str_utf8());
        Release(info);
    }
    index.clear();
}

bool Detector::HasWatch(uint64_t sess_id) {
    MutexLock guard(lock);
    return index.count(sess_id) != 0;
}

size_t Detector::GetWatchCount() {
    MutexLock guard(lock);
    return index.size();
}

ustring Detector::GetWatchPath(uint64_t sess_id) {
    MutexLock guard(lock);
    auto it = index.find(sess_id);
    return it == index.end() ? ustring() : it->second.path;
}

void Detector::DoTask() {
    NLOG(L_DEBUG, kChannel, "[DEBUG] detector-win2.cpp(%d): detector start\n");
    // Change reading is not in place yet: idle for a second, as the loop does with no
    // watched folder.
    RunLoop([] { return 1u; });
    NLOG(L_DEBUG, kChannel, "[DEBUG] detector-win2.cpp(%d): detector stop\n");
}
