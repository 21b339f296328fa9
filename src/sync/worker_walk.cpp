// The one walk of a local tree the handlers share (WalkLocalTree), and what is built
// on it for more than one handler.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/session_folders.h"
#include "sync/worker_port.h"

namespace {

const char* const kChannel = "worker_debug";

}  // namespace

ustring SubPath(const ustring& dir, const ustring& sub) {
    if (dir.empty() || dir == "/") return sub.empty() ? ustring("/") : sub;
    return dir + sub;
}

int WorkerPort::WalkLocalTree(const ustring& rel, bool check_abort, const WalkVisitor& visit,
                              std::set<ustring>* unknown) {
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
            NLOG_AT(L_WARNING, kChannel, "worker.cpp", "FSOpenDir(%s)\n", root->Full(where).c_str_utf8());
            // A folder this process may not read is listed for the user; its change of
            // mode is watched for, so it is not tried again meanwhile.
            if (rc == FsResult::kFailed && SessionRoot::Denied(err))
                (void)root->NoteUnsyncable(where, SessionRoot::kUnreadable);
            // The walked folder itself: a link, a file, a name too long for a path or a
            // folder it may not read stays so, and nothing of it is synchronised (nor
            // removed); anything else may pass.
            const bool lasting =
                rc == FsResult::kLink || err == ENOTDIR || err == ENAMETOOLONG || SessionRoot::Denied(err);
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
            NLOG_AT(L_WARNING, kChannel, "worker.cpp", "FSReadDir(%s) failed\n", root->Full(where).c_str_utf8());
            if (folder.empty()) return ERR_SYS;
            if (unknown) unknown->insert(folder);
        }
        const size_t first_sub = folders.size();
        for (const auto& [sub, e] : listed) {
            if (check_abort && Aborted()) {
                NLOG_AT(L_NOTICE, kChannel, "worker.cpp", "Traversing '%s' ... abort\n",
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

void WorkerPort::PushTreeCreateEvents(const ustring& rel) {
    // Not stopped by the abort flag: the tree was renamed already, and whatever of
    // it is not announced now would wait for the next rescan.
    PushLocalEvent(rel, Event::EV_CREATE, true);
    WalkLocalTree(
        rel, false,
        [&](const ustring&, const ustring& sub, const DIR_ENTRY& e) {
            PushLocalEvent(SubPath(rel, sub), Event::EV_CREATE, e.type == FT_DIR);
            return true;
        },
        nullptr);
}
