// Local removals (RemoveRemote): the item is removed on the server, but only after
// the session folder is confirmed present (a folder that went away is not one whose
// files were deleted) and the item is confirmed gone. The server refuses a removal
// of a version newer than the row's; then nothing is lost: a directory is rescanned
// and a file comes back by its own server event.
#include "events/event_manager.h"
#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/filter_db.h"
#include "sync/remove_handler.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"

namespace {
const char* const kChannel = "worker_debug";
constexpr uint32_t kErrRemoveNoFile = 0xA001;
constexpr uint32_t kErrRemoveModified = 0xA002;
}  // namespace

int RemoveHandler::TestRemoveRemoteFilter() {
    port.SetNotify(WorkerPort::NOTIFY_NONE);
    const char* path = port.GetPath().c_str_utf8();
    int rc = port.TestCommonFilter();
    if (rc != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' ((blocked: %d)\n", path, rc);
        if (IsSelectiveSyncCode(rc)) (void)port.AddFilteredEventToDB(rc);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    const ClientFileEventInfo& row = context.database_record;
    if (context.current_event.isDir() || row.syncID == 0) return 1;
    // A file the selective-sync rules hold back locally: its removal is held back too.
    FilterLocalEvent held;
    if (services.filters->getLocalFilteredEventByPath(context.root_entry.sess_id, port.GetPath(), held) ==
        DbLookup::kFound) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' ((blocked: %d)\n", path, 0);
        if (port.AddFilteredEventToDB(0) != StepResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "Failed to setLocalFilteredEvent for session '%llu', path '%s' .\n",
                    (unsigned long long)context.root_entry.sess_id, path);
            return ERR_SYS;
        }
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    rc = port.GetBlackList() != nullptr ? port.GetBlackList()->TestFileSize(row.fileSize) : 0;
    if (rc != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' ((blocked: %d)\n", path, rc);
        (void)port.AddFilteredEventToDB(FILTER_FILE_SIZE_SELECTIVE_SYNC);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    return 1;
}

int RemoveHandler::ProtoRemoveObject(PObject& reply) {
    const ClientFileEventInfo& row = context.database_record;
    ConnectionPool* pool = port.Pool();
    RemoveRequest remove;
    remove.session = pool ? pool->getSession() : ustring();
    remove.view_id = port.GetViewId();
    if (services.server_build() == PROTO_OLD_SERVER_BUILD) {
        remove.sync_id = row.maxSyncID;
    } else {
        remove.sync_id = row.syncID;
        remove.has_max_id = true;
        remove.max_id = row.maxSyncID;
    }
    remove.path = port.GetServerPath();
    const int rc = port.Exchange(SCMD_EVT_REMOVE, remove.ToValue(), reply);
    // A refusal is an answer; the caller reads its code.
    if (rc != 0 && reply.isMap() && reply.hasMember("error")) return 0;
    return rc;
}

int RemoveHandler::RemoveRemote() {
    const char* path = port.GetPath().c_str_utf8();
    const int filter = TestRemoveRemoteFilter();
    if (filter != 1) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "RemoveRemote: File '%s' cannot pass filter testing '%d'.\n", path,
                filter);
        return filter;
    }
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    // A folder that was removed, replaced or unmounted lists as empty: that is no
    // reason to remove anything on the server.
    if (!root->CheckPresent()) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "Worker (%d): RemoveRemote: sync folder '%s' is missing, '%s' is not removed\n", port.WorkerId(),
                root->path().c_str_utf8(), path);
        return ERR_SYNCFOLDER_MISS;
    }
    if (isFileLocked(port.GetFullPath(), FS_ACCESS_READ)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): unable to handle locked/no permission file '%s'.\n",
                port.WorkerId(), path);
        return ERR_LOCKED_FILE;
    }
    FILE_INFO local;
    if (root->Stat(port.GetPath(), local) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): RemoveRemote: Failed to get filesystem into for %s\n",
                port.WorkerId(), path);
        return ERR_SYS;
    }
    const ClientFileEventInfo& known = context.database_record;
    // Another type under the synchronised name (a file replaced by a folder, or back):
    // the old item goes on the server, and the new one is uploaded after it.
    const bool type_changed = local.isExist && known.syncID != 0 && (local.type == FT_DIR) != (known.fileType == 1);
    if (local.isExist && !type_changed) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Worker (%d): RemoveRemote: Path '%s' exists\n", port.WorkerId(),
                path);
        if (local.type == FT_DIR) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d) RemoveRemote: Need ExpandLocalDeleteEvent at '%s'.\n",
                    port.WorkerId(), path);
            (void)port.ExpandLocalDeleteEvent(port.GetPath());
        } else if (local.type == FT_FILE) {
            // The file here goes up: its upload may have waited for this very removal
            // (a folder replaced by a file after the removal had started sees no type
            // change). An unchanged file is referred to, not sent.
            port.PushLocalEvent(port.GetPath(), Event::EV_CREATE, false);
        }
        return 0;
    }
    const ClientFileEventInfo& row = context.database_record;
    if (row.syncID == 0) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d): RemoveRemote: '%llu:%s' cannot be removed (no record).\n",
                port.WorkerId(), (unsigned long long)port.GetViewId(), path);
        return 0;
    }

    PObject reply;
    const int rc = ProtoRemoveObject(reply);
    if (rc != 0) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d): RemoveRemote: failed to remove object (%s). %s.\n",
                port.WorkerId(), path, GetErrorString(rc));
        return rc;
    }
    return RecordRemoval(reply, type_changed ? &local : nullptr);
}

int RemoveHandler::RecordRemoval(const PObject& answer, const FILE_INFO* replaced_by) {
    const char* path = port.GetPath().c_str_utf8();
    const ClientFileEventInfo& row = context.database_record;
    if (answer.hasMember("error")) {
        const uint64_t code = answer["error"]["code"].asUInt64();
        if (code == kErrRemoveNoFile) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "RemoveRemote: Fake event on '%s' ... how did you do that? remove local entry "
                    "anyway.\n",
                    path);
        } else if (code == kErrRemoveModified) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "RemoveRemote: Object '%s' on the server is modified, abort anyway\n", path);
            if (replaced_by != nullptr) return KeepBothAfterTypeChange(*replaced_by);
            if (row.fileType == 1) {
                // The row stays and the rescan merges: the server's newer content below
                // wins over the removal, so what is gone here is fetched again (a plain
                // rescan would find the folder gone, send the same refused removal or
                // nothing, and leave this folder without what the others keep). A
                // rescan finds nothing to fetch into a folder that is not there: it
                // comes back first.
                FILE_INFO here;
                const SessionRoot* root = context.root_entry.root.get();
                if (root == nullptr || root->Stat(port.GetPath(), here) != FsResult::kOk) return ERR_SYS;
                if (!here.isExist && root->MKDirP(port.GetPath()) != FsResult::kOk) {
                    NLOG_AT(L_ERR, kChannel, "worker.cpp", "RemoveRemote: cannot bring back folder '%s'\n", path);
                    return ERR_SYS;
                }
                NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveRemote: rescan directory '%s'\n", path);
                services.events->IssueRescan(context.root_entry.sess_id, port.GetPath(), true);
                return 0;
            }
        } else {
            const int rc = port.ReplyError(answer);
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "RemoveRemote: Failed to remove '%s'. %s\n", path,
                    GetErrorString(rc));
            return rc;
        }
    }
    if (port.RemoveDatabaseInfo() != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "RemoveRemote: Failed to update local event database. Error code = %d\n",
                -1);
        return ERR_SYS;
    }
    // The folders above hold a newer version now; removing one of them later must say so.
    if (!answer.hasMember("error") && answer["sync_id"].isInteger() &&
        port.RaiseAncestors(answer["sync_id"].asUInt64()) != StepResult::kOk)
        return ERR_SYS;
    if (replaced_by != nullptr) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "RemoveRemote: '%s' changed its type, upload the new one\n", path);
        if (replaced_by->type == FT_DIR)
            port.PushTreeCreateEvents(port.GetPath());
        else
            port.PushLocalEvent(port.GetPath(), Event::EV_CREATE, false);
    }
    port.SetNotify(WorkerPort::NOTIFY_CLIENT_REMOVE);
    return 0;
}

int RemoveHandler::KeepBothAfterTypeChange(const FILE_INFO& replaced_by) {
    // The server's item changed after the version the row names, so it is not ours to
    // remove: the new local item takes a conflict name and goes up as a new item, and
    // the name is free for the server's version (a folder is fetched again by a merging
    // rescan, a file by its pending server event).
    ustring renamed;
    if (port.KeepConflictCopy("Conflict", "replaced here, changed on the server", &renamed) != 0) return ERR_SYS;
    if (replaced_by.type == FT_DIR)
        port.PushTreeCreateEvents(renamed);
    else
        port.PushLocalEvent(renamed, Event::EV_CREATE, false);
    if (context.database_record.fileType == 1)
        services.events->IssueRescan(context.root_entry.sess_id, port.GetPath(), true);
    return 0;
}
