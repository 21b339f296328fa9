// The reference server's storage code, compiled in so that tests can add changes to
// a view the way another client's uploads would.
#include "../../tools/refserver/storage.cpp"

#include "sync/sync_fixture.h"

uint64_t AddServerChange(const std::string& root, uint64_t view, const std::string& path, bool dir, bool removed,
                         const std::string& hash, uint64_t size, uint64_t mtime) {
    Storage store;
    if (store.Open(root) != 0) return 0;
    ChangeRow row;
    row.view_id = view;
    row.path = path;
    row.is_dir = dir;
    row.is_removed = removed;
    row.hash = hash;
    row.size = size;
    row.mtime = mtime;
    uint64_t id = 0;
    return store.AddChange(row, &id) == 0 ? id : 0;
}
