// Task: one background activity on its own thread, driven by a RUN/PAUSE/STOP state
// that the owner sets and the body polls between units of work.
#pragma once

#include <pthread.h>

class TaskManager;
class TaskContext;

class Task {
public:
    enum State { RUN = 0, PAUSE = 1, STOP = 2 };

    Task(TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    virtual ~Task();

    virtual int Init() { return 0; }
    virtual int Pause();
    virtual int Resume();
    virtual int Stop();
    virtual int SetAbort(bool) { return 0; }
    virtual void DoTask() {}

    int Run();
    int Join();
    State GetState();
    int GetId() const { return m_task_id; }
    // Sleeps sec seconds in 100 ms steps; -1 as soon as the state is not RUN.
    int Wait(unsigned sec);
    void SetState(State state);
    void LockState() { pthread_mutex_lock(&m_state_mutex); }
    void UnlockState() { pthread_mutex_unlock(&m_state_mutex); }

    static void* Exec(void* task);
    static int CreateTaskId();

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

protected:
    TaskManager* m_owner;
    TaskContext* m_ctx;
    State m_state = STOP;
    pthread_mutex_t m_state_mutex;
    pthread_t m_tid{};
    int m_task_id = -1;
};
