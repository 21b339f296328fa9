// Worker: one task that carries out synchronisation events one at a time. The loop,
// the per-event context and the error policy live here (worker.cpp); what a handler
// may use of the worker is its port (sync/worker_port.h), and each handler (upload,
// download, removal, rescan and expansion) is an object of its own that owns its
// state between passes.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "foundation/mutex.h"
#include "foundation/task.h"
#include "sync/download_handler.h"
#include "sync/remove_handler.h"
#include "sync/rescan_handler.h"
#include "sync/upload_handler.h"
#include "sync/worker_port.h"

class Worker : public AbortableTask, public WorkerPort {
public:
    // What HandleError decides for an event.
    enum Action { ACTION_NONE = -1, ACTION_DONE = 0, ACTION_RETRY = 1, ACTION_RETURN_EVENT = 2 };
    // Which report an error code gives to the UI.
    enum ErrorType { ERR_NONE = 0, ERR_SESSION = 1, ERR_CONNECTION = 2, ERR_FILE = 3 };

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

    // Everything beyond its own state comes from `services` (connections from
    // services.pool).
    explicit Worker(const SyncServices& services, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Worker() override;

    int SetAbort(bool abort) override;
    void DoTask() override;

    // One pass of the loop after the state checks: take an event (or keep the one
    // held), load its session, run its handler and act on the result. Returns the
    // action taken (ACTION_*), or ACTION_NONE when there was no event to work on or the event
    // was finished or handed back before a handler ran. Public so that tests can
    // drive a worker that was never started.
    int RunOnce();

    // All outputs zero or empty while the task is paused or stopped. sent and total
    // count the file body in transfer ("file.file.data"), else they are 0.
    void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& working_type, uint64_t& sent,
                          uint64_t& total) EXCLUDES(worker_state_lock);
    void GetCurrentProcessEventInfo(ProcessEvent_T& out) EXCLUDES(worker_state_lock);
    void SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type) override
        EXCLUDES(worker_state_lock);
    void ClearCurrentProcessEventInfo();
    void setPauseInstance(PauseType_T* instance);

    int GetLastError() const { return last_error.load(); }

    // --- Error tables ---------------------------------------------------------------
    // Action and report kind of a result code 0..-23; -1 for codes outside the table
    // and for codes the table does not expect from a handler.
    static int ActionOf(int code);
    static int ReportOf(int code);
    // A handler's result -> the action (ACTION_*), after the counters and UI reports.
    // A code outside -23..0, or one the table does not expect from a handler, gives
    // ACTION_RETURN_EVENT (with a CRIT line): no code pins the worker to its event.
    int HandleError(int code);

    // --- Event context ----------------------------------------------------------------
    // kReady and an event in the context, kNothing when the manager has none for
    // this worker.
    Loaded GetEvent();
    // kReady: the session is loaded. kNothing: the event was finished or handed back
    // already.
    Loaded UpdateContext();
    // kHandedOver: the manager handed over the next event of the same path, which is
    // now the current one.
    enum class [[nodiscard]] Finished{kDone, kHandedOver};
    Finished DoneEvent();
    void RedoEvent();
    void NotifyEvent(NotifyEventType type);
    void ClearCache() override;

    // --- Handlers ---------------------------------------------------------------------
    // The dispatch to the handler objects. Each returns a result code for HandleError;
    // a handler that cannot tell what happened returns ERR_SYS, so that nothing is
    // marked done that was not done. Virtual so that tests can stand in for one.
    virtual int UploadLocal() { return upload_.Run(); }
    virtual int DownloadRemote() { return download_.Run(); }
    virtual int RemoveLocal() { return remove_.RemoveLocal(); }
    virtual int RemoveRemote() { return remove_.RemoveRemote(); }
    virtual int Rescan() { return rescan_.Rescan(); }
    virtual int Expand() { return rescan_.Expand(); }
    virtual int ExpandDeleteEvent() { return rescan_.ExpandDeleteEvent(); }
    virtual void CreateDirSelfEvent() { rescan_.CreateDirSelfEvent(); }
    StepResult ExpandLocalDeleteEvent(const ustring& path) override { return rescan_.ExpandLocalDeleteEvent(path); }
    StepResult ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id) override {
        return rescan_.ExpandServerDeleteEvent(path, sess_id, sync_id);
    }

protected:
    // The dispatch table: the handler of the current event.
    int ProcessEvent();
    void NotifyAbortDone();
    void PublishCurrentEvent();

    // Cleared by Resume on the control thread, set by the task.
    std::atomic<int> last_error{0};
    void OnResume() override { last_error = 0; }
    int sys_err_count = 0;
    time_t last_err_io_time = 0;
    int notify_file_status = -1;

    // Guards m_current_event only; held for copies, never while calling out.
    Mutex worker_state_lock;
    ProcessEvent_T m_current_event GUARDED_BY(worker_state_lock);

    // The handlers, each with its own state between passes over one event.
    RemoveHandler remove_;
    UploadHandler upload_;
    DownloadHandler download_;
    RescanHandler rescan_;
    std::atomic<PauseType_T*> pause_instance{nullptr};
};
