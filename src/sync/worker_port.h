// WorkerPort: what a handler may use of the worker that runs it. The event context of
// the one event the worker holds, the server exchange, the filter tests, the database
// steps, the events it may queue and the file helpers the transfer handlers share.
// The loop, the error policy and the other handlers stay out of reach: a handler sees
// this port, its own state and the services it was built with, nothing else.
//
// Threads: every member is used by the worker's own thread only, except the abort
// flag (raised by the control thread and the event manager, read here) and the
// stream's progress (read by the control thread through the stream's own lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/task.h"
#include "foundation/ustring.h"
#include "platform/file_ops.h"
#include "store/event.h"
#include "store/file_event_db.h"
#include "sync/recycle.h"
#include "sync/step_result.h"
#include "sync/with_lease.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/stream.h"

// Files below this size keep no signature: they go whole on every upload (a delta would
// save next to nothing) and a side file for each would cost more than the file.
constexpr uint64_t kSignatureFromBytes = 64 * 1024;

class Channel;
class ConnectionPool;

// The text after the last "/" of a session path (the whole path when it has none).
ustring LastComponent(const ustring& path);
// The session path of the folder holding path ("/" at the top level).
ustring ParentOf(const ustring& path);
// The session path of sub ("/a/b", or "" for the folder itself) below the session
// folder dir ("/" for the session root).
ustring SubPath(const ustring& dir, const ustring& sub);
// Deletes the file of the binary value when it is a scratch file inside dir (never a
// user's file, never one outside dir).
void DropScratch(const PObject& value, const ustring& dir);

class WorkerPort {
public:
    enum WorkingType { W_TYPE_NONE = 0, W_TYPE_UPLOAD = 1, W_TYPE_DOWNLOAD = 2 };
    // What the UI is told once the event is done (DoneEvent).
    enum NotifyEventType {
        NOTIFY_NONE = 0,
        NOTIFY_FILTERED = 1,
        NOTIFY_SERVER_MODIFY = 2,
        NOTIFY_SERVER_REMOVE = 3,
        NOTIFY_CLIENT_MODIFY = 4,
        NOTIFY_CLIENT_REMOVE = 5,
    };

    // The per-event context; written by the worker's own thread only.
    struct EventContext {
        Event current_event;  // EV_EMPTY: the worker holds no event
        Registry::Entry root_entry;
        ClientFileEventInfo database_record;
        ustring working_directory;
        ustring sign_directory;
        ustring full_path;
        void clear();
    };

    // What tells one state of a file from the next: a write changes the change time
    // (nanoseconds) even when size and modification second stay the same.
    struct FileStamp {
        bool exists = false;
        uint32_t kind = 0;  // the st_mode file-type bits
        uint64_t size = 0;
        uint64_t inode = 0;
        int64_t mtime_ns = 0;
        int64_t ctime_ns = 0;
        bool operator==(const FileStamp&) const = default;
        // As the event database keeps it with the row (unknown when missing).
        LocalStamp AsRow() const { return exists ? LocalStamp{mtime_ns, ctime_ns, inode} : LocalStamp(); }
        // Whether a later write must leave other times: the latest of the two is a
        // file-time tick behind now_ns (a time ahead of now_ns is taken as it is).
        bool Settled(int64_t now_ns) const;
    };
    // File times advance by clock ticks (a few milliseconds), not nanoseconds.
    static constexpr int64_t kTimestampTickNs = 20 * 1000 * 1000;
    // The wall clock in nanoseconds, the clock file times are taken from.
    static int64_t WallNowNs();

    // task gives the id and state of the worker; abort is its abort flag.
    WorkerPort(const SyncServices& services, Task& task, std::atomic<int>& abort);
    virtual ~WorkerPort() = default;
    WorkerPort(const WorkerPort&) = delete;
    WorkerPort& operator=(const WorkerPort&) = delete;

    // The "go on" answer of a handler's step that may also finish the event (with
    // 0 or a result code).
    static constexpr int kGoOn = 1;

    // --- The task -----------------------------------------------------------------
    int WorkerId() const { return task.GetId(); }
    bool Aborted() const { return abort.load() != 0; }
    std::atomic<int>* AbortFlag() { return &abort; }
    // The pool of the worker's slot (nullptr when there is none).
    ConnectionPool* Pool() const { return pool_slot.get(); }
    // The outcome the UI hears of when the event is done.
    void SetNotify(NotifyEventType type) { notify_event_type = type; }
    // What the control plane sees of the event (under the worker's state lock).
    virtual void SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type) = 0;
    // Drops every handler's transfer state (scratch files included): the next pass
    // starts afresh.
    virtual void ClearCache() = 0;

    // --- Event context ----------------------------------------------------------------
    EventContext& Context() { return context; }
    const EventContext& GetContext() const { return context; }
    const ustring& GetPath() const { return context.current_event.m_path; }
    const ustring& GetFullPath() const { return context.full_path; }
    const ustring& GetRemoteWatch() const { return context.root_entry.remote_path; }
    const ustring& GetWorkingDirectory() const { return context.working_directory; }
    const ustring& GetSignDirectory() const { return context.sign_directory; }
    ustring GetRecycleBinDir() const;
    uint64_t GetViewId() const { return context.root_entry.view_id; }
    FileEventDB* GetEventDatabase() const { return context.root_entry.event_db.get(); }
    BlackList2* GetBlackList() const { return context.root_entry.black_list.get(); }
    WhiteListCpp* GetWhiteList() const { return context.root_entry.white_list.get(); }
    // The event path as the server names it: remote_path + path, or the path alone
    // when remote_path is "/" (or empty).
    ustring GetServerPath() const;

    // --- Server exchange --------------------------------------------------------------
    // A failed send or receive of a stream -> result code (abort and pause aware).
    int streamErr2DaemonErr(StreamResult stream_code);
    // The "error" member of a reply -> result code: 0 when the reply has none;
    // otherwise never 0: the server-error class and the codes without a meaning for
    // the worker become ERR_SERVER (retried).
    static int ReplyError(const PObject& reply);
    // One request/reply exchange with the session's view over a borrowed connection:
    // connection set-up when needed, the exchange, the reply's "error" mapped by
    // ReplyError. 0: reply holds the answer; a negative result code otherwise (the
    // connection is closed after a broken exchange).
    int Exchange(uint8_t command, const PObject& request, PObject& reply);
    // One exchange on a channel the caller holds: 0, or ERR_IO / the mapped stream error.
    int RunProtocol(Channel& channel, uint8_t command, const PObject& request, PObject& response);
    // WithLease (sync/with_lease.h) for the session's view with this worker's site and
    // abort flag.
    LeaseOutcome Leased(const PObject& reply, const std::function<int(Channel&)>& exchange);
    // Asks for a resume token (command 27) and stores it in request. 0: stored; 1: the
    // server answered with an error, which is now the response; a negative result
    // code for a broken exchange or an answer without a token. `who` names the step
    // in the log line.
    int RequestResumeToken(Channel& channel, PObject& request, PObject& response, const char* who);
    // The version fields of the row a successful upload or download reply names (sync
    // ids, kind, path), for the current event.
    void RowFromReply(const PObject& response, ClientFileEventInfo& row) const;
    // The stream every request of this worker goes through; its progress feeds the status.
    PStream& GetTransStream() { return trans_stream; }

    // --- Filters ------------------------------------------------------------------------
    // 0: allowed; FILTER_EXT_SELECTIVE_SYNC (-12) when the session's white list does
    // not list the name's extension; else the black lists' FILTER_* code.
    int TestCommonFilter();
    // 0: the root, or the name's extension is listed; -1: the white list refuses it.
    int TestWhiteList();
    // 0: allowed; else the first FILTER_* code of the system's and then the session's
    // black list (full path length, then the path) for the current event.
    int TestBlackListPath();
    int TestFilePath(const ustring& path, uint64_t full_path_length);
    int TestDirectory(const ustring& path, uint64_t full_path_length);
    // Whether rel (and, for a folder, each entry in it) has not changed for a few
    // seconds; true when it cannot be examined.
    bool Quiet(const ustring& rel);
    // 1: the name has no blank or trailing-dot conflict; 0: the local item was
    // renamed; ERR_INT: it is still changing (renamed later); ERR_SYS: the rename
    // failed.
    int TestBaseNameConflict(const ustring& base_name);

    // --- Database ---------------------------------------------------------------------
    // Writes row (for row.path) into the session's event database, which takes over
    // the file named by row.signaturePath, then drops the path's local filtered-event
    // record. kFailed (logged) when either step fails.
    StepResult CommitDatabase(const ClientFileEventInfo& row);
    // Forgets the current path: its rows (the whole sub-tree) in the event database
    // and its local filtered-event record. kFailed when the event database fails.
    StepResult RemoveDatabaseInfo();
    // The server removed the current path as sync_id: the folders above it changed
    // too (FileEventDB::raiseAncestorsMaxSyncId).
    StepResult RaiseAncestors(uint64_t sync_id);
    // Records the current event as filtered locally by the selective-sync rule
    // `code` (FILTER_*), so that a later change of the rules can bring it back.
    StepResult AddFilteredEventToDB(int code);

    // --- Events -----------------------------------------------------------------------
    // Queues a local removal event of the current session for path.
    void PushRemoveEvent(const ustring& path, bool is_dir);
    // Queues a local event of that type of the current session for path.
    void PushLocalEvent(const ustring& path, Event::Type type, bool is_dir);
    // Queues local creation events for the directory rel and everything below it
    // (parents first), so that a tree kept under a conflict name is uploaded whole.
    void PushTreeCreateEvents(const ustring& rel);
    // Expansions a removal hands on (the rescan handler carries them out); virtual
    // so that tests can stand in for them.
    // One level of a local directory removal that is not one: removals for the
    // children that vanished, uploads for new or changed ones. kFailed when nothing
    // (or not everything) was queued: the session folder is missing, path cannot be
    // read or the abort flag stopped it.
    virtual StepResult ExpandLocalDeleteEvent(const ustring& path) = 0;
    // A server removal of the directory path at sync_id, turned into removals of its
    // direct children that were synchronised at or before sync_id. The directory
    // itself is not queued: it is settled once its children are (CreateDirSelfEvent),
    // and one that holds newer content stays. kFailed when the rows cannot be read
    // or the abort flag stopped it.
    virtual StepResult ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id) = 0;

    // --- Files ------------------------------------------------------------------------
    // The stamp of the session item rel (never through a link): 0 with out set
    // (exists false when it is missing); kFailed when it cannot be examined.
    StepResult StampOf(const ustring& rel, FileStamp& out) const;
    // Files named with the synchronised version their rows record (path, sync id,
    // checksum, execute bit; the stamps are ignored): each is read between two equal
    // stamps that are Settled, and where it holds that version the stamp goes into
    // its row (one transaction for all). Returns those not stamped: changed,
    // unreadable, or written too recently to tell.
    std::vector<FileEventDB::RowStamp> KeepVerifiedStamps(const std::vector<FileEventDB::RowStamp>& files);
    // Whether the local item differs from the row: its kind, a regular file's size or
    // modification time, and (hash given) its content. Logs the reason.
    bool LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row, const ustring* hash) const;
    // One read of the session's file rel (opened beneath the root, never through a
    // link), with the worker's abort flag: its MD4 into hash, its signature into
    // sig_path (block 2048, strong sum 8) and, when base_sig is not empty, its delta
    // against base_sig into the existing empty session file delta_rel (opened beneath
    // the root as well). 0; ERR_INT when aborted; ERR_SYS otherwise. With keep_fd, on
    // 0 the file stays open and its descriptor goes there (the caller closes it): what
    // was read can be sent without opening the name again.
    // Virtual so that tests can change a file while it is read.
    virtual int ReadFileOnce(const ustring& rel, ustring& hash, const ustring& sig_path, const ustring& base_sig,
                             const ustring& delta_rel, int* keep_fd = nullptr);
    // The scratch folder for transfers (the working directory), made when missing. 0
    // with rel set to its path relative to the root, ERR_LOCAL_DISKFULL when the
    // volume has no room for it, or ERR_SYS.
    int WorkingScratchDir(ustring& rel);
    // The code of a failed create or write in the session's folder, from its errno:
    // ERR_LOCAL_DISKFULL when the volume is full (the user is told, the event waits
    // for space), else ERR_SYS.
    static int LocalWriteError(int err);
    // True for an MD4 as the server names content: exactly 32 hex digits. Anything
    // else is refused before it reaches a lookup or a record.
    static bool IsMD4Hex(const ustring& hash);
    // Moves the session item rel (a file, or a directory with everything below it)
    // into the recycle folder under a fresh readable name, and its rows into the
    // recycle-bin table with rel as its origin and reason (recycle.h) as why, so that
    // a later download can take the content back and the user can restore it.
    // kFailed (logged) when the move fails (the item then stays where it was).
    StepResult MoveToRecycle(const ustring& rel, bool is_dir, const char* reason = recycle::kRemoved);
    // (worker_recovery.cpp) Renames the event's item to a conflict name with the word
    // name_reason in it, records the copy in the conflict table and tells the UI
    // ("conflict": the copy, the original and why). The ConflictRename result;
    // renamed receives the copy's path.
    int KeepConflictCopy(const ustring& name_reason, const char* why, ustring* renamed = nullptr);
    // Parks the scratch file rel (never a user's file) in the recycle folder,
    // recorded with the given size and hashes, so that a retry finds it by hash.
    // kFailed when that fails (the file is then deleted).
    StepResult MoveFileToRecycleBin(const ustring& rel, uint64_t size, const ustring& hash, const ustring& mac_hash);
    // Whether everything below the directory rel is what the event database knows:
    // every file has a row of its kind with its size and time, every folder a row or
    // nothing but such files and folders below it. kOk with clean set; kFailed when
    // the tree cannot be read (treat as not clean).
    StepResult TreeMatchesDatabase(const ustring& rel, bool& clean) const;

    // Called with the entry's path relative to the walked folder ("/a/b"), the folder
    // holding it (relative the same way, "" for the walked folder itself) and what
    // the listing said of it. For a directory the answer says whether to walk into it.
    using WalkVisitor = std::function<bool(const ustring& folder, const ustring& sub, const DIR_ENTRY& entry)>;
    // (worker_walk.cpp) The one walk of a local tree: the session folder rel and
    // everything below it, through the session root, never through a link and never
    // into the working directory at the session root. Each folder's entries are
    // visited before any of its subfolders is listed, so a directory always comes
    // before its contents. Entries that are links or special files, and folders that
    // cannot be listed for any reason but "not found", go into unknown (when given),
    // relative to rel ("" for rel itself). With check_abort the abort flag is polled
    // before each entry. 0; 0 with nothing visited when rel is not there, or is a
    // link, not a folder or too deep to name ("" in unknown); ERR_INT when aborted;
    // ERR_SYS when rel cannot be listed for another reason (it may pass).
    int WalkLocalTree(const ustring& rel, bool check_abort, const WalkVisitor& visit, std::set<ustring>* unknown);

protected:
    // The exchange texts and flags of this worker, in one place.
    ProtoSite Site();

    const SyncServices services;
    PoolSlot& pool_slot;
    Task& task;
    std::atomic<int>& abort;
    EventContext context;
    NotifyEventType notify_event_type = NOTIFY_NONE;
    PStream trans_stream;
};
