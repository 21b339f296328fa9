// Download: the handler of a server event that is not a removal. Before anything
// crosses the network it tries the cheap ways: the event may echo the client's own
// upload, the local item may already be the server's version (merge), or the content
// may lie in the recycle folder or in another synchronised file. Otherwise it asks
// for the item with the resumable protocol and gets a reference, a delta against the
// local version or the whole file.
//
// A new file is built and verified (MD4) in the working directory and reaches the
// user's path only by a rename, after the conflict test: a local item that differs
// from the base row is renamed to a conflict name first, and a type jump never
// deletes in place (an unknown or changed tree under a directory keeps it under a
// conflict name; anything else goes to the recycle folder with its rows). The rename
// onto the path is a no-replace one unless the test found the base version there,
// and that version's stamp is checked again just before it is replaced.
//
// A broken transfer keeps its request (with the resume token) in resume.request and
// the partial data in resume.response, so the next pass continues at that length.
// Bad patches count in resume.patch_err_count; at the limit the whole file is fetched once
// more with an empty base, and if that does not verify either the event is handed
// back with a file error, never marked done.
#include "sync/download_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <vector>

#include "delta/delta_file_reader.h"
#include "filter/black_list.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "platform/temp_file.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"
#include "sync/conflict_rename.h"
#include "sync/recycle.h"
#include "sync/remove_handler.h"
#include "wire/channel.h"
#include "wire/connection_pool.h"
#include "wire/messages.h"

namespace {

const char* const kChannel = "worker_debug";
constexpr uint32_t kErrNoFile = 0x8001;
constexpr int kNameTooLong = FsCode(FsResult::kNameTooLong);
// Bad patches on an unchanged basis before the whole file is fetched instead.
constexpr unsigned kPatchErrorLimit = 2;

uint32_t EvenSeconds(uint32_t t) { return t & ~1u; }

// MD4s are compared in the lower-case form the hash reader writes.
ustring Lower(const ustring& text) {
    std::string s = text.str();
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return ustring(s);
}

// The response's modification time: "mtime"."mtime", else "common_attribute"."mtime".
bool ResponseTime(const PObject& r, uint32_t& t) {
    if (r.hasMember("mtime") && r["mtime"].hasMember("mtime")) {
        t = r["mtime"]["mtime"].asUInt32();
        return true;
    }
    if (r["common_attribute"].hasMember("mtime")) {
        t = r["common_attribute"]["mtime"].asUInt32();
        return true;
    }
    return false;
}

DownloadHandler::RemoteVersion RemoteOf(const PObject& r) {
    DownloadHandler::RemoteVersion v;
    v.is_dir = r["is_dir"].asBool();
    v.size = r["file"]["size"].asUInt64();
    v.hash = r["file"]["hash"].asString();
    return v;
}

// Deletes the received data of a pass when it leaves: it is a scratch file of the
// working directory (anything else is left alone), and whatever is kept of it was
// moved away before.
struct DropReceived {
    const SessionRoot& root;
    ustring full;
    ~DropReceived() {
        ustring rel;
        if (!full.empty() && root.Relative(full, rel) &&
            rel.str().rfind(std::string(session_folders::kRelWorkingDirectory) + "/", 0) == 0)
            (void)root.Remove(rel);
    }
};

}  // namespace

DownloadHandler::DownloadHandler(WorkerPort& port, const SyncServices& services, RemoveHandler& remove)
    : port(port), services(services), context(port.Context()), remove(remove) {}

void DownloadHandler::Clear(const ustring& working_directory) {
    for (PObject* v : {&resume.response, &resume.request}) {
        if (v->isMap()) {
            DropScratch((*v)["file"]["data"], working_directory);
            DropScratch((*v)["mac_attribute"]["data"], working_directory);
        }
        v->clear();
    }
}

int DownloadHandler::TestDownloadRemoteFilter() {
    port.SetNotify(WorkerPort::NOTIFY_NONE);
    const Event& ev = context.current_event;
    const char* path = port.GetPath().c_str_utf8();
    int rc = port.TestCommonFilter();
    if (rc != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (blocked: %d)\n", path, rc);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    if (context.root_entry.root == nullptr) return ERR_SYS;
    if (ev.isDir()) return 1;
    uint64_t size = ev.m_data_size;
    if (ev.m_sync_id == Event::kForcedSyncId) {
        if (context.database_record.syncID == 0) {
            NLOG_AT(L_WARNING, kChannel, "worker.cpp",
                    "Force download '%s' but cannot find any record in event DB. file size "
                    "filter will NOT work.\n",
                    path);
            return 1;
        }
        size = context.database_record.fileSize;
    }
    rc = services.system_black_list->TestFileSize(size);
    if (rc != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' ((blocked: %d)\n", path, rc);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    if (port.GetBlackList() != nullptr && (rc = port.GetBlackList()->TestFileSize(size)) != 0) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (blocked: %d)\n", path, rc);
        port.SetNotify(WorkerPort::NOTIFY_FILTERED);
        return 0;
    }
    if (context.root_entry.isMSDOS && size >= 0xFFFFFFFFull) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Filtered Event: '%s' (file system is not support large file)\n",
                path);
        return 0;
    }
    return 1;
}

DownloadHandler::LocalCopy DownloadHandler::MergeEvent() {
    const SessionRoot& root = *context.root_entry.root;
    const Event& ev = context.current_event;
    FILE_INFO local;
    if (root.Stat(port.GetPath(), local) != FsResult::kOk || !local.isExist) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: missing local file, merge failed\n");
        return LocalCopy::kFetch;
    }
    const bool local_dir = local.type == FT_DIR;
    if (local_dir && !ev.isDir()) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: type different 1\n");
        return LocalCopy::kFetch;
    }
    if (!local_dir && ev.isDir()) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: type different 2\n");
        return LocalCopy::kFetch;
    }
    ClientFileEventInfo row;
    TempFile sig(port.GetSignDirectory());
    uint32_t mtime = context.root_entry.isMSDOS ? EvenSeconds(ev.m_time) : ev.m_time;
    if (local_dir) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: both sides are folders and ea not change.\n");
        if (root.UTime(port.GetPath(), mtime) != FsResult::kOk)
            NLOG_AT(L_WARNING, kChannel, "worker.cpp", "MergeEvent: failed to set modified time\n");
    } else {
        if (local.type != FT_FILE) return LocalCopy::kFetch;
        if (local.size != ev.m_data_size) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: local file is different in size, merge failed\n");
            return LocalCopy::kFetch;
        }
        if (!port.IsMD4Hex(ev.m_data_hash)) return LocalCopy::kFetch;
        if (FSMKDirP(port.GetSignDirectory()) != FsResult::kOk || !sig.create()) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "MergeEvent: failed to create temp file'\n");
            return LocalCopy::kFetch;
        }
        FileStamp before, after;
        ustring hash;
        if (port.StampOf(port.GetPath(), before) != StepResult::kOk ||
            port.ReadFileOnce(port.GetPath(), hash, sig.getPath(), ustring(), ustring()) != 0) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "MergeEvent: failed to read '%s'\n",
                    port.GetFullPath().c_str_utf8());
            return LocalCopy::kFetch;
        }
        if (hash.str() != ev.m_data_hash.str() && hash.str() != Lower(ev.m_data_hash).str()) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "MergeEvent: local file is different in hash, merge failed\n");
            return LocalCopy::kFetch;
        }
        // The time goes only onto the content that was compared.
        if (port.StampOf(port.GetPath(), after) != StepResult::kOk || !(after == before)) return LocalCopy::kFetch;
        if (root.UTime(port.GetPath(), mtime) != FsResult::kOk)
            NLOG_AT(L_WARNING, kChannel, "worker.cpp", "MergeEvent: failed to set modified time\n");
        row.fileCheckSum = hash;
        row.signaturePath = sig.getPath();
    }
    row.syncID = ev.m_sync_id;
    row.maxSyncID = ev.m_max_id;
    row.fileType = ev.isDir() ? 1 : 0;
    row.isExist = 1;
    row.path = port.GetPath();
    row.baseName = LastComponent(port.GetPath());
    row.fileSize = ev.isDir() ? 0 : ev.m_data_size;
    row.macHash = ev.m_mac_attr_hash;
    row.fileModTime = mtime;
    row.execBit = ev.m_exec_bit;
    if (port.CommitDatabase(row) != StepResult::kOk) return LocalCopy::kFetch;
    sig.convert_permanent();
    return LocalCopy::kPlaced;
}

DownloadHandler::LocalCopy DownloadHandler::PrepareFileFromLocal() {
    const SessionRoot& root = *context.root_entry.root;
    const Event& ev = context.current_event;
    FileEventDB* db = port.GetEventDatabase();
    if (db == nullptr) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PreparFileFromLocal: missing databasehandle\n");
        return LocalCopy::kFetch;
    }
    // The hash goes into lookups and records: only a real MD4 may.
    if (!port.IsMD4Hex(ev.m_data_hash)) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "PreparFileFromLocal: event hash of '%s' is not an MD4\n",
                port.GetPath().c_str_utf8());
        return LocalCopy::kFetch;
    }
    const ustring want = Lower(ev.m_data_hash);
    ustring found, source;
    bool from_recycle = false;
    if (db->getFilePathByHashFromRecycle(want, ev.m_mac_attr_hash, found) == DbLookup::kFound) {
        from_recycle = true;
        source = ustring(session_folders::kRelRecycleFolder) + found;
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "Copy file from recycle bin '%s'\n", found.c_str_utf8());
    } else if (db->getFilePathByHash(want, ev.m_mac_attr_hash, found) == DbLookup::kFound && found != port.GetPath()) {
        source = found;
    } else {
        return LocalCopy::kFetch;
    }
    ustring scratch_dir;
    if (port.WorkingScratchDir(scratch_dir) != 0) return LocalCopy::kFetch;
    TempFile scratch(context.root_entry.root, scratch_dir);
    ustring prepared = source;
    if (!from_recycle) {
        if (!scratch.create() || root.Copy(source, scratch.getRelPath(), false) != FsResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "PreparFileFromLocal: Failed to create temp file.\n");
            return LocalCopy::kFetch;
        }
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "Copy file from syncfolder '%s'.\n", source.c_str_utf8());
        prepared = scratch.getRelPath();
    }
    TempFile sig(port.GetSignDirectory());
    if (FSMKDirP(port.GetSignDirectory()) != FsResult::kOk || !sig.create()) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PreparFileFromLocal: Failed to create temp signature file.\n");
        return LocalCopy::kFetch;
    }
    ustring hash;
    int rc = port.ReadFileOnce(prepared, hash, sig.getPath(), ustring(), ustring());
    if (rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PreparFileFromLocal: Failed to prepare file [%d].\n", rc);
        return LocalCopy::kFetch;
    }
    if (hash != want) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp",
                "PreparFileFromLocal: File locally modification, can not use local copy.\n");
        return LocalCopy::kFetch;
    }
    const uint32_t mtime = context.root_entry.isMSDOS ? EvenSeconds(ev.m_time) : ev.m_time;
    (void)root.UTime(prepared, mtime);
    RemoteVersion remote;
    remote.size = ev.m_data_size;
    remote.hash = want;
    rc = PlaceNewFile(prepared, remote);
    if (rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PreparFileFromLocal: Cannot rename from %s -> %s\n",
                root.Full(prepared).c_str_utf8(), port.GetFullPath().c_str_utf8());
        return LocalCopy::kFetch;
    }
    // A recycle copy that stayed (the local file already held the content) keeps its record.
    if (from_recycle && !root.Exists(prepared) && db->rmRecycleByPath(found) != DbResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Failed to rmRecycleByPath for '%s'\n", found.c_str_utf8());
    ClientFileEventInfo row;
    row.syncID = ev.m_sync_id;
    row.maxSyncID = ev.m_max_id;
    row.fileType = 0;
    row.isExist = 1;
    row.path = port.GetPath();
    row.baseName = LastComponent(port.GetPath());
    row.fileSize = ev.m_data_size;
    row.fileCheckSum = want;
    row.macHash = ev.m_mac_attr_hash;
    row.fileModTime = mtime;
    row.execBit = ev.m_exec_bit;
    row.signaturePath = sig.getPath();
    if (port.CommitDatabase(row) != StepResult::kOk) return LocalCopy::kFetch;
    sig.convert_permanent();
    return LocalCopy::kPlaced;
}

int DownloadHandler::ProtoResumeDownloadObject(Channel& channel, PObject& request, PObject& response) {
    if (!request.hasMember("_resume_token")) {
        const int rc = port.RequestResumeToken(channel, request, response, "DownloadRemote");
        if (rc != 0) return rc < 0 ? rc : 0;
        if (resume.Held()) resume.request["_resume_token"] = request["_resume_token"];  // a retry resumes with it
    }
    const int rc = port.RunProtocol(channel, SCMD_RESUME_TRANSFER, request, response);
    return rc < 0 ? rc : 0;
}

int DownloadHandler::UpdateAttribute(const ustring& rel, const PObject& response) {
    const SessionRoot& root = *context.root_entry.root;
    if (response.hasMember("mtime") && response["mtime"]["refer"].asBool()) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "last motify time is not changed\n");
        return 0;
    }
    uint32_t t = 0;
    if (!ResponseTime(response, t)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "last motify time is not provided, might be out of sync\n");
        return 0;
    }
    (void)root.UTime(rel, t);
    return 0;
}

int DownloadHandler::ProcessDownloadDirectory(const PObject& response) {
    const SessionRoot& root = *context.root_entry.root;
    FILE_INFO local;
    if (root.Stat(port.GetPath(), local) != FsResult::kOk) return ERR_SYS;
    if (local.isExist && local.type != FT_DIR) {
        // Something else holds the name: the conflict test decides where it goes;
        // it is never replaced in place.
        bool keep_local = false;
        const int rc = HandleDownloadConflict(RemoteOf(response), keep_local);
        if (rc != 0) return rc;
    }
    if (root.MKDirP(port.GetPath()) != FsResult::kOk) {
        const int err = errno;
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "ProcessDownloadDirectory: Cannot create directory %s\n",
                port.GetFullPath().c_str_utf8());
        return port.LocalWriteError(err);
    }
    return UpdateAttribute(port.GetPath(), response);
}

int DownloadHandler::TestDownloadConflict(const FILE_INFO& local, const ClientFileEventInfo& base,
                                          const RemoteVersion& remote) {
    const bool local_dir = local.type == FT_DIR;
    bool changed = false;
    if (base.syncID != 0) {
        if (!local.isExist) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis file vanished.\n");
            return CONFLICT_REMOVED;
        }
        if (local_dir && base.fileType == 1) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis file is unchanged (dir)\n");
        } else if (local_dir) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "CheckBasisFile: Basis file appears as FILE in database, but now it is a "
                    "directory\n");
            changed = true;
        } else if (base.fileType == 1) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "CheckBasisFile: Basis appears as DIR in database, but now it is a file\n");
            changed = true;
        } else if (local.size != base.fileSize) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis file is modified (size not match) \n");
            changed = true;
        }
    } else if (!local.isExist) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis is not changed (vanish).\n");
    } else {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis does not appear in database.\n");
        changed = true;
    }
    if (local.isExist && !local_dir && local.type != FT_FILE) return CONFLICT_RETRY;  // a link or device: keep it
    ustring hash;
    const bool local_file = local.isExist && !local_dir;
    if (!changed) {
        if (local_file) {
            if (port.StampOf(port.GetPath(), resume.basis_stamp) != StepResult::kOk ||
                port.ReadFileOnce(port.GetPath(), hash, ustring(), ustring(), ustring()) != 0) {
                NLOG_AT(L_ERR, kChannel, "worker.cpp",
                        "Worker (%d): CaculateMD4: Failed to calculate checksum for '%s'\n", port.WorkerId(),
                        port.GetFullPath().c_str_utf8());
                NLOG_AT(L_ERR, kChannel, "worker.cpp", "CheckBasisFile: Failed to calculate checksum for basis file\n");
                return ERR_SYS;
            }
            if (base.syncID != 0 && hash != base.fileCheckSum) {
                NLOG_AT(L_INFO, kChannel, "worker.cpp", "CheckBasisFile: Basis file is locally modified\n");
                changed = true;
                if (remote.is_dir) return CONFLICT_RETRY;
                if (hash == remote.hash) {
                    NLOG_AT(L_INFO, kChannel, "worker.cpp",
                            "CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
                    return CONFLICT_IGNORE;
                }
                return CONFLICT_RETRY;
            }
        } else if (local_dir) {
            (void)port.StampOf(port.GetPath(), resume.basis_stamp);
        }
        return CONFLICT_NONE;
    }
    if (local_dir) {
        if (remote.is_dir) return CONFLICT_IGNORE;
        // A folder holding nothing the database does not know unchanged (an empty one
        // a download made before a kill, say) keeps nothing the server's file would
        // hide: it makes way, to the recycle folder, instead of becoming a conflict copy.
        bool clean = false;
        return port.TreeMatchesDatabase(port.GetPath(), clean) == StepResult::kOk && clean ? CONFLICT_NONE
                                                                                           : CONFLICT_RETRY;
    }
    if (remote.is_dir || remote.size != local.size) return CONFLICT_RETRY;
    if (port.ReadFileOnce(port.GetPath(), hash, ustring(), ustring(), ustring()) != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "CheckBasisFile: Failed to calculate checksum for basis file\n");
        return ERR_SYS;
    }
    if (hash == remote.hash) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp",
                "CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
        return CONFLICT_IGNORE;
    }
    return CONFLICT_RETRY;
}

int DownloadHandler::HandleDownloadPatchError(const RemoteVersion& remote) {
    const SessionRoot& root = *context.root_entry.root;
    FILE_INFO local;
    if (root.Stat(port.GetPath(), local) != FsResult::kOk) return ERR_SYS;
    if (!local.isExist) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "Worker (%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file "
                "(basis removed)\n",
                port.WorkerId());
        return ERR_INT;
    }
    const int rc = TestDownloadConflict(local, resume.base, remote);
    switch (rc) {
        case CONFLICT_NONE:
            NLOG_AT(L_ERR, kChannel, "worker.cpp",
                    "Worker(%d): HandleDownloadPatchError: Basis unchanged but cannot prepare file "
                    "(incorrect patch file)\n",
                    port.WorkerId());
            ++resume.patch_err_count;
            return ERR_SYS;
        case CONFLICT_IGNORE:
        case CONFLICT_REMOVED:
            return 0;
        case CONFLICT_RETRY: {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "Worker (%d): HandleDownloadPatchError: Basis changed, try to resolve conflict\n", port.WorkerId());
            return port.KeepConflictCopy("Conflict", "changed here and on the server") == 0 ? ERR_INT : ERR_SYS;
        }
        default:
            return rc;
    }
}

int DownloadHandler::HandleDownloadConflict(const RemoteVersion& remote, bool& keep_local) {
    keep_local = false;
    const SessionRoot& root = *context.root_entry.root;
    FILE_INFO local;
    if (root.Stat(port.GetPath(), local) != FsResult::kOk) return ERR_SYS;
    if (!local.isExist) return 0;
    const int rc = TestDownloadConflict(local, resume.base, remote);
    if (rc == CONFLICT_RETRY) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp",
                "Worker (%d): HandleDownloadConflict: conflict occurs, resolve conflict first\n", port.WorkerId());
        return port.KeepConflictCopy("Conflict", "changed here and on the server") == 0 ? 0 : ERR_SYS;
    }
    if (rc == CONFLICT_IGNORE || rc == CONFLICT_REMOVED) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): HandleDownloadConflict: no conflict, keep going\n",
                port.WorkerId());
        keep_local = rc == CONFLICT_IGNORE && local.type == (remote.is_dir ? FT_DIR : FT_FILE);
        return 0;
    }
    if (rc != CONFLICT_NONE) return rc;
    const bool local_dir = local.type == FT_DIR;
    if (local_dir == remote.is_dir) return 0;
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): HandleDownloadConflict: no conflict with type jump\n",
            port.WorkerId());
    if (local_dir) {
        // The directory's own row says nothing about what lies below it.
        bool clean = false;
        (void)port.TreeMatchesDatabase(port.GetPath(), clean);
        if (!clean) {
            ustring renamed;
            if (port.KeepConflictCopy("Conflict", "a changed folder here, a file on the server", &renamed) != 0)
                return ERR_SYS;
            // Its rows named the old path; the kept tree goes up as new items.
            (void)port.RemoveDatabaseInfo();
            port.PushTreeCreateEvents(renamed);
            return 0;
        }
    }
    if (port.MoveToRecycle(port.GetPath(), local_dir, recycle::kReplaced) != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: type jump, but can not remove basis.\n");
        return ERR_SYS;
    }
    return 0;
}

int DownloadHandler::PlaceNewFile(const ustring& new_rel, const RemoteVersion& remote) {
    const SessionRoot& root = *context.root_entry.root;
    bool keep_local = false;
    resume.basis_stamp = FileStamp();
    int rc = HandleDownloadConflict(remote, keep_local);
    if (rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "ProcessDownloadFile: HandleDownloadConflict(%s) failed\n",
                port.GetFullPath().c_str_utf8());
        return rc;
    }
    if (keep_local) return 0;
    if (root.MKDirP(ParentOf(port.GetPath())) != FsResult::kOk) {
        const int err = errno;
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Cannot create parent directory of '%s'\n",
                port.GetFullPath().c_str_utf8());
        return port.LocalWriteError(err);
    }
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "rename %s -> %s\n", root.Full(new_rel).c_str_utf8(),
            port.GetFullPath().c_str_utf8());
    (void)root.TakeModeFor(new_rel, port.GetPath(), context.current_event.m_exec_bit != 0);  // mode kept, +x carried
    FsResult moved = root.RenameNoReplace(new_rel, port.GetPath());
    if (moved == FsResult::kExist && resume.basis_stamp.exists && resume.basis_stamp.kind == S_IFREG) {
        // The base version is there, unchanged when it was tested: replace it, unless
        // it changed since.
        FileStamp now;
        if (port.StampOf(port.GetPath(), now) != StepResult::kOk || !(now == resume.basis_stamp)) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: '%s' changed while downloading, try it again\n",
                    port.GetPath().c_str_utf8());
            return ERR_INT;
        }
        KeepReplacedVersion();
        moved = root.Rename(new_rel, port.GetPath());
    }
    if (moved != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Cannot rename from %s -> %s\n",
                root.Full(new_rel).c_str_utf8(), port.GetFullPath().c_str_utf8());
        return moved == FsResult::kNameTooLong ? kNameTooLong : moved == FsResult::kExist ? ERR_INT : ERR_SYS;
    }
    return 0;
}

void DownloadHandler::KeepReplacedVersion() {
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = port.GetEventDatabase();
    ustring name;
    if (root == nullptr || db == nullptr || recycle::FreshName(*services.tmp_names, *root, port.GetPath(), name) != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "no room in the recycle folder for the old '%s'.\n",
                port.GetPath().c_str_utf8());
        return;
    }
    const ustring target = ustring(session_folders::kRelRecycleFolder) + name;
    // A second name costs nothing and leaves the file in place until the atomic
    // replace; a copy only where the file system has no hard links.
    if (root->HardLink(port.GetPath(), target) != FsResult::kOk &&
        root->Copy(port.GetPath(), target, false) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "the old version of '%s' could not be kept.\n",
                port.GetPath().c_str_utf8());
        return;
    }
    if (db->addRecycleEntry(name, port.GetPath(), recycle::kReplaced, resume.base.fileSize, resume.base.fileCheckSum,
                            resume.base.macHash, static_cast<uint32_t>(services.now())) != DbResult::kOk) {
        (void)root->Remove(target);
        return;
    }
    services.registry->InitRecycleTime(context.root_entry, static_cast<uint32_t>(services.now()));
}

int DownloadHandler::PrepareDownloadFile(const PObject& response, ustring& new_rel, TempFile& sig) {
    const SessionRoot& root = *context.root_entry.root;
    const PObject& file = response["file"];
    new_rel = port.GetPath();
    if (!response.hasMember("file") || file["refer"].asBool()) return 0;
    const bool small = file["size"].asUInt64() < kSignatureFromBytes;
    if (!small && (FSMKDirP(port.GetSignDirectory()) != FsResult::kOk || !sig.create())) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareDownloadFile: failed to prepare temporary file\n");
        return ERR_SYS;
    }
    // The received data must be a scratch file of this session's working directory.
    ustring data_rel;
    const ustring working = ustring(session_folders::kRelWorkingDirectory) + "/";
    if (!file["data"].isBinary() || !root.Relative(file["data"].asBinary().path, data_rel) ||
        data_rel.str().rfind(working.str(), 0) != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Bad response: no file data\n");
        return ERR_SERVER;
    }
    const RemoteVersion remote = RemoteOf(response);
    ustring hash;
    int rc = 0;
    if (file["is_delta"].asBool()) {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PrepareDownloadFile: download patch file\n");
        ustring scratch;
        rc = port.WorkingScratchDir(scratch);
        if (rc == 0 && root.Mktemp(scratch, new_rel) != FsResult::kOk) rc = port.LocalWriteError(errno);
        if (rc != 0) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareDownloadFile: failed to prepare temporary file\n");
            new_rel = port.GetPath();
            return rc;
        }
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "new file will be generated at %s\n", root.Full(new_rel).c_str_utf8());
        int basis = -1;
        rc = ERR_SYS;
        if (root.OpenAt(port.GetPath(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, basis) == FsResult::kOk) {
            DeltaFileReader patcher;
            patcher.setFile(root.Full(data_rel), port.GetFullPath());
            patcher.setBasisHandle(basis);
            patcher.setNewFile(root.Full(new_rel));
            patcher.setHashString(hash);
            if (!small) patcher.setSignature(sig.getPath());
            patcher.setAbortFlag(port.AbortFlag());
            const DeltaResult pr = patcher.readFile();
            close(basis);
            rc = pr == DeltaResult::kDone ? 0 : pr == DeltaResult::kAbort ? ERR_INT : ERR_SYS;
        }
        if (rc == ERR_INT) return rc;
        if (rc != 0) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "PrepareDownloadFile: Check basis file of (%s) after patching failure ...\n",
                    port.GetFullPath().c_str_utf8());
            (void)root.Remove(new_rel);
            new_rel = port.GetPath();
            // A new file that cannot fit failed for want of space, not for a bad patch:
            // the user is told and the event waits for space, uncounted.
            uint64_t free_bytes = 0;
            if (root.FreeBytes(free_bytes) && free_bytes < remote.size) {
                NLOG_AT(L_ERR, kChannel, "worker.cpp",
                        "PrepareDownloadFile: no room for the %llu bytes of '%s' (%llu free)\n",
                        (unsigned long long)remote.size, port.GetFullPath().c_str_utf8(),
                        (unsigned long long)free_bytes);
                return ERR_LOCAL_DISKFULL;
            }
            rc = HandleDownloadPatchError(remote);
            if (rc != 0) return rc;
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "PrepareDownloadFile: basis file is the same as the new file...\n");
            return 0;
        }
    } else {
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PrepareDownloadFile: download whole file\n");
        new_rel = data_rel;
        rc = port.ReadFileOnce(data_rel, hash, sig.getPath(), ustring(), ustring());
        if (rc != 0) {
            NLOG_AT(L_ERR, kChannel, "worker.cpp", "PrepareDownloadFile: Failed to verify new file, try it again\n");
            return rc == ERR_INT ? ERR_INT : ERR_SYS;
        }
    }
    if (hash == Lower(remote.hash)) return 0;
    NLOG_AT(L_INFO, kChannel, "worker.cpp",
            "PrepareDownloadFile: Check basis file of (%s) after incorrect patch file ...\n",
            port.GetFullPath().c_str_utf8());
    (void)root.Remove(new_rel);
    new_rel = port.GetPath();
    rc = HandleDownloadPatchError(remote);
    if (rc < 0) return rc;
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "PrepareDownloadFile: basis file is the same as the new file...\n");
    return 0;
}

int DownloadHandler::ProcessDownloadFile(const PObject& response, TempFile& sig) {
    const SessionRoot& root = *context.root_entry.root;
    ustring new_rel;
    int rc = PrepareDownloadFile(response, new_rel, sig);
    if (rc != 0) return rc;
    if (new_rel == port.GetPath()) {
        // Nothing to replace; the time goes only onto the version the row describes.
        FILE_INFO local;
        if (root.Stat(port.GetPath(), local) == FsResult::kOk && local.isExist && local.type == FT_FILE &&
            !port.LocallyModified(local, resume.base, nullptr))
            UpdateAttribute(port.GetPath(), response);
        return 0;
    }
    UpdateAttribute(new_rel, response);
    rc = PlaceNewFile(new_rel, RemoteOf(response));
    if (rc != 0 && rc != kNameTooLong && root.Exists(new_rel)) {
        // Fully received but not placeable: parked, so that the retry finds it by hash.
        const PObject& file = response["file"];
        (void)port.MoveFileToRecycleBin(new_rel, file["size"].asUInt64(), Lower(file["hash"].asString()),
                                        response["mac_attribute"]["hash"].asString());
    }
    (void)root.Remove(new_rel);
    return rc;
}

StepResult DownloadHandler::CommitDatabaseDownload(const PObject& response, const ClientFileEventInfo& base,
                                                   const ustring& sign_path) {
    ClientFileEventInfo n;
    port.RowFromReply(response, n);
    const PObject& file = response["file"];
    if (n.fileType == 1) {
        n.fileSize = 0;
    } else if (file["refer"].asBool()) {
        n.fileSize = base.fileSize;
        n.fileCheckSum = base.fileCheckSum;
    } else {
        n.fileSize = file["size"].asUInt64();
        n.fileCheckSum = Lower(file["hash"].asString());
    }
    const PObject& mtime = response["mtime"];
    if (response.hasMember("mtime"))
        n.fileModTime = mtime["refer"].asBool() ? base.fileModTime : mtime["mtime"].asUInt32();
    else
        n.fileModTime = response["common_attribute"]["mtime"].asUInt32();
    const PObject& mac = response["mac_attribute"];
    n.macHash = mac.hasMember("hash") && !mac["refer"].asBool() ? mac["hash"].asString() : base.macHash;
    const PObject& exec = response["exec_bit"];
    n.execBit = exec.hasMember("exec_bit") && !exec["refer"].asBool() ? exec["exec_bit"].asUInt32() : base.execBit;
    // New content without a signature (a small file) must not keep the old version's.
    const bool new_content = response.hasMember("file") && !file["refer"].asBool();
    n.signaturePath = n.fileType == 1 || (new_content && sign_path.empty()) ? ustring()
                      : sign_path.empty()                                   ? base.signaturePath
                                                                            : sign_path;
    return port.CommitDatabase(n);
}

void DownloadHandler::PrepareFetch(bool empty_base, PObject& request, PObject& response) {
    const Event& ev = context.current_event;
    const ClientFileEventInfo& base = resume.base;
    if (resume.Held() && (resume.request["path"].asString() != port.GetServerPath() ||
                          resume.request["target_sync_id"].asUInt64() != ev.m_sync_id))
        port.ClearCache();
    if (!resume.Held()) {
        ConnectionPool* pool = port.Pool();
        const bool old_server = services.server_build() == PROTO_OLD_SERVER_BUILD;
        DownloadRequest download;
        download.session = pool ? pool->getSession() : ustring();
        download.view_id = port.GetViewId();
        download.sync_id = empty_base ? 0 : old_server ? base.maxSyncID : base.syncID;
        download.has_max_id = !old_server;
        download.max_id = empty_base ? 0 : base.maxSyncID;
        download.path = port.GetServerPath();
        download.target_sync_id = ev.m_sync_id;
        request = download.ToValue();
        resume.request = request;
        return;
    }
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): cached_request %s\n", port.WorkerId(),
            resume.request.toString().c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): cached_response %s\n", port.WorkerId(),
            resume.response.toString().c_str_utf8());
    request = resume.request;
    const PObject& held = resume.response;
    if (held.isMap() && held["file"]["data"].isBinary() && !held["file"]["data"].asBinary().empty()) {
        const PObject::binary_type part = held["file"]["data"].asBinary();
        request["file"]["offset"] = part.length;
        // The stream appends to the held bytes.
        response["file"]["data"] = PObject::binary_type(part.path, part.length, part.length);
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): continue download file to %s, offset %llu\n",
                port.WorkerId(), part.path.c_str_utf8(), (unsigned long long)part.length);
    }
}

int DownloadHandler::KeepPartial(int rc, const PObject& response) {
    const PObject& data = response["file"]["data"];
    NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): failed to download '%s'. %s.\n", port.WorkerId(),
            port.GetPath().c_str_utf8(), GetErrorString(rc));
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): partial response %s\n", port.WorkerId(),
            response.toString().c_str_utf8());
    if (data.isBinary() && !data.asBinary().empty() && resume.Held()) {
        resume.response.clear();
        resume.response["file"]["data"] = data;
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp",
                "Worker (%d): partial file in response is stored (at '%s' with size %llu).\n", port.WorkerId(),
                data.asBinary().path.c_str_utf8(), (unsigned long long)data.asBinary().length);
    } else if (data.isBinary()) {
        PObject drop;
        drop["file"]["data"] = data;
        resume.response = drop;
        port.ClearCache();
    }
    return rc;
}

int DownloadHandler::CheckAnswer(const PObject& request, PObject& response) {
    const PObject& answer = response;
    const char* cpath = port.GetPath().c_str_utf8();
    if (answer.hasMember("error")) {
        const uint64_t code = answer["error"]["code"].asUInt64();
        if (code == kErrNoFile) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: Object %s is removed, fake event, abort anyway\n",
                    cpath);
            return remove.RemoveLocal();
        }
        if ((code & 0xF000) == 0xB000) return ERR_INT;
        const int mapped = port.ReplyError(response);
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Bad response: %s\n", GetErrorString(mapped));
        return mapped;
    }
    const bool is_dir = answer["is_dir"].asBool();
    if (!answer["sync_id"].isInteger() || answer["sync_id"].asUInt64() == 0 ||
        (!is_dir && !answer["file"]["refer"].asBool() &&
         (!port.IsMD4Hex(answer["file"]["hash"].asString()) || !answer["file"]["data"].isBinary()))) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Bad response: %s\n", answer.toString().c_str_utf8());
        return ERR_SERVER;
    }
    if (context.root_entry.isMSDOS) {
        // FAT keeps times in two-second steps.
        if (answer.hasMember("mtime"))
            response["mtime"]["mtime"] = (uint64_t)EvenSeconds(answer["mtime"]["mtime"].asUInt32());
        else if (answer["common_attribute"].hasMember("mtime"))
            response["common_attribute"]["mtime"] =
                (uint64_t)EvenSeconds(answer["common_attribute"]["mtime"].asUInt32());
    }
    if (answer["sync_id"].asUInt64() == request["sync_id"].asUInt64()) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: %s is already up to date\n", cpath);
        port.SetNotify(WorkerPort::NOTIFY_SERVER_MODIFY);
        return 0;
    }
    return WorkerPort::kGoOn;
}

int DownloadHandler::PlaceAndRecord(const PObject& response) {
    const char* cpath = port.GetPath().c_str_utf8();
    TempFile sig(port.GetSignDirectory());
    const int rc =
        response["is_dir"].asBool() ? ProcessDownloadDirectory(response) : ProcessDownloadFile(response, sig);
    if (rc == kNameTooLong) {
        NLOG_AT(L_CRIT, kChannel, "worker.cpp", "ProcessDownloadFile : encounter MAX_PATH_ERR when renaming '%s'.\n",
                cpath);
        return 0;
    }
    if (rc != 0) return rc;
    if (CommitDatabaseDownload(response, resume.base, sig.getPath()) != StepResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "DownloadRemote: Failed to commit changes to '%s' into local database. Error Code "
                "= %d\n",
                cpath, -1);
        return ERR_SYS;
    }
    sig.convert_permanent();
    port.SetNotify(WorkerPort::NOTIFY_SERVER_MODIFY);
    return 0;
}

int DownloadHandler::FetchAndPlace(bool empty_base) {
    // Partial data is never held without the request that continues it.
    assert(!resume.HoldsPartial() || resume.Held());
    ustring scratch_dir;
    if (const int rc = port.WorkingScratchDir(scratch_dir); rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: no working directory for '%s'\n",
                port.GetPath().c_str_utf8());
        return rc;
    }
    PObject request;
    PObject response;
    PrepareFetch(empty_base, request, response);
    const LeaseOutcome out =
        port.Leased(response, [&](Channel& channel) { return ProtoResumeDownloadObject(channel, request, response); });
    if (out.stage == LeaseStage::kNoPool || out.stage == LeaseStage::kSetUp) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Failed to establish communication channel %s\n",
                GetErrorString(out.code));
        return out.code;
    }
    if (out.code < 0) return KeepPartial(out.code, response);
    // From here on the received data is this pass's: it goes into place or away.
    const PObject& data = static_cast<const PObject&>(response)["file"]["data"];
    const DropReceived drop{*context.root_entry.root, data.isBinary() ? data.asBinary().path : ustring()};
    resume.response.clear();
    port.ClearCache();
    if (const int rc = CheckAnswer(request, response); rc != WorkerPort::kGoOn) return rc;
    return PlaceAndRecord(response);
}

int DownloadHandler::Admit(bool& forced) {
    const char* cpath = port.GetPath().c_str_utf8();
    const int rc = TestDownloadRemoteFilter();
    if (rc != WorkerPort::kGoOn) {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "DownloadRemote: File '%s' cannot pass filter testing '%d'.\n",
                cpath, rc);
        return rc;
    }
    const SessionRoot* root = context.root_entry.root.get();
    assert(root != nullptr);  // TestDownloadRemoteFilter refuses a session without one
    if (isFileLocked(port.GetFullPath(), FS_ACCESS_READ | FS_ACCESS_WRITE)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): unable to handle locked/no permission file '%s'.\n",
                port.WorkerId(), cpath);
        return ERR_LOCKED_FILE;
    }
    Event& ev = context.current_event;
    port.SetCurrentProcessEventInfo(ev.m_sess_id, port.GetPath(), WorkerPort::W_TYPE_DOWNLOAD);
    resume.base = context.database_record;
    forced = ev.m_sync_id == Event::kForcedSyncId;
    if (forced && resume.base.syncID == 0) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp",
                "Force download '%s' but cannot find any record in event DB, skipping....\n", cpath);
        return 0;
    }
    FILE_INFO local;
    if (root->Stat(port.GetPath(), local) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "DownloadRemote: Failed to get local file info (%s)\n",
                port.GetFullPath().c_str_utf8());
        return ERR_SYS;
    }
    if (forced) {
        if (local.isExist && !port.LocallyModified(local, resume.base, nullptr)) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "Force download event but NOT LocallyModified.\n");
            return 0;
        }
        ev.m_sync_id = services.server_build() == PROTO_OLD_SERVER_BUILD ? resume.base.maxSyncID : resume.base.syncID;
        ev.m_max_id = resume.base.maxSyncID;
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "(%d) Convert MAX_SYNC_ID  to target_sync_id [%llu]\n", port.WorkerId(),
                (unsigned long long)ev.m_sync_id);
        // The conflict test still compares with the row; only the request asks for
        // the whole item.
    }
    if (resume.base.syncID != 0 && resume.base.fileType == 0 && !resume.base.signaturePath.empty() &&
        !IsFileExist(resume.base.signaturePath))
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "DownloadRemote: missing signature while downloading '%s'.\n", cpath);
    if (!local.isExist) {
        resume.base.Clear();
        if (!ev.isDir()) (void)port.RemoveDatabaseInfo();
    }
    return WorkerPort::kGoOn;
}

int DownloadHandler::FetchWithFallback(bool forced) {
    int rc = FetchAndPlace(forced);
    if (rc != ERR_SYS || resume.patch_err_count <= kPatchErrorLimit) return rc;
    // The patches keep failing on an unchanged basis: fetch the whole file once.
    const char* cpath = port.GetPath().c_str_utf8();
    NLOG_AT(L_WARNING, kChannel, "worker.cpp",
            "Worker (%d): patch error count has reached limit, download whole '%s'\n", port.WorkerId(), cpath);
    port.ClearCache();
    resume.patch_err_count = 0;
    rc = FetchAndPlace(true);
    if (rc == ERR_SYS && resume.patch_err_count > 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): whole file of '%s' does not verify either\n",
                port.WorkerId(), cpath);
        resume.patch_err_count = 0;
        return ERR_LOCKED_FILE;
    }
    return rc;
}

int DownloadHandler::Run() {
    StampPlaced();
    const int rc = Download();
    if (rc == 0 && !context.current_event.isDir()) NotePlaced();
    return rc;
}

void DownloadHandler::NotePlaced() {
    FileEventDB* db = port.GetEventDatabase();
    ClientFileEventInfo row;
    if (db == nullptr || db->getEventInfo(port.GetPath(), row) != DbLookup::kFound || row.fileType != 0 ||
        row.syncID == 0 || row.stamp.known())
        return;
    if (placed.sess_id != context.root_entry.sess_id) placed = Placed{context.root_entry.sess_id, {}, {}};
    placed.files.push_back(
        FileEventDB::RowStamp{port.GetPath(), row.syncID, row.fileCheckSum, row.execBit, LocalStamp()});
    placed.noted_ns.push_back(WorkerPort::WallNowNs());
}

void DownloadHandler::StampPlaced() {
    if (placed.sess_id != context.root_entry.sess_id) placed = Placed{context.root_entry.sess_id, {}, {}};
    assert(placed.files.size() == placed.noted_ns.size());
    // Those noted two ticks ago or more (a file placed later may still be in its tick),
    // in batches: one transaction for many rows, or for the few left after a while.
    constexpr size_t kBatch = 256;
    constexpr int64_t kMaxDelayNs = 1000 * 1000 * 1000LL;
    const int64_t now_ns = WorkerPort::WallNowNs();
    const int64_t due = now_ns - 2 * WorkerPort::kTimestampTickNs;
    const size_t n = std::upper_bound(placed.noted_ns.begin(), placed.noted_ns.end(), due) - placed.noted_ns.begin();
    if (n == 0 || (n < kBatch && placed.noted_ns.front() > now_ns - kMaxDelayNs)) return;
    const std::vector<FileEventDB::RowStamp> now(placed.files.begin(), placed.files.begin() + n);
    placed.files.erase(placed.files.begin(), placed.files.begin() + n);
    placed.noted_ns.erase(placed.noted_ns.begin(), placed.noted_ns.begin() + n);
    // Files that changed or cannot be read keep no stamp: their next upload pass or
    // rescan reads them.
    (void)port.KeepVerifiedStamps(now);
}

int DownloadHandler::Download() {
    bool forced = false;
    if (const int rc = Admit(forced); rc != WorkerPort::kGoOn) return rc;
    const Event& ev = context.current_event;
    const char* cpath = port.GetPath().c_str_utf8();
    if (!forced && resume.base.syncID != 0 && resume.base.syncID >= ev.m_sync_id) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: File '%s' is already up-to-date (server echo).\n",
                cpath);
        return 0;
    }
    if (MergeEvent() == LocalCopy::kPlaced) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: '%s' is merged successfully\n", cpath);
        port.SetNotify(WorkerPort::NOTIFY_SERVER_MODIFY);
        return 0;
    }
    if (!ev.isDir()) {
        if (PrepareFileFromLocal() == LocalCopy::kPlaced) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "DownloadRemote: PreparFileFromLocal successfully.\n");
            port.SetNotify(WorkerPort::NOTIFY_SERVER_MODIFY);
            return 0;
        }
        NLOG_AT(L_INFO, kChannel, "worker.cpp",
                "DownloadRemote: Cannot PreparFileFromLocal, download from server directly.\n");
    }
    return FetchWithFallback(forced);
}
