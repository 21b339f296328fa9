#include "sync/worker.h"

#include "foundation/logger.h"

namespace {
const char* const kChannel = "worker_debug";
}  // namespace

Worker::Worker(PoolSlot& pool, TaskManager* owner, TaskContext* ctx) : Task(owner, ctx), pool_slot(pool) {}

Worker::~Worker() = default;

int Worker::Pause() {
    abort_flag = 1;
    return Task::Pause();
}

int Worker::Resume() {
    last_error = 0;
    abort_flag = 0;
    return Task::Resume();
}

int Worker::Stop() {
    abort_flag = 1;
    return Task::Stop();
}

int Worker::SetAbort(bool abort) {
    abort_flag = abort ? 1 : 0;
    return 0;
}

void Worker::GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& working_type, uint64_t& sent,
                              uint64_t& total) {
    session_id = 0;
    path.clear();
    working_type = W_TYPE_NONE;
    sent = 0;
    total = 0;
    if (GetState() != RUN) return;

    ustring item;
    uint64_t done = 0, size = 0;
    trans_stream.GetStatus(item, done, size);
    if (item == "file.file.data") {
        sent = done;
        total = size;
    }
    MutexLock l(worker_state_lock);
    session_id = m_current_event.session_id;
    path = m_current_event.path;
    working_type = m_current_event.working_type;
}

void Worker::GetCurrentProcessEventInfo(ProcessEvent_T& out) {
    MutexLock l(worker_state_lock);
    out = m_current_event;
}

void Worker::SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type) {
    MutexLock l(worker_state_lock);
    m_current_event.session_id = session_id;
    m_current_event.path = path;
    m_current_event.working_type = working_type;
}

void Worker::ClearCurrentProcessEventInfo() { SetCurrentProcessEventInfo(0, ustring(), W_TYPE_NONE); }

void Worker::setPauseInstance(PauseType_T* instance) { pause_instance.store(instance); }

void Worker::NotifyAbortDone() {
    PauseType_T* instance = pause_instance.exchange(nullptr);
    if (instance == nullptr) return;
    MutexLock l(instance->pause_mutex);
    --instance->count;
    NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): worker %d done abort\n", GetId());
    if (instance->count == 0) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): worker %d signal the command thread\n", GetId());
        instance->pause_cond.Signal();
    }
}

void Worker::DoTask() {
    NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): Worker (%d) up\n", GetId());
    RunLoop(
        [this] {
            // No event source yet: behave as after a failed pull.
            ClearCurrentProcessEventInfo();
            return 1u;
        },
        [this] { NotifyAbortDone(); });
    NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): Worker (%d) down\n", GetId());
}
