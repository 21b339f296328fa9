// What "nimbrelctl daemon" remembers between runs, as the UI process of the daemon: the
// server link and the synchronised folders. One JSON file in the state folder
// (DIR/folders.json, 0600), replaced atomically; every change is a read-modify-write
// under an exclusive lock on DIR/folders.lock, so the daemon host and the commands
// (add, remove, pause, ...) never lose each other's changes.
//
// The file holds the server account: it is never printed or logged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nimbrelctl {

struct LinkRecord {
    std::string host;
    int port = 0;
    std::string session;      // the server account; a secret
    std::string fingerprint;  // the server certificate's SHA-256; empty: no SSL
    std::string proxy_host;   // empty: no proxy
    int proxy_port = 0;
};

struct FolderRecord {
    uint64_t id = 0;  // the daemon's session id; never given to another folder
    std::string path;
    uint64_t view = 1;
    std::string remote_path;
    bool paused = false;
    // A first pass over the folder and the server completed. From then on, what is
    // missing locally at a start was removed by the user, and the folder is re-added
    // with "sync_mode" on (removals go to the server) instead of merging it back.
    bool synced = false;
};

struct UiState {
    bool linked = false;
    LinkRecord link;
    uint64_t next_id = 1;  // the smallest id never handed out
    std::vector<FolderRecord> folders;

    // The folder with this id, or whose path is folder (canonical); nullptr when none.
    FolderRecord* Find(uint64_t id);
    FolderRecord* FindPath(const std::string& folder);
};

// The state folder's lock, held for the object's lifetime.
class UiStateLock {
public:
    // Blocks until the lock is held; ok() false (with error) when the folder or the
    // lock file cannot be made.
    explicit UiStateLock(const std::string& state_dir);
    ~UiStateLock();
    bool ok() const { return fd >= 0; }
    const std::string& error() const { return failure; }

    UiStateLock(const UiStateLock&) = delete;
    UiStateLock& operator=(const UiStateLock&) = delete;

private:
    int fd = -1;
    std::string failure;
};

// Reads DIR/folders.json; a missing file is an empty state. false with a reason when
// the file cannot be read or is not a state this program wrote. Call with the lock held.
bool LoadUiState(const std::string& state_dir, UiState& out, std::string& error);
// Writes it atomically (a new file, synced, renamed over the old). Call with the lock held.
bool SaveUiState(const std::string& state_dir, const UiState& state, std::string& error);

// DIR/sessions/<id>: the folder's configuration folder (databases, filter files).
std::string SessionConfigDir(const std::string& state_dir, uint64_t id);
// A new id for a folder: next_id, moved past every session folder already on disk
// (a leftover is never adopted), and next_id moved past it.
uint64_t AllocateFolderId(const std::string& state_dir, UiState& state);
// Makes the configuration folder with default filter files where they are missing.
bool PrepareSessionConfig(const std::string& dir, std::string& error);

}  // namespace nimbrelctl
