#include "foundation/task.h"

#include <unistd.h>

namespace {
pthread_mutex_t task_id_mutex = PTHREAD_MUTEX_INITIALIZER;
int task_count = 0;
}  // namespace

Task::Task(TaskManager* owner, TaskContext* ctx) : m_owner(owner), m_ctx(ctx) {
    pthread_mutex_init(&m_state_mutex, nullptr);
}

Task::~Task() {
    Task::Stop();
    pthread_mutex_destroy(&m_state_mutex);
}

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

int Task::CreateTaskId() {
    pthread_mutex_lock(&task_id_mutex);
    int id = task_count++;
    pthread_mutex_unlock(&task_id_mutex);
    return id;
}

int Task::Run() {
    LockState();
    if (m_task_id >= 0) {
        UnlockState();
        return -1;
    }
    m_state = RUN;
    if (pthread_create(&m_tid, nullptr, &Task::Exec, this) != 0) {
        m_state = STOP;
        UnlockState();
        return -1;
    }
    m_task_id = CreateTaskId();
    UnlockState();
    return 0;
}

void* Task::Exec(void* arg) {
    auto* task = static_cast<Task*>(arg);
    task->DoTask();
    task->SetState(STOP);
    return nullptr;
}

int Task::Join() {
    if (m_task_id < 0) return -1;
    pthread_join(m_tid, nullptr);
    m_task_id = -1;
    return 0;
}

Task::State Task::GetState() {
    LockState();
    State s = m_state;
    UnlockState();
    return s;
}

void Task::SetState(State state) {
    LockState();
    m_state = state;
    UnlockState();
}

int Task::Wait(unsigned sec) {
    for (unsigned i = 0; i < sec * 10; ++i) {
        if (GetState() != RUN) return -1;
        usleep(100 * 1000);
    }
    return 0;
}
