// ProgressSyncer: the selective-sync progress puller.
//
// One pass per resume condition: pick the first queued condition whose session is
// ready -> pull the session's events matching the condition, from the condition's
// sync id -> check and filter them (echo test, path check) -> push them to the event
// manager -> wait until the workers carried them out -> store next_sync_id as the
// condition's sync id (database first, then the cache). A reply whose next_sync_id
// equals the condition's sync id retires the condition: its row and its cache entry
// go. The condition's sync id only moves forward and only after the workers: a stop,
// a pause or a removal in between leaves it, so the same events come again.
//
// No condition blocks the others: the conditions of a paused session, or of one with
// server events still pending, are skipped and stay queued; the conditions of a
// removed session leave the cache (not the database, so a later add queues them
// again). A condition whose pull fails stays first in line for the next pass.
//
// Who writes what: context, the pulled events and the stream belong to the task's own thread.
// abort_flag is written by the control thread (Pause, Stop, Resume) and read by the
// task and by the channel of the borrowed connection. conn_state is written by the
// task only through SetConnectionState and read by anyone, under conn_state_lock,
// which is held for that one field and never while calling out. No lock of this task
// is held while it calls the registry, the progress cache, the event manager or the
// pool; the cache's lock is taken before the registry's (see rmSessionEntries).
#include "sync/progress_syncer.h"

#include <unistd.h>

#include <cassert>

#include "events/event_manager.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/filter_db.h"
#include "sync/proto_sites.h"
#include "sync/pulled_events.h"
#include "sync/with_lease.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"

namespace {

const char* const kChannel = "progress_syncer_debug";
const PullerTexts kTexts{kChannel, "progress-syncer.cpp", "ProgressSyncer"};

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

bool Unregistered(Registry& registry, uint64_t sess_id) {
    Registry::Entry entry;
    return registry.Find(sess_id, entry) == 0;
}

}  // namespace

ProgressSyncer::ProgressSyncer(const SyncServices& services, TaskManager* owner, TaskContext* ctx)
    : AbortableTask(owner, ctx), services(services), pool_slot(*services.pool), pulled(services, kTexts) {}

ProgressSyncer::~ProgressSyncer() = default;

ProgressSyncer::ConnectionState ProgressSyncer::GetConnectionState() {
    MutexLock g(conn_state_lock);
    return conn_state;
}

void ProgressSyncer::SetConnectionState(ConnectionState state) {
    MutexLock g(conn_state_lock);
    conn_state = state;
}

// ---------------------------------------------------------------------------------------
// The loop

void ProgressSyncer::DoTask() {
    NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp", "ProgressSyncer START.\n");
    // RunOnce does its own waiting, as the pull's result asks.
    RunLoop([this] {
        RunOnce();
        return 0u;
    });
    NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp",
            "ProgressSyncer : stop working, now on sess_id = %llu, "
            "sync_id = %llu.\n",
            ull(context.progress_entry.condition.sess_id), ull(context.progress_entry.condition.sync_id));
}

int ProgressSyncer::RunOnce() {
    if (UpdateContext() != Loaded::kReady) {
        Wait(1);
        return ACTION_NONE;
    }
    const int action = HandleError(PullEvent());
    if (action < 0) {
        NLOG_AT(L_CRIT, kChannel, "progress-syncer.cpp", "abort()\n");
        Wait(3);
        return action;
    }
    Wait(PullWaitOf(action));
    return action;
}

Loaded ProgressSyncer::UpdateContext() {
    ProgressCache& cache = *services.progress;
    std::set<uint64_t> skipped;
    ProgressCache::Entry head;
    while (cache.getProgressEntry(head, skipped)) {
        const uint64_t sess = head.condition.sess_id;
        Registry::Entry entry;
        if (services.registry->Find(sess, entry) == 0) {
            NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp",
                    "Cannot find corresponding registry entry for sess_id '%llu'.\n", ull(sess));
            // Only while the session is still gone: one added again meanwhile keeps
            // the conditions it queued.
            const size_t dropped =
                cache.rmSessionEntries(sess, [this](uint64_t id) { return Unregistered(*services.registry, id); });
            NLOG_AT(L_INFO, kChannel, "progress-syncer.cpp",
                    "%zu resume conditions of removed session %llu leave the cache\n", dropped, ull(sess));
            if (dropped == 0) skipped.insert(sess);  // registered again: next pass
            continue;
        }
        if (!IsSessionReady(entry)) {
            skipped.insert(sess);
            continue;
        }
        context.row_id = head.row_id;
        context.progress_entry = head;
        context.reg_entry = entry;
        NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp",
                "Find an resume_condition (%llu): sess_id (%llu), sync_id (%llu), "
                "type (%d), desc [%s].\n",
                ull(head.row_id), ull(sess), ull(head.condition.sync_id), (int)head.condition.filter_type,
                head.condition.filter_desc.c_str_utf8());
        return Loaded::kReady;
    }
    context = Context();
    return Loaded::kNothing;
}

bool ProgressSyncer::IsSessionReady(const Registry::Entry& entry) {
    if (entry.pause) {
        NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp", "session (%llu) is under pause status.\n",
                ull(entry.sess_id));
        return false;
    }
    const size_t pending = services.events->GetPendingServerEvent(entry.sess_id);
    if (pending != 0) {
        NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp", "session (%llu) still has '%d' pending server events.\n",
                ull(entry.sess_id), (int)pending);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Errors

int ProgressSyncer::ActionOf(int code) { return ProgressActionOf(code); }

int ProgressSyncer::HandleError(int code) {
    if (!PullCodeInTable(code)) {
        NLOG_AT(L_CRIT, kChannel, "progress-syncer.cpp", "ProgressSyncer: unknown error code [%d].\n", code);
        return ACTION_NONE;
    }
    NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp", "ProgressSyncer: HandleError: %d.\n", code);
    const int action = ActionOf(code);
    if (action < 0)
        NLOG_AT(L_CRIT, kChannel, "progress-syncer.cpp", "ProgressSyncer: unexpected error code [%d].\n", code);
    return action;
}

// ---------------------------------------------------------------------------------------
// The pull

ProtoSite ProgressSyncer::Site() {
    ProtoSite site = ProgressSyncerSite();
    site.stream = &pull_stream;
    return site;
}

void ProgressSyncer::PrepareRequest(const ustring& session, PObject& request) {
    const Registry::Entry& entry = context.reg_entry;
    const ResumeCondition& condition = context.progress_entry.condition;
    PullRequest pull;
    pull.session = session;
    pull.sync_id = condition.sync_id;
    pull.path = entry.remote_path;
    pull.view_id = entry.view_id;
    pull.node_id = entry.node_id;
    pull.recursive = entry.recursive;
    PullCondition& c = pull.condition;
    switch (condition.filter_type) {
        case FILTER_EXT_SELECTIVE_SYNC:
            c.kind = PullCondition::Kind::kExtension;
            c.text = condition.filter_desc;
            break;
        case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
            c.kind = PullCondition::Kind::kPrefix;
            c.text = condition.filter_desc;
            break;
        case FILTER_NAME_SELECTIVE_SYNC:
            c.kind = PullCondition::Kind::kName;
            c.text = condition.filter_desc;
            break;
        case FILTER_FILE_SIZE_SELECTIVE_SYNC:
            if (!DecodeResumeSizeFilterDesc(condition.filter_desc, c.min_size, c.max_size)) {
                NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "Failed to decode resume size filter '%s'\n",
                        condition.filter_desc.c_str_utf8());
                break;
            }
            c.kind = PullCondition::Kind::kSize;
            break;
        default:
            NLOG_AT(L_WARNING, kChannel, "progress-syncer.cpp", "Unknow filter type '%d'.\n",
                    (int)condition.filter_type);
            break;
    }
    request = pull.ToValue();
}

int ProgressSyncer::PullEvent() {
    PObject reply;
    int rc = PullFromServer(reply);
    if (rc != 0) return rc;
    rc = ProcessEvents(reply);
    if (rc != 0) NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "PullEvent: fail to process event.\n");
    return rc;
}

int ProgressSyncer::PullFromServer(PObject& reply) {
    // The connection goes back to the pool before the wait for the workers.
    ConnectionPool* pool = pool_slot.get();
    if (pool == nullptr) {
        NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "PullEvent: fail to establish communication channel\n");
        return ERR_IO;
    }
    PObject request;
    PrepareRequest(pool->getSession(), request);

    // The list goes to the spool as it arrives; the reply keeps an empty array.
    if (!pulled.Begin(pull_stream, context.reg_entry.sess_id)) return ERR_SYS;
    const ProtoSite site = Site();
    const LeaseOutcome out =
        WithLease(pool_slot, &abort_flag, site, context.reg_entry.view_id, reply, [&](Channel& channel) {
            SetConnectionState(CONNECTED);
            return RunProtocol(site, channel, SCMD_EVT_PULL, request, reply);
        });
    pulled.EndReceive(pull_stream);
    if (out.stage != LeaseStage::kDone) {
        if (out.stage == LeaseStage::kExchange)
            NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "PullEvent: fail to pull events. %d.\n", out.code);
        else
            NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "PullEvent: fail to establish communication channel\n");
        SetConnectionState(DISCONNECTED);
        return out.code;
    }
    const PObject& r = reply;
    if (r["alive"].asUInt32() == 0) SetConnectionState(DISCONNECTED);
    if (!r.hasMember("error")) return 0;

    NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "PullEvent: response: %s.\n", r["error"].toString().c_str_utf8());
    // An error without a meaning of its own is still an error: such a reply read as
    // a list of events could retire the condition before its files came down.
    return ReplyResult(Site(), r);
}

int ProgressSyncer::ProcessEvents(const PObject& reply) {
    const uint64_t row_id = context.row_id;
    const uint64_t since = context.progress_entry.condition.sync_id;
    const PObject& next_value = reply["next_sync_id"];
    if (!next_value.isInteger()) {
        NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "ProgressSyncer: reply without next_sync_id, ignored\n");
        return ERR_SERVER;
    }
    const uint64_t next = next_value.asUInt64();
    if (next < since) {
        NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "ProgressSyncer: next_sync_id %llu is below %llu, ignored\n",
                ull(next), ull(since));
        return ERR_SERVER;
    }
    if (next == since) {
        NLOG_AT(L_DEBUG, kChannel, "progress-syncer.cpp", "already uptodate for current event pull condition.\n");
        if (services.filters->rmResumeCondition(row_id) != DbResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp",
                    "ProcessEvents: fail to remove resume condition for row_id(%llu)\n", ull(row_id));
        }
        services.progress->rmProgressEntry(row_id);
        return 0;
    }
    const PObject& list = reply["event_list"];
    if (!list.isArray()) {
        // Changes happened, but the reply does not say which: advancing the
        // condition would skip them.
        NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp", "ProgressSyncer: reply without event_list, ignored\n");
        return ERR_SERVER;
    }
    // A list received whole (not streamed) goes the same way as a streamed one.
    if (!pulled.AddAll(list, context.reg_entry.sess_id)) return ERR_SYS;
    const int pushed = pulled.Push(context.reg_entry, true, [this] { return WaitForWorkers(); });
    if (pushed != 0) {
        if (pushed == ERR_INT)
            NLOG_AT(L_NOTICE, kChannel, "progress-syncer.cpp",
                    "ProcessEvents: interrupted while waiting events being done ...\n");
        return pushed;
    }
    // The condition's sync id never moves back.
    assert(next > since);
    if (services.filters->updateResumeSyncId(row_id, next) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "progress-syncer.cpp",
                "ProcessEvents: faile to update sync_id (%llu) to filter_resume_table "
                "for row_id(%llu)\n",
                ull(next), ull(row_id));
        return ERR_INT;
    }
    services.progress->updateProgressSyncId(row_id, next);
    return 0;
}

StepResult ProgressSyncer::WaitForWorkers() {
    SetConnectionState(IDLE);
    return WaitForSessionWorkers(services, *this, context.reg_entry.sess_id, kTexts);
}
