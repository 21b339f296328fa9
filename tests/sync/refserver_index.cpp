// The reference server's storage code, compiled in so that tests can add changes to
// a view the way another client's uploads would.
#include "../../tools/refserver/storage.cpp"
#include "delta/simple_file_reader.h"
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

int ServerFile(const std::string& root, uint64_t view, const std::string& path, std::string* hash,
               std::string* blob_md4, uint64_t* sync_id) {
    Storage store;
    if (store.Open(root) != 0) return -1;
    ChangeRow row;
    const int found = store.Current(view, path, &row);
    if (found != 1) return found;
    *hash = row.is_removed ? std::string() : row.hash;
    if (sync_id) *sync_id = row.sync_id;
    blob_md4->clear();
    if (!hash->empty() && store.HasBlob(*hash)) {
        ustring md4;
        SimpleFileReader reader;
        reader.setFile(store.BlobPath(*hash));
        reader.setHashString(md4);
        if (reader.readFile() != DeltaResult::kDone) return -1;
        *blob_md4 = md4.str();
    }
    return 1;
}
