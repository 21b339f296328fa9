// Syncer: the server event puller.
//
// One pull cycle per session: read the stored sync id -> pull -> check and filter the
// events -> push them to the event manager -> wait until the workers carried them
// out -> store the reply's next_sync_id. The stored sync id only moves forward, and
// only after the workers finished: a stop, a pause or a removal in between leaves it
// where it was, so the same events come again and the echo test drops those already
// applied.
//
// Every path in a reply is checked before it becomes an event (sync/server_path.h);
// a reply that cannot be trusted as a whole (no next_sync_id, one below the pull's
// start, an error without a meaning) is a server error and changes nothing.
//
// Who writes what: context, uptodate_set and the counters belong to the task's own
// thread. abort_flag is written by the control thread (Pause, Stop, Resume) and read
// by the task and by the channel of the borrowed connection. No lock of this task is
// held while it calls the registry, the event manager, the pool or the UI.
#include "sync/syncer.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/session_health.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/file_event_db.h"
#include "sync/proto_sites.h"
#include "sync/pull_common.h"
#include "sync/with_lease.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"
#include "wire/protocol.h"

namespace {

const char* const kChannel = "syncer_debug";
const PullerTexts kTexts{kChannel, "syncer.cpp", "Syncer"};

}  // namespace

Syncer::Syncer(const SyncServices& services, TaskManager* owner, TaskContext* ctx)
    : AbortableTask(owner, ctx), services(services), pool_slot(*services.pool), pulled(services, kTexts) {}

Syncer::~Syncer() = default;

// ---------------------------------------------------------------------------------------
// The loop

void Syncer::DoTask() {
    // RunOnce does its own waiting, as the pull's result asks.
    RunLoop([this] {
        RunOnce();
        return 0u;
    });
    NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "Syncer: stop working, now on view_id %llu, sync_id %llu.\n",
            (unsigned long long)context.entry.view_id, (unsigned long long)context.sync_id);
}

int Syncer::RunOnce() {
    if (UpdateContext() != Loaded::kReady || !IsSessionReady()) {
        Wait(1);
        return ACTION_NONE;
    }
    const int code = PullEvent();
    last_error = code;
    int action = HandleError(code);
    if (action < 0) {
        NLOG_AT(L_CRIT, kChannel, "syncer.cpp", "abort()\n");
        action = ACTION_RETRY;
    }
    Wait(WaitOf(action));
    return action;
}

Loaded Syncer::UpdateContext() {
    Registry::Entry entry;
    if (services.registry->FindNext(context.entry.sess_id, entry) == 0) {
        context = Context();
        return Loaded::kNothing;
    }
    context.entry = entry;
    context.sync_id = 0;
    return Loaded::kReady;
}

bool Syncer::IsSessionReady() {
    if (services.progress->isInProgrssCache(context.entry.sess_id)) {
        NLOG_AT(L_INFO, kChannel, "syncer.cpp", "session '%llu' is in ProgrssCache.\n",
                (unsigned long long)context.entry.sess_id);
        return false;
    }
    return !context.entry.pause;
}

// ---------------------------------------------------------------------------------------
// Errors

int Syncer::ActionOf(int code) { return PullActionOf(code); }

int Syncer::ReportOf(int code) { return PullReportOf(code); }

unsigned Syncer::WaitOf(int action) { return PullWaitOf(action); }

int Syncer::HandleError(int code) {
    if (!PullCodeInTable(code)) {
        NLOG_AT(L_CRIT, kChannel, "syncer.cpp", "Syncer: unknown error code [%d].\n", code);
        return ACTION_NONE;
    }
    NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "Syncer: HandleError: %d.\n", code);
    switch (ReportOf(code)) {
        case REPORT_SESSION:
            services.ui.session_error(context.entry.sess_id, code);
            break;
        case REPORT_CONNECTION: {
            ConnectionPool* pool = pool_slot.get();
            services.ui.connection_error(pool ? (int)pool->getConnectionId() : 0, code);
            break;
        }
        default:
            NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "No type for error: %d\n", code);
            break;
    }
    const int action = ActionOf(code);
    if (action < 0) NLOG_AT(L_CRIT, kChannel, "syncer.cpp", "Syncer: unexpected error code [%d].\n", code);
    return action;
}

// ---------------------------------------------------------------------------------------
// The pull

ProtoSite Syncer::Site() {
    ProtoSite site = SyncerSite();
    site.stream = &pull_stream;
    return site;
}

int Syncer::PullEvent() {
    PObject reply;
    if (!pulled.Begin(pull_stream, context.entry.sess_id)) return ERR_SYS;
    int rc = PullEventFromServer(reply);
    if (rc != 0) return rc;
    rc = ProcessEvents(reply);
    if (rc == 0) services.health->NotePulled(context.entry.sess_id);
    return rc;
}

int Syncer::PullEventFromServer(PObject& reply) {
    const Registry::Entry& entry = context.entry;
    uint64_t sync_id = 0;
    if (entry.event_db == nullptr || entry.event_db->getSyncId(sync_id) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "Syncer: failed to get base sync id ... starts from 0\n");
        return ERR_SYS;
    }
    context.sync_id = sync_id;

    ConnectionPool* pool = pool_slot.get();
    if (pool == nullptr) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "PullEvent: fail to establish communication channel\n");
        return ERR_IO;
    }
    PullRequest pull;
    pull.session = pool->getSession();
    pull.sync_id = sync_id;
    pull.path = entry.remote_path;
    pull.view_id = entry.view_id;
    pull.node_id = entry.node_id;
    pull.recursive = entry.recursive;
    // A task that is not running (being stopped, or driven by a test) never holds.
    asked_wait =
        hold_next && GetState() == Task::RUN ? PullHoldSeconds(services.server_build(), services.registry->Size()) : 0;
    pull.wait = asked_wait;
    const PObject request = pull.ToValue();
    NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "Syncer: pull event by session %llu (%llu:%s) since %llu\n",
            (unsigned long long)entry.sess_id, (unsigned long long)entry.view_id, entry.remote_path.c_str_utf8(),
            (unsigned long long)sync_id);

    const ProtoSite site = Site();
    const auto started = SteadyClock::now();
    // The list goes to the spool as it arrives (see PullEvent); the reply keeps an empty array.
    const LeaseOutcome out = WithLease(pool_slot, &abort_flag, site, entry.view_id, reply, [&](Channel& channel) {
        return RunProtocol(site, channel, SCMD_EVT_PULL, request, reply);
    });
    pulled.EndReceive(pull_stream);
    pull_took = SteadyClock::now() - started;
    if (out.stage == LeaseStage::kNoPool || out.stage == LeaseStage::kSetUp) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "PullEvent: fail to establish communication channel\n");
        return out.code;
    }
    if (out.stage == LeaseStage::kExchange) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "PullEvent: fail to pull events. %d.\n", out.code);
        return out.code;
    }
    const PObject& r = reply;
    if (!r.hasMember("error")) return 0;

    NLOG_AT(L_ERR, kChannel, "syncer.cpp", "PullEvent: response: %s.\n", r["error"].toString().c_str_utf8());
    // An error without a meaning of its own is still an error: never read such a reply
    // as a list of events (it would set the stored sync id back or skip changes).
    return ReplyResult(ProtoSite(), r);
}

int Syncer::ProcessEvents(const PObject& reply) {
    const uint64_t sess = context.entry.sess_id;
    const PObject& next_value = reply["next_sync_id"];
    if (!next_value.isInteger()) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "Syncer: reply without next_sync_id, ignored\n");
        return ERR_SERVER;
    }
    const uint64_t next = next_value.asUInt64();
    if (next < context.sync_id) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "Syncer: next_sync_id %llu is below %llu, ignored\n",
                (unsigned long long)next, (unsigned long long)context.sync_id);
        return ERR_SERVER;
    }
    if (next == context.sync_id) {
        uptodate_set.insert(sess);
        NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "session '%llu' is uptodate.\n", (unsigned long long)sess);
        if (uptodate_set.size() >= services.registry->Size()) {
            uptodate_set.clear();
            ++rest_count;
            const unsigned rest = RestWhenUpToDate();
            NLOG_AT(L_DEBUG, kChannel, "syncer.cpp", "all session is uptodate, wait for %u seconds.\n", rest);
            if (rest != 0) Wait(rest);
        }
        return 0;
    }
    const PObject& list = reply["event_list"];
    if (!list.isArray()) {
        // Changes happened, but the reply does not say which: storing next_sync_id
        // would skip them.
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "Syncer: reply without event_list, ignored\n");
        return ERR_SERVER;
    }
    uptodate_set.erase(sess);
    hold_next = false;
    last_activity = SteadyClock::now();
    // A list received whole (not streamed) goes the same way as a streamed one.
    if (!pulled.AddAll(list, sess)) return ERR_SYS;
    const int pushed = pulled.Push(context.entry, false, [this] { return WaitForWorkers(); });
    if (pushed == ERR_INT)
        NLOG_AT(L_NOTICE, kChannel, "syncer.cpp", "ProcessEvents: interrupted while waiting events being done ...\n");
    if (pushed != 0) return pushed;
    // The stored sync id never moves back.
    assert(next > context.sync_id);
    if (context.entry.event_db->setSyncId(next) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "syncer.cpp", "Syncer: failed to store sync id %llu\n", (unsigned long long)next);
        return ERR_SYS;
    }
    return 0;
}

unsigned Syncer::RestWhenUpToDate() {
    // A held pull that came back with nothing new has rested at the server already; one
    // answered in well under the wait was not held.
    const bool held = asked_wait != 0 && pull_took >= std::chrono::milliseconds(500) * asked_wait;
    const bool could_hold = services.server_build() >= PROTO_PULL_WAIT_BUILD;
    const bool first = could_hold && !hold_next;
    hold_next = could_hold;
    if (held || first) return 0;
    const bool recent =
        last_activity != SteadyClock::time_point{} && SteadyClock::now() - last_activity < std::chrono::seconds(60);
    return PullRestSeconds(recent);
}

StepResult Syncer::WaitForWorkers() { return WaitForSessionWorkers(services, *this, context.entry.sess_id, kTexts); }
