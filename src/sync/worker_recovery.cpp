// What the worker keeps so that nothing is beyond recovery: every conflict copy is
// recorded and announced, and the version a download replaces goes to the recycle
// folder.
#include <ctime>

#include "events/registry.h"
#include "events/ui_ipc.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"
#include "sync/conflict_rename.h"
#include "sync/recycle.h"
#include "sync/worker_port.h"

namespace {
const char* const kChannel = "worker_debug";
}  // namespace

int WorkerPort::KeepConflictCopy(const ustring& name_reason, const char* why, ustring* renamed) {
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return -1;
    ConnectionPool* pool = pool_slot.get();
    ustring copy;
    const FsResult rc = ConflictRename(*root, GetPath(), pool ? pool->getClientName() : ustring(), name_reason, &copy);
    if (rc != FsResult::kOk) return FsCode(rc);
    if (renamed != nullptr) *renamed = copy;
    FileEventDB* db = GetEventDatabase();
    if (db == nullptr ||
        db->addConflict(copy, GetPath(), ustring(why), static_cast<uint32_t>(services.now())) != DbResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "conflict copy '%s' made but not recorded.\n", copy.c_str_utf8());
    NLOG(L_NOTICE, kChannel, "[NOTICE] worker.cpp(%d): conflict: '%s' keeps the local version of '%s' (%s)\n",
         copy.c_str_utf8(), GetPath().c_str_utf8(), why);
    FILE_INFO st;
    const bool is_dir = root->Stat(copy, st) == FsResult::kOk && st.type == FT_DIR;
    services.ui.conflict(context.root_entry.sess_id, copy, GetPath(), ustring(why), is_dir);
    return 0;
}
