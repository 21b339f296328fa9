#include "sync/recycle_cleaner.h"

#include "foundation/logger.h"

RecycleCleaner::RecycleCleaner(TaskManager* owner, TaskContext* ctx) : Task(owner, ctx) {}

RecycleCleaner::~RecycleCleaner() = default;

int RecycleCleaner::Pause() {
    abort_flag = 1;
    return Task::Pause();
}

int RecycleCleaner::Resume() {
    abort_flag = 0;
    return Task::Resume();
}

int RecycleCleaner::Stop() {
    abort_flag = 1;
    return Task::Stop();
}

void RecycleCleaner::DoTask() {
    NLOG(L_DEBUG, "recycle_cleaner_debug", "[DEBUG] recycle-cleaner.cpp(%d): RecycleCleaner START.\n");
    // Nothing to rotate yet: the pass interval with nothing done.
    RunLoop([] { return 3u; });
    NLOG(L_DEBUG, "recycle_cleaner_debug", "[DEBUG] recycle-cleaner.cpp(%d): RecycleCleaner : stop working\n");
}
