#include "daemon/recovery_actions.h"

#include <functional>
#include <string>
#include <vector>

#include "events/registry.h"
#include "foundation/logger.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"
#include "sync/recycle.h"

namespace {

const char* const kChannel = "client_debug";

bool Within(const std::string& path, const std::string& folder) {
    if (folder == "/") return !path.empty() && path[0] == '/';
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

// Calls fn for a copy of every registered session that has its root and database.
void ForEachSession(const std::function<void(const Registry::Entry&)>& fn) {
    Registry& registry = Registry::getInstance();
    Registry::Entry entry;
    if (registry.FindNext(0, entry) == 0) return;
    const uint64_t first = entry.sess_id;
    do {
        if (entry.root && entry.event_db) fn(entry);
        if (registry.FindNext(entry.sess_id, entry) == 0) break;
    } while (entry.sess_id != first);
}

// The session whose folder holds the absolute path full: true with entry and rel set.
bool SessionOf(const ustring& full, Registry::Entry& found, ustring& rel) {
    bool ok = false;
    ForEachSession([&](const Registry::Entry& e) {
        if (ok || !Within(full.str(), e.local_path.str()) || !e.root->Relative(full, rel)) return;
        found = e;
        ok = true;
    });
    return ok;
}

// A "folder" member: absent (every item) or an absolute path.
bool FolderFilter(const PObject& request, std::string& folder, PObject& reply) {
    if (!request.hasMember("folder")) return true;
    folder = request["folder"].asString().str();
    if (folder.empty() || folder[0] != '/') {
        reply["error"] = "\"folder\" must be an absolute path";
        return false;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return true;
}

void ListConflicts(const PObject& request, PObject& reply) {
    std::string folder;
    if (!FolderFilter(request, folder, reply)) return;
    PObject::array_type out;
    ForEachSession([&](const Registry::Entry& e) {
        std::vector<FileEventDB::ConflictItem> items;
        if (e.event_db->listConflicts(items) != DbResult::kOk) {
            reply["error"] = ustring("cannot read the conflict records of " + e.local_path.str());
            return;
        }
        for (const auto& c : items) {
            // A copy the user has dealt with (moved, merged, removed) is no conflict now.
            if (!e.root->Exists(c.copyPath)) {
                static_cast<void>(e.event_db->rmConflict(c.copyPath));  // stays listed until it goes
                continue;
            }
            const ustring copy = e.root->Full(c.copyPath), original = e.root->Full(c.origPath);
            if (!folder.empty() && !Within(copy.str(), folder) && !Within(original.str(), folder)) continue;
            PObject item;
            item["session_id"] = e.sess_id;
            item["folder"] = e.local_path;
            item["path"] = copy;
            item["original"] = original;
            item["reason"] = c.reason;
            item["time"] = c.time;
            out.push_back(item);
        }
    });
    reply["conflicts"] = out;
}

void ListRecycle(const PObject& request, PObject& reply) {
    std::string folder;
    if (!FolderFilter(request, folder, reply)) return;
    PObject::array_type out;
    ForEachSession([&](const Registry::Entry& e) {
        std::vector<FileEventDB::RecycleItem> items;
        if (e.event_db->listRecycle(items) != DbResult::kOk) {
            reply["error"] = ustring("cannot read the recycle records of " + e.local_path.str());
            return;
        }
        for (const auto& r : items) {
            const ustring original = r.origPath.empty() ? ustring() : e.root->Full(r.origPath);
            const ustring name = e.root->Full(ustring(session_folders::kRelRecycleFolder) + r.name);
            if (!folder.empty() && !Within(original.str(), folder) && !Within(name.str(), folder)) continue;
            PObject item;
            item["session_id"] = e.sess_id;
            item["folder"] = e.local_path;
            item["name"] = name;
            item["original"] = original;
            item["reason"] = r.reason;
            item["time"] = r.time;
            item["size"] = r.bytes;
            out.push_back(item);
        }
    });
    reply["recycle"] = out;
}

void Restore(const PObject& request, PObject& reply) {
    const ustring path = request["path"].asString();
    const ustring to = request.hasMember("to") ? request["to"].asString() : path;
    if (path.empty() || path.str()[0] != '/' || to.empty() || to.str()[0] != '/') {
        reply["error"] = "restore needs an absolute \"path\" (and \"to\", when given)";
        return;
    }
    Registry::Entry entry;
    ustring rel, dest_rel;
    if (!SessionOf(path, entry, rel)) {
        reply["error"] = ustring(path.str() + " is not inside a synchronised folder");
        return;
    }
    if (!entry.root->Relative(to, dest_rel) || !Within(to.str(), entry.local_path.str())) {
        reply["error"] = ustring(to.str() + " is not inside " + entry.local_path.str() + ", the folder it came from");
        return;
    }
    ustring from;
    const recycle::RestoreResult r = recycle::Restore(*entry.root, *entry.event_db, rel, dest_rel, from);
    if (r != recycle::RestoreResult::kOk) {
        NLOG_AT(L_INFO, kChannel, "app.cpp", "restore of '%s' refused: %s\n", path.c_str_utf8(),
                recycle::RestoreText(r));
        reply["error"] = ustring(path.str() + ": " + recycle::RestoreText(r));
        return;
    }
    reply["restored"] = to;
    reply["from"] = entry.root->Full(ustring(session_folders::kRelRecycleFolder) + from);
}

}  // namespace

bool HandleRecoveryAction(const ustring& action, const PObject& request, PObject& reply) {
    if (action == "list_conflicts") {
        ListConflicts(request, reply);
    } else if (action == "list_recycle") {
        ListRecycle(request, reply);
    } else if (action == "restore") {
        Restore(request, reply);
    } else {
        return false;
    }
    return true;
}
