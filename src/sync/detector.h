// Detector: the local change detector task. One inotify instance watches every
// directory of every session's folder (sessions get their watches when they are added
// and lose them when they are removed); the task reads the change records, turns them
// into local events and hands those to the event manager. Design notes at the top of
// detector.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "events/sync_services.h"
#include "foundation/mutex.h"
#include "foundation/task.h"
#include "foundation/ustring.h"
#include "platform/inotify.h"
#include "store/event.h"

class SessionRoot;

// Where the detector's results go. The detector's own sink (when none is given)
// forwards to the services' event manager, UI notices, registry and the log; tests
// record them instead. The base class drops what its subclass does not override.
class DetectorSink {
public:
    virtual ~DetectorSink() = default;
    virtual void PushLocalEvent(const Event&) {}
    virtual void IssueRescan(uint64_t, const ustring&, bool) {}
    virtual void ReportSessionError(uint64_t, int) {}
    // The session's folder is back as a new directory: the root every task uses from
    // now on. The device check at each rescan still refuses one on another volume.
    virtual void ReplaceRoot(uint64_t, std::shared_ptr<const SessionRoot>) {}
    // A warning for the user's log (the text is a whole log line).
    virtual void Warning(uint64_t, const std::string&) {}
    // The item rel cannot be synchronised for reason (a static sentence), to be listed
    // in the status and noted once; reason null: it can be again.
    virtual void Unsyncable(uint64_t, const std::string&, const char*) {}
    // The folder rel can be read again: the notes that it or something below it could
    // not be read are dropped; their number.
    virtual size_t Readable(uint64_t, const std::string&) { return 0; }
};

class Detector : public Task {
public:
    // Registry lookups and folder opening go through `services`; results go to sink,
    // or (none given) to the services.
    explicit Detector(const SyncServices& services, TaskManager* owner = nullptr,
                      std::shared_ptr<DetectorSink> sink = nullptr);
    ~Detector() override;

    void DoTask() override;

    // Watches path (a directory, not a link) and every directory below it for the
    // session (message thread). Replacing the watch of an id already watched releases
    // the earlier one. 0, or -1 when the folder cannot be watched (nothing changes
    // then). Directories refused by the watch limit leave the session watched in part,
    // rescanned now and then (see SetDegradedRescanInterval).
    int AddWatch(const ustring& path, uint64_t sess_id) EXCLUDES(lock);
    // Releases the session's watches; an id that is not watched changes nothing.
    void RemoveWatch(uint64_t sess_id) EXCLUDES(lock);
    // Releases every watch.
    void Clear() EXCLUDES(lock);

    bool HasWatch(uint64_t sess_id) EXCLUDES(lock);
    size_t GetWatchCount() EXCLUDES(lock);
    // The folder the session's watch was given, empty when it is not watched.
    ustring GetWatchPath(uint64_t sess_id) EXCLUDES(lock);
    // Directories of the session that are watched now (tests).
    size_t GetWatchedDirCount(uint64_t sess_id) EXCLUDES(lock);

    // One round of the task (the detector thread; tests call it on a detector that was
    // never started): waits up to timeout_ms for change records, translates them and
    // hands the events on; then does what is due (pending renames that found no
    // partner, long writes, lost folders, partly watched sessions). The number of
    // records read, or -1 when the instance failed.
    int Poll(int timeout_ms) EXCLUDES(lock);

    // Test knobs: the inotify stand-ins for the kernel's limits (Inotify::SetWatchLimit,
    // SetQueueLimit), and how often a partly watched session is rescanned.
    void SetWatchLimit(size_t n) { notifier.SetWatchLimit(n); }
    void SetQueueLimit(size_t n) { notifier.SetQueueLimit(n); }
    void SetDegradedRescanInterval(std::chrono::milliseconds d) EXCLUDES(lock);

private:
    using Clock = std::chrono::steady_clock;

    struct Owner {
        uint64_t sess_id;
        std::string rel;  // the watched directory: "/" or "/a/b"
    };

    struct session_info {
        ustring path;  // as AddWatch received it
        std::shared_ptr<const SessionRoot> root;
        std::map<std::string, int> dirs;  // watched directories: rel -> descriptor
        bool lost = false;                // the folder went away; waiting for it
        Clock::time_point next_check{};   // when to look at the folder again
        bool degraded = false;            // some directories could not be watched
        bool warned = false;              // the user was told why
        Clock::time_point next_rescan{};  // degraded: when to rescan next
    };

    // A rename's first half, waiting for its second.
    struct PendingMove {
        uint64_t sess_id;
        std::string rel;
        bool is_dir;
        Clock::time_point seen;
    };

    // A file written and not closed yet. Its size is looked at again when it has been
    // quiet for a while: one long write (held up by the kernel's write-back) grows the
    // file without any event until it returns.
    struct OpenWrite {
        Clock::time_point first;  // the first write (or the creation)
        Clock::time_point last;   // the last write, or the last time it was seen growing
        uint64_t size = 0;        // the size then
        bool created = false;     // created by this writer: announced as a creation
    };

    // What one round produced, handed on once the lock is released.
    struct Outbox {
        struct Item {
            Event event;
            bool type_from_db;  // a removal typed from the event database (or dropped)
        };
        std::vector<Item> events;
        std::map<std::pair<uint64_t, std::string>, size_t> last;       // newest item per path
        std::map<uint64_t, bool> rescans;                              // session -> merge
        std::map<uint64_t, std::shared_ptr<const SessionRoot>> roots;  // folders that came back
        std::vector<std::pair<uint64_t, int>> errors;
        std::vector<std::pair<uint64_t, std::string>> warnings;
        struct Unsyncable {
            uint64_t sess_id;
            std::string rel;
            const char* reason;  // null: syncable again
        };
        std::vector<Unsyncable> unsyncable;
        struct Regained {
            uint64_t sess_id;
            std::string rel;
            bool unwatched;  // it was not watched until now
        };
        // Folders whose mode changed and that can be read: rescanned when they were
        // not watched or something in them was noted as unreadable.
        std::vector<Regained> readable;

        void Push(uint64_t sess_id, Event::Type type, const std::string& rel, bool is_dir, bool type_from_db);
        void Rescan(uint64_t sess_id, bool merge);
    };

    void Deliver(Outbox& out) EXCLUDES(lock);
    // For a file changed through one of its hard links: pushes the same change for the
    // other names the event database records with its inode, once each (pushed holds
    // the paths already pushed this round).
    void PushOtherLinks(const Event& e, std::set<std::pair<uint64_t, std::string>>& pushed) EXCLUDES(lock);
    void Handle(const InotifyRecord& rec, Clock::time_point now, Outbox& out) REQUIRES(lock);
    void HandleEntry(uint64_t sess_id, const std::string& rel, const InotifyRecord& rec, Clock::time_point now,
                     Outbox& out) REQUIRES(lock);
    void MovedOut(const PendingMove& move, Outbox& out) REQUIRES(lock);
    // Notes the file key, of size bytes now, as written and not closed (created: by
    // this writer); its close, or DoDue, announces it.
    void MarkWritten(const std::pair<uint64_t, std::string>& key, Clock::time_point now, uint64_t size, bool created)
        REQUIRES(lock);
    // A rename inside the session's folder from `from` to `to`: pushes the removal it
    // makes, or keeps the hold while the item has a name that cannot be synchronised.
    // True when the new name is to be announced as a creation.
    bool MovedWithin(uint64_t sess_id, session_info& info, const PendingMove& from, const std::string& to, bool is_dir,
                     Outbox& out) REQUIRES(lock);
    // Whether rel can be synchronised; when it cannot, it is noted once with its
    // reason (the topmost such name of a tree only).
    static bool Syncable(uint64_t sess_id, const std::string& rel, Outbox& out);
    // The holds on rel and below it, taken out: (path below rel, e.g. "" or "/x",
    // held-back path).
    std::vector<std::pair<std::string, std::string>> TakeHeld(uint64_t sess_id, const std::string& rel) REQUIRES(lock);
    // A held item that is gone for good: its held-back removals go out now.
    void ReleaseHeld(uint64_t sess_id, const std::string& rel, Outbox& out) REQUIRES(lock);
    // A folder's mode (or owner, or times) changed: one that cannot be read now is
    // noted, one that can is watched and goes to out.readable.
    void ModeChanged(uint64_t sess_id, session_info& info, const std::string& rel, Outbox& out) REQUIRES(lock);
    // The topmost unsyncable name rel was renamed to a valid one or went, and no hold
    // of this run covers it: a rescan of the session settles a hold an earlier run kept.
    static void RescanForHold(uint64_t sess_id, const std::string& rel, Outbox& out);
    void Overflow(Outbox& out) REQUIRES(lock);
    void DoDue(Clock::time_point now, Outbox& out) REQUIRES(lock);

    // Watches rel and every directory below it (not the working directory's contents);
    // with push, announces each entry found as an EV_CREATE, directories first.
    void AddTree(uint64_t sess_id, session_info& info, const std::string& rel, bool push, Outbox& out) REQUIRES(lock);
    int WatchDir(uint64_t sess_id, session_info& info, const std::string& rel, Outbox& out) REQUIRES(lock);
    void Register(uint64_t sess_id, session_info& info, const std::string& rel, int wd) REQUIRES(lock);
    // Forgets the watches of rel and everything below it; the descriptors nobody else
    // uses are removed.
    void DropTree(uint64_t sess_id, session_info& info, const std::string& rel) REQUIRES(lock);
    // Forgets the watches without removing them: the descriptors that nobody uses any
    // more are appended to unused.
    void ForgetTree(uint64_t sess_id, session_info& info, const std::string& rel, std::vector<int>& unused)
        REQUIRES(lock);
    // Forgets one watched directory; returns the next one.
    std::map<std::string, int>::iterator ForgetDir(uint64_t sess_id, session_info& info,
                                                   std::map<std::string, int>::iterator it, std::vector<int>& unused)
        REQUIRES(lock);
    void RemoveUnused(const std::vector<int>& wds) REQUIRES(lock);
    void LoseFolder(uint64_t sess_id, session_info& info, Outbox& out) REQUIRES(lock);
    int Rewatch(uint64_t sess_id, session_info& info, Outbox& out) REQUIRES(lock);
    void Degrade(uint64_t sess_id, session_info& info, Outbox& out) REQUIRES(lock);

    const SyncServices services;
    std::shared_ptr<DetectorSink> sink;
    Inotify notifier;  // its own lock; add and remove from any thread

    Mutex lock;
    std::map<uint64_t, session_info> index GUARDED_BY(lock);
    std::map<int, std::vector<Owner>> by_wd GUARDED_BY(lock);                      // a folder may sit in two sessions
    std::map<uint32_t, PendingMove> moves GUARDED_BY(lock);                        // by cookie
    std::map<std::pair<uint64_t, std::string>, OpenWrite> dirty GUARDED_BY(lock);  // written, not closed
    // Synchronised items renamed to a name that cannot be synchronised: (session, that
    // name) -> the path whose removal is held back until the item is gone for good or
    // comes back under a valid name (then it goes out as a rename).
    std::map<std::pair<uint64_t, std::string>, std::string> held_back GUARDED_BY(lock);
    std::chrono::milliseconds degraded_interval GUARDED_BY(lock);
};
