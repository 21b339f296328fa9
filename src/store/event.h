// Event: one pending change of a session-relative path.
// ClientFileEventInfo: what the event database remembers about a path after its
// last completed synchronisation (one row of that database in memory).
#pragma once

#include <cstdint>

#include "foundation/ustring.h"

class Event {
public:
    enum Type { EV_EMPTY = 0, EV_CREATE = 1, EV_REMOVE = 2, EV_MODIFY = 3, EV_RENAME = 4 };
    enum {
        F_DIR = 1,
        F_SERVER = 2,
        F_EXPAND = 4,
        F_RESCAN = 8,
        F_MERGE = 16,
        F_EXCEP = 32,
        F_LOCAL_SUBDIR_RESCAN = 64,
        F_SERVER_SUBDIR_RESCAN = 128,
        F_LOCAL_SUBDIR_RESCAN_STAT = 256,
        F_SERVER_SUBDIR_RESCAN_STAT = 512,
        F_CONFLICT = 1024,
    };

    // The sync id of a forced server event (a rescan with merge, a selective-sync
    // resume, a filtered event brought back): above any id a server hands out, so it
    // wins every merge, and a download for it takes whatever version the server has.
    static constexpr uint64_t kForcedSyncId = 0x7FFFFFFFFFFFFFFFull;

    Type m_type = EV_EMPTY;
    uint32_t m_mode = 0;
    uint64_t m_sync_id = 0;
    uint64_t m_max_id = 0;
    uint64_t m_data_size = 0;
    uint32_t m_time = 0;
    ustring m_data_hash;
    ustring m_path;
    ustring m_opt;
    ustring m_mac_attr_hash;
    uint64_t m_mac_attr_size = 0;
    uint64_t m_sess_id = 0;
    uint32_t m_exec_bit = 0;

    Event() = default;
    Event(const Event&) = default;
    Event& operator=(const Event&) = default;
    Event(Event&&) noexcept = default;
    Event& operator=(Event&&) noexcept = default;

    void swap(Event& other) noexcept;
    void clear();
    ustring toString() const;

    bool isValid() const { return m_type != EV_EMPTY; }

    bool isDir() const { return (m_mode & F_DIR) != 0; }
    void setDir() { m_mode |= F_DIR; }
    bool isFile() const { return (m_mode & F_DIR) == 0; }
    void setFile() { m_mode &= ~static_cast<uint32_t>(F_DIR); }
    bool isServerEvent() const { return (m_mode & F_SERVER) != 0; }
    void setServerEvent() { m_mode |= F_SERVER; }
    bool isLocalEvent() const { return (m_mode & F_SERVER) == 0; }
    bool isExpand() const { return (m_mode & F_EXPAND) != 0; }
    void setExpand() { m_mode |= F_EXPAND; }
    bool isRescan() const { return (m_mode & F_RESCAN) != 0; }
    void setRescan() { m_mode |= F_RESCAN; }
    bool isMerge() const { return (m_mode & F_MERGE) != 0; }
    void setMerge() { m_mode |= F_MERGE; }
    bool isConflict() const { return (m_mode & F_CONFLICT) != 0; }
    void setConflict() { m_mode |= F_CONFLICT; }
    bool isLocalSubDirRescan() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN) != 0; }
    void setLocalSubDirRescan() { m_mode |= F_LOCAL_SUBDIR_RESCAN; }
    bool isServerSubDirRescan() const { return (m_mode & F_SERVER_SUBDIR_RESCAN) != 0; }
    void setServerSubDirRescan() { m_mode |= F_SERVER_SUBDIR_RESCAN; }
    bool isLocalSubDirRescanWithStat() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN_STAT) != 0; }
    void setLocalSubDirRescanWithStat() { m_mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
    bool isServerSubDirRescanWithStat() const { return (m_mode & F_SERVER_SUBDIR_RESCAN_STAT) != 0; }
    void setServerSubDirRescanWithStat() { m_mode |= F_SERVER_SUBDIR_RESCAN_STAT; }
    bool isSubDirRescan() const {
        return (m_mode & (F_LOCAL_SUBDIR_RESCAN | F_SERVER_SUBDIR_RESCAN | F_LOCAL_SUBDIR_RESCAN_STAT |
                          F_SERVER_SUBDIR_RESCAN_STAT)) != 0;
    }
};

inline void swap(Event& a, Event& b) noexcept { a.swap(b); }

// The client's own stamp of a local file as it was synchronised: any difference
// means the file changed, whatever its size and whole seconds say (a time put back,
// a time clamped to 32 bits, a file replaced by another within one second). All zero:
// not known (a folder, a row written before stamps were kept).
struct LocalStamp {
    int64_t mtime_ns = 0;  // modification time, nanoseconds since the epoch
    int64_t ctime_ns = 0;  // status change time, nanoseconds since the epoch
    uint64_t inode = 0;
    bool known() const { return inode != 0; }
    bool operator==(const LocalStamp&) const = default;
};

struct ClientFileEventInfo {
    int32_t fileType = 0;  // 0 file, 1 directory
    int32_t isExist = 0;
    uint32_t fileModTime = 0;
    uint32_t execBit = 0;
    uint64_t syncID = 0;
    uint64_t maxSyncID = 0;
    uint64_t pDirID = 0;
    uint64_t fileSize = 0;
    ustring fileCheckSum;
    ustring baseName;
    ustring path;  // with its leading "/"
    ustring filePrivilege;
    ustring updateClient;
    ustring signaturePath;
    ustring macHash;
    ustring windowsHash;
    ustring linuxHash;
    ustring varnelHash;
    LocalStamp stamp;

    void Clear();
};
