#include "foundation/task.h"

#include <unistd.h>

namespace {
std::atomic<int> task_count{0};
}  // namespace

Task::Task(TaskManager* owner, TaskContext* ctx) : m_owner(owner), m_ctx(ctx) {}

Task::~Task() { Task::Stop(); }

int Task::Pause() {
    SetState(PAUSE);
    return 0;
}

int Task::Resume() {
    SetState(RUN);
    return 0;
}

int Task::Stop() {
    SetState(STOP);
    return 0;
}

int Task::CreateTaskId() { return task_count.fetch_add(1); }

bool Task::Run() {
    MutexLock l(m_state_mutex);
    if (m_task_id.load() >= 0) return false;
    m_state = RUN;
    // The id is in place before the thread exists: its body may log it at once.
    m_task_id.store(CreateTaskId());
    if (pthread_create(&m_tid, nullptr, &Task::Exec, this) != 0) {
        m_state = STOP;
        m_task_id.store(-1);
        return false;
    }
    return true;
}

void* Task::Exec(void* arg) {
    auto* task = static_cast<Task*>(arg);
    task->DoTask();
    task->SetState(STOP);
    return nullptr;
}

bool Task::Join() {
    if (m_task_id.load() < 0) return false;
    pthread_join(m_tid, nullptr);
    m_task_id.store(-1);
    return true;
}

Task::State Task::GetState() {
    MutexLock l(m_state_mutex);
    return m_state;
}

void Task::SetState(State state) {
    MutexLock l(m_state_mutex);
    m_state = state;
}

bool Task::Wait(unsigned sec) {
    for (unsigned i = 0; i < sec * 10; ++i) {
        if (GetState() != RUN) return false;
        usleep(100 * 1000);
    }
    return true;
}

void Task::RunLoop(const std::function<unsigned()>& work, const std::function<void()>& each_round) {
    for (;;) {
        if (each_round) each_round();
        State state = GetState();
        if (state == STOP) return;
        if (state == PAUSE) {
            sleep(1);
            continue;
        }
        Wait(work());
    }
}
