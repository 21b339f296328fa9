// WorkerPort: the server exchange and the filter tests of the port. Nothing here (nor
// in worker_files.cpp, worker_walk.cpp, worker_recovery.cpp) calls the loop or a
// handler, so the loop (worker.cpp) sits above the handlers and the handlers above the
// port: the worker's files call each other in one direction only.
#include "sync/worker_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "filter/white_list.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/session_folders.h"
#include "sync/conflict_rename.h"
#include "sync/proto_sites.h"
#include "sync/with_lease.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"

namespace {

const char* const kChannel = "worker_debug";

}  // namespace

// Deletes a binary's file when it is a scratch file inside dir.
void DropScratch(const PObject& value, const ustring& dir) {
    if (!value.isBinary() || dir.empty()) return;
    const std::string path = value.asBinary().path.str();
    const std::string prefix = dir.str() + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return;
    if (path.find("/..", prefix.size() - 1) != std::string::npos) return;
    unlink(path.c_str());
}

WorkerPort::WorkerPort(const SyncServices& services, Task& task, std::atomic<int>& abort)
    : services(services), pool_slot(*services.pool), task(task), abort(abort) {}

void WorkerPort::EventContext::clear() {
    current_event.clear();
    root_entry = Registry::Entry();
    database_record.Clear();
    working_directory.clear();
    sign_directory.clear();
    full_path.clear();
}

ustring WorkerPort::GetRecycleBinDir() const {
    return context.working_directory + "/" + session_folders::kRecycleFolder;
}

int WorkerPort::streamErr2DaemonErr(StreamResult stream_code) {
    if (abort.exchange(0) != 0) {
        if (task.GetState() == Task::PAUSE) return ERR_CH_CONNECTION_ABORT;
        ClearCache();
        return ERR_INT;
    }
    switch (stream_code) {
        case StreamResult::kDiskFull:
            ClearCache();
            return ERR_LOCAL_DISKFULL;
        case StreamResult::kIo:
            return ERR_IO;
        case StreamResult::kSys:
        case StreamResult::kStream:
            ClearCache();
            return ERR_SYS;
        case StreamResult::kOk:
            break;
    }
    return 0;
}

int WorkerPort::ReplyError(const PObject& reply) {
    // The worker's table: only the flags and the log channel of the site matter here.
    // No specific meaning gives ERR_SERVER: the request is retried.
    static const ProtoSite kTable = WorkerSite(0);
    return ReplyResult(kTable, reply);
}

// ---------------------------------------------------------------------------------------
// Server exchange

ProtoSite WorkerPort::Site() {
    ProtoSite site = WorkerSite(WorkerId(), context.working_directory,
                                [this](StreamResult code) { return streamErr2DaemonErr(code); });
    site.recv_root = context.root_entry.root;
    site.stream = &trans_stream;
    return site;
}

int WorkerPort::RunProtocol(Channel& channel, uint8_t command, const PObject& request, PObject& response) {
    // The server may already have committed an upload when a pause comes: its reply
    // is still awaited, for a bounded time (the next pull's echo test settles the rest).
    ProtoReplyWait wait;
    const ustring action = request["_action"].asString();
    wait.may_commit = action == "upload" || action == "resume_upload";
    return ::RunProtocol(Site(), channel, command, request, response, wait);
}

int WorkerPort::Exchange(uint8_t command, const PObject& request, PObject& reply) {
    const LeaseOutcome out =
        Leased(reply, [&](Channel& channel) { return RunProtocol(channel, command, request, reply); });
    if (out.stage == LeaseStage::kNoPool)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): no server connection\n", WorkerId());
    return out.stage == LeaseStage::kDone ? ReplyError(reply) : out.code;
}

LeaseOutcome WorkerPort::Leased(const PObject& reply, const std::function<int(Channel&)>& exchange) {
    return WithLease(pool_slot, &abort, Site(), context.root_entry.view_id, reply, exchange);
}

// ---------------------------------------------------------------------------------------
// Filter tests

int WorkerPort::TestWhiteList() {
    const ustring& path = GetPath();
    if (path.empty() || path == "/") return 0;
    WhiteListCpp* list = GetWhiteList();
    if (list == nullptr) return 0;
    return list->Test(LastComponent(path)) ? 0 : -1;
}

int WorkerPort::TestFilePath(const ustring& path, uint64_t full_path_length) {
    BlackList2& system = *services.system_black_list;
    int rc = system.TestFullPathSize(full_path_length);
    if (rc == 0) rc = system.TestFilePath(path);
    BlackList2* own = GetBlackList();
    if (rc == 0 && own) rc = own->TestFullPathSize(full_path_length);
    if (rc == 0 && own) rc = own->TestFilePath(path);
    return rc;
}

int WorkerPort::TestDirectory(const ustring& path, uint64_t full_path_length) {
    BlackList2& system = *services.system_black_list;
    int rc = system.TestFullPathSize(full_path_length);
    if (rc == 0) rc = system.TestDirectoryPath(path);
    BlackList2* own = GetBlackList();
    if (rc == 0 && own) rc = own->TestFullPathSize(full_path_length);
    if (rc == 0 && own) rc = own->TestDirectoryPath(path);
    return rc;
}

int WorkerPort::TestBlackListPath() {
    const uint64_t len = GetFullPath().length();
    if (context.current_event.isDir()) {
        int rc = TestDirectory(GetPath(), len);
        if (rc != 0)
            NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "TestBlackListPath: Directory '%s' (blocked: %d)\n",
                    GetPath().c_str_utf8(), rc);
        return rc;
    }
    int rc = TestFilePath(GetPath(), len);
    if (rc != 0)
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "TestBlackListPath: File '%s' (blocked: %d)\n", GetPath().c_str_utf8(),
                rc);
    return rc;
}

// The white list's refusal counts as the selective-sync extension rule.
int WorkerPort::TestCommonFilter() { return TestWhiteList() != 0 ? FILTER_EXT_SELECTIVE_SYNC : TestBlackListPath(); }

bool WorkerPort::Quiet(const ustring& rel) {
    constexpr int64_t kQuietSeconds = 3;
    const int64_t since = (int64_t)services.now() - kQuietSeconds;
    FileStamp s;
    if (StampOf(rel, s) != StepResult::kOk || !s.exists) return true;  // the rename reports what it finds
    if (std::max(s.mtime_ns, s.ctime_ns) / 1000000000 >= since) return false;
    if (s.kind != S_IFDIR) return true;
    // A folder's entries: one being written keeps the folder busy too.
    DIR_HANDLE dh;
    if (context.root_entry.root->OpenDir(rel, FS_DIR_STAT, dh) != FsResult::kOk) return true;
    bool quiet = true;
    DIR_ENTRY entry;
    while (quiet && FSReadDir(dh, entry) == 1)
        if (entry.name != "." && entry.name != ".." && (int64_t)entry.mtime >= since) quiet = false;
    FSCloseDir(dh);
    return quiet;
}

int WorkerPort::TestBaseNameConflict(const ustring& base_name) {
    const std::string name = base_name.str();
    if (name.empty()) return 1;
    ConnectionPool* pool = pool_slot.get();
    const ustring client = pool ? pool->getClientName() : ustring();
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    const bool renamed = name.front() == ' ' || name.back() == ' ' || name.back() == '.';
    if (renamed && !Quiet(GetPath())) {
        // A program may still be writing into it by that name: renamed once it is quiet.
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "TestBaseNameConflict: '%s' is still changing, later\n",
                base_name.c_str_utf8());
        return ERR_INT;
    }
    if (name.front() == ' ' || name.back() == ' ') {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "TestBaseNameConflict : WhiteSpaceConflict '%s'.\n",
                base_name.c_str_utf8());
        return WhiteSpaceConflictRename(*root, GetPath(), base_name, client) == FsResult::kOk ? 0 : ERR_SYS;
    }
    if (name.back() == '.') {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "TestBaseNameConflict : TailCharacterConflict '%s'.\n",
                base_name.c_str_utf8());
        return ConflictRename(*root, GetPath(), client, "TailCharacterConflict") == FsResult::kOk ? 0 : ERR_SYS;
    }
    return 1;
}
