// RecycleCleaner: the recycle-bin rotation task. The rotation itself arrives with
// the recycle-bin work; this runs the task loop and honours pause and stop.
#pragma once

#include "foundation/task.h"

class RecycleCleaner : public Task {
public:
    explicit RecycleCleaner(TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~RecycleCleaner() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag; }

protected:
    // Polled by long operations so that a pause or stop interrupts them.
    int abort_flag = 0;
};
