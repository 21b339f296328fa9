// Detector: the local change detector task. For now it only runs the task loop;
// the watches and the change reading arrive with the detector work.
#pragma once

#include "foundation/task.h"

class Detector : public Task {
public:
    explicit Detector(TaskManager* owner = nullptr);
    ~Detector() override;

    void DoTask() override;
};
