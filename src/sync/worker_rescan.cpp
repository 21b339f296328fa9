// Rescan: what differs between a local folder and the event database becomes single
// events. Both sides are loaded into file lists sharing one string buffer and compared
// in one merge pass, in the order the lists' iterators walk.
//
// A folder that is gone is not a folder that was emptied: a rescan of a session whose
// folder is missing, replaced, unmounted, unreadable or on another device queues
// nothing and reports ERR_SYNCFOLDER_MISS, and a subfolder (or a link, or a special
// file) the walk cannot read never turns the rows below it into removals.
#include <algorithm>
#include <cerrno>
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
#include "sync/worker.h"

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

// Whether path is, or lies below, one of the entries the walk could not read.
bool Unknown(const std::set<ustring>* unknown, const ustring& path) {
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

ustring SubPath(const ustring& dir, const ustring& sub) {
    if (dir.empty() || dir == "/") return sub.empty() ? ustring("/") : sub;
    return dir + sub;
}

int Worker::WalkLocalTree(const ustring& rel, bool check_abort, const WalkVisitor& visit, std::set<ustring>* unknown) {
    const SessionRoot* root = context.root_entry.root.get();
    if (root == nullptr) return ERR_SYS;
    const bool at_session_root = rel.empty() || rel == "/";
    std::vector<ustring> folders{ustring()};  // relative to rel; "" is rel itself
    std::vector<std::pair<ustring, DIR_ENTRY>> listed;
    while (!folders.empty()) {
        const ustring folder = folders.back();
        folders.pop_back();
        const ustring where = SubPath(rel, folder);
        DIR_HANDLE dh;
        const FsResult rc = root->OpenDir(where, FS_DIR_STAT, dh);
        if (rc != FsResult::kOk) {
            const int err = errno;
            // Gone since it was listed (or never there): nothing below it exists.
            if (rc == FsResult::kFailed && err == ENOENT) continue;
            NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): FSOpenDir(%s)\n", root->Full(where).c_str_utf8());
            // The walked folder itself: a link, a file or a name too long for a path
            // stays so, and nothing of it is synchronised; anything else may pass.
            const bool lasting = rc == FsResult::kLink || err == ENOTDIR || err == ENAMETOOLONG;
            if (folder.empty() && !lasting) return ERR_SYS;
            if (unknown) unknown->insert(folder);
            continue;
        }
        listed.clear();
        DIR_ENTRY entry;
        int got = 0;
        while ((got = FSReadDir(dh, entry)) == 1) {
            if (entry.name == "." || entry.name == "..") continue;
            // The daemon's own scratch and recycle folder is never synchronised.
            if (at_session_root && folder.empty() && entry.name == session_folders::kWorkingDirectory) continue;
            listed.emplace_back(folder + "/" + entry.name, entry);
        }
        FSCloseDir(dh);
        if (got < 0) {
            // A listing cut short says nothing about what it did not reach.
            NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): FSReadDir(%s) failed\n",
                 root->Full(where).c_str_utf8());
            if (folder.empty()) return ERR_SYS;
            if (unknown) unknown->insert(folder);
        }
        const size_t first_sub = folders.size();
        for (const auto& [sub, e] : listed) {
            if (check_abort && abort_flag.load() != 0) {
                NLOG(L_NOTICE, kChannel, "[NOTE] worker.cpp(%d): Traversing '%s' ... abort\n",
                     root->Full(where).c_str_utf8());
                return ERR_INT;
            }
            if (e.type != FT_DIR && e.type != FT_FILE) {
                // A link is never followed nor synchronised; a special file is not ours.
                root->NoteUnsynchronised(SubPath(rel, sub), e.type);
                if (unknown) unknown->insert(sub);
                continue;
            }
            if (visit(folder, sub, e) && e.type == FT_DIR) folders.push_back(sub);
        }
        // Walk the subfolders in listing order.
        std::reverse(folders.begin() + static_cast<long>(first_sub), folders.end());
    }
    return 0;
}

int Worker::Rescan() {
    const ustring& path = GetPath();
    NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): Worker (%d): rescaning directory '%s'\n", GetId(),
         GetFullPath().c_str_utf8());
    const SessionRoot* root = context.root_entry.root.get();
    FileEventDB* db = GetEventDatabase();
    if (root == nullptr || db == nullptr) return ERR_SYS;
    if (!root->CheckPresent(context.root_entry.root_dev)) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Worker (%d): session %llu: the folder '%s' is missing, not rescanned\n",
             GetId(), (unsigned long long)context.root_entry.sess_id, root->path().c_str_utf8());
        return ERR_SYNCFOLDER_MISS;
    }

    StringBuffer names;
    FileList local(names), known(names);
    std::set<ustring> unknown;
    const bool deep = context.root_entry.recursive;
    FileList::DirNode* node = local.getRoot();
    ustring node_folder;
    bool full = false;
    int rc = WalkLocalTree(
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
                NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): Worker (%d): local list: add dir '%s'\n", GetId(),
                     sub.c_str_utf8());
                unknown.insert(sub);
                full = true;
                return false;
            }
            NLOG(L_DEBUG, kChannel, dir ? "[DEBUG] worker.cpp(%d): Worker (%d): local list: add directory '%s'\n"
                                        : "[DEBUG] worker.cpp(%d): Worker (%d): local list: add file '%s'\n",
                 GetId(), sub.c_str_utf8());
            // Below the top level a flat session synchronises nothing: its rows
            // there are neither read as removed nor fetched.
            if (dir && !deep) unknown.insert(sub);
            return dir && deep;
        },
        &unknown);
    if (rc == ERR_INT) {
        NLOG(L_NOTICE, kChannel, "[NOTE] worker.cpp(%d): interrupted while rescaning '%s'\n", GetFullPath().c_str_utf8());
        return ERR_INT;
    }
    if (rc != 0) return ERR_SYS;
    if (full)
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): Worker (%d): rescan of '%s' could not list everything\n",
             GetId(), GetFullPath().c_str_utf8());
    if (db->getFileList(&known, path) != DbResult::kOk) {
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Worker (%d): rescan: cannot read the rows below '%s'\n",
             GetId(), path.c_str_utf8());
        return ERR_SYS;
    }
    // The folder may have gone while it was walked (an unmount): then the walk saw
    // too little, and nothing of it may count.
    if (!root->CheckPresent(context.root_entry.root_dev)) return ERR_SYNCFOLDER_MISS;
    if (CompareFileList(path, local, known, context.current_event.isMerge(), &unknown) != 0) {
        NLOG(L_NOTICE, kChannel, "[NOTE] worker.cpp(%d): interrupted while rescaning '%s'\n", GetFullPath().c_str_utf8());
        return ERR_INT;
    }
    return 0;
}

int Worker::CompareFileList(const ustring& root, const FileList& local, const FileList& db, bool merge,
                            const std::set<ustring>* unknown) {
    const uint64_t sess = context.root_entry.sess_id;
    auto only_in_db = [&](const FileList::Entry& e) {
        if (e.path.empty()) return;
        const ustring path = SubPath(root, e.path);
        if (Unknown(unknown, e.path)) {
            NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): CompareFileList: '%s' cannot be read, kept\n",
                 path.c_str_utf8());
            return;
        }
        if (TestFilteredDeleteEvent(sess, path, e.is_dir()) == 1) return;
        if (merge)
            PushDownloadEvent(path, e.is_dir());
        else
            PushRemoveEvent(path, e.is_dir());
    };
    auto aborted = [&] {
        if (abort_flag.load() == 0) return false;
        NLOG(L_INFO, kChannel, "[INFO] worker.cpp(%d): CompareFileList: user stopped\n");
        return true;
    };

    FileList::reverse_iterator l = local.rbegin(), d = db.rbegin();
    const FileList::reverse_iterator l_end = local.rend(), d_end = db.rend();
    while (l != l_end && d != d_end) {
        if (aborted()) return -1;
        const int c = ComparePaths(l->path.str(), d->path.str());
        if (c > 0) {
            PushUploadEvent(SubPath(root, l->path), l->is_dir());
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
            if (l->is_dir() || (l->mtime == d->mtime && l->size == d->size)) {
                NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): CompareFileList: skipping: %s\n", path.c_str_utf8());
            } else {
                NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): CompareFileList: '%s' is locally modified ...\n",
                     path.c_str_utf8());
                PushUploadEvent(path, false);
            }
        } else if (!l->path.empty()) {
            PushUploadEvent(path, l->is_dir());
            if (merge) PushDownloadEvent(path, d->is_dir());
        }
        ++l;
        ++d;
    }
    for (; l != l_end; ++l) {
        if (aborted()) return -1;
        if (l->path.empty()) continue;
        NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): fs_iter: %s\n", l->path.c_str_utf8());
        PushUploadEvent(SubPath(root, l->path), l->is_dir());
    }
    for (; d != d_end; ++d) {
        if (aborted()) return -1;
        NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): db_iter: %s\n", d->path.c_str_utf8());
        only_in_db(*d);
    }
    return 0;
}

int Worker::TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir) {
    BlackList2* list = GetBlackList();
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
        NLOG(L_ERR, kChannel, "[ERROR] worker.cpp(%d): Failed to set LocalFilteredEvent for session '%llu', path '%s' .\n",
             (unsigned long long)sess_id, path.c_str_utf8());
    NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): TestFilteredDeleteEvent: filter '%s' (blocked: %d)\n",
         path.c_str_utf8(), rc);
    return 1;
}

void Worker::PushUploadEvent(const ustring& path, bool is_dir) {
    NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): PushUploadEvent: %s\n", path.c_str_utf8());
    PushLocalEvent(path, Event::EV_MODIFY, is_dir);
}

void Worker::PushDownloadEvent(const ustring& path, bool is_dir) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_path = path;
    e.m_sess_id = context.root_entry.sess_id;
    e.m_sync_id = Event::kForcedSyncId;
    e.setServerEvent();
    if (is_dir) e.setDir();
    ClientFileEventInfo row;
    FileEventDB* db = GetEventDatabase();
    if (db != nullptr && db->getEventInfo(path, row) == DbLookup::kFound) {
        e.m_data_size = row.fileSize;
        e.m_data_hash = row.fileCheckSum;
        e.m_mac_attr_hash = row.macHash;
    } else {
        NLOG(L_WARNING, kChannel, "[WARNING] worker.cpp(%d): force download event (%s) missing required info\n",
             path.c_str_utf8());
    }
    NLOG(L_DEBUG, kChannel, "[DEBUG] worker.cpp(%d): PushDownloadEvent: %s\n", path.c_str_utf8());
    services.events->PushServerEvent(e);
}
