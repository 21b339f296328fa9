#include "sync/pull_common.h"

#include <unistd.h>

#include "events/event_manager.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "sync/server_path.h"
#include "wire/protocol.h"

// NLOG for a line written on behalf of a puller: its channel, and its file name
// before the line number.
#define PULL_LOG(level, t, format, ...) \
    Logger::LogMsg(Logger::level, (t).channel, format, (t).file, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr int A_UNEXPECTED = -1;

struct PolicyRow {
    int action;           // server event puller
    int report;           // server event puller
    int progress_action;  // progress puller
};

// Indexed by the negated result code.
const PolicyRow kPolicy[] = {
    {PULL_ACTION_DONE, PULL_REPORT_NONE, PULL_ACTION_DONE},                    //   0 ERR_OK
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY_LONG_WAIT},        //  -1 ERR_INT
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                  //  -2 ERR_IO
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                  //  -3 ERR_SYS
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            //  -4 ERR_INVAL
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            //  -5 ERR_PROTO
    {PULL_ACTION_RETRY, PULL_REPORT_CONNECTION, PULL_ACTION_RETRY_LONG_WAIT},  //  -6 ERR_AUTH
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                  //  -7 ERR_SERVER
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            //  -8 ERR_CONFLICT
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                  //  -9 ERR_TIMEOUT
    {PULL_ACTION_RETRY, PULL_REPORT_CONNECTION, PULL_ACTION_RETRY_LONG_WAIT},  // -10 ERR_VERSION
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -11 ERR_NOENT
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -12 ERR_USER
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -13 ERR_PASSWORD
    {PULL_ACTION_RETRY, PULL_REPORT_SESSION, PULL_ACTION_RETRY_LONG_WAIT},     // -14 ERR_HALDENDISABLE
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -15 ERR_QUOTA
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -16 ERR_DISKFULL
    {A_UNEXPECTED, PULL_REPORT_NONE, A_UNEXPECTED},                            // -17 ERR_SYNCFOLDER_MISS
    {PULL_ACTION_RETRY, PULL_REPORT_SESSION, PULL_ACTION_RETRY_LONG_WAIT},     // -18 ERR_VIEW
    {PULL_ACTION_RETRY, PULL_REPORT_SESSION, PULL_ACTION_RETRY_LONG_WAIT},     // -19 ERR_PERMISS
    {PULL_ACTION_RETRY, PULL_REPORT_SESSION, PULL_ACTION_RETRY_LONG_WAIT},     // -20 ERR_VIEW_PATH
    // A pause cut the exchange short: quietly again.
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                         // -21 ERR_CH_CONNECTION_ABORT
    {PULL_ACTION_RETRY_LONG_WAIT, PULL_REPORT_SESSION, PULL_ACTION_RETRY_LONG_WAIT},  // -22 ERR_LOCAL_DISKFULL
    {PULL_ACTION_RETRY, PULL_REPORT_NONE, PULL_ACTION_RETRY},                         // -23 ERR_LOCKED_FILE
};
static_assert(sizeof kPolicy / sizeof kPolicy[0] == -ERR_MAX, "one row per result code");

}  // namespace

bool PullCodeInTable(int code) { return code <= 0 && code > ERR_MAX; }

int PullActionOf(int code) { return PullCodeInTable(code) ? kPolicy[-code].action : A_UNEXPECTED; }

int PullReportOf(int code) { return PullCodeInTable(code) ? kPolicy[-code].report : PULL_REPORT_NONE; }

int ProgressActionOf(int code) { return PullCodeInTable(code) ? kPolicy[-code].progress_action : A_UNEXPECTED; }

unsigned PullWaitOf(int action) {
    switch (action) {
        case PULL_ACTION_DONE:
            return 0;
        case PULL_ACTION_RETRY_LONG_WAIT:
            return 120;
        default:
            return 3;
    }
}

unsigned PullHoldSeconds(uint64_t server_build, size_t sessions) {
    // Short enough that a reload of the pool (which waits for every borrowed
    // connection) is not held up long; the server's keep-alives come every 15 s.
    constexpr unsigned kHoldOneSession = 10;
    if (server_build < PROTO_PULL_WAIT_BUILD || sessions == 0) return 0;
    return sessions == 1 ? kHoldOneSession : 1;
}

unsigned PullRestSeconds(bool recent_activity) { return recent_activity ? 1 : 5; }

int EventFromReply(const PObject& item, uint64_t sess_id, const std::set<ustring>& cut_paths, const PullerTexts& t,
                   Event& e) {
    if (!item.isMap()) {
        PULL_LOG(L_ERR, t, "[ERROR] %s(%d): %s: event that is not a map dropped: %s\n", t.who,
                 item.toString().c_str_utf8());
        return 0;
    }
    const PObject& path = item["path"];
    const char* why = "is not a text";
    if (path.isString() && cut_paths.count(path.asString())) why = "holds a NUL byte";
    if (!path.isString() || cut_paths.count(path.asString()) || !IsSafeServerPath(path.asString(), &why)) {
        PULL_LOG(L_ERR, t, "[ERROR] %s(%d): %s: server path '%s' %s, event dropped\n", t.who,
                 EscapeForLog(path.isString() ? path.asString() : item["path"].toString()).c_str(), why);
        return 0;
    }
    e.clear();
    e.m_type = item["is_removed"].asBool() ? Event::EV_REMOVE : Event::EV_CREATE;
    e.m_mode = item["is_dir"].asBool() ? (Event::F_DIR | Event::F_SERVER) : Event::F_SERVER;
    e.m_sync_id = item["sync_id"].asUInt64();
    e.m_max_id = item.hasMember("max_id") ? item["max_id"].asUInt64() : e.m_sync_id;
    e.m_path = path.asString();
    if (item.hasMember("file")) {
        e.m_data_hash = item["file"]["hash"].asString();
        e.m_data_size = item["file"]["size"].asUInt64();
    }
    if (item.hasMember("common_attribute")) e.m_time = item["common_attribute"]["mtime"].asUInt32();
    if (item.hasMember("mac_attribute")) {
        e.m_mac_attr_hash = item["mac_attribute"]["hash"].asString();
        e.m_mac_attr_size = item["mac_attribute"]["size"].asUInt64();
    }
    if (item.hasMember("exec_bit")) e.m_exec_bit = item["exec_bit"].asUInt32();
    e.m_sess_id = sess_id;
    return 1;
}

namespace {

// The local item of a session-relative path, looked at beneath the session's root.
bool LocalExists(const SyncServices& services, const Registry::Entry& entry, const ustring& path) {
    std::shared_ptr<const SessionRoot> root = entry.root;
    if (!root && !services.open_root(entry.local_path, root)) return false;
    return root->Exists(path);
}

}  // namespace

int IsServerEcho(const SyncServices& services, const Event& e, const Registry::Entry& entry, bool need_local,
                 const PullerTexts& t) {
    ClientFileEventInfo row;
    const DbLookup found = entry.event_db ? entry.event_db->getEventInfo(e.m_path, row) : DbLookup::kFailed;
    if (found == DbLookup::kFound && row.syncID >= e.m_sync_id &&
        (!need_local || LocalExists(services, entry, e.m_path))) {
        PULL_LOG(L_INFO, t, "[INFO] %s(%d): File [%s] is already up-to-date (server echo).\n", e.m_path.c_str_utf8());
        return 1;
    }
    if (found == DbLookup::kAbsent && e.m_type == Event::EV_REMOVE) {
        PULL_LOG(L_INFO, t, "[INFO] %s(%d): Server delete event [%s] and cannot find db record (server echo).\n",
                 e.m_path.c_str_utf8());
        return 1;
    }
    return 0;
}

StepResult WaitForSessionWorkers(const SyncServices& services, Task& task, uint64_t sess, const PullerTexts& t) {
    Registry& registry = *services.registry;
    const unsigned long long id = sess;
    for (;;) {
        const size_t pending = services.events->GetPendingServerEvent(sess);
        Registry::Entry now;
        const bool registered = registry.Find(sess, now) == 1;
        if (pending == 0) {
            if (registered) return StepResult::kOk;
            PULL_LOG(L_WARNING, t, "[WARNING] %s(%d): session %llu is removed, events might be dropped\n", id);
            return StepResult::kFailed;
        }
        const Task::State state = task.GetState();
        if (state == Task::STOP) {
            PULL_LOG(L_WARNING, t, "[WARNING] %s(%d): Program stopped while syncing files ...\n");
            return StepResult::kFailed;
        }
        if (state == Task::PAUSE) sleep(1);
        if (!registered) {
            PULL_LOG(L_WARNING, t, "[WARNING] %s(%d): session %llu is removed while there are events\n", id);
            return StepResult::kFailed;
        }
        if (now.pause) {
            PULL_LOG(L_NOTICE, t, "[NOTE] %s(%d): session %llu is paused while there are events\n", id);
            return StepResult::kFailed;
        }
        PULL_LOG(L_DEBUG, t, "[DEBUG] %s(%d): Wait for workers (still %d pending server events).\n", (int)pending);
        task.Wait(1);
    }
}
