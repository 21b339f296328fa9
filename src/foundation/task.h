// Task: one background activity on its own thread, driven by a RUN/PAUSE/STOP state
// that the owner sets and the body polls between units of work.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>

#include "foundation/mutex.h"

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

    // Starts the thread. False when one was started and not joined yet, or it cannot
    // be created.
    [[nodiscard]] bool Run() EXCLUDES(m_state_mutex);
    // True once the thread has ended; false when none was started.
    bool Join();
    State GetState() EXCLUDES(m_state_mutex);
    // -1 while no thread runs. Set before the thread starts, so the body sees its own id.
    int GetId() const { return m_task_id.load(); }
    // Sleeps sec seconds in 100 ms steps; false as soon as the state is not RUN.
    bool Wait(unsigned sec);
    void SetState(State state) EXCLUDES(m_state_mutex);

    static void* Exec(void* task);
    static int CreateTaskId();

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

protected:
    // The loop every body runs. Each round calls each_round (when given), then reads
    // the state: STOP returns; PAUSE sleeps a second; RUN calls work, which does one
    // unit and returns the seconds to Wait before the next round.
    void RunLoop(const std::function<unsigned()>& work, const std::function<void()>& each_round = {});

    TaskManager* m_owner;
    TaskContext* m_ctx;
    Mutex m_state_mutex;
    State m_state GUARDED_BY(m_state_mutex) = STOP;
    pthread_t m_tid{};
    std::atomic<int> m_task_id{-1};
};

// A task whose units of work poll an abort flag (and hand it to the channels they
// borrow): Pause and Stop raise it, Resume clears what a fresh start clears
// (OnResume) and lowers it. The flag is written by the control thread and by the
// event manager (SetAbort where a task offers it), read by the task.
class AbortableTask : public Task {
public:
    using Task::Task;

    int Pause() override {
        abort_flag = 1;
        return Task::Pause();
    }
    int Resume() override {
        OnResume();
        abort_flag = 0;
        return Task::Resume();
    }
    int Stop() override {
        abort_flag = 1;
        return Task::Stop();
    }
    int GetAbortFlag() const { return abort_flag.load(); }

protected:
    // Runs on the control thread before the flag is lowered.
    virtual void OnResume() {}

    std::atomic<int> abort_flag{0};
};
