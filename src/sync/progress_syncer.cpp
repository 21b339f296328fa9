#include "sync/progress_syncer.h"

#include "foundation/logger.h"

ProgressSyncer::ProgressSyncer(PoolSlot& pool, TaskManager* owner, TaskContext* ctx) : Task(owner, ctx), pool_slot(pool) {}

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
    // No resume condition to work on yet.
    RunLoop([] { return 1u; });
    NLOG(L_DEBUG, "progress_syncer_debug",
         "[DEBUG] progress-syncer.cpp(%d): ProgressSyncer : stop working, now on sess_id = %llu, sync_id = %llu.\n",
         0ULL, 0ULL);
}
