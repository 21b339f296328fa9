// RemoveHandler: removals, both ways.
//   - RemoveLocal (a server removal): the local item goes to the recycle folder, from
//     which a later download of the same content is served. Nothing the user changed
//     or created here goes there: an edited item is kept under a conflict name, and a
//     removed directory gives up only what the database knows unchanged.
//   - RemoveRemote (a local removal): the item is removed on the server, only after
//     the session folder is confirmed present and the item confirmed gone.
// State: none between passes; everything comes from the event context.
// Threads: only the worker's thread calls in; no lock is taken here.
#pragma once

#include "sync/worker_port.h"

class RemoveHandler {
public:
    RemoveHandler(WorkerPort& port, const SyncServices& services);

    // Each returns a result code for the worker's error policy.
    [[nodiscard]] int RemoveLocal();
    [[nodiscard]] int RemoveRemote();

private:
    // 1: the event passes the filters; 0: filtered (finished; recorded when a
    // selective-sync rule held it back, so that loosening the rule brings it back);
    // ERR_SYS when that record cannot be written.
    int TestRemoveLocalFilter();
    int TestRemoveRemoteFilter();
    // Clears the event path for a server removal: a file goes to the recycle folder,
    // a directory through RenameRemoveDirectory. 0 or ERR_SYS (logged; the item stays).
    int ProcessRenameRemoveLocal(const FILE_INFO& local);
    // The file at the event path into the recycle folder with its row.
    StepResult RenameRemoveFile();
    // A directory the database knows unchanged all through goes to the recycle folder
    // whole. Otherwise only its known, unchanged items (and folders left empty by
    // that) go; what stays (items created or edited here) loses its rows and is
    // queued for upload as new items. kFailed when a step failed (what was not moved
    // stays in place).
    StepResult RenameRemoveDirectory();
    // Moves the known, unchanged items below dir into the recycle folder, deepest
    // first. kOk with emptied set when nothing of the user's is left below dir;
    // kFailed when dir cannot be listed (then nothing below it is touched further).
    StepResult RecycleUnchangedItems(const ustring& dir, bool& emptied);
    // The server's answer to the removal of the current row: the row forgotten (and
    // the folders above raised), or a refusal acted on. replaced_by: the item of
    // another type now under the name, queued for upload once the old one is gone.
    // A result code.
    int RecordRemoval(const PObject& answer, const FILE_INFO* replaced_by);
    // A type change whose removal the server refused (its item is newer than the row):
    // the new local item moves to a conflict name and is queued as new; a folder row is
    // rescanned with merge so that the server's tree comes back. 0, or ERR_SYS when the
    // rename failed.
    int KeepBothAfterTypeChange(const FILE_INFO& replaced_by);
    // Command 15 exchange for the current row. 0 with the reply (which may hold
    // "error"); a result code for a broken exchange.
    int ProtoRemoveObject(PObject& reply);

    WorkerPort& port;
    const SyncServices& services;
    WorkerPort::EventContext& context;
};
