// RecycleCleaner: the recycle-bin rotation task. The rotation itself arrives with
// the recycle-bin work; this runs the task loop and honours pause and stop.
#pragma once

#include <atomic>

#include "foundation/task.h"

class RecycleCleaner : public Task {
public:
    explicit RecycleCleaner(TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~RecycleCleaner() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag.load(); }

protected:
    // Polled by long operations so that a pause or stop interrupts them.
    // Written by the control thread, read by the task and the channel it borrows.
    std::atomic<int> abort_flag{0};
};
