// RecycleCleaner: the recycle-bin rotation task. One pass loads the next session (in
// ascending id order, wrapping) and removes from its recycle folder every entry that
// has been there longer than kRotateAfter seconds, with its rows in the session's
// recycle-bin table.
//
// Threads: the task's own thread runs DoTask, UpdateContext and Rotate and owns the
// context; the control thread only calls Pause/Resume/Stop, which set abort_flag (an
// atomic, polled between entries). The registry is read and written through its own
// calls only; the session's root and event database are shared-owned, so a session
// removed during a pass stays usable until the pass ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/task.h"
#include "foundation/ustring.h"
#include "sync/step_result.h"

// How long entries stay ("recycle_keep_seconds") and how many bytes the recycle
// folder of one session may hold before the oldest go ("recycle_max_bytes", 0: no cap).
struct RecyclePolicy {
    uint32_t keep_seconds = 1800;
    uint64_t max_bytes = 0;
};

class RecycleCleaner : public AbortableTask {
public:
    // An entry is rotated out once it is this many seconds old, by default.
    static constexpr uint32_t kRotateAfter = 1800;

    explicit RecycleCleaner(const SyncServices& services, TaskManager* owner = nullptr, TaskContext* ctx = nullptr,
                            RecyclePolicy policy = {});
    ~RecycleCleaner() override;

    void DoTask() override;

    // Loads the session after the current one (the first when the current one is
    // gone). kReady: loaded; kNothing: the registry is empty (the context is then
    // cleared).
    Loaded UpdateContext();
    // Rotates the context's session as of `now` (seconds since the epoch; the
    // current time when 0): entries older than the keep time go, then the oldest
    // until the size cap holds. Entries that cannot be removed are skipped (their rows
    // stay, so the next pass tries them again) and the rest are rotated. kOk: done,
    // or nothing was due, or the session is paused; kFailed: a database step failed,
    // an entry could not be removed, or the pass was aborted (all logged).
    StepResult Rotate(uint32_t now = 0);
    // local_path + "/.VarnelWorkingDirectory/#VarnelRecycle" of the context's session.
    ustring GetRecycleBinDir() const;

    const Registry::Entry& GetContext() const { return context; }

protected:
    const SyncServices services;
    // The session being rotated: a copy of its registry entry. Task thread only.
    Registry::Entry context;
    const RecyclePolicy policy;
};
