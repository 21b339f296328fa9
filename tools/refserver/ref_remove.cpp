// Removal: "remove" (command 15). The client names the version it last saw ("max_id",
// or "sync_id" alone from clients of old servers); anything newer on the item, or
// anywhere below a directory, refuses the removal, so that a change no client has
// seen is never deleted by one.
#include <algorithm>

#include "ref_connection.h"

bool RefConnection::FindLiveItem(const char* action, const PObject& req, uint32_t missing_code,
                                 const char* missing_text, PObject& reply, uint64_t& view, std::string& path,
                                 ChangeRow& cur) {
    path = req["path"].asString().str();
    if (!req["view_id"].isInteger() || !Storage::IsValidPath(path)) {
        Log("%s: bad view or path", action);
        Error(reply, REF_ERR_VIEW_PATH, "invalid path");
        return false;
    }
    view = req["view_id"].asUInt64();
    const int found = m_storage.Current(view, path, &cur);
    if (found < 0) {
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return false;
    }
    if (found == 0 || cur.is_removed) {
        Log("%s: %s: %s", action, path.c_str(), missing_text);
        Error(reply, missing_code, missing_text);
        return false;
    }
    return true;
}

RefConnection::After RefConnection::HandleRemove(const PObject& req, PObject& reply) {
    if (req["path"].asString().str() == "/") {  // the view itself is never removed
        Log("remove: bad view or path");
        Error(reply, REF_ERR_VIEW_PATH, "invalid path");
        return AFTER_NOTHING;
    }
    uint64_t view = 0;
    std::string path;
    ChangeRow cur;
    if (!FindLiveItem("remove", req, REF_ERR_REMOVE_NOFILE, "no such item", reply, view, path, cur))
        return AFTER_NOTHING;
    const uint64_t seen = req.hasMember("max_id") ? req["max_id"].asUInt64() : req["sync_id"].asUInt64();
    const uint64_t current = cur.is_dir ? std::max(cur.sync_id, m_storage.MaxSyncIdBelow(view, path)) : cur.sync_id;
    if (current > seen) {
        Log("remove: %s: modified (%llu after %llu)", path.c_str(), (unsigned long long)current,
            (unsigned long long)seen);
        Error(reply, REF_ERR_REMOVE_MODIFIED, "modified since");
        return AFTER_NOTHING;
    }
    // Everything below goes first, deepest names first, the item itself last: its
    // removal then carries the highest sync id of the tree.
    std::vector<ChangeRow> rows;
    if (cur.is_dir && m_storage.LatestSince(view, 0, path, true, &rows) != 0) {
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    rows.erase(
        std::remove_if(rows.begin(), rows.end(), [&](const ChangeRow& r) { return r.is_removed || r.path == path; }),
        rows.end());
    std::sort(rows.begin(), rows.end(), [](const ChangeRow& a, const ChangeRow& b) { return a.path > b.path; });
    rows.push_back(cur);
    uint64_t sync_id = 0;
    for (const ChangeRow& r : rows) {
        ChangeRow gone;
        gone.view_id = view;
        gone.path = r.path;
        gone.is_dir = r.is_dir;
        gone.is_removed = true;
        gone.mtime = r.mtime;
        if (m_storage.AddChange(gone, &sync_id) != 0) {
            Error(reply, REF_ERR_INTERNAL, "storage failure");
            return AFTER_NOTHING;
        }
    }
    Log("remove: %s: removed as %llu (%zu items)", path.c_str(), (unsigned long long)sync_id, rows.size());
    reply["sync_id"] = sync_id;
    return AFTER_NOTHING;
}
