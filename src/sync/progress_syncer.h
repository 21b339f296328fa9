// ProgressSyncer: the selective-sync progress puller task. When a selective-sync
// filter is loosened, the reconciliation queues a resume condition in the progress
// cache; this task asks the server for the session's events that match the
// condition, from the condition's own sync id, hands them to the workers, waits until
// they are carried out and then advances the condition, or retires it once the
// server has nothing newer. While a session has a condition queued, the server event
// puller leaves that session alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "events/progress_cache.h"
#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/mutex.h"
#include "foundation/task.h"
#include "sync/pull_common.h"
#include "sync/pulled_events.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/stream.h"

class ProgressSyncer : public AbortableTask {
public:
    enum Action {
        ACTION_NONE = PULL_ACTION_NONE,  // nothing was worked on, or an unexpected code
        ACTION_DONE = PULL_ACTION_DONE,
        ACTION_RETRY = PULL_ACTION_RETRY,
        ACTION_RETRY_LONG_WAIT = PULL_ACTION_RETRY_LONG_WAIT
    };
    enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1, IDLE = 2 };

    struct Context {
        uint64_t row_id = 0;                  // the condition's row in the filter database
        ProgressCache::Entry progress_entry;  // a copy of the cache entry worked on
        Registry::Entry reg_entry;            // a copy of its session's registry entry
    };

    // Everything beyond its own state comes from `services` (connections from
    // services.pool).
    explicit ProgressSyncer(const SyncServices& services, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~ProgressSyncer() override;

    void DoTask() override;

    // One pass of the loop after the state checks: take the first condition whose
    // session is ready, pull and process its events, and wait as the result asks.
    // Returns the action (ACTION_*, or ACTION_NONE for an unexpected code), or ACTION_NONE when no
    // condition could be worked on. Public so that tests can drive a task that was
    // never started.
    int RunOnce();

    // The error policy (sync/pull_common.h): the action for a result code, -1 for
    // codes without a row.
    static int ActionOf(int code);
    // Logs code and returns its action (ACTION_NONE: unexpected or unknown code).
    int HandleError(int code);

    // 0: the condition was advanced, retired, or had nothing new. Otherwise a result
    // code: ERR_IO (no connection pool), the connection's or the exchange's failure,
    // the reply's mapped error (ERR_SERVER when the code has no meaning of its own),
    // ERR_SERVER for a reply that cannot be trusted, ERR_INT when the wait for the
    // workers was cut short or the new sync id could not be stored, ERR_SYS when the
    // pulled events could not be kept (the condition keeps its old sync id either way).
    int PullEvent();

    // The pull request for the context's condition; "condition" is left out for a
    // size description that does not decode and for an unknown filter type.
    void PrepareRequest(const ustring& session, PObject& request);

    const Context& GetContext() const { return context; }
    ConnectionState GetConnectionState();

protected:
    // kReady: the context holds the first queued condition whose session is registered and
    // ready. Conditions of paused or busy sessions are skipped (they stay queued);
    // those of a removed session leave the cache (their rows stay stored for a later
    // add). kNothing: no condition can be worked on now; the context is cleared.
    Loaded UpdateContext();
    // False while the session is paused or still has server events pending.
    bool IsSessionReady(const Registry::Entry& entry);
    // 0: reply holds the server's answer; else a result code as for PullEvent.
    int PullFromServer(PObject& reply);
    // 0, ERR_SERVER or ERR_INT as for PullEvent; ERR_SYS when the pulled events could
    // not be kept or read back.
    int ProcessEvents(const PObject& reply);
    // kOk: no server event of the session is pending; kFailed: stopped, or the
    // session was paused or removed meanwhile.
    StepResult WaitForWorkers();
    void SetConnectionState(ConnectionState state);
    ProtoSite Site();

    const SyncServices services;
    PoolSlot& pool_slot;
    Context context;
    // The pull's stream, and the events of its reply on their way to the workers.
    PStream pull_stream;
    PulledEvents pulled;

    Mutex conn_state_lock;
    ConnectionState conn_state GUARDED_BY(conn_state_lock) = DISCONNECTED;
};
