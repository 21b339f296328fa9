// Detector: the local change detector task. It keeps one watch per session on the
// session's local folder; sessions get their watch when they are added and lose it
// when they are removed. The reading of changes arrives with the detector work;
// for now a watch holds its inotify instance and the watch on the folder itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "foundation/mutex.h"
#include "foundation/task.h"
#include "foundation/ustring.h"

class Detector : public Task {
public:
    explicit Detector(TaskManager* owner = nullptr);
    ~Detector() override;

    void DoTask() override;

    // Watches path for the session (message thread). Replacing the watch of an id
    // already watched releases the earlier one. 0, or -1 when the folder cannot be
    // watched (nothing is kept then).
    int AddWatch(const ustring& path, uint64_t sess_id);
    // Releases the session's watch; an id that is not watched changes nothing.
    void RemoveWatch(uint64_t sess_id);
    // Releases every watch.
    void Clear();

    bool HasWatch(uint64_t sess_id);
    size_t GetWatchCount();
    // The folder the session's watch was given, empty when it is not watched.
    ustring GetWatchPath(uint64_t sess_id);

    // Creates root + "/.VarnelWorkingDirectory" and its "/#VarnelRecycle" beneath
    // root (never through a link); errors (a folder that exists already) are ignored.
    static void CreateWorkingDirectory(const ustring& root);

private:
    struct session_info {
        int fd = -1;  // inotify instance
        int wd = -1;  // watch on the local folder
        ustring path;
    };

    static void Release(session_info& info);

    Mutex lock;
    std::map<uint64_t, session_info> index GUARDED_BY(lock);
};
