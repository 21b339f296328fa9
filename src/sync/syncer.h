// Syncer: the server event puller task. The pull itself arrives with the puller
// work; this runs the task loop and honours pause and stop.
#pragma once

#include "foundation/task.h"

class Syncer : public Task {
public:
    explicit Syncer(TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Syncer() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    void DoTask() override;

    int GetAbortFlag() const { return abort_flag; }
    int GetLastError() const { return last_error; }

protected:
    int abort_flag = 0;
    // Remembered failure of the last pull; a resumed task starts afresh.
    int last_error = 0;
};
