// Helpers the transfer handlers share: the server's name of a path, the modification
// test, the one read that hashes a file and writes its signature and delta, and the
// database steps that record or forget a path.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "delta/simple_file_reader.h"
#include "events/event_manager.h"
#include "events/registry.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "foundation/tmp_name.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/filter_db.h"
#include "store/session_folders.h"
#include "sync/recycle.h"
#include "sync/worker_port.h"
#include "wire/messages.h"

namespace {
const char* const kChannel = "worker_debug";
}  // namespace

ustring WorkerPort::GetServerPath() const {
    std::string remote = GetRemoteWatch().str();
    while (!remote.empty() && remote.back() == '/') remote.pop_back();
    if (remote.empty()) return GetPath();
    if (GetPath() == "/") return ustring(remote);
    return ustring(remote) + GetPath();
}

bool WorkerPort::LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row, const ustring* hash) const {
    const char* path = GetPath().c_str_utf8();
    if (local.type == FT_DIR) {
        if (row.fileType == 0) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp",
                    "ModificationCheck: '%s' appears as FILE in database, but now it is a "
                    "directory\n",
                    path);
            return true;
        }
        return false;
    }
    if (row.fileType == 1) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp",
                "ModificationCheck: '%s' appears as DIR in database, but now it is a file\n", path);
        return true;
    }
    if (local.type != FT_FILE) return false;
    if (local.size != row.fileSize || local.mtime != row.fileModTime) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "ModificationCheck: '%s' is modified (size and mtime not match)\n",
                path);
        return true;
    }
    if (hash != nullptr && *hash != row.fileCheckSum) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "ModificationCheck: '%s' is modified (hash does not match)\n", path);
        return true;
    }
    return false;
}

StepResult WorkerPort::StampOf(const ustring& rel, FileStamp& out) const {
    out = FileStamp();
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return StepResult::kFailed;
    struct stat st;
    const FsResult rc = root->LStat(rel, st);
    if (rc != FsResult::kOk) return rc == FsResult::kFailed && errno == ENOENT ? StepResult::kOk : StepResult::kFailed;
    out.exists = true;
    out.kind = st.st_mode & S_IFMT;
    out.size = (uint64_t)st.st_size;
    out.inode = (uint64_t)st.st_ino;
    out.mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    out.ctime_ns = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
    return StepResult::kOk;
}

bool WorkerPort::FileStamp::Settled(int64_t now_ns) const {
    const int64_t latest = std::max(mtime_ns, ctime_ns);
    return latest <= now_ns - kTimestampTickNs || latest > now_ns;
}

int64_t WorkerPort::WallNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

std::vector<FileEventDB::RowStamp> WorkerPort::KeepVerifiedStamps(const std::vector<FileEventDB::RowStamp>& files) {
    std::vector<FileEventDB::RowStamp> kept, left;
    for (const FileEventDB::RowStamp& f : files) {
        // The content read between two equal stamps that are a tick old is the content
        // under that stamp: a write during the read, or any later one, leaves other
        // times. The execute bit is the one other thing a stamp would hide (a chmod
        // changes only the change time).
        FileStamp before, after;
        ustring hash;
        if (!Aborted() && StampOf(f.path, before) == StepResult::kOk && before.exists && before.kind == S_IFREG &&
            before.Settled(WallNowNs()) && context.root_entry.root->IsExecutable(f.path) == (f.execBit != 0) &&
            ReadFileOnce(f.path, hash, ustring(), ustring(), ustring()) == 0 &&
            StampOf(f.path, after) == StepResult::kOk && after == before &&
            strcasecmp(hash.c_str_utf8(), f.checksum.c_str_utf8()) == 0) {
            kept.push_back(f);
            kept.back().stamp = before.AsRow();
        } else {
            left.push_back(f);
        }
    }
    FileEventDB* db = GetEventDatabase();
    if (!kept.empty() && (db == nullptr || db->setStamps(kept) != DbResult::kOk)) {
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "the stamps of %zu files are not kept\n", kept.size());
        left.insert(left.end(), kept.begin(), kept.end());
    }
    return left;
}

int WorkerPort::ReadFileOnce(const ustring& rel, ustring& hash, const ustring& sig_path, const ustring& base_sig,
                             const ustring& delta_rel, int* keep_fd) {
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    int fd = -1;
    // Non-blocking, so that a FIFO put in the file's place cannot stall the worker;
    // only a regular file is read.
    if (root->OpenAt(rel, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, fd) != FsResult::kOk) return ERR_SYS;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERR_SYS;
    }
    int out = -1;
    if (!base_sig.empty() &&
        root->OpenAt(delta_rel, O_WRONLY | O_TRUNC | O_APPEND | O_NOFOLLOW, 0, out) != FsResult::kOk) {
        close(fd);
        return ERR_SYS;
    }
    SimpleFileReader reader;
    reader.setFileHandle(fd);
    reader.setAbortFlag(&abort);
    reader.setHashString(hash);
    if (!sig_path.empty()) reader.setSignature(sig_path);
    if (out >= 0) reader.setDeltaHandle(out, root->Full(delta_rel), base_sig);
    const DeltaResult rc = reader.readFile();
    if (keep_fd != nullptr && rc == DeltaResult::kDone)
        *keep_fd = fd;
    else
        close(fd);
    if (out >= 0) close(out);
    if (rc == DeltaResult::kAbort) return ERR_INT;
    return rc == DeltaResult::kDone ? 0 : ERR_SYS;
}

StepResult WorkerPort::CommitDatabase(const ClientFileEventInfo& row) {
    FileEventDB* db = GetEventDatabase();
    if (db == nullptr) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UpdateDatabaseInfo: missing databasehandle\n");
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "CommitDatabase: Failed to update local event database. Error code = %d\n", -1);
        return StepResult::kFailed;
    }
    const int rc = db->setEventInfo(row) == DbResult::kOk ? 0 : -1;
    if (rc != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "UpdateDatabaseInfo: failed to update database, error code %d\n", rc);
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "CommitDatabase: Failed to update local event database. Error code = %d\n", rc);
        return StepResult::kFailed;
    }
    if (services.filters->rmLocalFilteredEventByPath(context.root_entry.sess_id, row.path) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "CommitDatabase: Failed to remvoe filter db record for session '%llu', path '%s' .\n",
                (unsigned long long)context.root_entry.sess_id, row.path.c_str_utf8());
        return StepResult::kFailed;
    }
    return StepResult::kOk;
}

StepResult WorkerPort::RemoveDatabaseInfo() {
    FileEventDB* db = GetEventDatabase();
    const StepResult rc =
        db != nullptr && db->rmEventInfo(GetPath()) == DbResult::kOk ? StepResult::kOk : StepResult::kFailed;
    if (rc != StepResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "RemoveDatabaseInfo: failed to remove '%s'\n", GetPath().c_str_utf8());
    static_cast<void>(services.filters->rmLocalFilteredEventByPath(context.root_entry.sess_id, GetPath()));
    return rc;
}

StepResult WorkerPort::RaiseAncestors(uint64_t sync_id) {
    FileEventDB* db = GetEventDatabase();
    if (sync_id == 0) return StepResult::kOk;
    return db != nullptr && db->raiseAncestorsMaxSyncId(GetPath(), sync_id) == DbResult::kOk ? StepResult::kOk
                                                                                             : StepResult::kFailed;
}

StepResult WorkerPort::AddFilteredEventToDB(int code) {
    FilterLocalEvent e;
    e.path = GetPath();
    e.sess_id = context.root_entry.sess_id;
    e.event_type = context.current_event.m_type;
    e.file_type = context.current_event.isDir() ? 1 : 0;
    e.is_exist = context.current_event.m_type == Event::EV_REMOVE ? 0 : 1;
    e.filtered_type = code;
    const uint32_t slash = GetPath().rfind('/');
    e.base_name = slash == ustring::npos ? GetPath() : GetPath().substr(slash + 1);
    FILE_INFO st;
    const SessionRoot* root = context.root_entry.root.get();
    if (root != nullptr && root->Stat(GetPath(), st) == FsResult::kOk && st.isExist) {
        e.file_size = st.size;
        e.file_mod_time = st.mtime;
    }
    return services.filters->setLocalFilteredEvent(e) == DbResult::kOk ? StepResult::kOk : StepResult::kFailed;
}

void WorkerPort::PushRemoveEvent(const ustring& path, bool is_dir) { PushLocalEvent(path, Event::EV_REMOVE, is_dir); }

void WorkerPort::PushLocalEvent(const ustring& path, Event::Type type, bool is_dir) {
    Event e;
    e.m_type = type;
    e.m_path = path;
    e.m_sess_id = context.root_entry.sess_id;
    if (is_dir) e.setDir();
    services.events->PushLocalEvent(e);
}

int WorkerPort::WorkingScratchDir(ustring& rel) {
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    if (root->MKDirP(session_folders::kRelWorkingDirectory) != FsResult::kOk) return LocalWriteError(errno);
    rel = session_folders::kRelWorkingDirectory;
    return 0;
}

int WorkerPort::LocalWriteError(int err) { return FSIsDiskFull(err) ? ERR_LOCAL_DISKFULL : ERR_SYS; }

bool WorkerPort::IsMD4Hex(const ustring& hash) {
    const std::string& s = hash.str();
    if (s.size() != 32) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

StepResult WorkerPort::MoveToRecycle(const ustring& rel, bool is_dir, const char* reason) {
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = GetEventDatabase();
    const char* what = is_dir ? "RenameRemoveDirectory" : "RenameRemoveFile";
    ustring name;
    if (root == nullptr || recycle::FreshName(*services.tmp_names, *root, rel, name) != 0) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: no name in the recycle folder for '%s'.\n", what, rel.c_str_utf8());
        return StepResult::kFailed;
    }
    const ustring target = ustring(session_folders::kRelRecycleFolder) + name;
    if (root->RenameNoReplace(rel, target) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: failed to move '%s' to '%s'.\n", what, root->Full(rel).c_str_utf8(),
                root->Full(target).c_str_utf8());
        return StepResult::kFailed;
    }
    if (db == nullptr) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: missing databasehandle\n", what);
        return StepResult::kFailed;
    }
    const DbResult rc = is_dir ? db->dumpDirToRecycleBin(name, rel) : db->dumpFileToRecycleBin(name, rel);
    if (rc != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: failed to dumpDirToRecycleBin '%s'.\n", what, rel.c_str_utf8());
        return StepResult::kFailed;
    }
    if (db->setRecycleOrigin(name, rel, reason) != DbResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: '%s' is recycled without its origin.\n", what, rel.c_str_utf8());
    if (rel == GetPath()) context.database_record.Clear();
    if (services.filters->rmLocalFilteredEventByPath(context.root_entry.sess_id, rel) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp",
                "%s : failed to rmLocalFilteredEventByPath for session '%llu', path '%s' .\n", what,
                (unsigned long long)context.root_entry.sess_id, rel.c_str_utf8());
        return StepResult::kFailed;
    }
    services.registry->InitRecycleTime(context.root_entry, (uint32_t)services.now());
    return StepResult::kOk;
}

StepResult WorkerPort::MoveFileToRecycleBin(const ustring& rel, uint64_t size, const ustring& hash,
                                            const ustring& mac_hash) {
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = GetEventDatabase();
    if (root == nullptr) return StepResult::kFailed;
    ustring name;
    if (db == nullptr) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "moveFileToRecycleBin: missing databasehandle\n");
    } else if (recycle::FreshName(*services.tmp_names, *root, GetPath(), name) != 0 ||
               root->RenameNoReplace(rel, ustring(session_folders::kRelRecycleFolder) + name) != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "moveFileToRecycleBin: failed to move from '%s' to '%s'.\n",
                root->Full(rel).c_str_utf8(),
                root->Full(ustring(session_folders::kRelRecycleFolder) + name).c_str_utf8());
    } else if (db->addFileToRecycleBin(name, size, hash, mac_hash) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "moveFileToRecycleBin: failed to addFileToRecycleBin '%s'.\n",
                rel.c_str_utf8());
        (void)root->Remove(ustring(session_folders::kRelRecycleFolder) + name);
        return StepResult::kFailed;
    } else {
        static_cast<void>(db->setRecycleOrigin(name, GetPath(), recycle::kParked));
        services.registry->InitRecycleTime(context.root_entry, (uint32_t)services.now());
        return StepResult::kOk;
    }
    (void)root->Remove(rel);
    return StepResult::kFailed;
}

StepResult WorkerPort::TreeMatchesDatabase(const ustring& rel, bool& clean) const {
    clean = false;
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = GetEventDatabase();
    if (root == nullptr || db == nullptr) return StepResult::kFailed;
    std::vector<ustring> folders{rel};
    while (!folders.empty()) {
        const ustring folder = folders.back();
        folders.pop_back();
        DIR_HANDLE dh;
        if (root->OpenDir(folder, 0, dh) != FsResult::kOk) return StepResult::kFailed;
        DIR_ENTRY entry;
        int got = 0;
        while ((got = FSReadDir(dh, entry)) == 1) {
            if (entry.name == "." || entry.name == "..") continue;
            const ustring child = folder + "/" + entry.name;
            ClientFileEventInfo row;
            if (db->getEventInfo(child, row) != DbLookup::kFound || row.syncID == 0) {
                // A folder alone holds nothing (a download cut short by a kill leaves
                // empty ones): only a file in it would need keeping.
                if (entry.type == FT_DIR) {
                    folders.push_back(child);
                    continue;
                }
                NLOG_AT(L_INFO, kChannel, "worker.cpp", "'%s' is unknown to the database\n", child.c_str_utf8());
                FSCloseDir(dh);
                return StepResult::kOk;
            }
            FILE_INFO st;
            if (entry.type == FT_DIR) {
                st.type = FT_DIR;
            } else if (entry.type != FT_FILE || root->Stat(child, st) != FsResult::kOk || st.type != FT_FILE) {
                FSCloseDir(dh);
                return StepResult::kOk;
            }
            if (LocallyModified(st, row, nullptr)) {
                FSCloseDir(dh);
                return StepResult::kOk;
            }
            if (entry.type == FT_DIR) folders.push_back(child);
        }
        FSCloseDir(dh);
        if (got != 0) return StepResult::kFailed;
    }
    clean = true;
    return StepResult::kOk;
}

int WorkerPort::RequestResumeToken(Channel& channel, PObject& request, PObject& response, const char* who) {
    PObject answer;
    const PObject ask = ResumeTokenRequest::For(request).ToValue();
    const int rc = RunProtocol(channel, SCMD_RESUME_TRANSFER, ask, answer);
    if (rc < 0) return rc;
    if (answer.hasMember("error")) {
        response = answer;
        return 1;
    }
    ustring token;
    if (!ResumeTokenOf(answer, token)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "%s: Bad response: %s\n", who, answer.toString().c_str_utf8());
        return ERR_SERVER;
    }
    request["_resume_token"] = token;
    return 0;
}

void WorkerPort::RowFromReply(const PObject& response, ClientFileEventInfo& n) const {
    n.syncID = response["sync_id"].asUInt64();
    n.maxSyncID = services.server_build() == PROTO_OLD_SERVER_BUILD ? n.syncID : response["max_id"].asUInt64();
    n.fileType = response["is_dir"].asBool() ? 1 : 0;
    n.isExist = 1;
    n.path = GetPath();
    n.baseName = LastComponent(GetPath());
}

ustring LastComponent(const ustring& path) {
    const uint32_t slash = path.rfind('/');
    return slash == ustring::npos ? path : path.substr(slash + 1);
}

ustring ParentOf(const ustring& path) {
    const uint32_t slash = path.rfind('/');
    return slash == ustring::npos || slash == 0 ? ustring("/") : path.substr(0, slash);
}
