// EventManager: where the producers of events (detector, server puller, rescans and
// expansions) meet the workers. One event_pool per session (the session's event tree
// plus a queue of expansions); sessions are served round-robin; the manager remembers
// which event each worker holds, so that a newer event for the same path is handed to
// that worker when it finishes, or stops it when its work became pointless.
//
// Lock order: m_lock, then a tree's own mutex, then the file status queue's. m_lock is
// held through a NoIoLock: nothing under it touches the file system, a database or the
// network (AssertIoAllowed aborts when something tries). What a push must write or send
// is handed over instead: the syncing mark goes to the file status database's queue
// while the lock is held (a queue in memory; it must be ordered before the removal of
// the mark by the worker that pulls the event), the "syncing_file" notice goes to the UI
// notifier after the lock is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>

#include "events/event_tree.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "store/db_result.h"
#include "store/event.h"

class Task;

class EventManager {
public:
    struct registry_entry_t {
        Event processing;  // what the worker holds
        Event waiting;     // a newer event for the same path, EV_EMPTY when none
        bool is_dirty() const { return waiting.m_type != Event::EV_EMPTY; }
    };

    class event_pool {
    public:
        explicit event_pool(const ustring& watch_path) : event_tree(watch_path) {}
        // True when the event was queued; false when it was refused (the tree refuses a
        // path it cannot hold, an expansion must be a directory, EV_EMPTY is nothing).
        [[nodiscard]] bool push(const Event& e);
        // The next event of the tree, else the next expansion; false when there is none.
        [[nodiscard]] bool pop(Event& e);
        size_t size();
        bool is_empty();
        size_t get_server_event_count();
        void clear();

        EventList2 event_tree;
        std::list<Event> expand_events;
        bool queued = false;  // in the manager's ready_queue; under its m_lock
    };

    static EventManager& getInstance();

    void PushLocalEvent(const Event& e);
    void PushServerEvent(const Event& e);
    // 0 and the next event for the worker, -1 when there is none to hand out.
    int PullEvent(Task* task, Event& e);
    // 0: done. -1: e now holds the next event for the same path; go on with it.
    int DoneEvent(Task* task, Event& e);
    int RedoEvent(Task* task, const Event& e);
    // Idle workers wait here instead of polling: WorkStamp counts the changes that may
    // have made an event available (pushes, dones, redos); WaitForWork returns true as
    // soon as it differs from seen, false after d.
    uint64_t WorkStamp() EXCLUDES(m_lock);
    bool WaitForWork(uint64_t seen, std::chrono::milliseconds d) EXCLUDES(m_lock);
    void IssueExpand(uint64_t sessionId, const ustring& path);
    void IssueRescan(uint64_t sessionId, const ustring& path, bool merge);
    size_t GetPendingServerEvent(uint64_t sessionId);
    size_t GetAllPendingEventCount(uint64_t sessionId);
    // True while a worker carries out an expansion or rescan of the session: its
    // queue may be empty, yet the walk is still finding work.
    bool IsExpanding(uint64_t sessionId) EXCLUDES(m_lock);
    // The session tree's byte count; zeros for a session without a pool.
    EventList2::ByteCount GetByteCount(uint64_t sessionId) EXCLUDES(m_lock);
    // Queues the syncing mark of a full local path: kFailed when the database is not
    // open (logged). Memory only: fine under m_lock.
    [[nodiscard]] DbResult SyncingEvent2FStatDB(const ustring& path, bool isDir);
    // Removes the mark now (after whatever is queued); a failure is logged.
    // Database work: never under m_lock.
    [[nodiscard]] DbResult SyncedEvent2FStatDB(const ustring& path);
    void Clear();

    // Number of pools waiting for a worker (tests and status).
    size_t GetReadyQueueSize();
    // True and a copy of the worker's registration when the worker has one.
    [[nodiscard]] bool GetRegistryEntry(Task* task, registry_entry_t& out);

    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;

private:
    EventManager();
    ~EventManager();

    // Takes the lock, pushes, and sends the "syncing_file" notice after releasing it.
    void Push(const Event& e, bool server) EXCLUDES(m_lock);
    // true when the event was queued and the UI is to hear of it: notice holds the event.
    bool PushLocked(const Event& e, bool server, Event& notice) REQUIRES(m_lock);
    event_pool* FindPool(uint64_t sessionId) REQUIRES(m_lock);
    // Queues the pool for a worker unless it is queued already.
    void MakeReady(event_pool* pool) REQUIRES(m_lock);

    Mutex m_lock;
    std::map<Task*, registry_entry_t> registry GUARDED_BY(m_lock);
    std::map<uint64_t, std::unique_ptr<event_pool>> pool_index GUARDED_BY(m_lock);
    // Each pool at most once (event_pool::queued says whether it is in), so sessions
    // are served in turn and the queue never holds more entries than sessions.
    std::deque<event_pool*> ready_queue GUARDED_BY(m_lock);
    uint64_t work_stamp GUARDED_BY(m_lock) = 0;
    CondVar work_cv;
    // Wakes idle workers: something may be there to pull.
    void MoreWork() REQUIRES(m_lock) {
        ++work_stamp;
        work_cv.Broadcast();
    }
};
