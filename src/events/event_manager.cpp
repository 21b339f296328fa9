#include "events/event_manager.h"

#include "events/registry.h"
#include "events/ui_ipc.h"
#include "foundation/logger.h"
#include "foundation/task.h"
#include "platform/session_root.h"
#include "store/file_status_db.h"

namespace {

const ustring& LogChannel() {
    static const ustring channel("event_mgr_debug");
    return channel;
}

ustring Text(const Event& e) { return e.toString(); }

}  // namespace

// ---------------------------------------------------------------------------------------
// event_pool

bool EventManager::event_pool::push(const Event& e) {
    if (e.m_type == Event::EV_EMPTY) return false;
    if (!e.isExpand()) return event_tree.Push(e);
    if (!e.isDir()) return false;
    if (e.isRescan() && e.m_path == "/") {
        // a rescan of the whole folder covers every expansion still queued
        NLOG_AT(L_INFO, LogChannel(), "event-manager.cpp", "Merging expand event.\n");
        expand_events.clear();
    }
    expand_events.push_back(e);
    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "Push expand event [%s].\n", Text(e).c_str_utf8());
    return true;
}

bool EventManager::event_pool::pop(Event& e) {
    if (!event_tree.IsEmpty() && event_tree.Pop(e)) {
        NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "event_pool: Pop an event [%s]\n", Text(e).c_str_utf8());
        return true;
    }
    if (!expand_events.empty()) {
        e = expand_events.front();
        expand_events.pop_front();
        NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "event_pool: Pop an expand event [%s]\n",
                Text(e).c_str_utf8());
        return true;
    }
    return false;
}

size_t EventManager::event_pool::size() {
    int tree = event_tree.GetLocalEventCount() + event_tree.GetServerEventCount();
    return static_cast<size_t>(tree > 0 ? tree : 0) + expand_events.size();
}

bool EventManager::event_pool::is_empty() { return event_tree.IsEmpty() && expand_events.empty(); }

size_t EventManager::event_pool::get_server_event_count() {
    int n = event_tree.GetServerEventCount();
    return static_cast<size_t>(n > 0 ? n : 0);
}

void EventManager::event_pool::clear() {
    event_tree.Clear();
    expand_events.clear();
}

// ---------------------------------------------------------------------------------------
// EventManager

EventManager& EventManager::getInstance() {
    static EventManager instance;
    return instance;
}

EventManager::EventManager() = default;

EventManager::~EventManager() { Clear(); }

EventManager::event_pool* EventManager::FindPool(uint64_t sessionId) {
    auto it = pool_index.find(sessionId);
    return it == pool_index.end() ? nullptr : it->second.get();
}

void EventManager::MakeReady(event_pool* pool) {
    if (pool->queued) return;
    pool->queued = true;
    ready_queue.push_back(pool);
}

bool EventManager::PushLocked(const Event& in, bool server, Event& notice) {
    Event& e = notice;
    e = in;
    if (server) e.setServerEvent();
    if (!ustring::is_valid(e.m_path)) {
        NLOG_AT(L_WARNING, LogChannel(), "event-manager.cpp", "File path is not valid, drop it.\n");
        return false;
    }

    Registry::Entry entry;
    if (Registry::getInstance().Find(e.m_sess_id, entry) != 1) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp", "Can not find registry by session %llu.\n",
                static_cast<unsigned long long>(e.m_sess_id));
        return false;
    }

    event_pool* pool = FindPool(e.m_sess_id);
    if (!pool) {
        auto created = std::make_unique<event_pool>(entry.local_path);
        pool = created.get();
        pool_index.emplace(e.m_sess_id, std::move(created));
    }

    // Only what was queued is marked syncing, announced, or handed to a worker: a
    // refused event would leave a mark that nothing clears.
    if (!pool->push(e)) {
        NLOG_AT(L_WARNING, LogChannel(), "event-manager.cpp", "event refused by the tree, drop it: [%s].\n",
                Text(e).c_str_utf8());
        return false;
    }
    for (auto& [task, ent] : registry) {
        const Event& p = ent.processing;
        if (p.m_sess_id != e.m_sess_id || p.m_path != e.m_path) continue;
        // Only an event that merges into the worker's own tree node is the next event
        // for that worker; a file and a directory of one name are separate nodes.
        if (!e.isExpand() && e.isDir() == p.isDir()) ent.waiting = e;
        if (server || !task) continue;
        if (p.isLocalEvent() && (p.m_type == Event::EV_CREATE || p.m_type == Event::EV_MODIFY) &&
            e.m_type == Event::EV_REMOVE) {
            NLOG_AT(L_INFO, LogChannel(), "event-manager.cpp",
                    "old event is UploadLocal but new event is RemoveRemote, "
                    "abort UploadLocal progress '%s'.\n",
                    p.m_path.c_str_utf8());
            task->SetAbort(true);
        }
        if (e.isExpand() && e.m_mode == p.m_mode) {
            NLOG_AT(L_INFO, LogChannel(), "event-manager.cpp", "interrupt previous expander\n");
            task->SetAbort(true);
        }
    }

    if (server)
        NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::PushServerEvent = [%s].\n",
                Text(e).c_str_utf8());
    else
        NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::PushLocalEvent = [%s].\n",
                Text(e).c_str_utf8());

    MakeReady(pool);

    if (!server && e.isExpand()) return false;
    // The mark is queued here, under the lock, so that it is ordered before the removal a
    // worker makes once it has pulled this event; the writer thread does the writing.
    ustring full = entry.local_path;
    full.append(e.m_path);
    static_cast<void>(SyncingEvent2FStatDB(full, e.isDir()));  // a failure is logged; the event stays
    return true;
}

namespace {
// A local file change whose producer did not know its size (the detector, an
// expansion): the queue's bytes to go count what a push learns here.
bool WithoutSize(const Event& e, bool server) {
    return !server && !e.isDir() && e.m_data_size == 0 &&
           (e.m_type == Event::EV_CREATE || e.m_type == Event::EV_MODIFY);
}

// The file's size beneath its session's folder; 0 when it cannot be told.
uint64_t LocalSize(const Event& e) {
    Registry::Entry entry;
    if (Registry::getInstance().Find(e.m_sess_id, entry) == 0 || !entry.root) return 0;
    FILE_INFO info;
    return entry.root->Stat(e.m_path, info) == FsResult::kOk && info.isExist && info.type == FT_FILE ? info.size : 0;
}
}  // namespace

void EventManager::Push(const Event& pushed, bool server) {
    // Looked up before the lock: nothing under it touches the file system.
    Event sized;
    if (WithoutSize(pushed, server)) {
        sized = pushed;
        sized.m_data_size = LocalSize(pushed);
    }
    const Event& e = sized.isValid() ? sized : pushed;
    Event notice;
    bool notify;
    {
        NoIoLock g(m_lock);
        notify = PushLocked(e, server, notice);
        MoreWork();
    }
    if (notify) UI_IPC::ReportFileSyncingEventToUI(notice);
}

void EventManager::PushLocalEvent(const Event& e) { Push(e, false); }

void EventManager::PushServerEvent(const Event& e) { Push(e, true); }

int EventManager::PullEvent(Task* task, Event& e) {
    NoIoLock g(m_lock);
    // Each pool gets one try, in queue order: a session whose pending events are all
    // being processed does not keep a worker from the other sessions' work.
    for (size_t tries = ready_queue.size(); tries > 0; --tries) {
        event_pool* pool = ready_queue.front();
        ready_queue.pop_front();
        pool->queued = false;
        Event next;
        const bool popped = pool->pop(next);
        if (pool->size() != 0) MakeReady(pool);
        if (popped) {
            registry_entry_t& ent = registry[task];
            ent.processing = next;
            ent.waiting.clear();
            e = next;
            NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::PullEvent [%s]\n", Text(e).c_str_utf8());
            return 0;
        }
    }
    return -1;
}

uint64_t EventManager::WorkStamp() {
    NoIoLock g(m_lock);
    return work_stamp;
}

bool EventManager::WaitForWork(uint64_t seen, std::chrono::milliseconds d) {
    NoIoLock g(m_lock);
    if (work_stamp != seen) return true;
    work_cv.WaitFor(m_lock, d);
    return work_stamp != seen;
}

int EventManager::DoneEvent(Task* task, Event& e) {
    NoIoLock g(m_lock);
    // A finished node may free its children and later events of its path.
    MoreWork();
    auto it = registry.find(task);
    if (it == registry.end()) return 0;
    registry_entry_t& ent = it->second;
    event_pool* pool = FindPool(ent.processing.m_sess_id);

    if (!ent.is_dirty()) {
        NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::DoneEvent unregistry for [%s]\n",
                Text(ent.processing).c_str_utf8());
        if (!ent.processing.isExpand() && pool && !pool->event_tree.DoneEvent(ent.processing)) {
            // A newer event merged into the node without being seen as this worker's
            // (the same path written differently, "//a" for "/a"): such a node leaves
            // RETRY only by being handed out again, so hand it to this worker now
            // rather than leave it, and everything queued after it, stuck.
            EventList2::NodeInfo info;
            Event next;
            if (pool->event_tree.GetNodeInfo(ent.processing.m_path, ent.processing.isDir(), info) &&
                info.status == EventList2::RETRY &&
                pool->event_tree.Pop(ent.processing.m_path, ent.processing.isDir(), next)) {
                ent.processing = next;
                e = next;
                return -1;
            }
        }
        registry.erase(it);
        return 0;
    }

    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::DoneEvent is dirty, waiting for [%s]\n",
            Text(ent.waiting).c_str_utf8());
    if (ent.processing.isExpand()) {
        // The newer event went into the tree, which hands it out in its turn; handing
        // it to this worker as well would let two workers carry out the same event.
        registry.erase(it);
        return 0;
    }
    Event next;
    if (pool && pool->event_tree.Pop(ent.processing.m_path, ent.processing.isDir(), next)) {
        ent.processing = next;
        ent.waiting.clear();
        e = next;
        return -1;
    }
    // The merged node was dropped meanwhile (its work cleared); nothing more to do here.
    registry.erase(it);
    return 0;
}

int EventManager::RedoEvent(Task* task, const Event& e) {
    NoIoLock g(m_lock);
    MoreWork();
    int ret = 0;
    event_pool* pool = FindPool(e.m_sess_id);
    if (!pool) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp", "Can not find event pool\n");
        ret = -1;
    } else if (!pool->event_tree.Redo(e.m_path, e.isDir())) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp",
                "Failed to Reset event status to watting in event tree '%s'.\n", e.m_path.c_str_utf8());
        ret = -1;
    } else {
        registry.erase(task);
    }
    NLOG_AT(L_INFO, LogChannel(), "event-manager.cpp", "EventManager::RedoEvent = [%s], ret= [%d]\n",
            Text(e).c_str_utf8(), ret);
    return ret;
}

void EventManager::IssueExpand(uint64_t sessionId, const ustring& path) {
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_path = path;
    e.m_mode = Event::F_DIR | Event::F_EXPAND;
    e.m_sess_id = sessionId;
    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::IssueExpand at [%llu], ev=[%s]\n",
            static_cast<unsigned long long>(sessionId), Text(e).c_str_utf8());
    Push(e, false);
}

void EventManager::IssueRescan(uint64_t sessionId, const ustring& path, bool merge) {
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_path = path;
    e.m_mode = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
    if (merge) e.m_mode |= Event::F_MERGE;
    e.m_sess_id = sessionId;
    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "EventManager::IssueRescan at [%llu], ev=[%s]\n",
            static_cast<unsigned long long>(sessionId), Text(e).c_str_utf8());
    Push(e, false);
}

size_t EventManager::GetPendingServerEvent(uint64_t sessionId) {
    NoIoLock g(m_lock);
    event_pool* pool = FindPool(sessionId);
    return pool ? pool->get_server_event_count() : 0;
}

size_t EventManager::GetAllPendingEventCount(uint64_t sessionId) {
    NoIoLock g(m_lock);
    event_pool* pool = FindPool(sessionId);
    if (!pool) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp", "========= no id found <%llu>====================\n",
                static_cast<unsigned long long>(sessionId));
        return 0;
    }
    return pool->size();
}

bool EventManager::IsExpanding(uint64_t sessionId) {
    NoIoLock g(m_lock);
    for (const auto& [task, ent] : registry)
        if (ent.processing.m_sess_id == sessionId && ent.processing.isExpand()) return true;
    return false;
}

EventList2::ByteCount EventManager::GetByteCount(uint64_t sessionId) {
    NoIoLock g(m_lock);
    event_pool* pool = FindPool(sessionId);
    return pool ? pool->event_tree.GetByteCount() : EventList2::ByteCount{};
}

DbResult EventManager::SyncingEvent2FStatDB(const ustring& path, bool isDir) {
    const ustring p = FileStatusKey(path);
    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "Syncing event to fstatdb at path [%s].\n", p.c_str_utf8());
    FileStatusInfo info;
    info.path = p;
    info.fileType = isDir ? SFT_DIR : SFT_FILE;
    info.syncStatus = FSTAT_SYNCING;
    if (FileStatusDB::queueSyncStat(info) != DbResult::kOk) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp", "Failed to set syncing event into FStatDB at path [%s].\n",
                p.c_str_utf8());
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

DbResult EventManager::SyncedEvent2FStatDB(const ustring& path) {
    const ustring p = FileStatusKey(path);
    NLOG_AT(L_DEBUG, LogChannel(), "event-manager.cpp", "Synced event to fstatdb at path [%s].\n", p.c_str_utf8());
    if (FileStatusDB::rmFileStatByPath(p) != DbResult::kOk) {
        NLOG_AT(L_ERR, LogChannel(), "event-manager.cpp", "Failed to rm synced event from FStatDB by path [%s].\n",
                p.c_str_utf8());
        return DbResult::kFailed;
    }
    return DbResult::kOk;
}

void EventManager::Clear() {
    NoIoLock g(m_lock);
    ready_queue.clear();
    registry.clear();
    pool_index.clear();
}

size_t EventManager::GetReadyQueueSize() {
    NoIoLock g(m_lock);
    return ready_queue.size();
}

bool EventManager::GetRegistryEntry(Task* task, registry_entry_t& out) {
    NoIoLock g(m_lock);
    auto it = registry.find(task);
    if (it == registry.end()) return false;
    out = it->second;
    return true;
}
