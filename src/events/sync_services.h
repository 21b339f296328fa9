// SyncServices: everything a sync task (worker, the two pullers, the recycle cleaner,
// the detector) uses beyond its own state. The daemon builds it once
// (SyncServices::Process()) and hands it to each task's constructor; a test builds its
// own, starting from Process() and replacing what it wants to watch or break (a pool of
// its own, a session-root opener that injects faults, a fixed clock). No sync task
// reaches a process-wide object any other way.
//
// The members are plain pointers and function pointers: the struct is copied into
// every task, and what it points to outlives the tasks (the daemon's singletons, or a
// test's objects that live longer than the tasks it starts).
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "foundation/ustring.h"
#include "store/db_result.h"

class BlackList2;
class EventManager;
class FilterDB;
class PoolSlot;
class ProgressCache;
class Registry;
class SessionRoot;
class SessionHealth;
class TmpNameGen;
class Event;

// Notices to the UI process; each returns 0 when sent or queued, -1 otherwise.
struct UiReports {
    int (*session_error)(uint64_t sess_id, int error);
    int (*connection_error)(int connection_id, int error);
    int (*file_locked)(const Event& event, int error);
    int (*file_event)(const Event& event);
    // A conflict copy was made: copy keeps the local version of original, for why.
    int (*conflict)(uint64_t sess_id, const ustring& copy, const ustring& original, const ustring& why, bool is_dir);
};

struct SyncServices {
    EventManager* events = nullptr;
    Registry* registry = nullptr;
    ProgressCache* progress = nullptr;
    // Local filtered-event records and selective-sync resume conditions.
    FilterDB* filters = nullptr;
    // The system's black list (the session's own lists travel in the registry entry).
    BlackList2* system_black_list = nullptr;
    // The slot the connection pool lives in once the daemon is linked.
    PoolSlot* pool = nullptr;
    // Scratch-file names.
    TmpNameGen* tmp_names = nullptr;
    UiReports ui{};
    // What the status shows of each session beyond its queue (pulls done, failures).
    SessionHealth* health = nullptr;
    // The file status queue: forgets the status mark of a full path (FileStatusKey).
    DbResult (*forget_file_status)(const ustring& key) = nullptr;
    // The build number the connected server announced (0 until one did).
    uint64_t (*server_build)() = nullptr;
    // Opens a session's folder as its root (SessionRoot::Open, or a test's stand-in).
    bool (*open_root)(const ustring& path, std::shared_ptr<const SessionRoot>& out) = nullptr;
    // Seconds since the epoch.
    time_t (*now)() = nullptr;

    // The process's own services: the singletons and the global pool slot. Every
    // member is set.
    static SyncServices Process();
};
