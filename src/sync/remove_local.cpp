// Server removals (RemoveLocal): the local item goes to the recycle folder, from
// which a later download of the same content is served and which the rotation
// empties by age. Nothing the user changed or created here is ever moved there: an
// edited item is kept under a conflict name, and a removed directory gives up only
// what the database knows unchanged; the rest stays and goes up again as new items.
#include <vector>

#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "sync/conflict_rename.h"
#include "sync/remove_handler.h"
#include "wire/connection_pool.h"

namespace {
const char* const kChannel = "worker_debug";
}  // namespace

RemoveHandler::RemoveHandler(WorkerPort& port, const SyncServices& services)
    : port(port), services(services), context(port.Context()) {}

int RemoveHandler::TestRemoveLocalFilter() {
    port.SetNotify(WorkerPort::NOTIFY_NONE);
    const int rc = port.TestCommonFilter();
    if (rc == 0) return 1;
    NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (blocked: %d)\n", port.GetPath().c_str_utf8(), rc);
    port.SetNotify(WorkerPort::NOTIFY_FILTERED);
    return 0;
}

int RemoveHandler::RemoveLocal() {
    const char* path = port.GetPath().c_str_utf8();
    const int filter = TestRemoveLocalFilter();
    if (filter != 1) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "RemoveLocal: File '%s' cannot pass filter testing '%d'.\n", path,
                filter);
        return filter;
    }
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    // A folder that went away shows every item as already removed; wait for it.
    if (!root->CheckPresent()) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): RemoveLocal: sync folder '%s' is missing\n",
                port.WorkerId(), root->path().c_str_utf8());
        return ERR_SYNCFOLDER_MISS;
    }
    if (isFileLocked(port.GetFullPath(), FS_ACCESS_WRITE | FS_ACCESS_DELETE)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): unable to handle locked/no permission file '%s'.\n",
                port.WorkerId(), path);
        return ERR_LOCKED_FILE;
    }
    FILE_INFO local;
    if (root->Stat(port.GetPath(), local) != FsResult::kOk) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "RemoveLocal: File '%s' cannot be removed\n", path);
        return ERR_SYS;
    }
    if (!local.isExist) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveLocal: '%s' has already been removed\n", path);
        (void)port.RemoveDatabaseInfo();
        (void)port.RaiseAncestors(context.current_event.m_sync_id);
        return 0;
    }
    const Event& ev = context.current_event;
    const ClientFileEventInfo& row = context.database_record;
    // The server removed an item of the other type (the file a folder here replaced,
    // or back): what is here now is a new item, which its own upload carries.
    if ((local.type == FT_DIR) != ev.isDir()) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveLocal: '%s' is another type of item now, kept\n", path);
        if (row.syncID != 0 && (row.fileType == 1) != (local.type == FT_DIR)) {
            if (port.RemoveDatabaseInfo() != StepResult::kOk) return ERR_SYS;
            if (local.type == FT_DIR)
                port.PushTreeCreateEvents(port.GetPath());
            else
                port.PushLocalEvent(port.GetPath(), Event::EV_CREATE, false);
        }
        return 0;
    }
    if (row.maxSyncID > ev.m_max_id) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp",
                "RemoveLocal: Based sync id is change, can not remove local [%s]. db max_id = "
                "'%llu', event max_id = '%llu'\n",
                path, (unsigned long long)row.maxSyncID, (unsigned long long)ev.m_max_id);
        if (local.type == FT_DIR) (void)port.ExpandServerDeleteEvent(port.GetPath(), ev.m_sess_id, ev.m_sync_id);
        return 0;
    }
    if (row.syncID != 0 && !port.LocallyModified(local, row, nullptr)) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Removing local '%s'\n", path);
        if (ProcessRenameRemoveLocal(local) != 0) return ERR_SYS;
        (void)port.RaiseAncestors(ev.m_sync_id);
        port.SetNotify(WorkerPort::NOTIFY_SERVER_REMOVE);
        return 0;
    }
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveLocal: Detect local modification to '%s', resolve conflict\n", path);
    ustring renamed;
    if (port.KeepConflictCopy("Conflict", "changed here, removed on the server", &renamed) != 0) return ERR_SYS;
    if (port.RemoveDatabaseInfo() != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "RemoveLocal: Failed to remove database record for '%llu:%s'\n",
                (unsigned long long)port.GetViewId(), path);
        return ERR_SYS;
    }
    (void)port.RaiseAncestors(ev.m_sync_id);
    // The kept copy is a new item for the server.
    if (local.type == FT_DIR)
        port.PushTreeCreateEvents(renamed);
    else if (local.type == FT_FILE)
        port.PushLocalEvent(renamed, Event::EV_CREATE, false);
    port.SetNotify(WorkerPort::NOTIFY_SERVER_REMOVE);
    return 0;
}

int RemoveHandler::ProcessRenameRemoveLocal(const FILE_INFO& local) {
    const StepResult rc = local.type == FT_DIR ? RenameRemoveDirectory() : RenameRemoveFile();
    if (rc != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "ProcessRenameRemoveLocal: Failed to remove '%s'\n",
                port.GetFullPath().c_str_utf8());
        return ERR_SYS;
    }
    return 0;
}

StepResult RemoveHandler::RenameRemoveFile() { return port.MoveToRecycle(port.GetPath(), false); }

StepResult RemoveHandler::RenameRemoveDirectory() {
    bool clean = false;
    if (port.TreeMatchesDatabase(port.GetPath(), clean) == StepResult::kOk && clean)
        return port.MoveToRecycle(port.GetPath(), true);
    NLOG_AT(L_INFO, kChannel, "worker.cpp",
            "RemoveLocal: '%s' holds local changes, only its unchanged items are removed\n",
            port.GetPath().c_str_utf8());
    bool emptied = false;
    if (RecycleUnchangedItems(port.GetPath(), emptied) != StepResult::kOk) return StepResult::kFailed;
    if (emptied) return port.MoveToRecycle(port.GetPath(), true);
    // What stays is the user's: its rows named the version the server removed.
    if (port.RemoveDatabaseInfo() != StepResult::kOk) return StepResult::kFailed;
    port.PushTreeCreateEvents(port.GetPath());
    return StepResult::kOk;
}

StepResult RemoveHandler::RecycleUnchangedItems(const ustring& dir, bool& emptied) {
    emptied = false;
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = port.GetEventDatabase();
    if (root == nullptr || db == nullptr) return StepResult::kFailed;
    // Listed first: the moves below change the folder.
    std::vector<DIR_ENTRY> entries;
    DIR_HANDLE dh;
    if (root->OpenDir(dir, 0, dh) != FsResult::kOk) return StepResult::kFailed;
    DIR_ENTRY entry;
    int got = 0;
    while ((got = FSReadDir(dh, entry)) == 1)
        if (entry.name != "." && entry.name != "..") entries.push_back(entry);
    FSCloseDir(dh);
    if (got != 0) return StepResult::kFailed;

    bool kept = false;
    for (const DIR_ENTRY& e : entries) {
        const ustring child = dir + "/" + e.name;
        ClientFileEventInfo row;
        const bool known = db->getEventInfo(child, row) == DbLookup::kFound && row.syncID != 0;
        bool moved = false;
        if (known && e.type == FT_DIR && row.fileType == 1) {
            bool child_emptied = false;
            moved = RecycleUnchangedItems(child, child_emptied) == StepResult::kOk && child_emptied &&
                    port.MoveToRecycle(child, true) == StepResult::kOk;
        } else if (known && e.type == FT_FILE) {
            FILE_INFO st;
            moved = root->Stat(child, st) == FsResult::kOk && st.type == FT_FILE &&
                    !port.LocallyModified(st, row, nullptr) && port.MoveToRecycle(child, false) == StepResult::kOk;
        }
        // Anything else (unknown, edited, a link) is not the removed version: it stays.
        if (!moved) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveLocal: '%s' is kept\n", child.c_str_utf8());
            kept = true;
        }
    }
    emptied = !kept;
    return StepResult::kOk;
}
