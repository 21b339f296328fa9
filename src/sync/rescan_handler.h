// RescanHandler: events that stand for a whole folder become events of its items.
//   - Rescan: what differs between a local folder and the event database.
//   - Expand: a new local directory -> creation events for everything below it.
//   - ExpandDeleteEvent (and the two expansions a removal hands on): a directory
//     removal that must be looked at item by item.
//   - CreateDirSelfEvent: the directory's own event once its expansion is done.
// State: none between passes; the lists of one rescan live on its stack.
// Threads: only the worker's thread calls in; the abort flag is polled while walking.
#pragma once

#include <map>
#include <set>

#include "sync/worker_port.h"

class FileList;

class RescanHandler {
public:
    RescanHandler(WorkerPort& port, const SyncServices& services);

    // Rescan and Expand: 0 when every event is queued; ERR_INT when the abort flag
    // stopped them; ERR_SYNCFOLDER_MISS when the session's folder is missing (nothing
    // queued); ERR_SYS otherwise. The loop queues them again for anything but 0.
    [[nodiscard]] int Rescan();
    [[nodiscard]] int Expand();
    // 0; ERR_SYNCFOLDER_MISS; ERR_INT when an expansion failed. The expansions go
    // through the port, so that a stand-in of the worker sees them.
    [[nodiscard]] int ExpandDeleteEvent();
    // The WorkerPort expansions (see there).
    StepResult ExpandLocalDeleteEvent(const ustring& path);
    StepResult ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id);
    void CreateDirSelfEvent();

private:
    // Compares a local list with a database list of the folder root, name by name in
    // the order the lists' iterators walk, and queues the events that make the two
    // sides agree: uploads for what is new or changed locally; for what is only in
    // the database a removal, or with merge a forced download, unless it is still here
    // under a name that cannot be synchronised (noted, never uploaded). A local item of another
    // type than its row is uploaded alone: its upload removes the old one on the server
    // and then queues what lies below the new one. Entries at or below a
    // path in unknown (one the walk could not read) never count as removed.
    // kFailed when the abort flag stopped it (the events queued so far stay).
    StepResult CompareFileList(const ustring& root, const FileList& local, const FileList& db, bool merge,
                               const std::set<ustring>* unknown = nullptr);

    // Whether the row of the file path keeps a stamp and the file still has it: size
    // and seconds alone miss a same-size edit whose time was put back. kUnknown: the
    // row keeps none yet (a download, a row from before stamps); `row` then names its
    // version, for KeepVerifiedStamps.
    enum class StampCheck { kMatches, kUnknown, kDiffers };
    StampCheck CheckStamp(const ustring& path, FileEventDB::RowStamp& row);
    // The local entries of a rescan whose session path cannot be synchronised (list
    // paths), and their files by inode and by size.
    struct UnsyncableItems {
        std::set<ustring> paths;
        std::multimap<uint64_t, ustring> by_inode, by_size;
    };
    // Finds them in the local list of the folder root and notes each for the status.
    UnsyncableItems FindUnsyncable(const ustring& root, const FileList& local);
    // Whether the file row path, missing locally, is still here under a name that
    // cannot be synchronised (the row's inode, or its size and content): a rename to
    // such a name, whose removal is held back (the server keeps the item).
    bool StillHereUnsyncable(const ustring& path, const UnsyncableItems& items);
    // 1: the database item path is excluded by the session's selective-sync prefix
    // rule; a filtered record was stored and no event is wanted. 0 otherwise.
    int TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir);
    // Queues a local modification (an upload) of path in the current session.
    void PushUploadEvent(const ustring& path, bool is_dir);
    // Queues a forced download of path: a server modification that is newer than
    // anything, with the row's size and hashes when the database has one.
    void PushDownloadEvent(const ustring& path, bool is_dir);
    // The direct children of the session folder rel, as the walk sees them, under the
    // list's root (an empty list when rel is not there); kFailed when rel cannot be
    // listed or the abort flag stopped it.
    StepResult BuildLocalFileListWithoutResursive(const ustring& rel, FileList& list, std::set<ustring>& unknown);

    WorkerPort& port;
    const SyncServices& services;
    WorkerPort::EventContext& context;
};
