// Syncer: the server event puller task. The pull itself arrives with the puller
// work; this runs the task loop and honours pause and stop.
#pragma once

#include <atomic>

#include "foundation/task.h"
#include "wire/connection_pool.h"

class Syncer : public Task {
public:
    // The task borrows its connections from the pool in `pool` (the process's g_pool,
    // or a test's own).
    explicit Syncer(PoolSlot& pool = g_pool, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Syncer() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag.load(); }
    int GetLastError() const { return last_error.load(); }

protected:
    PoolSlot& pool_slot;
    // Written by the control thread, read by the task and the channel it borrows.
    std::atomic<int> abort_flag{0};
    // Remembered failure of the last pull; a resumed task starts afresh (cleared by
    // Resume on the control thread).
    std::atomic<int> last_error{0};
};
