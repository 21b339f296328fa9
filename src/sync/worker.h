// Worker: one task that carries out synchronisation events one at a time. The loop,
// the per-event context, the error tables and the server exchange live here; each
// handler (upload, download, removal, rescan and expansion) lives in its own file and
// works on the context of the one event the worker holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <set>

#include "events/registry.h"
#include "events/sync_services.h"
#include "foundation/task.h"
#include "foundation/ustring.h"
#include "platform/file_ops.h"
#include "store/event.h"
#include "sync/recycle.h"
#include "sync/with_lease.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/stream.h"

class Connection;
class ConnectionPool;
class FileList;
class TempFile;

// The text after the last "/" of a session path (the whole path when it has none).
ustring LastComponent(const ustring& path);
// The session path of sub ("/a/b", or "" for the folder itself) below the session
// folder dir ("/" for the session root).
ustring SubPath(const ustring& dir, const ustring& sub);

class Worker : public AbortableTask {
public:
    enum WorkingType { W_TYPE_NONE = 0, W_TYPE_UPLOAD = 1, W_TYPE_DOWNLOAD = 2 };
    enum NotifyEventType {
        NOTIFY_NONE = 0,
        NOTIFY_FILTERED = 1,
        NOTIFY_SERVER_MODIFY = 2,
        NOTIFY_SERVER_REMOVE = 3,
        NOTIFY_CLIENT_MODIFY = 4,
        NOTIFY_CLIENT_REMOVE = 5,
    };
    // What HandleError decides for an event.
    enum Action { ACTION_DONE = 0, ACTION_RETRY = 1, ACTION_RETURN_EVENT = 2 };
    // Which report an error code gives to the UI.
    enum ErrorType { ERR_NONE = 0, ERR_SESSION = 1, ERR_CONNECTION = 2, ERR_FILE = 3 };

    // What the control plane sees of the worker: the event it is working on.
    struct ProcessEvent_T {
        uint64_t session_id = 0;
        ustring path;
        WorkingType working_type = W_TYPE_NONE;
    };

    // Rendezvous of an abort request: every selected worker decrements count once it
    // has given up its event; the last one signals pause_cond.
    struct PauseType_T {
        Mutex pause_mutex;
        CondVar pause_cond;
        uint32_t count GUARDED_BY(pause_mutex) = 0;
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

    // Everything beyond its own state comes from `services` (connections from
    // services.pool).
    explicit Worker(const SyncServices& services, TaskManager* owner = nullptr, TaskContext* ctx = nullptr);
    ~Worker() override;

    int SetAbort(bool abort) override;
    void DoTask() override;

    // One pass of the loop after the state checks: take an event (or keep the one
    // held), load its session, run its handler and act on the result. Returns the
    // action taken (ACTION_*), or -1 when there was no event to work on or the event
    // was finished or handed back before a handler ran. Public so that tests can
    // drive a worker that was never started.
    int RunOnce();

    // All outputs zero or empty while the task is paused or stopped. sent and total
    // count the file body in transfer ("file.file.data"), else they are 0.
    void GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& working_type, uint64_t& sent,
                          uint64_t& total) EXCLUDES(worker_state_lock);
    void GetCurrentProcessEventInfo(ProcessEvent_T& out) EXCLUDES(worker_state_lock);
    void SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type)
        EXCLUDES(worker_state_lock);
    void ClearCurrentProcessEventInfo();
    void setPauseInstance(PauseType_T* instance);

    int GetLastError() const { return last_error.load(); }
    // The stream every request of this worker goes through; its progress feeds the status.
    PStream& GetTransStream() { return trans_stream; }
    const EventContext& GetContext() const { return context; }

    // --- Error tables ---------------------------------------------------------------
    // Action and report kind of a result code 0..-23; -1 for codes outside the table
    // and for codes the table does not expect from a handler.
    static int ActionOf(int code);
    static int ReportOf(int code);
    // A handler's result -> the action (ACTION_*), after the counters and UI reports.
    // A code outside -23..0, or one the table does not expect from a handler, gives
    // ACTION_RETURN_EVENT (with a CRIT line): no code pins the worker to its event.
    int HandleError(int code);
    // A failed send or receive of a stream -> result code (abort and pause aware).
    int streamErr2DaemonErr(StreamResult stream_code);
    // The "error" member of a reply -> result code: 0 when the reply has none;
    // otherwise never 0: the server-error class and the codes without a meaning for
    // the worker become ERR_SERVER (retried).
    static int ReplyError(const PObject& reply);

    // --- Server exchange --------------------------------------------------------------
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

    // --- Event context ----------------------------------------------------------------
    // 0 and an event in the context, -1 when the manager has none for this worker.
    int GetEvent();
    // 0: the session is loaded. -1: the event was finished or handed back already.
    int UpdateContext();
    // 0: finished. -1: the manager handed over the next event of the same path, which
    // is now the current one.
    int DoneEvent();
    void RedoEvent();
    void NotifyEvent(NotifyEventType type);
    void ClearCache();

    // --- Paths and filters for the handlers -------------------------------------------
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
    // 1: the name has no blank or trailing-dot conflict; 0: the local item was
    // renamed; ERR_SYS: the rename failed.
    int TestBaseNameConflict(const ustring& base_name);

    // --- Handlers ---------------------------------------------------------------------
    // Each returns a result code for HandleError; a handler that cannot tell what
    // happened returns ERR_SYS, so that nothing is marked done that was not done.
    // Virtual so that tests can stand in for one.
    // Rescan and Expand: 0 when every event is queued; ERR_INT when the abort flag
    // stopped them; ERR_SYNCFOLDER_MISS when the session's folder is missing (nothing
    // queued); ERR_SYS otherwise. The loop queues them again for anything but 0.
    // ExpandDeleteEvent: 0; ERR_SYNCFOLDER_MISS; ERR_INT when an expansion failed.
    virtual int UploadLocal();
    virtual int DownloadRemote();
    virtual int RemoveLocal();
    virtual int RemoveRemote();
    virtual int Rescan();
    virtual int Expand();
    virtual int ExpandDeleteEvent();
    virtual void CreateDirSelfEvent();
    // Expansions a removal hands on (sync/worker_expand.cpp); virtual so that tests
    // can stand in for them.
    // One level of a local directory removal that is not one: removals for the
    // children that vanished, uploads for new or changed ones. 0, or -1 (nothing is
    // queued when the session folder is missing or path cannot be read).
    virtual int ExpandLocalDeleteEvent(const ustring& path);
    // A server removal of the directory path at sync_id, turned into removals of its
    // direct children that were synchronised at or before sync_id. The directory
    // itself is not queued: it is settled once its children are (CreateDirSelfEvent),
    // and one that holds newer content stays. 0, or -1.
    virtual int ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id);

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
    };

    // The server's version as the conflict test compares it.
    struct RemoteVersion {
        bool is_dir = false;
        uint64_t size = 0;
        ustring hash;
    };
    enum ConflictResult { CONFLICT_NONE = 0, CONFLICT_RETRY = 1, CONFLICT_IGNORE = 2, CONFLICT_REMOVED = 3 };

    // --- Helpers the transfer handlers share (sync/worker_files.cpp) -----------------
    // The stamp of the session item rel (never through a link): 0 with out set
    // (exists false when it is missing), -1 when it cannot be examined.
    int StampOf(const ustring& rel, FileStamp& out) const;
    // The event path as the server names it: remote_path + path, or the path alone
    // when remote_path is "/" (or empty).
    ustring GetServerPath() const;
    // Whether the local item differs from the row: its kind, a regular file's size or
    // modification time, and (hash given) its content. Logs the reason.
    bool LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row, const ustring* hash) const;
    // One read of the session's file rel (opened beneath the root, never through a
    // link), with the worker's abort flag: its MD4 into hash, its signature into
    // sig_path (block 2048, strong sum 8) and, when base_sig is not empty, its delta
    // against base_sig into the existing empty session file delta_rel (opened beneath
    // the root as well). 0; ERR_INT when aborted; ERR_SYS otherwise.
    // Virtual so that tests can change a file while it is read.
    virtual int ReadFileOnce(const ustring& rel, ustring& hash, const ustring& sig_path, const ustring& base_sig,
                     const ustring& delta_rel);
    // Writes row (for row.path) into the session's event database, which takes over
    // the file named by row.signaturePath, then drops the path's local filtered-event
    // record. 0, or -1 (logged) when either step fails.
    int CommitDatabase(const ClientFileEventInfo& row);
    // Forgets the current path: its rows (the whole sub-tree) in the event database
    // and its local filtered-event record. 0, or -1 when the event database fails.
    int RemoveDatabaseInfo();
    // The server removed the current path as sync_id: the folders above it changed
    // too (FileEventDB::raiseAncestorsMaxSyncId). 0 or -1.
    int RaiseAncestors(uint64_t sync_id);
    // Records the current event as filtered locally by the selective-sync rule
    // `code` (FILTER_*), so that a later change of the rules can bring it back. 0 or -1.
    int AddFilteredEventToDB(int code);
    // Queues a local removal event of the current session for path.
    void PushRemoveEvent(const ustring& path, bool is_dir);
    // Queues a local event of that type of the current session for path.
    void PushLocalEvent(const ustring& path, Event::Type type, bool is_dir);
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
    // a later download can take the content back and the user can restore it. 0, or
    // -1 (logged) when the move fails (the item then stays where it was).
    int MoveToRecycle(const ustring& rel, bool is_dir, const char* reason = recycle::kRemoved);
    // (worker_recovery.cpp) Renames the event's item to a conflict name with the word
    // name_reason in it, records the copy in the conflict table and tells the UI
    // ("conflict": the copy, the original and why). The ConflictRename result;
    // renamed receives the copy's path.
    int KeepConflictCopy(const ustring& name_reason, const char* why, ustring* renamed = nullptr);
    // (worker_recovery.cpp) The event's file, unchanged against download_base, is
    // about to be replaced by a downloaded version: a second name of it goes into the
    // recycle folder (a copy where the file system has no hard links), recorded with
    // the base's size and hash. Failure is logged and does not stop the download.
    void KeepReplacedVersion();
    // Parks the scratch file rel (never a user's file) in the recycle folder,
    // recorded with the given size and hashes, so that a retry finds it by hash. 0;
    // -1 when that fails (the file is then deleted).
    int MoveFileToRecycleBin(const ustring& rel, uint64_t size, const ustring& hash, const ustring& mac_hash);
    // Whether everything below the directory rel is what the event database knows:
    // every entry has a row of its kind and every file its row's size and time. 0
    // with clean set; -1 when the tree cannot be read (treat as not clean).
    int TreeMatchesDatabase(const ustring& rel, bool& clean) const;

    // --- Rescan and expansion (sync/worker_rescan.cpp, sync/worker_expand.cpp) --------
    // Called with the entry's path relative to the walked folder ("/a/b"), the folder
    // holding it (relative the same way, "" for the walked folder itself) and what
    // the listing said of it. For a directory the answer says whether to walk into it.
    using WalkVisitor = std::function<bool(const ustring& folder, const ustring& sub, const DIR_ENTRY& entry)>;
    // The one walk of a local tree: the session folder rel and everything below it,
    // through the session root, never through a link and never into the working
    // directory at the session root. Each folder's entries are visited before any of
    // its subfolders is listed, so a directory always comes before its contents.
    // Entries that are links or special files, and folders that cannot be listed for
    // any reason but "not found", go into unknown (when given), relative to rel ("" for
    // rel itself). With check_abort the abort flag is polled before each entry.
    // 0; 0 with nothing visited when rel is not there, or is a link, not a folder or
    // too deep to name ("" in unknown); ERR_INT when aborted; ERR_SYS when rel cannot
    // be listed for another reason (it may pass).
    int WalkLocalTree(const ustring& rel, bool check_abort, const WalkVisitor& visit, std::set<ustring>* unknown);
    // Compares a local list with a database list of the folder root, name by name in
    // the order the lists' iterators walk, and queues the events that make the two
    // sides agree: uploads for what is new or changed locally; for what is only in
    // the database a removal, or with merge a forced download. Entries at or below a
    // path in unknown (one the walk could not read) never count as removed.
    // 0; -1 when the abort flag stopped it (the events queued so far stay).
    int CompareFileList(const ustring& root, const FileList& local, const FileList& db, bool merge,
                        const std::set<ustring>* unknown = nullptr);
    // 1: the database item path is excluded by the session's selective-sync prefix
    // rule; a filtered record was stored and no event is wanted. 0 otherwise.
    int TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir);
    // Queues a local modification (an upload) of path in the current session.
    void PushUploadEvent(const ustring& path, bool is_dir);
    // Queues a forced download of path: a server modification that is newer than
    // anything, with the row's size and hashes when the database has one.
    void PushDownloadEvent(const ustring& path, bool is_dir);
    // The direct children of the session folder rel, as the walk sees them, under the
    // list's root. 0 (an empty list when rel is not there); -1 when rel cannot be
    // listed or the abort flag stopped it.
    int BuildLocalFileListWithoutResursive(const ustring& rel, FileList& list, std::set<ustring>& unknown);

protected:
    // --- Upload steps (sync/worker_upload.cpp) ----------------------------------------
    // 1: the item passes the filters; 0: filtered (finished); else a result code.
    int TestUploadLocalFilter();
    // Fills the content part of the upload for the local file. `hashed` and `stamp` receive the state
    // the content was read under; `sig` the new signature, `delta` the delta (when one
    // was made). 0; ERR_INT when the file changed while it was read; ERR_SYS otherwise.
    int PrepareFileBlock(UploadContent& file, TempFile& sig, TempFile& delta, FILE_INFO& hashed, FileStamp& stamp);
    // Waits until the second of rel's last modification has passed (at most a few
    // seconds). Rows keep modification times in whole seconds: a row taken from a file
    // written in the current second would match a second write within that same
    // second, and every size-and-time check would then miss that write for good.
    // 0 when rel may be read now (or cannot be examined: the caller reports that);
    // ERR_INT when aborted or when rel is still being written after the wait.
    int WaitOutModificationSecond(const ustring& rel);
    // "mtime", "mac_attribute" and "exec_bit" of the request.
    void PrepareAttributes(UploadRequest& request, uint32_t local_mtime) const;
    // True when the request changes nothing but, perhaps, the local time.
    static bool IsFakeRequest(const PObject& request);
    // Asks for a resume token (command 27) and stores it in request and resume.request.
    // 0: stored; 1: the server answered with an error, which is now the response; a
    // negative result code for a broken exchange or an answer without a token. `who`
    // names the step in the log line.
    int RequestResumeToken(Channel& channel, PObject& request, PObject& response, const char* who);
    // Command 23 exchange; 0 or a result code for a broken exchange.
    int ProtoUploadObject(Channel& channel, const PObject& request, PObject& response);
    // The resumable exchanges (token, dry run, status, upload); 0 or a result code for
    // a broken exchange. An error answer of any step becomes the response.
    int ProtoResumeUploadObject(Channel& channel, PObject& request, PObject& response);
    // The result of an upload answered with "error" (after the database work its
    // code asks for).
    int UploadErrorResult(const PObject& response);
    // The version fields of the row a successful upload or download reply names (sync
    // ids, kind, path), for the current event.
    void RowFromReply(const PObject& response, ClientFileEventInfo& row) const;
    // Writes the row the upload made. 0 or -1.
    int CommitDatabaseUpload(const PObject& request, const PObject& response, const ClientFileEventInfo& row,
                             const ustring& sign_path);
    // Queues a removal when the item vanished during the upload. 0 or -1.
    int CheckLocalModification(const PObject& request);

    // --- Download steps (sync/worker_download.cpp) --------------------------------------
    // 1: the event passes the filters; 0: filtered (finished); else a result code.
    int TestDownloadRemoteFilter();
    // 0: the local item already is the server's version (row written); -1 otherwise.
    int MergeEvent();
    // 0: the content was found locally (recycle folder or another synchronised file)
    // and put in place, row written; -1: it must be downloaded.
    int PrepareFileFromLocal();
    // Token, then the download request (command 27). 0 with the answer (or an error
    // answer of the token step) in response; a result code for a broken exchange.
    int ProtoResumeDownloadObject(Channel& channel, PObject& request, PObject& response);
    int ProcessDownloadDirectory(const PObject& response);
    // Builds, verifies and places the file; sig receives its new signature. 0; -100
    // when the name is too long; else a result code.
    int ProcessDownloadFile(const PObject& response, TempFile& sig);
    // The verified new file: new_rel is the scratch file, or the event path itself
    // when nothing changes. 0 or a result code.
    int PrepareDownloadFile(const PObject& response, ustring& new_rel, TempFile& sig);
    // After a patch that failed or did not verify: 0 when the local item already is
    // the new version or is gone; ERR_SYS (counted) for a bad patch on an unchanged
    // basis; ERR_INT after a changed basis was renamed aside.
    int HandleDownloadPatchError(const RemoteVersion& remote);
    // Clears the event path for the new version: a changed local item is renamed to a
    // conflict name; a type jump moves the old item to the recycle folder (a
    // directory holding unknown or changed items is conflict-renamed instead). 0 with
    // keep_local set when the local item already equals the new version; ERR_SYS.
    int HandleDownloadConflict(const RemoteVersion& remote, bool& keep_local);
    // CONFLICT_* for the local item against the base row and the server's version;
    // ERR_SYS when the local file cannot be read.
    int TestDownloadConflict(const FILE_INFO& local, const ClientFileEventInfo& base, const RemoteVersion& remote);
    // Moves the verified scratch file new_rel onto the event path after the conflict
    // test: never over a local item that differs from the base row. 0: placed (or the
    // local item already held it); -100; ERR_INT; ERR_SYS.
    int PlaceNewFile(const ustring& new_rel, const RemoteVersion& remote);
    int UpdateAttribute(const ustring& rel, const PObject& response);
    // Queues local creation events for the directory rel and everything below it
    // (parents first), so that a tree kept under a conflict name is uploaded whole.
    void PushTreeCreateEvents(const ustring& rel);
    int CommitDatabaseDownload(const PObject& response, const ClientFileEventInfo& base, const ustring& sign_path);
    // Steps 12 on of a download: request (resumed from the cache when it holds this
    // event's), transfer, verification, placement and the row. With empty_base the
    // server is asked for the whole item. A result code.
    int FetchAndPlace(bool empty_base);

    // --- Removal steps (sync/worker_remove_local.cpp, worker_remove_remote.cpp) ------
    // 1: the event passes the filters; 0: filtered (finished; recorded when a
    // selective-sync rule held it back, so that loosening the rule brings it back);
    // ERR_SYS when that record cannot be written.
    int TestRemoveLocalFilter();
    int TestRemoveRemoteFilter();
    // Clears the event path for a server removal: a file goes to the recycle folder,
    // a directory through RenameRemoveDirectory. 0 or ERR_SYS (logged; the item stays).
    int ProcessRenameRemoveLocal(const FILE_INFO& local);
    // The file at the event path into the recycle folder with its row. 0 or -1.
    int RenameRemoveFile();
    // A directory the database knows unchanged all through goes to the recycle folder
    // whole. Otherwise only its known, unchanged items (and folders left empty by
    // that) go; what stays (items created or edited here) loses its rows and is
    // queued for upload as new items. 0, or -1 when a step failed (what was not moved
    // stays in place).
    int RenameRemoveDirectory();
    // Moves the known, unchanged items below dir into the recycle folder, deepest
    // first. 0 with emptied set when nothing of the user's is left below dir; -1 when
    // dir cannot be listed (then nothing below it is touched further).
    int RecycleUnchangedItems(const ustring& dir, bool& emptied);
    // Command 15 exchange for the current row. 0 with the reply (which may hold
    // "error"); a result code for a broken exchange.
    int ProtoRemoveObject(PObject& reply);

    // The dispatch table: the handler of the current event.
    int ProcessEvent();
    void NotifyAbortDone();
    // The exchange texts and flags of this worker, in one place.
    ProtoSite Site();
    void PublishCurrentEvent();

    const SyncServices services;
    PoolSlot& pool_slot;
    // Cleared by Resume on the control thread, set by the task.
    std::atomic<int> last_error{0};
    void OnResume() override { last_error = 0; }
    int sys_err_count = 0;
    time_t last_err_io_time = 0;
    unsigned patch_err_count = 0;
    NotifyEventType notify_event_type = NOTIFY_NONE;
    int notify_file_status = -1;

    // Guards m_current_event only; held for copies, never while calling out.
    Mutex worker_state_lock;
    ProcessEvent_T m_current_event GUARDED_BY(worker_state_lock);

    EventContext context;
    // What a transfer keeps between passes over one event, so that a retry resumes
    // where the last pass stopped. ClearCache empties the request, the reply and the
    // signature (scratch files included) when the event changes, the transfer ends or
    // the cached request no longer fits.
    struct TransferResume {
        enum class Kind { kNone, kUpload, kDownload };
        Kind kind = Kind::kNone;  // the handler that made request
        PObject request;          // as last sent, with its resume token
        PObject response;         // what arrived of the reply; a partial body names its file
        ustring sign_file;        // upload: the signature of the content being sent
        FileStamp stamp;          // upload: the state that content was read under
        // Download: the base row the current event is compared with, and the stamp of
        // the local item when the conflict test found it unchanged (checked again
        // before it is replaced). Set by each pass.
        ClientFileEventInfo base;
        FileStamp basis_stamp;
    };
    TransferResume resume;
    PStream trans_stream;
    std::atomic<PauseType_T*> pause_instance{nullptr};
};
