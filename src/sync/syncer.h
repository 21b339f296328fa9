// Syncer: the server event puller task. It visits the sessions in turn, asks the
// server for the events of each session's view since its stored sync id, drops the
// server's echoes of this client's own changes, hands the rest to the workers, waits
// until they are carried out and only then stores the new sync id.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>

#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/task.h"
#include "store/event.h"
#include "sync/pull_common.h"
#include "sync/pulled_events.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/stream.h"

class Syncer : public AbortableTask {
public:
    enum Action {
        ACTION_NONE = PULL_ACTION_NONE,  // nothing was worked on, or an unexpected code
        ACTION_DONE = PULL_ACTION_DONE,
        ACTION_RETRY = PULL_ACTION_RETRY,
        ACTION_RETRY_LONG_WAIT = PULL_ACTION_RETRY_LONG_WAIT
    };
    enum ReportType {
        REPORT_NONE = PULL_REPORT_NONE,
        REPORT_SESSION = PULL_REPORT_SESSION,
        REPORT_CONNECTION = PULL_REPORT_CONNECTION
    };

    struct Context {
        Registry::Entry entry;
        uint64_t sync_id = 0;  // the sync id the current pull started from
    };

    // Everything beyond its own state comes from `services` (connections from
    // services.pool).
    explicit Syncer(const SyncServices& services, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Syncer() override;

    void DoTask() override;

    // One pass of the loop after the state checks: take the next session, pull and
    // process its events when it is ready, and wait as the result asks. Returns the
    // action (ACTION_*), or ACTION_NONE when no session was ready. Public so that tests can
    // drive a syncer that was never started.
    int RunOnce();

    // The error policy (sync/pull_common.h): action for a result code (-1 for codes
    // without a row) and the report kind it gives to the UI.
    static int ActionOf(int code);
    static int ReportOf(int code);
    // Seconds to wait after an action.
    static unsigned WaitOf(int action);
    // Reports code to the UI as the policy says; returns its action (ACTION_NONE: unexpected).
    int HandleError(int code);

    // 0, or a result code: the sync id could not be read (ERR_SYS), the exchange
    // failed, the reply carries an error (its mapped code; ERR_SERVER when the code has
    // no meaning of its own), or the reply is not usable (ERR_SERVER).
    int PullEvent();

    int GetLastError() const { return last_error.load(); }
    const Context& GetContext() const { return context; }
    const std::set<uint64_t>& GetUptodateSet() const { return uptodate_set; }
    // How often every session was up to date and the task rested.
    unsigned GetRestCount() const { return rest_count; }

protected:
    // kReady: the next registered session is in the context; kNothing: there is none.
    Loaded UpdateContext();
    // False while the session is paused or its selective-sync resume is in progress.
    bool IsSessionReady();
    // 0: reply holds the server's answer; else a result code as for PullEvent.
    int PullEventFromServer(PObject& reply);
    // 0: nothing new, or every event carried out and next_sync_id stored; ERR_INT: the
    // wait for the workers was cut short (nothing stored); ERR_SERVER: the reply cannot be
    // trusted; ERR_SYS: the sync id could not be stored.
    int ProcessEvents(const PObject& reply);
    // kOk: no server event of the session is pending; kFailed: stopped, or the
    // session was paused or removed meanwhile.
    StepResult WaitForWorkers();
    // The exchange texts and flags of this task, in one place.
    ProtoSite Site();

    const SyncServices services;
    PoolSlot& pool_slot;
    // Remembered failure of the last pull; a resumed task starts afresh (cleared by
    // Resume on the control thread).
    std::atomic<int> last_error{0};
    void OnResume() override { last_error = 0; }
    Context context;
    // The pull's stream, and the events of its reply on their way to the workers.
    PStream pull_stream;
    PulledEvents pulled;
    std::set<uint64_t> uptodate_set;
    unsigned rest_count = 0;

    // The held pull: after every session was found up to date the next pulls carry
    // "wait" (when the server's build knows it), so a change comes across as soon as it
    // is stored instead of after a rest. A server that answers such a pull at once with
    // nothing new ignores the member: the task rests as it would without it.
    using SteadyClock = std::chrono::steady_clock;
    // Seconds to rest once every session was found up to date (0: the server held).
    unsigned RestWhenUpToDate();
    bool hold_next = false;                   // the next pulls may carry "wait"
    unsigned asked_wait = 0;                  // the "wait" of the last pull
    SteadyClock::duration pull_took{};        // how long its exchange took
    SteadyClock::time_point last_activity{};  // the last pull that brought changes
};
