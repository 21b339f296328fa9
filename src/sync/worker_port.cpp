// Worker: what the handlers use of it (the port): the status the control plane sees,
// the transfer cache, the server exchange and the filter tests. Nothing here calls the
// loop or a handler, so the loop (worker.cpp) sits above the handlers and the handlers
// above this file and worker_files.cpp: the worker's files call each other in one
// direction only.
#include <unistd.h>

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "filter/white_list.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/session_folders.h"
#include "sync/conflict_rename.h"
#include "sync/proto_sites.h"
#include "sync/with_lease.h"
#include "sync/worker.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"

namespace {

const char* const kChannel = "worker_debug";

// Deletes a binary's file when it is a scratch file inside dir.
void DropScratch(const PObject& value, const ustring& dir) {
    if (!value.isBinary() || dir.empty()) return;
    const std::string path = value.asBinary().path.str();
    const std::string prefix = dir.str() + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return;
    if (path.find("/..", prefix.size() - 1) != std::string::npos) return;
    unlink(path.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Status seen by the control plane

void Worker::GetWorkingStatus(uint64_t& session_id, ustring& path, WorkingType& working_type, uint64_t& sent,
                              uint64_t& total) {
    session_id = 0;
    path.clear();
    working_type = W_TYPE_NONE;
    sent = 0;
    total = 0;
    if (GetState() != RUN) return;

    ustring item;
    uint64_t done = 0, size = 0;
    trans_stream.GetStatus(item, done, size);
    if (item == "file.file.data") {
        sent = done;
        total = size;
    }
    MutexLock l(worker_state_lock);
    session_id = m_current_event.session_id;
    path = m_current_event.path;
    working_type = m_current_event.working_type;
}

void Worker::GetCurrentProcessEventInfo(ProcessEvent_T& out) {
    MutexLock l(worker_state_lock);
    out = m_current_event;
}

void Worker::SetCurrentProcessEventInfo(uint64_t session_id, const ustring& path, WorkingType working_type) {
    MutexLock l(worker_state_lock);
    m_current_event.session_id = session_id;
    m_current_event.path = path;
    m_current_event.working_type = working_type;
}

void Worker::ClearCurrentProcessEventInfo() { SetCurrentProcessEventInfo(0, ustring(), W_TYPE_NONE); }

void Worker::PublishCurrentEvent() {
    const Event& e = context.current_event;
    if (e.isExpand() || e.isRescan())
        ClearCurrentProcessEventInfo();
    else
        SetCurrentProcessEventInfo(e.m_sess_id, e.m_path, W_TYPE_NONE);
}

void Worker::ClearCache() {
    for (PObject* v : {&resume.response, &resume.request}) {
        const PObject& value = *v;
        if (value.isMap()) {
            DropScratch(value["file"]["data"], context.working_directory);
            DropScratch(value["mac_attribute"]["data"], context.working_directory);
        }
        v->clear();
    }
    if (!resume.sign_file.empty()) {
        unlink(resume.sign_file.c_str_utf8());
        resume.sign_file.clear();
    }
    resume.kind = TransferResume::Kind::kNone;
}

ustring Worker::GetRecycleBinDir() const { return context.working_directory + "/" + session_folders::kRecycleFolder; }

int Worker::streamErr2DaemonErr(StreamResult stream_code) {
    if (abort_flag.exchange(0) != 0) {
        if (GetState() == PAUSE) return ERR_CH_CONNECTION_ABORT;
        ClearCache();
        return ERR_INT;
    }
    switch (stream_code) {
    case StreamResult::kDiskFull: ClearCache(); return ERR_LOCAL_DISKFULL;
    case StreamResult::kIo: return ERR_IO;
    case StreamResult::kSys:
    case StreamResult::kStream: ClearCache(); return ERR_SYS;
    case StreamResult::kOk: break;
    }
    return 0;
}

int Worker::ReplyError(const PObject& reply) {
    // The worker's table: only the flags and the log channel of the site matter here.
    // No specific meaning gives ERR_SERVER: the request is retried.
    static const ProtoSite kTable = WorkerSite(0);
    return ReplyResult(kTable, reply);
}

// ---------------------------------------------------------------------------------------
// Server exchange

ProtoSite Worker::Site() {
    ProtoSite site =
        WorkerSite(GetId(), context.working_directory, [this](StreamResult code) { return streamErr2DaemonErr(code); });
    site.recv_root = context.root_entry.root;
    site.stream = &trans_stream;
    return site;
}

int Worker::RunProtocol(Channel& channel, uint8_t command, const PObject& request, PObject& response) {
    // The server may already have committed an upload when a pause comes: its reply
    // is still awaited, for a bounded time (the next pull's echo test settles the rest).
    ProtoReplyWait wait;
    const ustring action = request["_action"].asString();
    wait.may_commit = action == "upload" || action == "resume_upload";
    return ::RunProtocol(Site(), channel, command, request, response, wait);
}

int Worker::Exchange(uint8_t command, const PObject& request, PObject& reply) {
    const LeaseOutcome out =
        Leased(reply, [&](Channel& channel) { return RunProtocol(channel, command, request, reply); });
    if (out.stage == LeaseStage::kNoPool)
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Worker (%d): no server connection\n", GetId());
    return out.stage == LeaseStage::kDone ? ReplyError(reply) : out.code;
}

LeaseOutcome Worker::Leased(const PObject& reply, const std::function<int(Channel&)>& exchange) {
    return WithLease(pool_slot, &abort_flag, Site(), context.root_entry.view_id, reply, exchange);
}

// ---------------------------------------------------------------------------------------
// Filter tests

int Worker::TestWhiteList() {
    const ustring& path = GetPath();
    if (path.empty() || path == "/") return 0;
    WhiteListCpp* list = GetWhiteList();
    if (list == nullptr) return 0;
    return list->Test(LastComponent(path)) ? 0 : -1;
}

int Worker::TestFilePath(const ustring& path, uint64_t full_path_length) {
    BlackList2& system = *services.system_black_list;
    int rc = system.TestFullPathSize(full_path_length);
    if (rc == 0) rc = system.TestFilePath(path);
    BlackList2* own = GetBlackList();
    if (rc == 0 && own) rc = own->TestFullPathSize(full_path_length);
    if (rc == 0 && own) rc = own->TestFilePath(path);
    return rc;
}

int Worker::TestDirectory(const ustring& path, uint64_t full_path_length) {
    BlackList2& system = *services.system_black_list;
    int rc = system.TestFullPathSize(full_path_length);
    if (rc == 0) rc = system.TestDirectoryPath(path);
    BlackList2* own = GetBlackList();
    if (rc == 0 && own) rc = own->TestFullPathSize(full_path_length);
    if (rc == 0 && own) rc = own->TestDirectoryPath(path);
    return rc;
}

int Worker::TestBlackListPath() {
    const uint64_t len = GetFullPath().length();
    if (context.current_event.isDir()) {
        int rc = TestDirectory(GetPath(), len);
        if (rc != 0)
            NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): TestBlackListPath: Directory '%s' (blocked: %d)\n",
                 GetPath().c_str_utf8(), rc);
        return rc;
    }
    int rc = TestFilePath(GetPath(), len);
    if (rc != 0)
        NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): TestBlackListPath: File '%s' (blocked: %d)\n",
             GetPath().c_str_utf8(), rc);
    return rc;
}

// The white list's refusal counts as the selective-sync extension rule.
int Worker::TestCommonFilter() { return TestWhiteList() != 0 ? FILTER_EXT_SELECTIVE_SYNC : TestBlackListPath(); }

int Worker::TestBaseNameConflict(const ustring& base_name) {
    const std::string name = base_name.str();
    if (name.empty()) return 1;
    ConnectionPool* pool = pool_slot.get();
    const ustring client = pool ? pool->getClientName() : ustring();
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    if (name.front() == ' ' || name.back() == ' ') {
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): TestBaseNameConflict : WhiteSpaceConflict '%s'.\n",
             base_name.c_str_utf8());
        return WhiteSpaceConflictRename(*root, GetPath(), base_name, client) == FsResult::kOk ? 0 : ERR_SYS;
    }
    if (name.back() == '.') {
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): TestBaseNameConflict : TailCharacterConflict '%s'.\n",
             base_name.c_str_utf8());
        return ConflictRename(*root, GetPath(), client, "TailCharacterConflict") == FsResult::kOk ? 0 : ERR_SYS;
    }
    return 1;
}
