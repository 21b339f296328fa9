// ProgressSyncer: the selective-sync progress puller task. The pull itself arrives
// with the progress puller work; this runs the task loop and honours pause and stop.
#pragma once

#include <atomic>

#include "foundation/task.h"
#include "wire/connection_pool.h"

class ProgressSyncer : public Task {
public:
    // The task borrows its connections from the pool in `pool` (the process's g_pool,
    // or a test's own).
    explicit ProgressSyncer(PoolSlot& pool = g_pool, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~ProgressSyncer() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag.load(); }

protected:
    PoolSlot& pool_slot;
    // Written by the control thread, read by the task and the channel it borrows.
    std::atomic<int> abort_flag{0};
};
