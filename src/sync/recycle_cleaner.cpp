#include "sync/recycle_cleaner.h"

#include <ctime>
#include <set>

#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"
#include "sync/recycle.h"

namespace {
const char* const kChannel = "recycle_cleaner_debug";

// A name the recycle folder's table may hold at its top level: "/" and one component.
bool IsTopLevelName(const ustring& name) {
    const std::string& s = name.str();
    return s.size() > 1 && s[0] == '/' && s.find('/', 1) == std::string::npos && s != "/." && s != "/..";
}
}  // namespace

RecycleCleaner::RecycleCleaner(const SyncServices& services, TaskManager* owner, TaskContext* ctx, RecyclePolicy p)
    : AbortableTask(owner, ctx),
      services(services),
      policy(p.keep_seconds == 0 ? RecyclePolicy{kRotateAfter, p.max_bytes} : p) {}

RecycleCleaner::~RecycleCleaner() = default;

void RecycleCleaner::DoTask() {
    NLOG_AT(L_DEBUG, kChannel, "recycle-cleaner.cpp", "RecycleCleaner START.\n");
    RunLoop([this] { return UpdateContext() != Loaded::kReady || Rotate() != StepResult::kOk ? 3u : 1u; });
    context = Registry::Entry();
    NLOG_AT(L_DEBUG, kChannel, "recycle-cleaner.cpp", "RecycleCleaner : stop working\n");
}

Loaded RecycleCleaner::UpdateContext() {
    Registry::Entry next;
    if (services.registry->FindNext(context.sess_id, next) == 0) {
        context = Registry::Entry();
        return Loaded::kNothing;
    }
    context = next;
    return Loaded::kReady;
}

ustring RecycleCleaner::GetRecycleBinDir() const { return session_folders::RecycleFolder(context.local_path); }

StepResult RecycleCleaner::Rotate(uint32_t now) {
    const uint32_t start = context.recycle_time;
    if (start == 0 || context.pause) return StepResult::kOk;
    if (now == 0) now = (uint32_t)services.now();
    const bool aged = now - start >= policy.keep_seconds;
    if (!aged && policy.max_bytes == 0) return StepResult::kOk;
    FileEventDB* db = context.event_db.get();
    const SessionRoot* root = context.root.get();
    const uint32_t criterion = now - policy.keep_seconds;
    std::set<ustring> due;
    if (db == nullptr || root == nullptr || (aged && db->getRotateList(criterion, due) != DbResult::kOk)) {
        NLOG_AT(L_ERR, kChannel, "recycle-cleaner.cpp", "Failed to getRotateList.\n");
        return StepResult::kFailed;
    }
    // One entry that cannot go (held, undeletable, a link in the way) must not keep
    // the others: skip it, keep its rows, and try it again next pass.
    bool all_removed = true;
    for (const ustring& name : due) {
        if (abort_flag.load() != 0) return StepResult::kFailed;
        const ustring rel = ustring(session_folders::kRelRecycleFolder) + name;
        NLOG_AT(L_DEBUG, kChannel, "recycle-cleaner.cpp", "Need rotate '%s'.\n", root->Full(rel).c_str_utf8());
        if (!IsTopLevelName(name) || root->Remove(rel) != FsResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "recycle-cleaner.cpp", "Failed to remove file. at '%s'\n",
                    root->Full(rel).c_str_utf8());
            all_removed = false;
            continue;
        }
        if (db->rmRecycleTree(name) != DbResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "recycle-cleaner.cpp", "Failed to rmRotateRecords.\n");
            return StepResult::kFailed;
        }
    }
    // Everything due went: rows left behind without their entry (none are expected)
    // are due as well.
    if (aged && all_removed && db->rmRotateRecords(criterion) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "recycle-cleaner.cpp", "Failed to rmRotateRecords.\n");
        return StepResult::kFailed;
    }
    const bool trimmed = recycle::TrimToSize(*root, *db, policy.max_bytes) == 0;
    uint32_t oldest = 0;
    if (db->getOldestRecyleTime(oldest) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "recycle-cleaner.cpp", "Failed to getOldestRecyleTime.\n");
        return StepResult::kFailed;
    }
    services.registry->UpdateRecycleTime(context, start, oldest);
    // A worker that parked an entry after the read above but before the update found
    // the old time in place and left it: read once more, so that its entry always
    // has a time (a later parking sets its own).
    if (db->getOldestRecyleTime(oldest) == DbResult::kOk && oldest != 0)
        services.registry->InitRecycleTime(context, oldest);
    return all_removed && trimmed ? StepResult::kOk : StepResult::kFailed;
}
