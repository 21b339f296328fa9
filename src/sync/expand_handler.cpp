// Expansion: events that stand for a whole subtree become events of its items.
//   - Expand: a new local directory -> creation events for everything below it,
//     each directory before its contents (the same walk as a rescan).
//   - ExpandLocalDeleteEvent: a local directory removal that found the directory
//     there again -> one level compared with its rows.
//   - ExpandServerDeleteEvent: a server directory removal -> removals of the
//     children that the removal covers. Never the directory's own removal: pushed
//     while that very node is in progress it would merge into it and be handed
//     straight back, for ever. The directory is settled by CreateDirSelfEvent once
//     the event is done, and a directory holding newer content stays.
#include <cassert>
#include <cerrno>

#include "events/event_manager.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/file_event_db.h"
#include "store/file_list.h"
#include "sync/rescan_handler.h"

namespace {

const char* const kChannel = "worker_debug";

}  // namespace

int RescanHandler::Expand() {
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d): expanding directory '%s'\n", port.WorkerId(),
            port.GetFullPath().c_str_utf8());
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    // A folder that is not there lists as empty: keep the expansion for later.
    if (!root->CheckPresent(context.root_entry.root_dev)) return ERR_SYNCFOLDER_MISS;
    const ustring base = port.GetPath();
    const int rc = port.WalkLocalTree(
        base, true,
        [&](const ustring&, const ustring& sub, const DIR_ENTRY& e) {
            const ustring path = SubPath(base, sub);
            NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "ExpandHandler push local event: %s\n", path.c_str_utf8());
            port.PushLocalEvent(path, Event::EV_CREATE, e.type == FT_DIR);
            return true;
        },
        nullptr);
    if (rc == ERR_INT) {
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "interrupted while expanding '%s'\n",
                port.GetFullPath().c_str_utf8());
        return ERR_INT;
    }
    return rc == 0 ? 0 : ERR_SYS;
}

int RescanHandler::ExpandDeleteEvent() {
    const Event& e = context.current_event;
    if (e.isLocalSubDirRescan() || e.isLocalSubDirRescanWithStat()) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "ExpandLocalDeleteEvent event: %s\n", e.toString().c_str_utf8());
        const SessionRoot* root = context.root_entry.root.get();
        if (root != nullptr && !root->CheckPresent(context.root_entry.root_dev)) return ERR_SYNCFOLDER_MISS;
        if (port.ExpandLocalDeleteEvent(e.m_path) != StepResult::kOk) return ERR_INT;
    }
    if (e.isServerSubDirRescan() || e.isServerSubDirRescanWithStat()) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "ExpandServerDeleteEvent event: %s\n", e.toString().c_str_utf8());
        if (port.ExpandServerDeleteEvent(e.m_path, e.m_sess_id, e.m_sync_id) != StepResult::kOk) return ERR_INT;
    }
    return 0;
}

StepResult RescanHandler::BuildLocalFileListWithoutResursive(const ustring& rel, FileList& list,
                                                             std::set<ustring>& unknown) {
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return StepResult::kFailed;
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "BuildLocalFileListWithoutResursive: path '%s'\n",
            root->Full(rel).c_str_utf8());
    const int rc = port.WalkLocalTree(
        rel, true,
        [&](const ustring&, const ustring& sub, const DIR_ENTRY& e) {
            if (e.type == FT_DIR) {
                NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "BuildLocalFileList: add dir '%s' (%u)\n", e.name.c_str_utf8(),
                        e.mtime);
                if (list.AddDirectory(0, e.name, e.mtime) < 0) unknown.insert(sub);
            } else {
                NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "BuildLocalFileList: add file '%s' (%u, %llu)\n",
                        e.name.c_str_utf8(), e.mtime, (unsigned long long)e.size);
                if (list.AddFile(0, e.name, e.mtime, e.size) < 0) unknown.insert(sub);
            }
            return false;  // one level
        },
        &unknown);
    if (rc == ERR_INT) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "BuildLocalFileListWithoutResursive: user stopped\n");
        return StepResult::kFailed;
    }
    if (rc != 0) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "BuildLocalFileListWithoutResursive: Failed to open directory '%s'\n",
                root->Full(rel).c_str_utf8());
        return StepResult::kFailed;
    }
    return StepResult::kOk;
}

StepResult RescanHandler::ExpandLocalDeleteEvent(const ustring& path) {
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = port.GetEventDatabase();
    StepResult rc = StepResult::kFailed;
    // A missing session folder would read as every child removed.
    if (root != nullptr && db != nullptr && root->CheckPresent(context.root_entry.root_dev)) {
        StringBuffer names;
        FileList local(names), known(names);
        std::set<ustring> unknown;
        if (db->getFileListWithoutRecursive(&known, path) == DbResult::kOk &&
            BuildLocalFileListWithoutResursive(path, local, unknown) == StepResult::kOk)
            rc = CompareFileList(path, local, known, false, &unknown);
    }
    if (rc != StepResult::kOk)
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "interrupted while expanding local delete event (%s)\n",
                path.c_str_utf8());
    return rc;
}

StepResult RescanHandler::ExpandServerDeleteEvent(const ustring& path, uint64_t sess_id, uint64_t sync_id) {
    std::shared_ptr<FileEventDB> db = context.root_entry.event_db;
    if (sess_id != context.root_entry.sess_id) {
        Registry::Entry entry;
        db = services.registry->Find(sess_id, entry) == 1 ? entry.event_db : nullptr;
    }
    if (db == nullptr) return StepResult::kFailed;
    StringBuffer names;
    FileList known(names);
    if (db->getFileListWithoutRecursive(&known, path, sync_id) != DbResult::kOk) return StepResult::kFailed;
    for (FileList::reverse_iterator it = known.rbegin(), end = known.rend(); it != end; ++it) {
        if (port.Aborted()) {
            NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "interrupted while expanding server delete event (%s)\n",
                    path.c_str_utf8());
            return StepResult::kFailed;
        }
        if (it->path.empty()) continue;  // the directory itself: see above
        Event e;
        e.m_type = Event::EV_REMOVE;
        e.m_path = SubPath(path, it->path);
        assert(e.m_path != path);  // never the directory's own removal: it would never end
        e.m_sync_id = sync_id;
        e.m_max_id = sync_id;
        e.m_sess_id = sess_id;
        if (it->is_dir()) e.setDir();
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "ExpandServerDeleteEvent: %s.\n", e.toString().c_str_utf8());
        services.events->PushServerEvent(e);
    }
    return StepResult::kOk;
}

void RescanHandler::CreateDirSelfEvent() {
    const Event& done = context.current_event;
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "CreateDirSelfEvent event: %s\n", done.toString().c_str_utf8());
    if (done.isLocalSubDirRescanWithStat() || done.isServerSubDirRescanWithStat()) {
        const SessionRoot* root = context.root_entry.root.get();
        FILE_INFO st;
        if (root == nullptr || root->Stat(done.m_path, st) != FsResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "CreateDirSelfEvent: failed to get local file system info of '%s'\n",
                    port.GetFullPath().c_str_utf8());
            return;
        }
        if (st.isExist && st.type == FT_DIR) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CreateDirSelfEvent: upload [%s].\n", done.m_path.c_str_utf8());
            PushUploadEvent(done.m_path, true);
        } else {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CreateDirSelfEvent: download [%s].\n", done.m_path.c_str_utf8());
            PushDownloadEvent(done.m_path, true);
        }
        return;
    }
    if (done.isLocalSubDirRescan() || done.isServerSubDirRescan()) {
        Event self = done;
        self.m_mode = Event::F_DIR;
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "CreateDirSelfEvent: create self event [%s].\n",
                self.toString().c_str_utf8());
        services.events->PushLocalEvent(self);
    }
}
