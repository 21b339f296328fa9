// DownloadHandler: a server event that is not a removal comes to the local folder.
//
// States of one event: filtered or an echo of our own upload (done) -> merged (the
// local item already is the server's version) or served from local content (recycle
// folder, another synchronised file) -> fetched: request (or the held one resumed),
// transfer, verification in the working directory, conflict test, placement by
// rename, row written.
//
// State (`resume`): the request as last sent (with its resume token) and the partial
// reply data of a broken transfer, so that the next pass continues at that length;
// the base row of the current event and the stamp of the local item the conflict
// test found unchanged (checked again before it is replaced); the count of bad
// patches on an unchanged basis (at the limit the whole file is fetched once more,
// and the worker's error policy resets it when the event is handed back).
// State (`placed`): the files this handler placed, until their stamps are kept.
// Threads: only the worker's thread calls in and writes `resume` and `placed`; no
// lock is taken here. Rule (asserted): partial data is never held without its request.
#pragma once

#include "sync/worker_port.h"

class RemoveHandler;
class TempFile;

class DownloadHandler {
public:
    using FileStamp = WorkerPort::FileStamp;
    struct Resume {
        PObject request;   // as last sent, with its resume token; empty: nothing held
        PObject response;  // what arrived of the reply; a partial body names its file
        // Set by each pass: the base row and the stamp of the unchanged local item.
        ClientFileEventInfo base;
        WorkerPort::FileStamp basis_stamp;
        unsigned patch_err_count = 0;
        bool Held() const { return request.isMap() && !request.isEmpty(); }
        bool HoldsPartial() const { return response.isMap() && !response.isEmpty(); }
    };
    // The server's version as the conflict test compares it.
    struct RemoteVersion {
        bool is_dir = false;
        uint64_t size = 0;
        ustring hash;
    };
    enum ConflictResult { CONFLICT_NONE = 0, CONFLICT_RETRY = 1, CONFLICT_IGNORE = 2, CONFLICT_REMOVED = 3 };

    // remove handles an event whose item the server no longer has.
    DownloadHandler(WorkerPort& port, const SyncServices& services, RemoveHandler& remove);

    // The handler: a result code for the worker's error policy.
    [[nodiscard]] int Run();
    // Drops the held request and reply (scratch files inside working_directory).
    void Clear(const ustring& working_directory);
    // The error policy starts counting bad patches afresh.
    void ResetPatchErrors() { resume.patch_err_count = 0; }
    Resume& State() { return resume; }

private:
    // Run's steps, without the stamps of placed files.
    int Download();
    // The file rows this handler left without a stamp, kept once they are a tick old
    // (a stamp taken at once could match a write within the same tick). Only the
    // current session's are kept: another session's are dropped, and its next rescan
    // reads them.
    void NotePlaced();
    void StampPlaced();
    // The steps of Run before the ways without a transfer: filters, the base row
    // (resume.base), a forced download turned into a request for the row's version.
    // kGoOn; else the handler's result (filtered, locked, nothing to force).
    int Admit(bool& forced);
    // FetchAndPlace, and once more for the whole file when the patches keep failing
    // on an unchanged basis; ERR_LOCKED_FILE when that does not verify either.
    int FetchWithFallback(bool forced);
    // 1: the event passes the filters; 0: filtered (finished); else a result code.
    int TestDownloadRemoteFilter();
    // What a way without a transfer achieved: kPlaced (row written, done) or kFetch
    // (it does not apply: the item must be downloaded).
    enum class [[nodiscard]] LocalCopy{kPlaced, kFetch};
    // kPlaced: the local item already is the server's version.
    LocalCopy MergeEvent();
    // kPlaced: the content was found locally (recycle folder or another synchronised
    // file) and put in place.
    LocalCopy PrepareFileFromLocal();
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
    // The event's file, unchanged against the base row, is about to be replaced by
    // a downloaded version: a second name of it goes into the recycle folder (a copy
    // where the file system has no hard links), recorded with the base's size and
    // hash. Failure is logged and does not stop the download.
    void KeepReplacedVersion();
    int UpdateAttribute(const ustring& rel, const PObject& response);
    StepResult CommitDatabaseDownload(const PObject& response, const ClientFileEventInfo& base,
                                      const ustring& sign_path);
    // Steps 12 on of a download: request (resumed from the cache when it holds this
    // event's), transfer, verification, placement and the row. With empty_base the
    // server is asked for the whole item. A result code.
    int FetchAndPlace(bool empty_base);
    // Its steps, in order.
    // The request: the held one when it is this event's (continuing at the length of
    // the partial data, which response then names), else a new one, now held.
    void PrepareFetch(bool empty_base, PObject& request, PObject& response);
    // A broken transfer (rc < 0): its partial data is held for the next pass when
    // its request is, else deleted. Returns rc.
    int KeepPartial(int rc, const PObject& response);
    // The answer tested: an error answer's result (a removed item is handed to the
    // removal handler), ERR_SERVER for an answer that cannot be trusted, 0 when the
    // item is already up to date; kGoOn when the item is to be placed.
    int CheckAnswer(const PObject& request, PObject& response);
    // The item built, verified and placed, and its row written. A result code.
    int PlaceAndRecord(const PObject& response);

    WorkerPort& port;
    const SyncServices& services;
    WorkerPort::EventContext& context;
    RemoveHandler& remove;
    Resume resume;
    struct Placed {
        uint64_t sess_id = 0;
        std::vector<FileEventDB::RowStamp> files;
        std::vector<int64_t> noted_ns;  // when each was noted, in order
    };
    Placed placed;
};
