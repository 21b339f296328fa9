// Upload: the handler of a local event that is not a removal. It decides whether
// anything must cross the network (filters, vanished items, unchanged content), builds
// the request (attributes; for a file its content as a whole, as a delta against the
// version the server has, or as a reference), sends it plainly or resumably, acts on
// the server's answer and records what was sent.
//
// A file is read once for its hash, signature and delta, and its stat is taken before
// and after that read: a file that changed meanwhile is handed back, never sent or
// recorded with a stale hash. Putting a touched file's time back is done only after a
// fresh stat shows the size and time that were hashed, so a racing edit is never
// hidden behind the old time.
//
// A resumable upload (files above 512 KiB) keeps its request, resume token, delta and
// signature in resume.request / resume.sign_file between passes over the same event,
// so that a retry asks the server for the bytes it holds and sends only the rest.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cassert>

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "platform/temp_file.h"
#include "store/file_event_db.h"
#include "sync/conflict_rename.h"
#include "sync/worker.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"

namespace {

const char* const kChannel = "worker_debug";
// Files larger than this go with the resumable protocol.
constexpr uint64_t kResumeThreshold = 524288;

// Server codes the upload acts on itself.
constexpr uint32_t kErrNoBase = 0x9001;
constexpr uint32_t kErrBaseChanged = 0x9002;
constexpr uint32_t kErrConflictMacAttr = 0x6001;
constexpr uint32_t kErrInternal = 0x7000;

}  // namespace

int Worker::TestUploadLocalFilter() {
    notify_event_type = NOTIFY_NONE;
    const char* path = GetPath().c_str_utf8();
    int rc = TestCommonFilter();
    if (rc != 0) {
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", path, rc);
        if (IsSelectiveSyncCode(rc)) AddFilteredEventToDB(rc);
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    if (isFileLocked(GetFullPath(), FS_ACCESS_READ)) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n",
             GetId(), path);
        return ERR_LOCKED_FILE;
    }
    FILE_INFO st;
    if (root->Stat(GetPath(), st) != FsResult::kOk) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Failed to get file status for '%s'.\n", path);
        return ERR_SYS;
    }
    // Size limits concern files; a directory has no size of its own.
    if (st.isExist && st.type == FT_FILE) {
        rc = services.system_black_list->TestFileSize(st.size);
        bool own = false;
        if (rc == 0 && GetBlackList() != nullptr) {
            rc = GetBlackList()->TestFileSize(st.size);
            own = rc != 0;
        }
        if (rc != 0) {
            NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): Filtered Event: '%s' (blocked: %d)\n", path, rc);
            if (own && rc == FILTER_FILE_SIZE_SELECTIVE_SYNC) AddFilteredEventToDB(rc);
            notify_event_type = NOTIFY_FILTERED;
            return 0;
        }
    }
    return 1;
}

void Worker::PrepareAttributes(UploadRequest& request, uint32_t local_mtime) const {
    const ClientFileEventInfo& row = context.database_record;
    request.mtime_refer = row.syncID != 0 && local_mtime == row.fileModTime;
    request.mtime = local_mtime;
    // The resource fork is not kept on this platform: the server keeps its own. The
    // execute bit travels when it differs from what the server has (a script stays
    // runnable on the other clients).
    const bool exec = context.root_entry.root && context.root_entry.root->IsExecutable(GetPath());
    request.exec_refer = exec == (row.execBit != 0);
    request.exec_bit = exec;
}

bool Worker::IsFakeRequest(const PObject& request) {
    // The resource fork always goes as a reference, and a changed execute bit goes
    // without one: only the content decides.
    const UploadRequest sent = UploadRequest::From(request);
    if (!sent.is_dir && sent.has_content && !sent.content.refer) return false;
    NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): upload fake request\n");
    return true;
}

int Worker::WaitOutModificationSecond(const ustring& rel) {
    constexpr int kMaxWaitMs = 3000;
    for (int waited = 0;; waited += 50) {
        FileStamp s;
        if (StampOf(rel, s) != 0 || !s.exists) return 0;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const int64_t second = s.mtime_ns >= 0 ? s.mtime_ns / 1000000000 : -1;
        // Only the current second is a risk; a time in the future (a skewed clock, a
        // restored file) would never pass and is read as it is.
        if (second != (int64_t)now.tv_sec) return 0;
        if (abort_flag.load() != 0) return ERR_INT;
        if (waited >= kMaxWaitMs) {
            NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): '%s' is still being written, try it again later\n",
                 rel.c_str_utf8());
            return ERR_INT;
        }
        usleep(50 * 1000);
    }
}

int Worker::PrepareFileBlock(UploadContent& file, TempFile& sig, TempFile& delta, FILE_INFO& hashed, FileStamp& stamp) {
    const SessionRoot* root = context.root_entry.root.get();
    const ustring& path = GetPath();
    const ClientFileEventInfo& row = context.database_record;
    if (const int rc = WaitOutModificationSecond(path); rc != 0) return rc;
    FILE_INFO first;
    if (root == nullptr || root->Stat(path, first) != FsResult::kOk || !first.isExist) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to get file status for '%s', redo\n",
             path.c_str_utf8());
        return ERR_SYS;
    }
    hashed = first;
    if (StampOf(path, stamp) != 0 || !stamp.exists) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to get file status for '%s', redo\n",
             path.c_str_utf8());
        return ERR_SYS;
    }
    if (row.syncID != 0 && !LocallyModified(first, row, nullptr)) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): PrepareFileBlock: File '%s' is not modified (weak check)\n",
             path.c_str_utf8());
        file.size = first.size;
        file.hash = row.fileCheckSum;
        file.refer = true;
        return 0;
    }

    if (FSMKDirP(GetSignDirectory()) != FsResult::kOk || !sig.create()) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to create signature \n");
        return ERR_SYS;
    }
    ustring base_sig;
    if (row.syncID != 0 && row.fileType == 0 && row.fileSize != 0 && !row.signaturePath.empty() &&
        IsFileExist(row.signaturePath)) {
        ustring scratch;
        if (WorkingScratchDir(scratch) != 0 || !delta.create()) {
            NLOG(L_ERR, kChannel,
                 "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to create temporary delta file, try it again\n");
            return ERR_SYS;
        }
        NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): PrepareFileBlock: prepare delta file at '%s'\n",
             delta.getPath().c_str_utf8());
        base_sig = row.signaturePath;
    } else {
        NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): PrepareFileBlock: Cannot retrieve base event info for file '%s'\n",
             path.c_str_utf8());
    }
    ustring hash;
    int rc = ReadFileOnce(path, hash, sig.getPath(), base_sig, delta.getRelPath());
    if (rc != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to read file for '%s', try it again\n",
             path.c_str_utf8());
        return rc == ERR_INT ? ERR_INT : ERR_SYS;
    }
    if (hash == row.fileCheckSum) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): PrepareFileBlock: File content of '%s' is not changed, do refer\n",
             path.c_str_utf8());
        file.size = first.size;
        file.hash = hash;
        file.refer = true;
        return 0;
    }
    FileStamp second;
    if (StampOf(path, second) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: Failed to get file status for '%s', undo\n",
             path.c_str_utf8());
        return ERR_SYS;
    }
    if (!(second == stamp)) {
        NLOG(L_INFO, kChannel,
             "[INFO] worker.cpp(%d): PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
             "it again\n",
             path.c_str_utf8());
        return ERR_INT;
    }
    file.size = first.size;
    file.hash = hash;
    file.refer = false;
    if (!base_sig.empty()) {
        FILE_INFO d;
        const FsResult src = root->Stat(delta.getRelPath(), d);
        if (src != FsResult::kOk || !d.isExist) {
            NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): PrepareFileBlock: FSStat(%s) returns %d\n",
                 delta.getPath().c_str_utf8(), FsCode(src));
            return ERR_SYS;
        }
        file.is_delta = true;
        file.data_path = delta.getPath();
        file.data_length = d.size;
    } else {
        file.is_delta = false;
        file.data_path = GetFullPath();
        file.data_length = first.size;
    }
    return 0;
}

int Worker::ProtoUploadObject(Channel& channel, const PObject& request, PObject& response) {
    return RunProtocol(channel, SCMD_EVT_RECV_4, request, response);
}

int Worker::ProtoResumeUploadObject(Channel& channel, PObject& request, PObject& response) {
    const PObject& req = request;
    PObject ask;
    ask["session"] = req["session"];
    ask["view_id"] = req["view_id"];
    PObject answer;
    if (!req.hasMember("_resume_token")) {
        int rc = RequestResumeToken(channel, request, response, "UploadFile");
        if (rc != 0) return rc < 0 ? rc : 0;

        PObject dry = UploadDryRun(request);
        PObject dry_answer;
        rc = RunProtocol(channel, SCMD_EVT_RECV_4, dry, dry_answer);
        if (rc < 0) return rc;
        if (dry_answer.hasMember("error")) {
            NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Worker (%d): upload file: %s\n", GetId(),
                 dry_answer.toString().c_str_utf8());
            response = dry_answer;
            return 0;
        }
        const uint64_t file_id = UploadReply::From(dry_answer).file_id;
        if (file_id != 0) {
            NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): Server side has same file hash '%s' in file_id '%llu'.\n",
                 UploadRequest::From(req).content.hash.c_str_utf8(), (unsigned long long)file_id);
            ReferToServerContent(request, file_id);
        }
    } else {
        ask["_action"] = "resume_get_status";
        ask["_resume_token"] = req["_resume_token"];
        AppendAgent(ask);
        int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, ask, answer);
        if (rc < 0) return rc;
        if (answer.hasMember("error")) {
            response = answer;
            return 0;
        }
        const PObject& status = answer;
        PObject::binary_type* sent = UploadData(request);
        if (status["file"].hasMember("offset") && sent != nullptr) {
            const uint64_t offset = status["file"]["offset"].asUInt64();
            PObject::binary_type& data = *sent;
            if (offset > data.length) {
                // More than we have to send: its length would wrap. Start over.
                NLOG(L_WARNING, kChannel,
                     "[WARNING] worker.cpp(%d): Worker (%d): server offset %llu is past the %llu bytes of '%s', "
                     "upload starts again\n",
                     GetId(), (unsigned long long)offset, (unsigned long long)data.length, GetPath().c_str_utf8());
                ClearCache();
                return ERR_SERVER;
            }
            NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): Worker (%d): adjust upload file offset to %llu\n", GetId(),
                 (unsigned long long)offset);
            data.offset += offset;
            data.length -= offset;
        }
    }
    const int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
    return rc < 0 ? rc : 0;
}

int Worker::UploadErrorResult(const PObject& response) {
    const uint32_t code = ReplyErrorCode(response);
    const char* path = GetPath().c_str_utf8();
    if (code == kErrNoBase) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadFile: file is removed during transfer, try it again.\n");
        RemoveDatabaseInfo();
        return ERR_INT;
    }
    if (code == kErrBaseChanged) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadFile: '%s' is changed on the server side, wait \n", path);
        return 0;
    }
    if (code == kErrConflictMacAttr) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadFile: wait until '%s' is synced with server ... \n", path);
        return 0;
    }
    if ((code & 0xF000) == 0x6000) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadFile: Pathname '%s' conflict.\n", path);
        return KeepConflictCopy("Conflict", "made here and on the server under one name") == 0 ? ERR_INT : ERR_SYS;
    }
    if (code == kErrInternal) {
        // The row stays: an internal error says nothing about our base, and without the
        // row the next attempt would be sent as a new file, refused as a conflict with
        // the server's own version, and the edit would end under a conflict name while
        // that version never came back to this folder.
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadFile: Bad response: %s\n", response.toString().c_str_utf8());
        return ERR_INT;
    }
    if ((code & 0xF000) == 0xB000) return ERR_INT;
    const int mapped = ReplyError(response);
    NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadFile: Bad response: %s\n", GetErrorString(mapped));
    return mapped;
}

int Worker::CommitDatabaseUpload(const PObject& request, const PObject& response, const ClientFileEventInfo& row,
                                 const ustring& sign_path) {
    ClientFileEventInfo n;
    RowFromReply(response, n);
    const UploadRequest sent = UploadRequest::From(request);
    if (n.fileType == 1) {
        n.fileSize = 0;
    } else if (sent.has_content) {
        // What was sent (or referred to) is what the server now holds.
        n.fileSize = sent.content.size;
        n.fileCheckSum = sent.content.hash;
    } else {
        n.fileSize = row.fileSize;
        n.fileCheckSum = row.fileCheckSum;
    }
    n.fileModTime = sent.mtime_refer ? row.fileModTime : sent.mtime;
    n.macHash = row.macHash;  // the resource fork is never sent
    n.execBit = sent.exec_refer ? row.execBit : (sent.exec_bit ? 1 : 0);
    n.signaturePath = n.fileType == 1 ? ustring() : sign_path.empty() ? row.signaturePath : sign_path;
    return CommitDatabase(n);
}

int Worker::CheckLocalModification(const PObject& request) {
    const SessionRoot* root = context.root_entry.root.get();
    FILE_INFO st;
    if (root == nullptr || root->Stat(GetPath(), st) != FsResult::kOk) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Failed to get local file info at '%s'.\n",
             GetFullPath().c_str_utf8());
        return -1;
    }
    if (!st.isExist) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): File removed during upload progress, add event remove for '%s'\n",
             GetPath().c_str_utf8());
        PushRemoveEvent(GetPath(), UploadRequest::From(request).is_dir);
    }
    return 0;
}

int Worker::UploadLocal() {
    const ustring& path = GetPath();
    const char* cpath = path.c_str_utf8();
    const ustring base = LastComponent(path);
    // The daemon's own scratch and recycle folder never goes to the server.
    const std::string full = GetFullPath().str(), working = GetWorkingDirectory().str();
    if (!working.empty() && (full == working || full.rfind(working + "/", 0) == 0)) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadLocal: '%s' is in the working directory, skipped\n", cpath);
        return 0;
    }
    int rc = TestUploadLocalFilter();
    if (rc != 1) {
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): UploadLocal: File '%s' cannot pass filter testing '%d'.\n",
             cpath, rc);
        return rc;
    }
    std::shared_ptr<const SessionRoot> root = context.root_entry.root;
    assert(root != nullptr);  // TestUploadLocalFilter refuses a session without one

    SetCurrentProcessEventInfo(context.current_event.m_sess_id, path, W_TYPE_UPLOAD);
    FILE_INFO local;
    if (root->Stat(path, local) != FsResult::kOk) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: failed to get local file system info of '%s'\n",
             cpath);
        return ERR_SYS;
    }
    if (!local.isExist) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadLocal: '%s' cannot be uploaded (vanish)\n", cpath);
        return 0;
    }
    if (local.type != FT_FILE && local.type != FT_DIR) {
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadLocal: '%s' cannot be uploaded (unsupported file)\n",
             cpath);
        notify_event_type = NOTIFY_FILTERED;
        return 0;
    }
    rc = TestBaseNameConflict(base);
    if (rc != 1) return rc;

    const bool is_dir = local.type == FT_DIR;
    const ClientFileEventInfo row = context.database_record;
    FileStamp stamp;
    if (StampOf(path, stamp) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: failed to get local file system info of '%s'\n",
             cpath);
        return ERR_SYS;
    }
    if (resume.request.isMap() && !resume.request.isEmpty()) {
        const UploadRequest cached = UploadRequest::From(resume.request);
        // Size and time, and the finer stamp: an edit in the same second with the
        // same size must not resume the old content.
        if (is_dir || cached.mtime != local.mtime || cached.content.size != local.size || !(stamp == resume.stamp)) {
            NLOG(L_WARNING, kChannel,
                 "[WARNING] worker.cpp(%d): cached_request is differ from local file system for file '%s', just clear "
                 "cache\n",
                 cpath);
            ClearCache();
        }
    }

    ustring scratch;
    if (!is_dir && WorkingScratchDir(scratch) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: no working directory for '%s'\n", cpath);
        return ERR_SYS;
    }
    TempFile sig(GetSignDirectory());
    TempFile delta(root, scratch);
    FILE_INFO hashed = local;
    PObject request;
    const bool resumable = resume.request.isMap() && !resume.request.isEmpty();
    if (!resumable) {
        ConnectionPool* pool = pool_slot.get();
        const bool old_server = services.server_build() == PROTO_OLD_SERVER_BUILD;
        UploadRequest up;
        up.session = pool ? pool->getSession() : ustring();
        up.view_id = GetViewId();
        up.sync_id = old_server ? row.maxSyncID : row.syncID;
        up.has_max_id = !old_server;
        up.max_id = row.maxSyncID;
        up.path = GetServerPath();
        up.is_dir = is_dir;
        up.common_mtime = local.mtime;
        up.has_content = !is_dir;
        if (!is_dir) {
            rc = PrepareFileBlock(up.content, sig, delta, hashed, stamp);
            if (rc != 0) {
                NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: failed to prepare file block for '%s'. %s\n",
                     cpath, GetErrorString(rc));
                return rc;
            }
        }
        PrepareAttributes(up, hashed.mtime);
        up.resumable = !is_dir && hashed.size > kResumeThreshold;
        request = up.ToValue();
        if (up.resumable) {
            // Kept for a retry of this event: the request (with its token, later), the
            // delta it names and the new signature.
            if (!up.content.refer && up.content.data_path == delta.getPath()) delta.convert_permanent();
            sig.convert_permanent();
            resume.sign_file = sig.getPath();
            resume.request = request;
            resume.kind = TransferResume::Kind::kUpload;
            resume.stamp = stamp;
        }
    } else {
        request = resume.request;
    }

    if (row.syncID != 0 && IsFakeRequest(request)) {
        if (!UploadRequest::From(request).mtime_refer) {
            NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): UploadLocal: Dir attr of '%s' is not changed, adjust mtime back\n",
                 cpath);
            // Only the state that was compared may get the old time: a write landing
            // since then must stay visible as a change.
            FileStamp now;
            if (StampOf(path, now) != 0 || !(now == stamp)) {
                NLOG(L_INFO, kChannel,
                     "[INFO] worker.cpp(%d): UploadLocal: '%s' changed after it was compared, try it again\n", cpath);
                return ERR_INT;
            }
            if (root->UTime(path, row.fileModTime) != FsResult::kOk) {
                NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: failed to set the time of '%s' back\n",
                     cpath);
                return ERR_SYS;
            }
        }
        return 0;
    }

    PObject response;
    {
        const bool resume = UploadRequest::From(request).resumable;
        const LeaseOutcome out = Leased(response, [&](Channel& channel) {
            return resume ? ProtoResumeUploadObject(channel, request, response)
                          : ProtoUploadObject(channel, request, response);
        });
        if (out.stage == LeaseStage::kNoPool || out.stage == LeaseStage::kSetUp)
            NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadFile: Failed to establish communication channel.\n");
        if (out.stage != LeaseStage::kDone) return out.code;
        rc = out.code;
    }

    if (response.hasMember("error")) {
        ClearCache();
        return UploadErrorResult(response);
    }
    // A success must name the new version, of the kind that was sent.
    const PObject& answer = response;
    if (!UploadReply::From(answer).NamesNewVersion(UploadRequest::From(request).is_dir)) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadFile: Bad response: %s\n", answer.toString().c_str_utf8());
        ClearCache();
        return ERR_SERVER;
    }

    const ustring sign_path = resumable || !resume.sign_file.empty() ? resume.sign_file : sig.getPath();
    if (CommitDatabaseUpload(request, response, row, sign_path) != 0) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: Failed to update local event database.\n");
        return ERR_SYS;
    }
    // The database has taken the signature file over.
    sig.convert_permanent();
    resume.sign_file.clear();
    if (CheckLocalModification(request) != 0)
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): UploadLocal: Failed to CheckLocalModification.\n");
    notify_event_type = NOTIFY_CLIENT_MODIFY;
    ClearCache();
    return 0;
}
