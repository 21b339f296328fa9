#include "daemon/app.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/recovery_actions.h"
#include "daemon/refusal.h"
#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "events/session_health.h"
#include "events/sync_services.h"
#include "events/ui_ipc.h"
#include "filter/black_list.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "platform/session_root.h"
#include "store/file_status_db.h"
#include "store/filter_db.h"
#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/recycle_cleaner.h"
#include "sync/server_path.h"
#include "sync/syncer.h"
#include "sync/worker.h"
#include "wire/connection_pool.h"

namespace {
const char* const kChannel = "client_debug";
}  // namespace

Nimbrel::Nimbrel() = default;

Nimbrel::~Nimbrel() {
    // The owner ends the message thread with kill(); make sure it is gone even when
    // that was forgotten, so that the lock is not destroyed under it.
    kill();
}

AppResult Nimbrel::run() {
    int rc;
    {
        MutexLock l(msg_lock);
        if (thread_started) return AppResult::kAlreadyRunning;
        rc = pthread_create(&msg_thread, nullptr, &Nimbrel::run_thread, this);
        if (rc == 0) thread_started = true;
    }
    if (rc != 0) {
        // The process entry ends the process: without a message thread no request
        // could ever be answered.
        NLOG_AT(L_ERR, kChannel, "app.cpp", "pthread_create: %s (%d)\n", strerror(rc), rc);
        return AppResult::kNoThread;
    }
    return AppResult::kOk;
}

void* Nimbrel::run_thread(void* arg) {
    static_cast<Nimbrel*>(arg)->do_main_loop();
    return nullptr;
}

void Nimbrel::answer(const msg_t& m) {
    if (m.result == nullptr || m.mutex == nullptr || m.cond == nullptr) return;
    MutexLock l(*m.mutex);
    if (m.done != nullptr) *m.done = true;
    m.cond->Signal();
}

void Nimbrel::do_main_loop() {
    NLOG_AT(L_INFO, kChannel, "app.cpp", "main thread starts receiving messages\n");
    while (app_running != 0) {
        msg_t m;
        {
            MutexLock l(msg_lock);
            if (msg_queue.empty()) {
                NLOG_AT(L_DEBUG, kChannel, "app.cpp", "waiting for instructions\n");
                while (msg_queue.empty()) msg_cond.Wait(msg_lock);
            }
            m = msg_queue.front();
            msg_queue.pop_front();
        }

        if (m.result != nullptr) {
            handle_control(*m.msg, *m.result);
            if (m.mutex != nullptr && m.cond != nullptr) (*m.result)["ack"] = "ok";
        } else {
            PObject scratch;
            handle_control(*m.msg, scratch);
        }
        if (app_running == 0) {
            // Refuse new senders before the stop is answered.
            MutexLock l(msg_lock);
            thread_ended = true;
        }
        answer(m);
    }

    // Nobody will take further requests: release any sender that queued one while
    // the stop was being carried out, instead of leaving it blocked for good.
    MutexLock l(msg_lock);
    thread_ended = true;
    while (!msg_queue.empty()) {
        msg_t m = msg_queue.front();
        msg_queue.pop_front();
        if (m.result != nullptr && m.mutex != nullptr && m.cond != nullptr) {
            (*m.result)["error"] = "Daemon is stopping.";
            (*m.result)["ack"] = "ok";
        }
        answer(m);
    }
    NLOG_AT(L_INFO, kChannel, "app.cpp", "main thread down\n");
}

AppResult Nimbrel::send_message(const PObject& request, PObject& reply) {
    Mutex mutex;
    CondVar cond;
    bool done = false;
    // Held from before the request is queued until the wait, and the message thread
    // takes it before signalling: the completion signal cannot be lost.
    MutexLock wait_lock(mutex);
    {
        MutexLock l(msg_lock);
        if (!thread_started || thread_ended) return AppResult::kNotRunning;
        if (msg_queue.empty()) msg_cond.Signal();
        msg_t m;
        m.msg = &request;
        m.result = &reply;
        m.mutex = &mutex;
        m.cond = &cond;
        m.done = &done;
        msg_queue.push_back(m);
    }
    while (!done) cond.Wait(mutex);
    return AppResult::kOk;
}

AppResult Nimbrel::send_message(const PObject& request) {
    PObject reply;
    return send_message(request, reply);
}

void Nimbrel::kill() {
    // The record must outlive the message thread's use of it; it does, since this
    // function joins the thread before returning.
    static const PObject stop_request = [] {
        PObject o;
        o["action"] = "stop";
        return o;
    }();
    {
        MutexLock l(msg_lock);
        if (!thread_started || joined) return;
        if (!thread_ended) {
            msg_t m;
            m.msg = &stop_request;
            msg_queue.push_back(m);
        }
        joined = true;
    }
    msg_cond.Signal();
    pthread_join(msg_thread, nullptr);
}

bool Nimbrel::require_linked(const char* action, PObject& reply) {
    if (linked) return true;
    NLOG_AT(L_ERR, kChannel, "app.cpp", "'%s' refused: the daemon is not linked\n", action);
    Refuse(reply, "Not linked.", "the daemon is not linked yet (\"link\" first)");
    return false;
}

void Nimbrel::handle_control(const PObject& request, PObject& reply) {
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", ">>> %s\n", request.toString().c_str_utf8());
    if (!request.hasMember("action")) return;
    const ustring action = request["action"].asString();

    if (action == "stop") {
        app_running = 0;
        do_unlink();
    } else if (action == "link") {
        do_link(request, reply);
    } else if (action == "unlink") {
        do_unlink();
    } else if (action == "pause") {
        pause(request, reply);
    } else if (action == "resume") {
        resume(request, reply);
    } else if (action == "link_connection") {
        if (require_linked("link_connection", reply)) create_connections(request, reply);
    } else if (action == "reload_connection") {
        if (require_linked("reload_connection", reply)) reload_connection(request, reply);
    } else if (action == "unlink_connection") {
        if (require_linked("unlink_connection", reply)) unlink_connection(request, reply);
    } else if (action == "reload_session") {
        if (require_linked("reload_session", reply)) reload_session(request, reply);
    } else if (action == "add_session") {
        if (require_linked("add_session", reply)) add_session(request, reply);
    } else if (action == "remove_session") {
        if (require_linked("remove_session", reply)) remove_session(request, reply);
    } else if (action == "get_status") {
        get_status(request, reply);
    } else {
        HandleRecoveryAction(action, request, reply);
    }

    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "<<< %s\n", reply.toString().c_str_utf8());
}

void Nimbrel::do_link(const PObject&, PObject& reply) {
    if (linked) {
        // A second table over the first would leave the old tasks running unowned.
        NLOG_AT(L_WARNING, kChannel, "app.cpp", "already linked, link ignored\n");
        Refuse(reply, "Already linked.", "the daemon is linked already");
        return;
    }
    std::string why;
    if (!init_env(&why)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to initialize environment\n");
        Refuse(reply, "Failed to initialize environment", why);
        return;
    }
    if (!init_members()) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "failed to initialize members\n");
        reply["error"] = "Failed to initialize members";
        return;
    }
    start_all();
    linked = true;
}

void Nimbrel::do_unlink() {
    NLOG_AT(L_INFO, kChannel, "app.cpp", "unlink daemon\n");
    stop_all();
    destroy_members();
    destroy_env();
    linked = false;
}

bool Nimbrel::init_env(std::string* why) {
    Settings& s = Settings::getInstance();
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "======= Settings =======\n");
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "db_path: %s\n", s.getDbPath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "pid_file_path: %s\n", s.getPidFilePath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "log_file_path: %s\n", s.getLogFilePath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "log_level_file_path: %s\n", s.getLogLevelFilePath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "worker_count: %u\n", s.getWorkerCount());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "socket_path: %s\n", s.getSocketPath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "is_daemon: %s\n", s.isDaemon() ? "true" : "false");
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "fstat_db_path: %s\n", s.getFStatDbPath().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "filter_db_path: %s\n", s.getFilterDbPath().c_str_utf8());

    const ustring filter_db_path = s.getFilterDbPath();
    if (FilterDB::getInstance().initialize(filter_db_path) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to init filter DB at [%s]\n", filter_db_path.c_str_utf8());
        if (why != nullptr) *why = "cannot open the filter database " + filter_db_path.str();
        return false;
    }
    // Status marks are for other programs: the daemon runs without them (failures logged).
    static_cast<void>(FileStatusDB::initialize(s.getFStatDbPath()));
    static_cast<void>(FileStatusDB::removeAllEntry());
    // Before any task runs, so that no worker or puller waits for the UI.
    static_cast<void>(UiNotifier::getInstance().Start());  // failure logged; notices then go out inline

    const ustring system_filter = s.getSystemFilterPath();
    if (!BlackList2::getInstance().Load(system_filter)) {
        NLOG_AT(L_ERR, kChannel, "app.cpp", "Failed to load system filter from %s.\n", system_filter.c_str_utf8());
        if (why != nullptr) *why = "cannot read the system filter " + system_filter.str();
        return false;
    }
    return true;
}

void Nimbrel::destroy_env() {
    // The tasks are stopped: what they queued is sent before the thread ends.
    UiNotifier::getInstance().Stop();
    FilterDB::getInstance().destroy();
    FileStatusDB::destroy();
    BlackList2::getInstance().Clear();
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
    SessionHealth::getInstance().Clear();
    // The conditions are queued again from the filter database by the next
    // add_session; left here they would be queued twice.
    ProgressCache::getInstance().clear();
}

bool Nimbrel::init_members() { return init_tasks(); }

bool Nimbrel::init_tasks() {
    const unsigned workers = Settings::getInstance().getWorkerCount();
    const unsigned count = workers + 3;
    task = new Task*[count];
    // Built once; every task gets its copy. The pool arrives with "link_connection";
    // the tasks look in the slot.
    const SyncServices services = SyncServices::Process();
    task[kDetector] = new Detector(services);
    task[kRecycleCleaner] = new RecycleCleaner(
        services, nullptr, nullptr,
        RecyclePolicy{Settings::getInstance().getRecycleKeepSeconds(), Settings::getInstance().getRecycleMaxBytes()});
    task[kSyncer] = new Syncer(services);
    task[kProgressSyncer] = new ProgressSyncer(services);
    for (unsigned i = kFirstWorker; i < count; ++i) task[i] = new Worker(services);
    task_count = count;
    NLOG_AT(L_DEBUG, kChannel, "app.cpp", "totally %lu tasks\n", static_cast<unsigned long>(task_count));
    return true;
}

void Nimbrel::start_all() {
    for (unsigned i = 0; i < task_count; ++i) static_cast<void>(task[i]->Run());  // one that cannot start stays idle
}

void Nimbrel::stop_all() {
    for (unsigned i = 0; i < task_count; ++i) task[i]->Stop();
    for (unsigned i = 0; i < task_count; ++i) task[i]->Join();
}

void Nimbrel::destroy_members() {
    destroy_tasks();
    destroy_connections();
}

void Nimbrel::destroy_tasks() {
    for (unsigned i = 0; i < task_count; ++i) delete task[i];
    delete[] task;
    task = nullptr;
    task_count = 0;
}

void Nimbrel::get_status(const PObject&, PObject& reply) {
    append_session_status(reply);
    append_connection_status(reply);
    append_worker_status(reply);
}

namespace {
// The session's state in one word, honest about what "uptodate" means: the folder is
// there, the session runs, a pull has completed and nothing is left to do.
// A waiting session's cause goes to waiting_for.
const char* SessionState(const Registry::Entry& entry, size_t pending, const SessionHealth::Snapshot& health,
                         bool server_silent, std::string& waiting_for) {
    if (entry.pause) return "paused";
    if (!entry.root) {
        waiting_for = "the folder " + entry.local_path.str() + " is not open";
        return "waiting";
    }
    if (!entry.root->CheckPresent(entry.root_dev, &waiting_for)) return "waiting";
    // Whatever the queue says, nothing moves while the server is silent.
    if (server_silent) return "not_responding";
    if (!health.pulled) return "scanning";
    if (pending > 0) return "syncing";
    // Nothing queued, yet something did not get through: not "uptodate".
    return health.failing.empty() && health.last_error == 0 ? "uptodate" : "incomplete";
}
}  // namespace

void Nimbrel::append_session_status(PObject& reply) {
    Registry& registry = Registry::getInstance();
    EventManager& manager = EventManager::getInstance();
    PObject list;
    Registry::Entry entry;
    // FindNext walks the sessions in ascending id order and wraps to the first.
    if (registry.FindNext(0, entry) == 0) return;
    const uint64_t first = entry.sess_id;
    const bool server_silent = g_pool != nullptr && g_pool->NotRespondingSeconds() != 0;
    do {
        PObject item;
        const uint32_t pending = static_cast<uint32_t>(manager.GetAllPendingEventCount(entry.sess_id));
        // A running rescan is work even while the queue is empty.
        const size_t work = pending + (manager.IsExpanding(entry.sess_id) ? 1 : 0);
        // The members a UI reads, as they always were...
        item["session_id"] = static_cast<uint64_t>(entry.sess_id);
        item["status"] = work > 0 ? "syncing" : "uptodate";
        item["unfinished_files"] = pending;
        // ...and beside them what a person needs to know.
        const SessionHealth::Snapshot health = SessionHealth::getInstance().Get(entry.sess_id);
        std::string waiting_for;
        item["state"] = SessionState(entry, work, health, server_silent, waiting_for);
        if (!waiting_for.empty()) item["waiting_for"] = ustring(waiting_for);
        item["local_path"] = entry.local_path;
        item["view_id"] = entry.view_id;
        item["remote_path"] = entry.remote_path;
        item["paused"] = entry.pause;
        if (health.last_error != 0) {
            item["last_error"] = static_cast<int64_t>(health.last_error);
            item["last_error_since"] = static_cast<uint64_t>(health.last_error_since);
        }
        for (const SessionHealth::Item& failing : health.failing) {
            PObject f;
            f["path"] = failing.path;
            f["error"] = static_cast<int64_t>(failing.code);
            f["since"] = static_cast<uint64_t>(failing.since);
            f["count"] = failing.count;
            item["failing"].asArray().push_back(f);
        }
        append_transfer_status(entry.sess_id, item);
        if (entry.root) {
            size_t total = 0;
            for (const SessionRoot::Unsynchronised& u : entry.root->NotSynchronised(kMaxListed, total)) {
                PObject skipped;
                // A name that is not valid UTF-8 cannot travel as text: shown escaped.
                const ustring path(u.path);
                skipped["path"] = ustring::is_valid(path) ? path : ustring(EscapeForLog(path));
                skipped["reason"] = ustring(u.reason);
                item["not_synchronised"].asArray().push_back(skipped);
            }
            if (total > kMaxListed) item["not_synchronised_count"] = static_cast<uint64_t>(total);
        }
        list.asArray().push_back(item);
        if (registry.FindNext(entry.sess_id, entry) == 0) break;
    } while (entry.sess_id != first);
    if (!list.isEmpty()) reply["session_list"] = list;
}

void Nimbrel::append_transfer_status(uint64_t sess_id, PObject& item) {
    // What the workers of this session have moved of the transfers they hold: those
    // bytes are still counted as queued until the transfer is done.
    uint64_t in_flight = 0;
    for (unsigned i = kFirstWorker; i < task_count; ++i) {
        uint64_t worker_session = 0, sent = 0, total = 0;
        ustring path;
        Worker::WorkingType type = Worker::W_TYPE_NONE;
        static_cast<Worker*>(task[i])->GetWorkingStatus(worker_session, path, type, sent, total);
        if (worker_session == sess_id && type != Worker::W_TYPE_NONE) in_flight += sent;
    }
    const EventList2::ByteCount bytes = EventManager::getInstance().GetByteCount(sess_id);
    const uint64_t to_go = bytes.queued - std::min(bytes.queued, in_flight);
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const double rate = SessionHealth::getInstance().NoteMoved(sess_id, bytes.done + in_flight, now);
    item["bytes_to_go"] = to_go;
    item["bytes_per_second"] = static_cast<uint64_t>(rate);
    if (rate >= 1 && to_go > 0) item["eta_seconds"] = static_cast<uint64_t>(static_cast<double>(to_go) / rate + 0.5);
}

void Nimbrel::append_worker_status(PObject& reply) {
    PObject list;
    for (unsigned i = kFirstWorker; i < task_count; ++i) {
        auto* worker = static_cast<Worker*>(task[i]);
        uint64_t session_id = 0, sent = 0, total = 0;
        ustring path;
        Worker::WorkingType type = Worker::W_TYPE_NONE;
        worker->GetWorkingStatus(session_id, path, type, sent, total);
        if (session_id == 0 && path.empty() && type == Worker::W_TYPE_NONE) continue;
        PObject item;
        item["session_id"] = session_id;
        item["path"] = path;
        item["status"] = type == Worker::W_TYPE_UPLOAD ? "uploading" : "downloading";
        item["progress"] = sent;
        item["total_size"] = total;
        list.asArray().push_back(item);
    }
    if (!list.isEmpty()) reply["worker_list"] = list;
}

std::unique_ptr<ControlApp> NimbrelControlApp::Create() { return std::make_unique<NimbrelControlApp>(); }
