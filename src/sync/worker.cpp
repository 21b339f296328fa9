// Worker: the loop, the event context, the error tables and the status the control
// plane sees. What the handlers use of the worker is its port (worker_port.h); the
// handlers are objects of their own (upload_handler.h, download_handler.h,
// remove_handler.h, rescan_handler.h).
//
// States of an event, as a worker sees it:
//   (manager) --GetEvent--> held --UpdateContext--> running its handler
//   running --HandleError: DONE--> DoneEvent: finished, or the next event of the same
//                                 path is handed over and becomes the held one
//   running --RETRY--> held again after 3 s (the transfer cache survives)
//   running --RETURN_EVENT--> RedoEvent: back to the manager, the worker rests 2 s
//   held --session gone--> finished without work; --session paused--> handed back
// A worker never keeps an event whatever its handler answers: every code that the
// table does not expect hands the event back. A rescan or expansion is finished only
// when it ran to its end: failed, interrupted, or with the session's folder missing
// (ERR_SYNCFOLDER_MISS, reported to the UI) it is queued again.
//
// Who writes what:
//   - context, the handlers' states, the counters: the worker's own thread only.
//   - m_current_event (what "get_status" and session removal read): the worker's
//     thread, under worker_state_lock; other threads only copy it under that lock.
//   - abort_flag: the control thread (Pause, Stop, SetAbort) and the event manager
//     (SetAbort); read by the worker and by the channel while an exchange runs.
//   - pause_instance: installed by the control thread, taken by the worker.
// Rules: worker_state_lock guards m_current_event and nothing else, and is never held
// while calling the event manager, the registry, the UI or the pool.
#include "sync/worker.h"

#include <unistd.h>

#include <cassert>
#include <climits>

#include "events/activity_log.h"
#include "events/event_manager.h"
#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "filter/white_list.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "foundation/mutex.h"
#include "store/file_event_db.h"
#include "store/file_status_db.h"
#include "store/session_folders.h"
#include "sync/conflict_rename.h"
#include "sync/proto_sites.h"
#include "sync/server_path.h"
#include "sync/with_lease.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"

namespace {

const char* const kChannel = "worker_debug";

constexpr int A_NONE = -1;

struct ErrorRow {
    int action;
    int report;
};

// Indexed by the negated result code.
const ErrorRow kErrorTable[] = {
    {Worker::ACTION_DONE, Worker::ERR_NONE},                //   0 ERR_OK
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_NONE},        //  -1 ERR_INT
    {Worker::ACTION_RETRY, Worker::ERR_NONE},               //  -2 ERR_IO
    {Worker::ACTION_RETRY, Worker::ERR_NONE},               //  -3 ERR_SYS (see HandleError)
    {A_NONE, Worker::ERR_NONE},                             //  -4 ERR_INVAL
    {A_NONE, Worker::ERR_NONE},                             //  -5 ERR_PROTO
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_CONNECTION},  //  -6 ERR_AUTH
    {Worker::ACTION_RETRY, Worker::ERR_NONE},               //  -7 ERR_SERVER
    {A_NONE, Worker::ERR_NONE},                             //  -8 ERR_CONFLICT
    {Worker::ACTION_RETRY, Worker::ERR_NONE},               //  -9 ERR_TIMEOUT
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_CONNECTION},  // -10 ERR_VERSION
    {A_NONE, Worker::ERR_NONE},                             // -11 ERR_NOENT
    {A_NONE, Worker::ERR_NONE},                             // -12 ERR_USER
    {A_NONE, Worker::ERR_NONE},                             // -13 ERR_PASSWORD
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},     // -14 ERR_HALDENDISABLE
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},     // -15 ERR_QUOTA
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},     // -16 ERR_DISKFULL
    // The session folder is gone or replaced: keep the event for when it is back, and
    // tell the user.
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},  // -17 ERR_SYNCFOLDER_MISS
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},  // -18 ERR_VIEW
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},  // -19 ERR_PERMISS
    // A path the view refuses now may be accepted later (the user fixes the view):
    // hand the event back and tell the user, as for ERR_VIEW.
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},  // -20 ERR_VIEW_PATH
    {Worker::ACTION_RETRY, Worker::ERR_NONE},            // -21 ERR_CH_CONNECTION_ABORT
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_SESSION},  // -22 ERR_LOCAL_DISKFULL
    {Worker::ACTION_RETURN_EVENT, Worker::ERR_FILE},     // -23 ERR_LOCKED_FILE
};
static_assert(sizeof kErrorTable / sizeof kErrorTable[0] == -ERR_MAX, "one row per result code");

bool InTable(int code) { return code <= 0 && code > ERR_MAX; }

}  // namespace

Worker::Worker(const SyncServices& services, TaskManager* owner, TaskContext* ctx)
    : AbortableTask(owner, ctx),
      WorkerPort(services, *this, abort_flag),
      remove_(*this, this->services),
      upload_(*this, this->services),
      download_(*this, this->services, remove_),
      rescan_(*this, this->services) {
    ClearCache();
}

Worker::~Worker() { ClearCache(); }

int Worker::SetAbort(bool abort) {
    abort_flag = abort ? 1 : 0;
    return 0;
}

void Worker::setPauseInstance(PauseType_T* instance) { pause_instance.store(instance); }

void Worker::NotifyAbortDone() {
    PauseType_T* instance = pause_instance.exchange(nullptr);
    if (instance == nullptr) return;
    MutexLock l(instance->pause_mutex);
    assert(instance->count > 0);
    --instance->count;
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "worker %d done abort\n", GetId());
    if (instance->count == 0) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "worker %d signal the command thread\n", GetId());
        instance->pause_cond.Signal();
    }
}

// ---------------------------------------------------------------------------------------
// Status seen by the control plane

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

void Worker::PublishCurrentEvent() {
    const Event& e = context.current_event;
    if (e.isExpand() || e.isRescan())
        ClearCurrentProcessEventInfo();
    else
        SetCurrentProcessEventInfo(e.m_sess_id, e.m_path, W_TYPE_NONE);
}

void Worker::ClearCache() {
    upload_.Clear(context.working_directory);
    download_.Clear(context.working_directory);
}

// ---------------------------------------------------------------------------------------
// The loop

void Worker::DoTask() {
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d) up\n", GetId());
    // RunOnce does its own waiting, as the event's result asks.
    RunLoop(
        [this] {
            RunOnce();
            return 0u;
        },
        [this] { NotifyAbortDone(); });
    ClearCache();
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d) down\n", GetId());
}

int Worker::RunOnce() {
    // Taken before looking, so that work queued in between wakes the wait below.
    const uint64_t stamp = services.events->WorkStamp();
    if (GetEvent() != Loaded::kReady) {
        ClearCurrentProcessEventInfo();
        // Up to a second, woken at once by new work; stop and pause within 100 ms.
        for (int i = 0; i < 10 && GetState() == RUN; ++i)
            if (services.events->WaitForWork(stamp, std::chrono::milliseconds(100))) break;
        return ACTION_NONE;
    }
    if (UpdateContext() != Loaded::kReady) return ACTION_NONE;
    SetAbort(false);

    const Event& ev = context.current_event;
    if (ev.isRescan() || ev.isExpand()) {
        const int rc = ev.isRescan() ? Rescan() : Expand();
        ClearCurrentProcessEventInfo();
        if (rc == ERR_SYS || rc == ERR_INT || rc == ERR_SYNCFOLDER_MISS) {
            // Not carried out (failed, interrupted, or the session's folder is
            // missing): queue it again rather than finish it. Expansions live
            // outside the tree, so they go back the way they came.
            if (rc == ERR_SYNCFOLDER_MISS) HandleError(rc);  // the session error for the UI
            Event again = context.current_event;
            NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "Worker (%d): %s not carried out, queued again\n", GetId(),
                    again.toString().c_str_utf8());
            Event next = again;
            const bool handed_over = services.events->DoneEvent(this, next) < 0;
            ClearCache();
            context.clear();
            if (handed_over) context.current_event = next;  // an event of the same path came meanwhile
            services.events->PushLocalEvent(again);
            Wait(rc == ERR_SYNCFOLDER_MISS ? 10 : 2);
            return ACTION_RETURN_EVENT;
        }
        (void)DoneEvent();
        return ACTION_DONE;
    }

    const int rc = ProcessEvent();
    ClearCurrentProcessEventInfo();
    const int action = HandleError(rc);
    switch (action) {
        case ACTION_DONE:
            (void)DoneEvent();
            break;
        case ACTION_RETURN_EVENT:
            RedoEvent();
            break;
        case ACTION_RETRY:
            Wait(3);
            break;
        default:
            NLOG_AT(L_CRIT, kChannel, "worker.cpp", "abort()\n");
            Wait(3);
            break;
    }
    return action;
}

int Worker::ProcessEvent() {
    const Event& e = context.current_event;
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): processEvent %s...\n", GetId(), e.m_path.c_str_utf8());
    assert(!e.isRescan() && !e.isExpand());
    if (e.isSubDirRescan()) return ExpandDeleteEvent();
    if (e.isServerEvent()) return e.m_type == Event::EV_REMOVE ? RemoveLocal() : DownloadRemote();
    return e.m_type == Event::EV_REMOVE ? RemoveRemote() : UploadLocal();
}

// ---------------------------------------------------------------------------------------
// Event context

Loaded Worker::GetEvent() {
    if (context.current_event.m_type != Event::EV_EMPTY) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "current event is valid: %s\n",
                context.current_event.toString().c_str_utf8());
        PublishCurrentEvent();
        return Loaded::kReady;
    }
    Event e;
    if (services.events->PullEvent(this, e) != 0) {
        ClearCache();
        context.clear();
        return Loaded::kNothing;
    }
    context.current_event = e;
    ClearCache();
    PublishCurrentEvent();
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): current event: %s\n", GetId(), e.toString().c_str_utf8());
    return Loaded::kReady;
}

Loaded Worker::UpdateContext() {
    Event& e = context.current_event;
    Registry::Entry entry;
    if (services.registry->Find(e.m_sess_id, entry) != 1) {
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "registry entry (with session %llu) is removed\n",
                (unsigned long long)e.m_sess_id);
        ClearCurrentProcessEventInfo();
        (void)DoneEvent();
        return Loaded::kNothing;
    }
    // Whatever produced the event, its path must stay inside the session's folder.
    const char* why = nullptr;
    if (!IsSafeServerPath(e.m_path, &why)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): event path '%s' %s, dropped\n", GetId(),
                EscapeForLog(e.m_path).c_str(), why);
        ClearCurrentProcessEventInfo();
        services.events->DoneEvent(this, e);
        ClearCache();
        context.clear();
        return Loaded::kNothing;
    }
    context.root_entry = entry;
    context.working_directory = session_folders::WorkingDirectory(entry.local_path);
    context.sign_directory = session_folders::SignFolder(entry.config_path);
    context.full_path = e.m_path == "/" ? entry.local_path : entry.local_path + e.m_path;

    if (entry.pause && !e.isExpand() && !e.isRescan()) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): session %llu is paused, process this event (%s) later\n",
                GetId(), (unsigned long long)entry.sess_id, e.toString().c_str_utf8());
        ClearCurrentProcessEventInfo();
        RedoEvent();
        return Loaded::kNothing;
    }
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): current event: %s\n", GetId(), e.toString().c_str_utf8());

    if (!entry.recursive) {
        int slashes = 0;
        for (char c : e.m_path.str()) slashes += c == '/';
        if ((e.isDir() && e.m_path != "/") || slashes >= 2) {
            NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "filter out recursive events (%s, %s)\n", e.m_path.c_str_utf8(),
                    e.isDir() ? "dir" : "file");
            ClearCurrentProcessEventInfo();
            (void)DoneEvent();
            return Loaded::kNothing;
        }
    }

    context.database_record.Clear();
    if (entry.event_db == nullptr ||
        entry.event_db->getEventInfo(e.m_path, context.database_record) != DbLookup::kFound)
        context.database_record.Clear();
    return Loaded::kReady;
}

Worker::Finished Worker::DoneEvent() {
    if (notify_event_type > NOTIFY_FILTERED) {
        NotifyEvent(notify_event_type);
        notify_event_type = NOTIFY_NONE;
    }
    Event e = context.current_event;
    if (services.events->DoneEvent(this, e) < 0) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): processing event '%s' not yet done.\n", GetId(),
                context.current_event.toString().c_str_utf8());
        context.current_event = e;
        ClearCache();
        return Finished::kHandedOver;
    }
    // Queued behind the event's own "syncing" mark, so the two are written in order.
    if (!context.full_path.empty()) static_cast<void>(services.forget_file_status(FileStatusKey(context.full_path)));
    notify_file_status = -1;
    if (context.current_event.isSubDirRescan()) CreateDirSelfEvent();
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): processing event '%s' done\n", GetId(),
            context.current_event.toString().c_str_utf8());
    ClearCache();
    context.clear();
    return Finished::kDone;
}

void Worker::RedoEvent() {
    if (services.events->RedoEvent(this, context.current_event) != 0)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): failed to redo event\n", GetId());
    ClearCache();
    context.clear();
    Wait(2);
}

void Worker::NotifyEvent(NotifyEventType type) {
    Event e;
    e.m_path = context.current_event.m_path;
    e.m_sess_id = context.current_event.m_sess_id;
    e.m_mode = context.current_event.m_mode;
    switch (type) {
        case NOTIFY_SERVER_MODIFY:
        case NOTIFY_CLIENT_MODIFY:
            e.m_type = Event::EV_MODIFY;
            break;
        case NOTIFY_SERVER_REMOVE:
        case NOTIFY_CLIENT_REMOVE:
            e.m_type = Event::EV_REMOVE;
            break;
        default:
            e.m_type = Event::EV_EMPTY;
            break;
    }
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "event type = %d, path = %s\n", (int)e.m_type, e.m_path.c_str_utf8());
    if (e.m_type == Event::EV_EMPTY) return;
    e.m_data_size = context.current_event.m_data_size;
    LogItemDone(e);
    services.ui.file_event(e);
}

// ---------------------------------------------------------------------------------------
// Errors

int Worker::ActionOf(int code) { return InTable(code) ? kErrorTable[-code].action : A_NONE; }

int Worker::ReportOf(int code) { return InTable(code) ? kErrorTable[-code].report : ERR_NONE; }

int Worker::HandleError(int code) {
    if (!InTable(code)) {
        // Whatever it means, holding the event cannot help: give it back.
        NLOG_AT(L_CRIT, kChannel, "worker.cpp", "worker: unknown error code [%d].\n", code);
        return ACTION_RETURN_EVENT;
    }
    // Every finished event passes here: a success is a debug line, the rest stay visible.
    if (code == ERR_OK)
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): HandleError: %s.\n", GetId(), GetErrorString(code));
    else
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d): HandleError: %s.\n", GetId(), GetErrorString(code));
    int action = ActionOf(code);
    if (action == A_NONE) {
        NLOG_AT(L_CRIT, kChannel, "worker.cpp", "Worker (%d): unexpected error code [%d].\n", GetId(), code);
        return ACTION_RETURN_EVENT;
    }
    if (code == ERR_SYS) {
        ClearCache();
        if (++sys_err_count > 3) {
            sys_err_count = 0;
            action = ACTION_RETURN_EVENT;
        }
        // Bad patches never finish an event: the download handler fetches the whole
        // file at their limit, and a handed-back event starts counting afresh.
        if (action == ACTION_RETURN_EVENT) download_.ResetPatchErrors();
    } else {
        sys_err_count = 0;
        download_.ResetPatchErrors();
        if (code == ERR_LOCAL_DISKFULL) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "get disk full\n");
            ClearCache();
        }
    }
    switch (ReportOf(code)) {
        case ERR_SESSION:
            services.ui.session_error(context.current_event.m_sess_id, code);
            break;
        case ERR_CONNECTION: {
            ConnectionPool* pool = pool_slot.get();
            services.ui.connection_error(pool ? (int)pool->getConnectionId() : 0, code);
            break;
        }
        case ERR_FILE: {
            Event e;
            e.m_path = context.current_event.m_path;
            e.m_sess_id = context.current_event.m_sess_id;
            e.m_mode = context.current_event.m_mode;
            services.ui.file_locked(e, code);
            break;
        }
        default:
            NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "No type for error: %d\n", code);
            break;
    }
    return action;
}
