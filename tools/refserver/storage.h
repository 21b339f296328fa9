// Storage of the reference server: one sqlite index of changes, content blobs named
// by their MD4, and partial transfers named by resume token. Every path that touches
// the disk is built from a hash or token that was checked to be hex, never from a
// client-supplied file path.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/mutex.h"

struct ChangeRow {
    uint64_t sync_id = 0;
    uint64_t view_id = 0;
    std::string path;  // view-relative, leading "/"
    bool is_dir = false;
    bool is_removed = false;
    std::string hash;  // MD4 hex of the content; empty for directories
    uint64_t size = 0;
    uint64_t mtime = 0;
    std::string mac_hash;
    bool exec_bit = false;
};

class Storage {
public:
    Storage() = default;
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Creates ROOT, ROOT/blobs, ROOT/resume and the index; 0 or -1 (message in error()).
    int Open(const std::string& root);
    void Close();

    // Views exist from their first "connect" on. 1 when created now, 0 when known, -1.
    int EnsureView(uint64_t view_id);
    bool HasView(uint64_t view_id);

    // Appends one change; its sync id is the next one across the server.
    int AddChange(const ChangeRow& row, uint64_t* sync_id);
    // Latest row of one path: 1 found, 0 none, -1 error.
    int Current(uint64_t view_id, const std::string& path, ChangeRow* row);
    // The change sync_id of one path (any age): 1 found, 0 none, -1 error.
    int AtSyncId(uint64_t view_id, const std::string& path, uint64_t sync_id, ChangeRow* row);
    // Highest sync id of a view (0 for none), and highest at or below a directory path.
    uint64_t MaxSyncId(uint64_t view_id);
    uint64_t MaxSyncIdBelow(uint64_t view_id, const std::string& dir_path);
    // Latest row per path below prefix (the prefix itself included; "/" is the whole
    // view) whose latest sync id is above since and at most upto, in sync-id order.
    int LatestSince(uint64_t view_id, uint64_t since, const std::string& prefix, bool recursive,
                    std::vector<ChangeRow>* rows, uint64_t upto = UINT64_MAX);
    // Appends to rows every change (not only the latest per path) of view_id with
    // after < sync_id <= upto at or below prefix, in sync-id order, at most limit of
    // them: a pull reads the view in batches, the lock free in between. 0 or -1.
    int ScanChanges(uint64_t view_id, uint64_t after, uint64_t upto, const std::string& prefix, unsigned limit,
                    std::vector<ChangeRow>* rows);
    // Changes stored by this process so far (any view), and a wait of at most `most`
    // until that count differs from seen; returns the count then. Rows written by
    // another process (test helpers) are not counted: waiters also look at the index.
    uint64_t ChangeCount();
    uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds most);

    // Blobs: ROOT/blobs/<md4 hex>. Empty string for a hash that is not 32 hex digits.
    std::string BlobPath(const std::string& md4_hex) const;
    bool HasBlob(const std::string& md4_hex) const;
    // Moves a finished temporary file into the blob store (kept once per content).
    int AdoptBlob(const std::string& tmp_path, const std::string& md4_hex);
    // Partial transfers: ROOT/resume/<token>; tokens are 32 hex digits.
    std::string NewResumeToken();
    std::string ResumePath(const std::string& token) const;
    // Removes everything a token holds (its file and the download data made for it).
    void DropResume(const std::string& token);
    // Removes the resume data not touched for max_age seconds (abandoned transfers),
    // so the folder stays bounded whatever the clients do.
    void SweepResume(uint64_t max_age);
    std::string TempPath();

    const std::string& root() const { return m_root; }
    const std::string& error() const { return m_error; }

    static bool IsHex(const std::string& s, size_t len);
    // A view path the server accepts: leading "/", no empty, "." or ".." component,
    // no NUL, no backslash.
    static bool IsValidPath(const std::string& path);

private:
    int Exec(const char* sql);
    // The statement for sql, prepared once on this database connection and kept until
    // Close; bindings cleared. The caller resets it after use. Null (error() set) when
    // it cannot be prepared or the index is closed.
    sqlite3_stmt* Cached(const char* sql) REQUIRES(m_lock);
    Mutex m_lock;
    sqlite3* m_db = nullptr;
    std::map<std::string, sqlite3_stmt*> m_stmts GUARDED_BY(m_lock);
    uint64_t m_change_count GUARDED_BY(m_lock) = 0;
    CondVar m_changed;
    std::string m_root;
    std::string m_error;
    uint64_t m_tmp_serial = 0;
};
