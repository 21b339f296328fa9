#include "sync/recycle.h"

#include <set>
#include <vector>

#include "foundation/logger.h"
#include "foundation/tmp_name.h"
#include "foundation/utf8_cut.h"
#include "platform/file_ops.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"

namespace recycle {
namespace {

const char* const kChannel = "recycle_cleaner_debug";
constexpr size_t kMaxName = 255;
constexpr size_t kMaxExtension = 16;

ustring InFolder(const ustring& name) { return ustring(session_folders::kRelRecycleFolder) + name; }

std::string LastPart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool Within(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

}  // namespace

ustring EntryName(const ustring& base_name, const std::string& tag) {
    const std::string base = base_name.str();
    // A leading dot names a hidden file, not an extension.
    const size_t dot = base.rfind('.');
    std::string stem = base, ext;
    if (dot != std::string::npos && dot > 0 && base.size() - dot <= kMaxExtension) {
        stem = base.substr(0, dot);
        ext = base.substr(dot);
    }
    const size_t room = kMaxName - 1 - tag.size() - ext.size();
    return ustring("/" + CutUtf8(stem, room) + "~" + tag + ext);
}

int FreshName(TmpNameGen& names, const SessionRoot& root, const ustring& rel, ustring& name) {
    if (root.MKDirP(session_folders::kRelRecycleFolder) != FsResult::kOk) return -1;
    const ustring base(LastPart(rel.str()));
    for (int attempt = 0; attempt < 16; ++attempt) {
        const ustring made = names.getTmpName(ustring());
        if (made.length() < 2) return -1;
        const ustring candidate = EntryName(base, made.str().substr(1));
        if (!root.Exists(InFolder(candidate))) {
            name = candidate;
            return 0;
        }
    }
    return -1;
}

int ClearWorkingDirectory(const SessionRoot& root) {
    const ustring working = session_folders::kRelWorkingDirectory;
    FILE_INFO st;
    if (root.Stat(working, st) != FsResult::kOk || (st.isExist && st.type != FT_DIR)) (void)root.Remove(working);
    DIR_HANDLE dh;
    if (root.Stat(working, st) == FsResult::kOk && st.isExist && root.OpenDir(working, 0, dh) == FsResult::kOk) {
        DIR_ENTRY entry;
        std::vector<ustring> scratch;
        while (FSReadDir(dh, entry) == 1) {
            if (entry.name == "." || entry.name == ".." || entry.name == session_folders::kRecycleFolder) continue;
            scratch.push_back(working + "/" + entry.name);
        }
        FSCloseDir(dh);
        for (const ustring& rel : scratch) (void)root.Remove(rel);
    }
    // A link where the recycle folder belongs is removed as a link, never followed.
    if (root.Stat(session_folders::kRelRecycleFolder, st) == FsResult::kOk && st.isExist && st.type != FT_DIR)
        (void)root.Remove(session_folders::kRelRecycleFolder);
    return root.MKDirP(session_folders::kRelRecycleFolder) == FsResult::kOk ? 0 : -1;
}

int Reconcile(const SessionRoot& root, FileEventDB& db, uint32_t now, uint32_t& oldest) {
    oldest = 0;
    std::vector<FileEventDB::RecycleItem> rows;
    if (db.listRecycle(rows) != DbResult::kOk) return -1;
    std::set<std::string> recorded;
    for (const auto& row : rows) {
        if (root.Exists(InFolder(row.name))) {
            recorded.insert(row.name.str());
        } else if (db.rmRecycleTree(row.name) != DbResult::kOk) {
            return -1;
        }
    }
    DIR_HANDLE dh;
    if (root.OpenDir(session_folders::kRelRecycleFolder, 0, dh) != FsResult::kOk) return -1;
    DIR_ENTRY entry;
    int got;
    int rc = 0;
    while ((got = FSReadDir(dh, entry)) == 1) {
        if (entry.name == "." || entry.name == "..") continue;
        const ustring name = ustring("/") + entry.name;
        if (recorded.count(name.str()) != 0) continue;
        NLOG_AT(L_INFO, kChannel, "recycle.cpp", "'%s' is in the recycle folder without a record; kept\n",
                root.Full(InFolder(name)).c_str_utf8());
        if (db.addRecycleEntry(name, ustring(), kFound, 0, ustring(), ustring(), now) != DbResult::kOk) rc = -1;
    }
    FSCloseDir(dh);
    if (got != 0) rc = -1;
    if (db.getOldestRecyleTime(oldest) != DbResult::kOk) return -1;
    return rc;
}

int TrimToSize(const SessionRoot& root, FileEventDB& db, uint64_t max_bytes) {
    if (max_bytes == 0) return 0;
    std::vector<FileEventDB::RecycleItem> items;
    if (db.listRecycle(items) != DbResult::kOk) return -1;
    uint64_t total = 0;
    for (const auto& item : items) total += item.bytes;
    int rc = 0;
    for (const auto& item : items) {
        if (total <= max_bytes) break;
        const ustring rel = InFolder(item.name);
        NLOG_AT(L_DEBUG, kChannel, "recycle.cpp", "over the size cap, removing '%s'.\n", root.Full(rel).c_str_utf8());
        if (root.Remove(rel) != FsResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "recycle.cpp", "Failed to remove file. at '%s'\n", root.Full(rel).c_str_utf8());
            rc = -1;
            continue;
        }
        if (db.rmRecycleTree(item.name) != DbResult::kOk) return -1;
        total -= item.bytes;
    }
    return rc;
}

RestoreResult Restore(const SessionRoot& root, FileEventDB& db, const ustring& path, const ustring& dest,
                      ustring& entry) {
    const std::string d = dest.str();
    if (d.size() < 2 || d[0] != '/' || Within(d, session_folders::kRelWorkingDirectory))
        return RestoreResult::kBadTarget;
    std::vector<FileEventDB::RecycleItem> candidates;
    if (db.findRecycleFor(path, candidates) != DbResult::kOk) return RestoreResult::kFailed;
    if (candidates.empty()) return RestoreResult::kNothing;
    // The newest that holds it: the item itself, or the one at path inside a recycled
    // folder (an older removal of the folder may hold a file the newer one lacks).
    ustring from;
    for (const auto& item : candidates) {
        entry = item.name + path.substr(item.origPath.length());
        from = InFolder(entry);
        FILE_INFO st;
        if (root.Stat(from, st) == FsResult::kOk && st.isExist) break;
        from.clear();
    }
    if (from.empty()) return RestoreResult::kGone;
    if (root.Exists(dest)) return RestoreResult::kTargetExists;
    const FsResult made = root.MKDirP(ustring(ParentOf(d)));
    if (made != FsResult::kOk) return made == FsResult::kLink ? RestoreResult::kBadTarget : RestoreResult::kFailed;
    const FsResult moved = root.RenameNoReplace(from, dest);
    if (moved == FsResult::kExist) return RestoreResult::kTargetExists;
    if (moved == FsResult::kLink) return RestoreResult::kBadTarget;
    if (moved != FsResult::kOk) {
        NLOG_AT(L_ERR, kChannel, "recycle.cpp", "restore: cannot move '%s' to '%s'\n", root.Full(from).c_str_utf8(),
                root.Full(dest).c_str_utf8());
        return RestoreResult::kFailed;
    }
    NLOG_AT(L_INFO, kChannel, "recycle.cpp", "restored '%s' to '%s'\n", root.Full(from).c_str_utf8(),
            root.Full(dest).c_str_utf8());
    // The rows go with the item; its content is no longer here to serve downloads.
    return db.rmRecycleTree(entry) == DbResult::kOk ? RestoreResult::kOk : RestoreResult::kFailed;
}

const char* RestoreText(RestoreResult r) {
    switch (r) {
        case RestoreResult::kOk:
            return "restored";
        case RestoreResult::kNothing:
            return "nothing in the recycle folder was removed from there";
        case RestoreResult::kGone:
            return "the recycled item is no longer in the recycle folder";
        case RestoreResult::kTargetExists:
            return "the destination exists (never overwritten; give another with --to)";
        case RestoreResult::kBadTarget:
            return "the destination is not a place in the synchronised folder (the folder itself, its working "
                   "directory, or a path through a link)";
        case RestoreResult::kFailed:
            return "the move failed (see the daemon's log)";
    }
    return "unknown";
}

}  // namespace recycle
