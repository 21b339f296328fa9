// UploadHandler: a local event that is not a removal goes to the server.
//
// States of one event: filtered or vanished (done, nothing sent) -> request built
// (attributes; a file's content read once for hash, signature and delta) -> a fake
// request settles locally, anything else is sent plainly or resumably -> the answer
// is recorded (row written, signature taken over by the database) or mapped to a
// result code.
//
// State: `resume` keeps a resumable upload (files above 512 KiB) between passes over
// one event: the request as last sent (with its resume token), the signature file of
// the content being sent and the stamp that content was read under. A retry whose
// file no longer matches that stamp starts afresh.
// Threads: only the worker's thread calls in and writes `resume`; no lock is taken
// here (the port takes the worker's state lock for the status it publishes).
#pragma once

#include "sync/worker_port.h"

class TempFile;

class UploadHandler {
public:
    using FileStamp = WorkerPort::FileStamp;
    struct Resume {
        PObject request;              // as last sent, with its resume token; empty: nothing held
        ustring sign_file;            // the signature of the content being sent
        WorkerPort::FileStamp stamp;  // the state that content was read under
        bool Held() const { return request.isMap() && !request.isEmpty(); }
    };

    UploadHandler(WorkerPort& port, const SyncServices& services);

    // The handler: a result code for the worker's error policy (ERR_SYS when it
    // cannot tell what happened, so that nothing is marked done that was not done).
    [[nodiscard]] int Run();
    // Drops the held request and its scratch files (those inside working_directory)
    // and the signature file.
    void Clear(const ustring& working_directory);
    Resume& State() { return resume; }

private:
    static constexpr int kGoOn = WorkerPort::kGoOn;
    // PrepareFileBlock and BuildRequest: the size read is over a size limit (the
    // event is finished as filtered). Neither a result code nor kGoOn.
    static constexpr int kFiltered = 2;
    // What one pass knows of the local item.
    struct Item {
        FILE_INFO local;
        FileStamp stamp;          // the state the item was read (or compared) under
        ClientFileEventInfo row;  // the row the event started from
        bool is_dir = false;
    };
    // The steps of Run, in order.
    // kGoOn with item filled: the item is to be sent. Else the handler's result: it is
    // in the working directory, filtered, gone, unsupported or renamed for its name.
    int Admit(Item& item);
    // Whether the nearest folder above path that has a row is a file on the server: a
    // file replaced here by a folder whose removal has not gone out yet.
    bool InsideReplacedFile(const ustring& path);
    // Drops a held request that no longer fits the local item.
    void DropStaleResume(const Item& item);
    // A new request for the item (content read, resume state stored for a large
    // file). 0, kFiltered or a result code.
    int BuildRequest(Item& item, TempFile& sig, TempFile& delta, PObject& request);
    // A request that changes nothing: only the local time may go back to the row's,
    // and only onto the state that was compared. A result code.
    int SettleFakeRequest(const PObject& request, const Item& item);
    // The plain or the resumable exchange on a borrowed connection.
    LeaseOutcome Send(PObject& request, PObject& response);
    // The server's answer recorded: the row written (the signature taken over), or
    // the error's result. resumed: the request came from `resume`.
    int Record(const PObject& request, const PObject& response, const Item& item, bool resumed, TempFile& sig);
    // Writes stamp into the item's row: its content was compared equal under it.
    void KeepStamp(const Item& item, const FileStamp& stamp);

    // 1: the item passes the filters; 0: filtered (finished); else a result code.
    int TestUploadLocalFilter();
    // Fills request["file"] for the local file. `hashed` and `stamp` receive the state
    // the content was read under; `sig` the new signature, `delta` the delta (when one
    // was made). 0; kFiltered when the size read is over a size limit; ERR_INT when
    // the file changed while it was read; ERR_SYS otherwise. The row's content is
    // referred to without reading only when the row's stamp matches the file's.
    int PrepareFileBlock(PObject& request, TempFile& sig, TempFile& delta, FILE_INFO& hashed,
                         WorkerPort::FileStamp& stamp);
    // Waits until the clock tick of rel's last change has passed (file times advance
    // by ticks of a few milliseconds): a stamp taken within the tick of a write would
    // match a second write of the same size within that tick, and the row's stamp
    // would then hide that write for good. 0 when rel may be read now (or cannot be
    // examined: the caller reports that); ERR_INT when aborted or when rel is still
    // being written after a few seconds.
    int WaitOutTimestampTick(const ustring& rel);
    // Applies the size filters to size: false (the event is finished as filtered,
    // and noted as such) when over a limit.
    bool PassesSizeFilter(uint64_t size);
    // "mtime", "mac_attribute" and "exec_bit" of the request.
    void PrepareAttributes(PObject& request, uint32_t local_mtime) const;
    // True when the request changes nothing but, perhaps, the local time.
    static bool IsFakeRequest(const PObject& request);
    // Command 23 exchange; 0 or a result code for a broken exchange.
    int ProtoUploadObject(Channel& channel, const PObject& request, PObject& response);
    // The resumable exchanges (token, dry run, status, upload); 0 or a result code for
    // a broken exchange. An error answer of any step becomes the response.
    int ProtoResumeUploadObject(Channel& channel, PObject& request, PObject& response);
    // The result of an upload answered with "error" (after the database work its
    // code asks for).
    int UploadErrorResult(const PObject& response);
    // Writes the row the upload made.
    StepResult CommitDatabaseUpload(const PObject& request, const PObject& response, const ClientFileEventInfo& row,
                                    const ustring& sign_path, const FileStamp& stamp);
    // Queues a removal when the item vanished during the upload; kFailed when the
    // item cannot be examined.
    StepResult CheckLocalModification(const PObject& request);

    WorkerPort& port;
    const SyncServices& services;
    WorkerPort::EventContext& context;
    Resume resume;
};
