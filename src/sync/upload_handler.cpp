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
#include "sync/upload_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <memory>

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "platform/temp_file.h"
#include "store/file_event_db.h"
#include "sync/conflict_rename.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"

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

UploadHandler::UploadHandler(WorkerPort& port, const SyncServices& services)
    : port(port), services(services), context(port.Context()) {}

void UploadHandler::Clear(const ustring& working_directory) {
    if (resume.request.isMap()) {
        DropScratch(resume.request["file"]["data"], working_directory);
        DropScratch(resume.request["mac_attribute"]["data"], working_directory);
    }
    resume.request.clear();
    if (!resume.sign_file.empty()) {
        unlink(resume.sign_file.c_str_utf8());
        resume.sign_file.clear();
    }
}

int UploadHandler::TestUploadLocalFilter() {
    port.SetNotify(WorkerPort::NOTIFY_NONE);
    const char* path = port.GetPath().c_str_utf8();
    int rc = port.TestCommonFilter();
    if (rc != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (blocked: %d)\n", path, rc);
        if (IsSelectiveSyncCode(rc)) (void)port.AddFilteredEventToDB(rc);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    // Trying again helps only once its mode changes, and the detector sees that (a
    // folder's content is rescanned then). Meanwhile it is listed, and nothing of it
    // goes to the server nor is removed there. Only a refusal pays for this check.
    auto unreadable = [&] {
        if (!root->Unreadable(port.GetPath())) return false;
        (void)root->NoteUnsyncable(port.GetPath(), SessionRoot::kUnreadable);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return true;
    };
    if (isFileLocked(port.GetFullPath(), FS_ACCESS_READ)) {
        if (unreadable()) return 0;
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): unable to handle locked/no permission file '%s'.\n",
                port.WorkerId(), path);
        return ERR_LOCKED_FILE;
    }
    FILE_INFO st;
    if (root->Stat(port.GetPath(), st) != FsResult::kOk) {
        if (unreadable()) return 0;
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Failed to get file status for '%s'.\n", path);
        return ERR_SYS;
    }
    (void)root->ForgetUnreadable(port.GetPath(), false);  // its mode was given back
    // Size limits concern files; a directory has no size of its own.
    if (st.isExist && st.type == FT_FILE && !PassesSizeFilter(st.size)) return 0;
    return 1;
}

bool UploadHandler::PassesSizeFilter(uint64_t size) {
    int rc = services.system_black_list->TestFileSize(size);
    bool own = false;
    if (rc == 0 && port.GetBlackList() != nullptr) {
        rc = port.GetBlackList()->TestFileSize(size);
        own = rc != 0;
    }
    if (rc == 0) return true;
    NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (blocked: %d)\n", port.GetPath().c_str_utf8(), rc);
    if (own && rc == FILTER_FILE_SIZE_SELECTIVE_SYNC) (void)port.AddFilteredEventToDB(rc);
    port.SetNotify(WorkerPort::NOTIFY_FILTERED);
    return false;
}

void UploadHandler::PrepareAttributes(PObject& request, uint32_t local_mtime) const {
    const ClientFileEventInfo& row = context.database_record;
    request["mtime"]["refer"] = (uint64_t)(row.syncID != 0 && local_mtime == row.fileModTime ? 1 : 0);
    request["mtime"]["mtime"] = (uint64_t)local_mtime;
    // The resource fork is not kept on this platform: the server keeps its own. The
    // execute bit travels when it differs from what the server has (a script stays
    // runnable on the other clients).
    request["mac_attribute"]["refer"] = (uint64_t)1;
    const bool exec = context.root_entry.root && context.root_entry.root->IsExecutable(port.GetPath());
    if (exec == (row.execBit != 0))
        request["exec_bit"]["refer"] = (uint64_t)1;
    else
        request["exec_bit"]["exec_bit"] = (uint64_t)exec;
}

bool UploadHandler::IsFakeRequest(const PObject& request) {
    if (!request["is_dir"].asBool() && request.hasMember("file") && request["file"]["refer"].asUInt64() != 1)
        return false;
    for (const char* key : {"mac_attribute", "exec_bit"}) {
        const PObject& attr = request[key];
        if (attr.hasMember("refer") && attr["refer"].asUInt64() != 1) return false;
    }
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "upload fake request\n");
    return true;
}

int UploadHandler::WaitOutTimestampTick(const ustring& rel) {
    constexpr int kMaxWaitMs = 3000;
    for (int waited = 0;; waited += 20) {
        FileStamp s;
        if (port.StampOf(rel, s) != StepResult::kOk || !s.exists || s.Settled(WorkerPort::WallNowNs())) return 0;
        if (port.Aborted()) return ERR_INT;
        if (waited >= kMaxWaitMs) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "'%s' is still being written, try it again later\n",
                    rel.c_str_utf8());
            return ERR_INT;
        }
        usleep(20 * 1000);
    }
}

int UploadHandler::PrepareFileBlock(PObject& request, TempFile& sig, TempFile& delta, FILE_INFO& hashed,
                                    FileStamp& stamp) {
    const SessionRoot* root = context.root_entry.root.get();
    const ustring& path = port.GetPath();
    const ClientFileEventInfo& row = context.database_record;
    if (const int rc = WaitOutTimestampTick(path); rc != 0) return rc;
    FILE_INFO first;
    if (root == nullptr || root->Stat(path, first) != FsResult::kOk || !first.isExist) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: Failed to get file status for '%s', redo\n",
                path.c_str_utf8());
        return ERR_SYS;
    }
    hashed = first;
    if (port.StampOf(path, stamp) != StepResult::kOk || !stamp.exists) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: Failed to get file status for '%s', redo\n",
                path.c_str_utf8());
        return ERR_SYS;
    }
    // The size sent is the one stated first; the stamp the content is checked against
    // must be of that same size (a writer between the two would get a tail cut off).
    if (stamp.size != first.size) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "'%s' is still being written, try it again later\n", path.c_str_utf8());
        return ERR_INT;
    }
    // The size that is read and sent passes the size filters, whatever the size the
    // event was admitted with (a file written in place grows after its first event).
    if (!PassesSizeFilter(stamp.size)) return kFiltered;
    PObject& file = request["file"];
    // Size and seconds can stay the same through an edit (a time put back, a time
    // clamped to 32 bits, a file replaced within one second): only the row's own
    // stamp, when it matches, tells that nothing changed.
    if (row.syncID != 0 && row.stamp.known() && row.stamp == stamp.AsRow() &&
        !port.LocallyModified(first, row, nullptr)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "PrepareFileBlock: File '%s' is not modified (weak check)\n",
                path.c_str_utf8());
        file["size"] = first.size;
        file["hash"] = row.fileCheckSum;
        file["refer"] = (uint64_t)1;
        return 0;
    }

    const bool small = first.size < kSignatureFromBytes;
    if (!small && (FSMKDirP(port.GetSignDirectory()) != FsResult::kOk || !sig.create())) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: Failed to create signature \n");
        return ERR_SYS;
    }
    ustring base_sig;
    if (!small && row.syncID != 0 && row.fileType == 0 && row.fileSize != 0 && !row.signaturePath.empty() &&
        IsFileExist(row.signaturePath)) {
        ustring scratch;
        if (port.WorkingScratchDir(scratch) != 0 || !delta.create()) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp",
                    "PrepareFileBlock: Failed to create temporary delta file, try it again\n");
            return ERR_SYS;
        }
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PrepareFileBlock: prepare delta file at '%s'\n",
                delta.getPath().c_str_utf8());
        base_sig = row.signaturePath;
    } else {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PrepareFileBlock: Cannot retrieve base event info for file '%s'\n",
                path.c_str_utf8());
    }
    ustring hash;
    // A whole upload streams the very file that was hashed: kept open here, never
    // opened again by its name (which a FIFO or another file may have taken since).
    int kept_fd = -1;
    int rc = port.ReadFileOnce(path, hash, sig.getPath(), base_sig, delta.getRelPath(),
                               base_sig.empty() ? &kept_fd : nullptr);
    const std::shared_ptr<const int> opened =
        kept_fd < 0 ? nullptr : std::shared_ptr<const int>(new int(kept_fd), [](const int* p) {
            close(*p);
            delete p;
        });
    if (rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: Failed to read file for '%s', try it again\n",
                path.c_str_utf8());
        return rc == ERR_INT ? ERR_INT : ERR_SYS;
    }
    FileStamp second;
    if (port.StampOf(path, second) != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: Failed to get file status for '%s', undo\n",
                path.c_str_utf8());
        return ERR_SYS;
    }
    if (!(second == stamp)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp",
                "PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
                "it again\n",
                path.c_str_utf8());
        return ERR_INT;
    }
    if (hash == row.fileCheckSum) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "PrepareFileBlock: File content of '%s' is not changed, do refer\n",
                path.c_str_utf8());
        file["size"] = first.size;
        file["hash"] = hash;
        file["refer"] = (uint64_t)1;
        return 0;
    }
    file["size"] = first.size;
    file["hash"] = hash;
    file["refer"] = (uint64_t)0;
    if (!base_sig.empty()) {
        FILE_INFO d;
        const FsResult src = root->Stat(delta.getRelPath(), d);
        if (src != FsResult::kOk || !d.isExist) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareFileBlock: FSStat(%s) returns %d\n",
                    delta.getPath().c_str_utf8(), FsCode(src));
            return ERR_SYS;
        }
        file["is_delta"] = (uint64_t)1;
        file["data"] = PObject::binary_type(delta.getPath(), 0, d.size);
    } else {
        // Checked once more against the stamp it was read under: a write since the
        // read goes round again rather than up with a hash that no longer fits.
        struct stat st {};
        const bool same = opened != nullptr && fstat(*opened, &st) == 0 && (uint64_t)st.st_ino == stamp.inode &&
                          (uint64_t)st.st_size == stamp.size &&
                          (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec == stamp.mtime_ns &&
                          (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec == stamp.ctime_ns;
        if (!same) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "PrepareFileBlock: '%s' changed after it was read, try it again\n",
                    path.c_str_utf8());
            return ERR_INT;
        }
        file["is_delta"] = (uint64_t)0;
        file["data"] = PObject::binary_type(port.GetFullPath(), opened, 0, first.size);
    }
    return 0;
}

int UploadHandler::ProtoUploadObject(Channel& channel, const PObject& request, PObject& response) {
    return port.RunProtocol(channel, SCMD_EVT_RECV_4, request, response);
}

int UploadHandler::ProtoResumeUploadObject(Channel& channel, PObject& request, PObject& response) {
    const PObject& req = request;
    PObject ask;
    ask["session"] = req["session"];
    ask["view_id"] = req["view_id"];
    PObject answer;
    if (!req.hasMember("_resume_token")) {
        int rc = port.RequestResumeToken(channel, request, response, "UploadFile");
        if (rc != 0) return rc < 0 ? rc : 0;
        if (resume.Held()) resume.request["_resume_token"] = request["_resume_token"];  // a retry resumes with it

        PObject dry = request;
        dry["_action"] = "upload";
        dry["dry_run"] = (uint64_t)1;
        if (dry["file"].isMap()) dry["file"].asMap().erase("data");
        if (dry["mac_attribute"].isMap()) dry["mac_attribute"].asMap().erase("data");
        PObject dry_answer;
        rc = port.RunProtocol(channel, SCMD_EVT_RECV_4, dry, dry_answer);
        if (rc < 0) return rc;
        if (dry_answer.hasMember("error")) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): upload file: %s\n", port.WorkerId(),
                    dry_answer.toString().c_str_utf8());
            response = dry_answer;
            return 0;
        }
        const uint64_t file_id = static_cast<const PObject&>(dry_answer)["file"]["file_id"].asUInt64();
        if (file_id != 0) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "Server side has same file hash '%s' in file_id '%llu'.\n",
                    req["file"]["hash"].asString().c_str_utf8(), (unsigned long long)file_id);
            request["file"]["refer"] = (uint64_t)1;
            request["file"]["file_id"] = file_id;
            request["file"].asMap().erase("data");
        }
    } else {
        ask["_action"] = "resume_get_status";
        ask["_resume_token"] = req["_resume_token"];
        AppendAgent(ask);
        int rc = port.RunProtocol(channel, SCMD_RESUME_TRANSFER, ask, answer);
        if (rc < 0) return rc;
        if (answer.hasMember("error")) {
            response = answer;
            return 0;
        }
        const PObject& status = answer;
        if (status["file"].hasMember("offset") && req["file"]["data"].isBinary()) {
            const uint64_t offset = status["file"]["offset"].asUInt64();
            PObject::binary_type& data = request["file"]["data"].asBinary();
            if (offset > data.length) {
                // More than we have to send: its length would wrap. Start over.
                NLOG_AT(L_WARNING, kChannel, "worker.cpp",
                        "Worker (%d): server offset %llu is past the %llu bytes of '%s', "
                        "upload starts again\n",
                        port.WorkerId(), (unsigned long long)offset, (unsigned long long)data.length,
                        port.GetPath().c_str_utf8());
                port.ClearCache();
                return ERR_SERVER;
            }
            NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): adjust upload file offset to %llu\n",
                    port.WorkerId(), (unsigned long long)offset);
            data.offset += offset;
            data.length -= offset;
        }
    }
    const int rc = port.RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
    return rc < 0 ? rc : 0;
}

int UploadHandler::UploadErrorResult(const PObject& response) {
    const uint32_t code = ReplyErrorCode(response);
    const char* path = port.GetPath().c_str_utf8();
    if (code == kErrNoBase) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadFile: file is removed during transfer, try it again.\n");
        (void)port.RemoveDatabaseInfo();
        return ERR_INT;
    }
    if (code == kErrBaseChanged) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadFile: '%s' is changed on the server side, wait \n", path);
        return 0;
    }
    if (code == kErrConflictMacAttr) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadFile: wait until '%s' is synced with server ... \n", path);
        return 0;
    }
    if ((code & 0xF000) == 0x6000) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadFile: Pathname '%s' conflict.\n", path);
        // A conflict copy is never renamed again (a name of names, longer each time):
        // it is tried again later, as the server's word about a new name cannot last.
        if (IsConflictName(port.GetPath(), "Conflict")) return ERR_INT;
        return port.KeepConflictCopy("Conflict", "made here and on the server under one name") == 0 ? ERR_INT : ERR_SYS;
    }
    if (code == kErrInternal) {
        // The row stays: an internal error says nothing about our base, and without the
        // row the next attempt would be sent as a new file, refused as a conflict with
        // the server's own version, and the edit would end under a conflict name while
        // that version never came back to this folder.
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadFile: Bad response: %s\n", response.toString().c_str_utf8());
        return ERR_INT;
    }
    if ((code & 0xF000) == 0xB000) return ERR_INT;
    const int mapped = port.ReplyError(response);
    NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadFile: Bad response: %s\n", GetErrorString(mapped));
    return mapped;
}

StepResult UploadHandler::CommitDatabaseUpload(const PObject& request, const PObject& response,
                                               const ClientFileEventInfo& row, const ustring& sign_path,
                                               const FileStamp& stamp) {
    ClientFileEventInfo n;
    port.RowFromReply(response, n);
    if (n.fileType == 1) {
        n.fileSize = 0;
    } else if (request.hasMember("file")) {
        // What was sent (or referred to) is what the server now holds, read under stamp.
        n.fileSize = request["file"]["size"].asUInt64();
        n.fileCheckSum = request["file"]["hash"].asString();
        n.stamp = stamp.AsRow();
    } else {
        n.fileSize = row.fileSize;
        n.fileCheckSum = row.fileCheckSum;
    }
    const PObject& mtime = request["mtime"];
    n.fileModTime = mtime.hasMember("mtime") && !mtime["refer"].asBool() ? mtime["mtime"].asUInt32() : row.fileModTime;
    const PObject& mac = request["mac_attribute"];
    n.macHash = mac.hasMember("hash") && !mac["refer"].asBool() ? mac["hash"].asString() : row.macHash;
    const PObject& exec = request["exec_bit"];
    n.execBit = exec.hasMember("exec_bit") && !exec["refer"].asBool() ? exec["exec_bit"].asUInt32() : row.execBit;
    // New content without a signature (a small file) must not keep the old version's.
    const bool new_content = request.hasMember("file") && !request["file"]["refer"].asBool();
    n.signaturePath = n.fileType == 1 || (new_content && sign_path.empty()) ? ustring()
                      : sign_path.empty()                                   ? row.signaturePath
                                                                            : sign_path;
    return port.CommitDatabase(n);
}

StepResult UploadHandler::CheckLocalModification(const PObject& request) {
    const SessionRoot* root = context.root_entry.root.get();
    FILE_INFO st;
    if (root == nullptr || root->Stat(port.GetPath(), st) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Failed to get local file info at '%s'.\n",
                port.GetFullPath().c_str_utf8());
        return StepResult::kFailed;
    }
    if (!st.isExist) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "File removed during upload progress, add event remove for '%s'\n",
                port.GetPath().c_str_utf8());
        port.PushRemoveEvent(port.GetPath(), request["is_dir"].asBool());
    }
    return StepResult::kOk;
}

int UploadHandler::Admit(Item& item) {
    const ustring& path = port.GetPath();
    const char* cpath = path.c_str_utf8();
    // The daemon's own scratch and recycle folder never goes to the server.
    const std::string full = port.GetFullPath().str(), working = port.GetWorkingDirectory().str();
    if (!working.empty() && (full == working || full.rfind(working + "/", 0) == 0)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' is in the working directory, skipped\n", cpath);
        return 0;
    }
    int rc = TestUploadLocalFilter();
    if (rc != kGoOn) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "UploadLocal: File '%s' cannot pass filter testing '%d'.\n", cpath,
                rc);
        return rc;
    }
    const SessionRoot* root = context.root_entry.root.get();
    assert(root != nullptr);  // TestUploadLocalFilter refuses a session without one

    port.SetCurrentProcessEventInfo(context.current_event.m_sess_id, path, WorkerPort::W_TYPE_UPLOAD);
    if (root->Stat(path, item.local) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: failed to get local file system info of '%s'\n", cpath);
        return ERR_SYS;
    }
    if (!item.local.isExist) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' cannot be uploaded (vanish)\n", cpath);
        return 0;
    }
    if (item.local.type != FT_FILE && item.local.type != FT_DIR) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' cannot be uploaded (unsupported file)\n", cpath);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    rc = port.TestBaseNameConflict(LastComponent(path));
    if (rc != kGoOn) return rc;

    item.is_dir = item.local.type == FT_DIR;
    item.row = context.database_record;
    if (item.row.syncID != 0 && item.is_dir != (item.row.fileType == 1)) {
        // The server holds the other type under this name: that one is removed first
        // (its removal uploads this item when done); sent now, a folder would read as
        // unchanged and a file as a conflict with the server's own version.
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' changed its type, remove the old one first\n",
                cpath);
        port.PushRemoveEvent(path, item.row.fileType == 1);
        return 0;
    }
    if (InsideReplacedFile(path)) {
        // The server still holds the file this item's folder replaced; sent now, the
        // item would meet it as a conflict. The file's removal queues the whole folder.
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' waits for the type change above it\n", cpath);
        return 0;
    }
    if (port.StampOf(path, item.stamp) != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: failed to get local file system info of '%s'\n", cpath);
        return ERR_SYS;
    }
    return kGoOn;
}

bool UploadHandler::InsideReplacedFile(const ustring& path) {
    FileEventDB* db = port.GetEventDatabase();
    ClientFileEventInfo row;
    for (ustring at = ParentOf(path); db != nullptr && at != "/"; at = ParentOf(at))
        if (db->getEventInfo(at, row) == DbLookup::kFound) return row.syncID != 0 && row.fileType == 0;
    return false;
}

void UploadHandler::DropStaleResume(const Item& item) {
    if (!resume.Held()) return;
    const PObject& cached = resume.request;
    // Size and time, and the finer stamp: an edit in the same second with the
    // same size must not resume the old content.
    if (item.is_dir || cached["mtime"]["mtime"].asUInt64() != item.local.mtime ||
        cached["file"]["size"].asUInt64() != item.local.size || !(item.stamp == resume.stamp)) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp",
                "cached_request is differ from local file system for file '%s', just clear "
                "cache\n",
                port.GetPath().c_str_utf8());
        port.ClearCache();
    }
}

int UploadHandler::BuildRequest(Item& item, TempFile& sig, TempFile& delta, PObject& request) {
    const ClientFileEventInfo& row = item.row;
    ConnectionPool* pool = port.Pool();
    const bool old_server = services.server_build() == PROTO_OLD_SERVER_BUILD;
    request["session"] = pool ? pool->getSession() : ustring();
    request["view_id"] = port.GetViewId();
    request["sync_id"] = old_server ? row.maxSyncID : row.syncID;
    if (!old_server) request["max_id"] = row.maxSyncID;
    request["path"] = port.GetServerPath();
    request["is_dir"] = (uint64_t)(item.is_dir ? 1 : 0);
    request["common_attribute"]["mtime"] = (uint64_t)item.local.mtime;
    FILE_INFO hashed = item.local;
    if (!item.is_dir) {
        const int rc = PrepareFileBlock(request, sig, delta, hashed, item.stamp);
        if (rc == kFiltered) return rc;
        if (rc != 0) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: failed to prepare file block for '%s'. %s\n",
                    port.GetPath().c_str_utf8(), GetErrorString(rc));
            return rc;
        }
    }
    PrepareAttributes(request, hashed.mtime);
    if (!item.is_dir && hashed.size > kResumeThreshold) {
        request["_action"] = "resume_upload";
        AppendAgent(request);
        // Kept for a retry of this event: the request (with its token, later), the
        // delta it names and the new signature.
        if (request["file"]["data"].isBinary() && request["file"]["data"].asBinary().path == delta.getPath())
            delta.convert_permanent();
        sig.convert_permanent();
        resume.sign_file = sig.getPath();
        resume.request = request;
        resume.stamp = item.stamp;
    } else {
        request["_action"] = "upload";
        AppendAgent(request);
    }
    return 0;
}

int UploadHandler::SettleFakeRequest(const PObject& request, const Item& item) {
    const ustring& path = port.GetPath();
    const char* cpath = path.c_str_utf8();
    if (request["mtime"]["refer"].asUInt64() != 0) {
        KeepStamp(item, item.stamp);
        return 0;
    }
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: Dir attr of '%s' is not changed, adjust mtime back\n", cpath);
    // Only the state that was compared may get the old time: a write landing
    // since then must stay visible as a change.
    FileStamp now;
    if (port.StampOf(path, now) != StepResult::kOk || !(now == item.stamp)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: '%s' changed after it was compared, try it again\n",
                cpath);
        return ERR_INT;
    }
    if (context.root_entry.root->UTime(path, item.row.fileModTime) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: failed to set the time of '%s' back\n", cpath);
        return ERR_SYS;
    }
    // The stamp after the time went back, kept only while nothing else happened since:
    // a write would have left another time or size.
    if (port.StampOf(path, now) == StepResult::kOk && now.exists && now.size == item.stamp.size &&
        now.inode == item.stamp.inode && now.mtime_ns == (int64_t)item.row.fileModTime * 1000000000)
        KeepStamp(item, now);
    return 0;
}

void UploadHandler::KeepStamp(const Item& item, const FileStamp& stamp) {
    // A folder has no stamp; a row whose stamp already matches needs no write.
    if (item.is_dir || item.row.stamp == stamp.AsRow()) return;
    ClientFileEventInfo row = item.row;
    row.stamp = stamp.AsRow();
    if (port.CommitDatabase(row) != StepResult::kOk)
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "UploadLocal: the stamp of '%s' is not kept\n",
                port.GetPath().c_str_utf8());
}

LeaseOutcome UploadHandler::Send(PObject& request, PObject& response) {
    const bool resumable = request["_action"].asString() == "resume_upload";
    const LeaseOutcome out = port.Leased(response, [&](Channel& channel) {
        return resumable ? ProtoResumeUploadObject(channel, request, response)
                         : ProtoUploadObject(channel, request, response);
    });
    if (out.stage == LeaseStage::kNoPool || out.stage == LeaseStage::kSetUp)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadFile: Failed to establish communication channel.\n");
    return out;
}

int UploadHandler::Record(const PObject& request, const PObject& response, const Item& item, bool resumed,
                          TempFile& sig) {
    const ClientFileEventInfo& row = item.row;
    if (response.hasMember("error")) {
        port.ClearCache();
        return UploadErrorResult(response);
    }
    // A success must name the new version, of the kind that was sent.
    if (!response["sync_id"].isInteger() || response["sync_id"].asUInt64() == 0 ||
        response["is_dir"].asBool() != request["is_dir"].asBool()) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadFile: Bad response: %s\n", response.toString().c_str_utf8());
        port.ClearCache();
        return ERR_SERVER;
    }
    const ustring sign_path = resumed || !resume.sign_file.empty() ? resume.sign_file : sig.getPath();
    if (CommitDatabaseUpload(request, response, row, sign_path, item.stamp) != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: Failed to update local event database.\n");
        return ERR_SYS;
    }
    // The database has taken the signature file over.
    sig.convert_permanent();
    resume.sign_file.clear();
    if (CheckLocalModification(request) != StepResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: Failed to CheckLocalModification.\n");
    port.SetNotify(WorkerPort::NOTIFY_CLIENT_MODIFY);
    port.ClearCache();
    return 0;
}

int UploadHandler::Run() {
    // A held request always comes with the signature of the content it sends.
    assert(resume.Held() == !resume.sign_file.empty());
    Item item;
    if (const int rc = Admit(item); rc != kGoOn) return rc;
    DropStaleResume(item);

    ustring scratch;
    if (!item.is_dir && port.WorkingScratchDir(scratch) != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UploadLocal: no working directory for '%s'\n",
                port.GetPath().c_str_utf8());
        return ERR_SYS;
    }
    TempFile sig(port.GetSignDirectory());
    TempFile delta(context.root_entry.root, scratch);
    PObject request;
    const bool resumed = resume.Held();
    if (resumed) {
        request = resume.request;
    } else if (const int rc = BuildRequest(item, sig, delta, request); rc != 0) {
        return rc == kFiltered ? 0 : rc;  // filtered: finished, nothing sent
    }
    if (item.row.syncID != 0 && IsFakeRequest(request)) return SettleFakeRequest(request, item);

    PObject response;
    const LeaseOutcome out = Send(request, response);
    if (out.stage != LeaseStage::kDone) return out.code;
    return Record(request, response, item, resumed, sig);
}
