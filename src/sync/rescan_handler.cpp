// Rescan: what differs between a local folder and the event database becomes single
// events. Both sides are loaded into file lists sharing one string buffer and compared
// in one merge pass, in the order the lists' iterators walk.
//
// A folder that is gone is not a folder that was emptied: a rescan of a session whose
// folder is missing, replaced, unmounted, unreadable or on another device queues
// nothing and reports ERR_SYNCFOLDER_MISS, and a subfolder (or a link, or a special
// file) the walk cannot read never turns the rows below it into removals.
#include "sync/rescan_handler.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "events/event_manager.h"
#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "store/file_event_db.h"
#include "store/file_list.h"
#include "store/filter_db.h"
#include "store/session_folders.h"
#include "sync/server_path.h"

namespace {

const char* const kChannel = "worker_debug";

// Orders two list paths the way the file-list iterator walks them (it yields them in
// descending order): name by name, so a folder sorts before everything inside it and
// "Project/x" before "Project.zip" although '/' is the greater byte.
int ComparePaths(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y) continue;
        // "/" ends a name: it sorts before every byte a name can hold.
        const int xv = x == '/' ? 0 : x + 1, yv = y == '/' ? 0 : y + 1;
        return xv < yv ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Whether path is, or lies below, one of the entries of the set (such as those the
// walk could not read).
bool AtOrBelow(const std::set<ustring>* unknown, const ustring& path) {
    if (unknown == nullptr || unknown->empty()) return false;
    if (unknown->count(ustring())) return true;  // the walked folder itself
    const std::string& p = path.str();
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/') continue;
        if (unknown->count(ustring(p.substr(0, i)))) return true;
    }
    return false;
}

}  // namespace

RescanHandler::RescanHandler(WorkerPort& port, const SyncServices& services)
    : port(port), services(services), context(port.Context()) {}

int RescanHandler::Rescan() {
    const ustring& path = port.GetPath();
    NLOG_AT(L_INFO, kChannel, "worker.cpp", "Worker (%d): rescaning directory '%s'\n", port.WorkerId(),
            port.GetFullPath().c_str_utf8());
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = port.GetEventDatabase();
    if (root == nullptr || db == nullptr) return ERR_SYS;
    if (!root->CheckPresent(context.root_entry.root_dev)) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): session %llu: the folder '%s' is missing, not rescanned\n",
                port.WorkerId(), (unsigned long long)context.root_entry.sess_id, root->path().c_str_utf8());
        return ERR_SYNCFOLDER_MISS;
    }

    StringBuffer names;
    FileList local(names), known(names);
    std::set<ustring> unknown;
    const bool deep = context.root_entry.recursive;
    FileList::DirNode* node = local.getRoot();
    ustring node_folder;
    bool full = false;
    int rc = port.WalkLocalTree(
        path, true,
        [&](const ustring& folder, const ustring& sub, const DIR_ENTRY& e) {
            if (folder != node_folder) {
                node = local.findDir(folder);
                node_folder = folder;
            }
            const bool dir = e.type == FT_DIR;
            if (node == nullptr || (dir ? local.AddDirectory(node, e.name, e.mtime) < 0
                                        : local.AddFile(node, e.name, e.mtime, e.size) < 0)) {
                // Not in the list: it must not read as removed either.
                NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "Worker (%d): local list: add dir '%s'\n", port.WorkerId(),
                        sub.c_str_utf8());
                unknown.insert(sub);
                full = true;
                return false;
            }
            NLOG(L_DEBUG, kChannel,
                 dir ? "[DEBUG] worker.cpp(%d): Worker (%d): local list: add directory '%s'\n"
                     : "[DEBUG] worker.cpp(%d): Worker (%d): local list: add file '%s'\n",
                 port.WorkerId(), sub.c_str_utf8());
            // Below the top level a flat session synchronises nothing: its rows
            // there are neither read as removed nor fetched.
            if (dir && !deep) unknown.insert(sub);
            return dir && deep;
        },
        &unknown);
    if (rc == ERR_INT) {
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "interrupted while rescaning '%s'\n",
                port.GetFullPath().c_str_utf8());
        return ERR_INT;
    }
    if (rc != 0) return ERR_SYS;
    if (full)
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "Worker (%d): rescan of '%s' could not list everything\n",
                port.WorkerId(), port.GetFullPath().c_str_utf8());
    if (db->getFileList(&known, path) != DbResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Worker (%d): rescan: cannot read the rows below '%s'\n",
                port.WorkerId(), path.c_str_utf8());
        return ERR_SYS;
    }
    // The folder may have gone while it was walked (an unmount): then the walk saw
    // too little, and nothing of it may count.
    if (!root->CheckPresent(context.root_entry.root_dev)) return ERR_SYNCFOLDER_MISS;
    if (CompareFileList(path, local, known, context.current_event.isMerge(), &unknown) != StepResult::kOk) {
        NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "interrupted while rescaning '%s'\n",
                port.GetFullPath().c_str_utf8());
        return ERR_INT;
    }
    return 0;
}

StepResult RescanHandler::CompareFileList(const ustring& root, const FileList& local, const FileList& db, bool merge,
                                          const std::set<ustring>* unknown) {
    const uint64_t sess = context.root_entry.sess_id;
    FileList::reverse_iterator l = local.rbegin(), d = db.rbegin();
    const FileList::reverse_iterator l_end = local.rend(), d_end = db.rend();
    // Items the user replaced by one of the other type since they were synchronised.
    // What lies below one belongs to the old item or to the new one, and the new one's
    // upload settles both: it removes the old tree on the server, then uploads the new.
    std::set<ustring> replaced;
    for (auto li = l, di = d; li != l_end && di != d_end;) {
        const int c = ComparePaths(li->path.str(), di->path.str());
        if (c == 0 && !li->path.empty() && li->is_dir() != di->is_dir()) replaced.insert(li->path);
        if (c >= 0) ++li;
        if (c <= 0) ++di;
    }
    const UnsyncableItems unsyncable = FindUnsyncable(root, local);
    std::set<ustring> holding;  // folders above a row whose removal is held back
    auto local_only = [&](const FileList::Entry& e) {
        if (e.path.empty() || AtOrBelow(&replaced, e.path) || unsyncable.paths.count(e.path)) return;
        PushUploadEvent(SubPath(root, e.path), e.is_dir());
    };
    auto only_in_db = [&](const FileList::Entry& e) {
        if (e.path.empty() || AtOrBelow(&replaced, e.path)) return;
        const ustring path = SubPath(root, e.path);
        if (AtOrBelow(unknown, e.path)) {
            NLOG_AT(L_INFO, kChannel, "worker.cpp", "CompareFileList: '%s' cannot be read, kept\n", path.c_str_utf8());
            return;
        }
        if (e.is_dir() ? holding.count(e.path) != 0 : StillHereUnsyncable(path, unsyncable)) {
            const std::string& p = e.path.str();
            for (size_t slash = p.rfind('/'); slash != std::string::npos && slash > 0; slash = p.rfind('/', slash - 1))
                holding.insert(ustring(p.substr(0, slash)));
            return;
        }
        if (TestFilteredDeleteEvent(sess, path, e.is_dir()) == 1) return;
        if (merge)
            PushDownloadEvent(path, e.is_dir());
        else
            port.PushRemoveEvent(path, e.is_dir());
    };
    auto aborted = [&] {
        if (!port.Aborted()) return false;
        NLOG_AT(L_INFO, kChannel, "worker.cpp", "CompareFileList: user stopped\n");
        return true;
    };

    // Files whose rows keep no stamp yet and whose size and seconds agree are read
    // here, in batches: those that hold their row's version get its stamp at no
    // further cost, the rest go up as changed.
    constexpr size_t kStampBatch = 512;
    std::vector<FileEventDB::RowStamp> unstamped;
    auto stamp_unstamped = [&] {
        const std::vector<FileEventDB::RowStamp> left = port.KeepVerifiedStamps(unstamped);
        unstamped.clear();
        if (aborted()) return false;
        for (const FileEventDB::RowStamp& f : left) PushUploadEvent(f.path, false);
        return true;
    };

    while (l != l_end && d != d_end) {
        if (aborted()) return StepResult::kFailed;
        const int c = ComparePaths(l->path.str(), d->path.str());
        if (c > 0) {
            local_only(*l);
            ++l;
            continue;
        }
        if (c < 0) {
            only_in_db(*d);
            ++d;
            continue;
        }
        const ustring path = SubPath(root, l->path);
        if (l->is_dir() == d->is_dir()) {
            FileEventDB::RowStamp version;
            const StampCheck stamp = l->is_dir() || l->mtime != d->mtime || l->size != d->size
                                         ? StampCheck::kDiffers
                                         : CheckStamp(path, version);
            if (l->is_dir() || stamp == StampCheck::kMatches) {
                NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "CompareFileList: skipping: %s\n", path.c_str_utf8());
            } else if (stamp == StampCheck::kUnknown) {
                unstamped.push_back(std::move(version));
                if (unstamped.size() >= kStampBatch && !stamp_unstamped()) return StepResult::kFailed;
            } else {
                NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "CompareFileList: '%s' is locally modified ...\n",
                        path.c_str_utf8());
                PushUploadEvent(path, false);
            }
        } else if (!l->path.empty()) {
            // The user replaced the item since it was synchronised (a file by a folder
            // or back): the new one goes up, and its upload removes the old one on the
            // server. Fetching the old one here would push the newest item aside.
            PushUploadEvent(path, l->is_dir());
        }
        ++l;
        ++d;
    }
    if (!stamp_unstamped()) return StepResult::kFailed;
    for (; l != l_end; ++l) {
        if (aborted()) return StepResult::kFailed;
        if (l->path.empty()) continue;
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "fs_iter: %s\n", l->path.c_str_utf8());
        local_only(*l);
    }
    for (; d != d_end; ++d) {
        if (aborted()) return StepResult::kFailed;
        NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "db_iter: %s\n", d->path.c_str_utf8());
        only_in_db(*d);
    }
    return StepResult::kOk;
}

RescanHandler::UnsyncableItems RescanHandler::FindUnsyncable(const ustring& root, const FileList& local) {
    UnsyncableItems found;
    for (auto it = local.rbegin(); it != local.rend(); ++it) {
        if (it->path.empty()) continue;
        const ustring path = SubPath(root, it->path);
        const char* reason = UnsyncableReason(path);
        if (reason == nullptr) continue;
        found.paths.insert(it->path);
        // Noted once, at the top of what cannot go (below it every path fails too).
        if (UnsyncableReason(ParentOf(path)) == nullptr) (void)context.root_entry.root->NoteUnsyncable(path, reason);
        WorkerPort::FileStamp st;
        if (it->is_dir() || port.StampOf(path, st) != StepResult::kOk || !st.exists) continue;
        found.by_inode.emplace(st.inode, path);
        found.by_size.emplace(st.size, path);
    }
    return found;
}

bool RescanHandler::StillHereUnsyncable(const ustring& path, const UnsyncableItems& items) {
    FileEventDB* db = port.GetEventDatabase();
    ClientFileEventInfo row;
    if (items.by_size.empty() || db == nullptr || db->getEventInfo(path, row) != DbLookup::kFound) return false;
    ustring as;
    if (auto it = items.by_inode.find(row.stamp.inode); row.stamp.known() && it != items.by_inode.end())
        as = it->second;
    for (auto [at, end] = items.by_size.equal_range(row.fileSize); as.empty() && at != end; ++at) {
        ustring hash;
        if (port.ReadFileOnce(at->second, hash, ustring(), ustring(), ustring()) == 0 &&
            strcasecmp(hash.c_str_utf8(), row.fileCheckSum.c_str_utf8()) == 0)
            as = at->second;
    }
    if (as.empty()) return false;
    NLOG_AT(L_INFO, kChannel, "worker.cpp",
            "CompareFileList: '%s' is here as '%s', which cannot be synchronised; kept\n", path.c_str_utf8(),
            EscapeForLog(as).c_str());
    return true;
}

RescanHandler::StampCheck RescanHandler::CheckStamp(const ustring& path, FileEventDB::RowStamp& version) {
    FileEventDB* db = port.GetEventDatabase();
    ClientFileEventInfo row;
    if (db == nullptr || db->getEventInfo(path, row) != DbLookup::kFound || row.fileType != 0 || row.syncID == 0)
        return StampCheck::kDiffers;
    if (!row.stamp.known()) {
        version = FileEventDB::RowStamp{path, row.syncID, row.fileCheckSum, row.execBit, LocalStamp()};
        return StampCheck::kUnknown;
    }
    WorkerPort::FileStamp now;
    return port.StampOf(path, now) == StepResult::kOk && now.AsRow() == row.stamp ? StampCheck::kMatches
                                                                                  : StampCheck::kDiffers;
}

int RescanHandler::TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir) {
    BlackList2* list = port.GetBlackList();
    if (list == nullptr) return 0;
    const int rc = is_dir ? list->TestDirectoryPath(path) : list->TestFilePath(path);
    if (rc != FILTER_PATH_PREFIX_SELECTIVE_SYNC) return 0;
    FilterLocalEvent e;
    e.sess_id = sess_id;
    e.path = path;
    e.file_type = is_dir ? 1 : 0;
    e.filtered_type = rc;
    if (!is_dir) e.base_name = LastComponent(path);
    if (services.filters->setLocalFilteredEvent(e) != DbResult::kOk)
        NLOG_AT(L_ERR, kChannel, "worker.cpp", "Failed to set LocalFilteredEvent for session '%llu', path '%s' .\n",
                (unsigned long long)sess_id, path.c_str_utf8());
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "TestFilteredDeleteEvent: filter '%s' (blocked: %d)\n", path.c_str_utf8(),
            rc);
    return 1;
}

void RescanHandler::PushUploadEvent(const ustring& path, bool is_dir) {
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PushUploadEvent: %s\n", path.c_str_utf8());
    port.PushLocalEvent(path, Event::EV_MODIFY, is_dir);
}

void RescanHandler::PushDownloadEvent(const ustring& path, bool is_dir) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_path = path;
    e.m_sess_id = context.root_entry.sess_id;
    e.m_sync_id = Event::kForcedSyncId;
    e.setServerEvent();
    if (is_dir) e.setDir();
    ClientFileEventInfo row;
    FileEventDB* db = port.GetEventDatabase();
    if (db != nullptr && db->getEventInfo(path, row) == DbLookup::kFound) {
        e.m_data_size = row.fileSize;
        e.m_data_hash = row.fileCheckSum;
        e.m_mac_attr_hash = row.macHash;
    } else {
        NLOG_AT(L_WARNING, kChannel, "worker.cpp", "force download event (%s) missing required info\n",
                path.c_str_utf8());
    }
    NLOG_AT(L_DEBUG, kChannel, "worker.cpp", "PushDownloadEvent: %s\n", path.c_str_utf8());
    services.events->PushServerEvent(e);
}
