// ProgressSyncer: the selective-sync progress puller task. The pull itself arrives
// with the progress puller work; this runs the task loop and honours pause and stop.
#pragma once

#include "foundation/task.h"

class ProgressSyncer : public Task {
public:
    explicit ProgressSyncer(TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~ProgressSyncer() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag; }

protected:
    int abort_flag = 0;
};
