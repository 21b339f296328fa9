#include "sync/syncer.h"

#include "foundation/logger.h"

Syncer::Syncer(PoolSlot& pool, TaskManager* owner, TaskContext* ctx) : Task(owner, ctx), pool_slot(pool) {}

Syncer::~Syncer() = default;

int Syncer::Pause() {
    abort_flag = 1;
    return Task::Pause();
}

int Syncer::Resume() {
    last_error = 0;
    abort_flag = 0;
    return Task::Resume();
}

int Syncer::Stop() {
    abort_flag = 1;
    return Task::Stop();
}

void Syncer::DoTask() {
    // No session to pull for yet: wait a second and look again.
    RunLoop([] { return 1u; });
    NLOG(L_DEBUG, "syncer_debug", "[DEBUG] syncer.cpp(%d): Syncer: stop working, now on view_id %llu, sync_id %llu.\n",
         0ULL, 0ULL);
}
