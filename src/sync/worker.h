// Worker: one task that carries out synchronisation events one at a time. For now
// it runs the task loop and publishes its working status (what the control plane
// reports in "get_status"); the event handling arrives with the worker work.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/task.h"
#include "foundation/ustring.h"
#include "wire/connection_pool.h"
#include "wire/stream.h"

class Worker : public Task {
public:
    enum WorkingType { W_TYPE_NONE = 0, W_TYPE_UPLOAD = 1, W_TYPE_DOWNLOAD = 2 };

    // What the control plane sees of the worker: the event it is working on.
    struct ProcessEvent_T {
        uint64_t session_id = 0;
        ustring path;
        WorkingType working_type = W_TYPE_NONE;
    };

    // Rendezvous of an abort request: every selected worker decrements count once it
    // has given up its event; the last one signals pause_cond.
    struct PauseType_T {
        Mutex pause_mutex;
        CondVar pause_cond;
        uint32_t count GUARDED_BY(pause_mutex) = 0;
    };

    // The task borrows its connections from the pool in `pool` (the process's g_pool,
    // or a test's own).
    explicit Worker(PoolSlot& pool = g_pool, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Worker() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    int SetAbort(bool abort) override;
    void DoTask() override;

    // All outputs zero or empty while the task is paused or stopped. sent and total
    // count the file body in transfer ("file.file.data"), else they are 0.
    void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& working_type, uint64_t& sent,
                          uint64_t& total) EXCLUDES(worker_state_lock);
    void GetCurrentProcessEventInfo(ProcessEvent_T& out) EXCLUDES(worker_state_lock);
    void SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type)
        EXCLUDES(worker_state_lock);
    void ClearCurrentProcessEventInfo();
    void setPauseInstance(PauseType_T* instance);

    int GetAbortFlag() const { return abort_flag.load(); }
    int GetLastError() const { return last_error.load(); }
    // The stream every request of this worker goes through; its progress feeds the status.
    PStream& GetTransStream() { return trans_stream; }

protected:
    void NotifyAbortDone();

    PoolSlot& pool_slot;
    // Written by the control thread, read by the task and the channel it borrows
    // (polled during transfers).
    std::atomic<int> abort_flag{0};
    // Cleared by Resume on the control thread, set by the task.
    std::atomic<int> last_error{0};

    Mutex worker_state_lock;
    ProcessEvent_T m_current_event GUARDED_BY(worker_state_lock);
    PStream trans_stream;
    std::atomic<PauseType_T*> pause_instance{nullptr};
};
