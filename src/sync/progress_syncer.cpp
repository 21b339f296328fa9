#include "sync/progress_syncer.h"

#include <unistd.h>

#include "foundation/logger.h"

ProgressSyncer::ProgressSyncer(TaskManager* owner, TaskContext* ctx) : Task(owner, ctx) {}

ProgressSyncer::~ProgressSyncer() = default;

int ProgressSyncer::Pause() {
    abort_flag = 1;
    return Task::Pause();
}

int ProgressSyncer::Resume() {
    abort_flag = 0;
    return Task::Resume();
}

int ProgressSyncer::Stop() {
    abort_flag = 1;
    return Task::Stop();
}

void ProgressSyncer::DoTask() {
    NLOG(L_DEBUG, "progress_syncer_debug", "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer START.\n");
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            NLOG(L_DEBUG, "progress_syncer_debug",
                 "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer : stop working, now on sess_id = %llu, "
                 "sync_id = %llu.\n",
                 0ULL, 0ULL);
            return;
        }
        if (state == PAUSE) {
            sleep(1);
            continue;
        }
        // No resume condition to work on yet.
        Wait(1);
    }
}
