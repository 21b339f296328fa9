// Local change detector.
//
// One inotify instance (notifier) serves every session. Each session has a watch on
// every directory of its folder, added when the session is added and for every
// directory that appears later (a tree created or moved in is walked: it is watched
// and each entry in it is announced as a creation, parents first). The working
// directory itself is watched, never its contents: only the loss of it or of its
// recycle folder matters there, and both are recreated at once.
//
// A change record goes through these steps, all on the detector thread:
//   read (Poll, no lock) -> translated under `lock` into an Outbox (events, rescans,
//   session errors, warnings) -> handed on by Deliver, with `lock` released.
// The halves of a rename are joined by their cookie: the first half waits in `moves`
// until its partner arrives or kMoveWait passes; a partner inside the same session
// makes a removal + creation, one elsewhere (another session, the working directory,
// outside every folder) makes the first half a removal of a known path. Writes are
// coalesced: IN_CREATE and IN_MODIFY only mark the file (`dirty`); its close makes
// the one EV_CREATE or EV_MODIFY, so that nobody reads a file half written. A file left
// open makes it once it has neither been written nor grown for kWriteFlush, or after
// kWriteFlushMax of writing (a log that is never closed still travels).
// A name that cannot be synchronised (sync/server_path.h) is noted once for the status
// and produces no events. A synchronised item renamed to such a name is still here:
// its removal is held back (`held_back`) until it is removed or moved out for good, and it
// goes out as a rename once the item has a valid name again.
// A queue overflow re-walks every session's watches and rescans it; a watch refused by
// the per-user limit leaves the session partly watched and rescanned every
// degraded_interval; a folder that goes away is reported as a session error, watched
// for again every second, and rescanned (with merge, so nothing on the server is
// removed because of a folder that was away) once it is back.
//
// Threads and locks: `lock` guards index, by_wd, moves, dirty and degraded_interval.
// The message thread takes it in AddWatch, RemoveWatch and Clear; the detector thread
// while it translates. The notifier has its own lock and may be called either way.
// Rule: never call the sink (event manager, UI, registry, event database) while
// holding `lock`; Deliver asserts it.
#include "sync/detector.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "events/event_manager.h"
#include "events/registry.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "platform/file_ops.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/session_folders.h"
#include "sync/server_path.h"

namespace {

const char* const kChannel = "detector_debug";

// Whether the folder holding rel can be synchronised: rel is then the topmost name of
// a tree that cannot.
bool ParentSyncable(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return UnsyncableReason(ustring(slash == 0 || slash == std::string::npos ? "/" : rel.substr(0, slash))) == nullptr;
}

// Everything that changes a directory's entries or a file's content or times. The
// directory's own removal or move ends its watch.
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr int kPollMs = 200;  // the task sees pause and stop within this
constexpr auto kMoveWait = std::chrono::milliseconds(20);
constexpr auto kWriteFlush = std::chrono::seconds(1);
constexpr auto kWriteFlushMax = std::chrono::seconds(10);
constexpr auto kLostCheck = std::chrono::seconds(1);
constexpr auto kDegradedInterval = std::chrono::seconds(120);
constexpr int kReadsPerRound = 16;

// Set while this thread holds a Detector's lock; Deliver must never run then.
thread_local bool t_lock_held = false;
struct HeldMark {
    HeldMark() { t_lock_held = true; }
    ~HeldMark() { t_lock_held = false; }
};

std::string ChildPath(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool InTree(const std::string& rel, const std::string& top) {
    return top == "/" || rel == top ||
           (rel.size() > top.size() && rel.compare(0, top.size(), top) == 0 && rel[top.size()] == '/');
}

// Exact case: a user folder ".varnelworkingdirectory" is synchronised like any other.
bool IsWorking(const std::string& rel) { return InTree(rel, session_folders::kRelWorkingDirectory); }

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

namespace {

// The detector's own sink: the services' event manager, registry and UI notices.
class ServicesSink : public DetectorSink {
public:
    explicit ServicesSink(const SyncServices& s) : services(s) {}
    void PushLocalEvent(const Event& e) override { services.events->PushLocalEvent(e); }
    void IssueRescan(uint64_t sess_id, const ustring& path, bool merge) override {
        services.events->IssueRescan(sess_id, path, merge);
    }
    void ReplaceRoot(uint64_t sess_id, std::shared_ptr<const SessionRoot> root) override {
        services.registry->SetRoot(sess_id, std::move(root));
    }
    void ReportSessionError(uint64_t sess_id, int error) override { services.ui.session_error(sess_id, error); }
    void Warning(uint64_t, const std::string& line) override {
        NLOG_AT(L_WARNING, kChannel, "detector-win2.cpp", "%s\n", line.c_str());
    }
    void Unsyncable(uint64_t sess_id, const std::string& rel, const char* reason) override {
        // Recorded on the session's own root, which the status lists.
        Registry::Entry entry;
        if (services.registry->Find(sess_id, entry) == 0 || !entry.root) return;
        if (reason)
            entry.root->NoteUnsyncable(ustring(rel), reason);
        else
            entry.root->ForgetUnsyncable(ustring(rel));
    }
    size_t Readable(uint64_t sess_id, const std::string& rel) override {
        Registry::Entry entry;
        if (services.registry->Find(sess_id, entry) == 0 || !entry.root) return 0;
        return entry.root->ForgetUnreadable(ustring(rel), true);
    }

private:
    const SyncServices services;
};

}  // namespace

void Detector::Outbox::Push(uint64_t sess_id, Event::Type type, const std::string& rel, bool is_dir,
                            bool type_from_db) {
    const auto key = std::make_pair(sess_id, rel);
    auto prev = last.find(key);
    if (prev != last.end() && !events[prev->second].type_from_db) {
        // A file created or written earlier in this round is read whole later anyway.
        const Event::Type before = events[prev->second].event.m_type;
        if ((type == Event::EV_MODIFY && (before == Event::EV_CREATE || before == Event::EV_MODIFY)) ||
            (type == Event::EV_CREATE && before == Event::EV_CREATE))
            return;
    }
    if (type == Event::EV_REMOVE) {
        // What was created earlier in this round below a removed path is gone with it:
        // a later create there is new, never folded into the earlier one.
        const auto below = std::make_pair(sess_id, rel + "/");
        for (auto it = last.lower_bound(below); it != last.end() && it->first.first == sess_id &&
                                                it->first.second.compare(0, rel.size() + 1, below.second) == 0;)
            it = last.erase(it);
    }
    Item item{Event(), type_from_db};
    item.event.m_type = type;
    item.event.m_path = rel;
    item.event.m_sess_id = sess_id;
    if (is_dir) item.event.setDir();
    last[key] = events.size();
    events.push_back(std::move(item));
}

void Detector::Outbox::Rescan(uint64_t sess_id, bool merge) { rescans[sess_id] = rescans[sess_id] || merge; }

Detector::Detector(const SyncServices& services, TaskManager* owner, std::shared_ptr<DetectorSink> s)
    : Task(owner, nullptr), services(services), sink(s ? std::move(s) : std::make_shared<ServicesSink>(services)) {
    MutexLock guard(lock);
    degraded_interval = kDegradedInterval;
    if (notifier.Open() != INOTIFY_OK)
        NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "inotify_init: Error Code: %d\n", errno);
}

Detector::~Detector() { Clear(); }

void Detector::SetDegradedRescanInterval(std::chrono::milliseconds d) {
    MutexLock guard(lock);
    degraded_interval = d;
    const Clock::time_point soonest = Clock::now() + d;
    for (auto& [sess_id, info] : index)
        if (info.degraded && info.next_rescan > soonest) info.next_rescan = soonest;
}

// ---- watch bookkeeping -------------------------------------------------------------

void Detector::Register(uint64_t sess_id, session_info& info, const std::string& rel, int wd) {
    auto known = info.dirs.find(rel);
    if (known != info.dirs.end() && known->second != wd) {
        // Another directory now stands under this name: release the old one's watch.
        std::vector<int> unused;
        ForgetDir(sess_id, info, known, unused);
        RemoveUnused(unused);
    }
    info.dirs[rel] = wd;
    auto& owners = by_wd[wd];
    for (Owner& o : owners) {
        if (o.sess_id != sess_id) continue;
        if (o.rel != rel) {
            // The directory was known under another name (a rename we did not see).
            auto stale = info.dirs.find(o.rel);
            if (stale != info.dirs.end() && stale->second == wd) info.dirs.erase(stale);
            o.rel = rel;
        }
        return;
    }
    owners.push_back(Owner{sess_id, rel});
}

std::map<std::string, int>::iterator Detector::ForgetDir(uint64_t sess_id, session_info& info,
                                                         std::map<std::string, int>::iterator it,
                                                         std::vector<int>& unused) {
    const int wd = it->second;
    auto owners = by_wd.find(wd);
    if (owners != by_wd.end()) {
        auto& list = owners->second;
        for (auto o = list.begin(); o != list.end(); ++o) {
            if (o->sess_id == sess_id) {
                list.erase(o);
                break;
            }
        }
        if (list.empty()) {
            by_wd.erase(owners);
            unused.push_back(wd);
        }
    }
    return info.dirs.erase(it);
}

void Detector::ForgetTree(uint64_t sess_id, session_info& info, const std::string& rel, std::vector<int>& unused) {
    if (rel == "/") {
        for (auto it = info.dirs.begin(); it != info.dirs.end();) it = ForgetDir(sess_id, info, it, unused);
        return;
    }
    auto self = info.dirs.find(rel);
    if (self != info.dirs.end()) ForgetDir(sess_id, info, self, unused);
    // Everything below rel sorts together, right after rel + "/".
    const std::string prefix = rel + "/";
    for (auto it = info.dirs.lower_bound(prefix);
         it != info.dirs.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
        it = ForgetDir(sess_id, info, it, unused);
}

void Detector::RemoveUnused(const std::vector<int>& wds) {
    for (int wd : wds) {
        // Removing a watch the kernel ended already fails harmlessly.
        if (by_wd.count(wd) == 0) notifier.RemoveWatch(wd);
    }
}

void Detector::DropTree(uint64_t sess_id, session_info& info, const std::string& rel) {
    std::vector<int> unused;
    ForgetTree(sess_id, info, rel, unused);
    RemoveUnused(unused);
}

int Detector::WatchDir(uint64_t sess_id, session_info& info, const std::string& rel, Outbox& out) {
    // Opened beneath the root without passing a link; the watch goes on that very
    // directory.
    int fd = -1;
    if (info.root->OpenAt(rel, O_PATH | O_DIRECTORY | O_NOFOLLOW, 0, fd) != FsResult::kOk) {
        NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "not watching %s: error code %d\n", rel.c_str(), errno);
        return INOTIFY_ERR_GONE;
    }
    int wd = -1;
    const int rc = notifier.AddWatchAt(fd, kMask, wd);
    close(fd);
    if (rc == INOTIFY_ERR_LIMIT) {
        Degrade(sess_id, info, out);
        return rc;
    }
    if (rc != INOTIFY_OK) {
        NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "inotify_add_watch(%s): %d\n", rel.c_str(), rc);
        return rc;
    }
    Register(sess_id, info, rel, wd);
    return INOTIFY_OK;
}

void Detector::AddTree(uint64_t sess_id, session_info& info, const std::string& rel, bool push, Outbox& out) {
    std::vector<std::string> stack{rel};
    while (!stack.empty()) {
        const std::string dir = std::move(stack.back());
        stack.pop_back();
        const int rc = WatchDir(sess_id, info, dir, out);
        if (rc == INOTIFY_ERR_GONE || rc == INOTIFY_ERR_NOT_DIR) continue;
        if (rc == INOTIFY_ERR_DENIED) {
            // Neither announced nor walked: its content is unknown, not empty. Its
            // change of mode (reported by its parent) brings it in.
            if (UnsyncableReason(ustring(dir)) == nullptr)
                out.unsyncable.push_back({sess_id, dir, SessionRoot::kUnreadable});
            continue;
        }
        const bool syncable = push && (dir == "/" || Syncable(sess_id, dir, out));
        if (push && syncable && dir != "/") out.Push(sess_id, Event::EV_CREATE, dir, true, false);
        // A subtree that cannot be watched is left to the rescans; with push its
        // entries are still announced, since nothing else will do it now.
        if (rc != INOTIFY_OK && !push) continue;
        DIR_HANDLE dh;
        if (info.root->OpenDir(dir, 0, dh) != FsResult::kOk) continue;
        std::vector<std::string> subdirs;
        DIR_ENTRY entry;
        while (FSReadDir(dh, entry) == 1) {
            const std::string name = entry.name.str();
            if (name == "." || name == "..") continue;
            const std::string child = ChildPath(dir, name);
            if (child == session_folders::kRelWorkingDirectory) {
                if (!push) WatchDir(sess_id, info, child, out);
                continue;
            }
            if (entry.type == FT_DIR)
                subdirs.push_back(child);
            else if (entry.type == FT_FILE && push && syncable && Syncable(sess_id, child, out))
                out.Push(sess_id, Event::EV_CREATE, child, false, false);
        }
        FSCloseDir(dh);
        stack.insert(stack.end(), subdirs.rbegin(), subdirs.rend());
    }
}

void Detector::Degrade(uint64_t sess_id, session_info& info, Outbox& out) {
    if (info.degraded) return;
    info.degraded = true;
    info.next_rescan = Clock::now() + degraded_interval;
    out.Rescan(sess_id, false);
    if (info.warned) return;
    info.warned = true;
    out.warnings.emplace_back(sess_id,
                              "session " + std::to_string(sess_id) + ": the per-user inotify watch limit " +
                                  "(fs.inotify.max_user_watches) is reached, so some folders of " + info.path.str() +
                                  " are not watched and their changes arrive only by rescans; raise the limit, e.g. "
                                  "'sysctl fs.inotify.max_user_watches=524288' (keep it in /etc/sysctl.d/)");
}

void Detector::LoseFolder(uint64_t sess_id, session_info& info, Outbox& out) {
    if (info.lost) return;
    NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "session %llu: the folder %s went away, waiting for it\n",
            ull(sess_id), info.path.c_str_utf8());
    info.lost = true;
    info.next_check = Clock::now() + kLostCheck;
    DropTree(sess_id, info, "/");
    for (auto it = moves.begin(); it != moves.end();) it = it->second.sess_id == sess_id ? moves.erase(it) : ++it;
    for (auto it = dirty.begin(); it != dirty.end();) it = it->first.first == sess_id ? dirty.erase(it) : ++it;
    out.errors.emplace_back(sess_id, ERR_SYNCFOLDER_MISS);
}

int Detector::Rewatch(uint64_t sess_id, session_info& info, Outbox& out) {
    struct stat st;
    if (lstat(info.path.c_str_utf8(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    std::shared_ptr<const SessionRoot> root;
    if (!services.open_root(info.path, root)) return -1;
    info.root = root;
    info.lost = false;
    info.degraded = false;
    (void)root->MKDirP(session_folders::kRelRecycleFolder);
    AddTree(sess_id, info, "/", false, out);
    if (info.dirs.count("/") == 0) {
        info.lost = true;
        return -1;
    }
    NLOG_AT(L_INFO, kChannel, "detector-win2.cpp", "session %llu: the folder %s is back, rescan it\n", ull(sess_id),
            info.path.c_str_utf8());
    // Merge: what is missing now is fetched again rather than removed on the server.
    out.roots[sess_id] = root;
    out.Rescan(sess_id, true);
    return 0;
}

// ---- the message thread's side -----------------------------------------------------

int Detector::AddWatch(const ustring& path, uint64_t sess_id) {
    NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "Detector add watch: %s\n", path.c_str_utf8());
    // The folder itself, never a link standing in its place (IN_DONT_FOLLOW) and only a
    // directory; it must open as a session root as well.
    int wd = -1;
    const int rc = notifier.AddWatch(path.str(), kMask, wd);
    if (rc != INOTIFY_OK) {
        NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "CreateFile(%s): Error code: %d\n", path.c_str_utf8(), errno);
        return -1;
    }
    std::shared_ptr<const SessionRoot> root;
    if (!services.open_root(path, root)) {
        NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "CreateFile(%s): Error code: %d\n", path.c_str_utf8(), errno);
        MutexLock guard(lock);
        HeldMark held;
        RemoveUnused({wd});
        return -1;
    }
    (void)root->MKDirP(session_folders::kRelRecycleFolder);

    Outbox out;
    {
        MutexLock guard(lock);
        HeldMark held;
        std::vector<int> unused;
        auto old = index.find(sess_id);
        if (old != index.end()) {
            // A second watch for the same id: the first one's watches are released,
            // never left unreachable (those the new one shares stay).
            ForgetTree(sess_id, old->second, "/", unused);
            index.erase(old);
        }
        for (auto it = moves.begin(); it != moves.end();) it = it->second.sess_id == sess_id ? moves.erase(it) : ++it;
        for (auto it = dirty.begin(); it != dirty.end();) it = it->first.first == sess_id ? dirty.erase(it) : ++it;
        for (auto it = held_back.begin(); it != held_back.end();)
            it = it->first.first == sess_id ? held_back.erase(it) : ++it;
        session_info& info = index[sess_id];
        info.path = path;
        info.root = root;
        Register(sess_id, info, "/", wd);
        AddTree(sess_id, info, "/", false, out);
        RemoveUnused(unused);
    }
    // A new session is rescanned as it is added; a rescan asked for here would come
    // before its registry entry exists.
    out.rescans.clear();
    Deliver(out);
    return 0;
}

void Detector::RemoveWatch(uint64_t sess_id) {
    MutexLock guard(lock);
    HeldMark held;
    auto it = index.find(sess_id);
    if (it == index.end()) return;
    DropTree(sess_id, it->second, "/");
    for (auto m = moves.begin(); m != moves.end();) m = m->second.sess_id == sess_id ? moves.erase(m) : ++m;
    for (auto d = dirty.begin(); d != dirty.end();) d = d->first.first == sess_id ? dirty.erase(d) : ++d;
    for (auto h = held_back.begin(); h != held_back.end();) h = h->first.first == sess_id ? held_back.erase(h) : ++h;
    index.erase(it);
}

void Detector::Clear() {
    MutexLock guard(lock);
    HeldMark held;
    std::vector<int> unused;
    for (auto& [sess_id, info] : index) {
        NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "session #%llu (%s) down\n", ull(sess_id),
                info.path.c_str_utf8());
        ForgetTree(sess_id, info, "/", unused);
    }
    RemoveUnused(unused);
    index.clear();
    moves.clear();
    dirty.clear();
    held_back.clear();
}

bool Detector::HasWatch(uint64_t sess_id) {
    MutexLock guard(lock);
    return index.count(sess_id) != 0;
}

size_t Detector::GetWatchCount() {
    MutexLock guard(lock);
    return index.size();
}

ustring Detector::GetWatchPath(uint64_t sess_id) {
    MutexLock guard(lock);
    auto it = index.find(sess_id);
    return it == index.end() ? ustring() : it->second.path;
}

size_t Detector::GetWatchedDirCount(uint64_t sess_id) {
    MutexLock guard(lock);
    auto it = index.find(sess_id);
    return it == index.end() ? 0 : it->second.dirs.size();
}

// ---- the detector thread's side ----------------------------------------------------

void Detector::DoTask() {
    NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "detector start\n");
    RunLoop([this] { return Poll(kPollMs) < 0 ? 1u : 0u; });
    NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "detector stop\n");
}

int Detector::Poll(int timeout_ms) {
    {
        MutexLock guard(lock);
        if (!moves.empty()) timeout_ms = std::min<int>(timeout_ms, kMoveWait.count());
    }
    const int ready = notifier.Wait(timeout_ms);
    if (ready < 0) {
        NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "poll: Error Code: %d\n", errno);
        return -1;
    }
    std::vector<InotifyRecord> records;
    if (ready > 0) {
        for (int i = 0; i < kReadsPerRound; ++i) {
            const int n = notifier.Read(records);
            if (n < 0) {
                NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "read: Error Code: %d\n", errno);
                break;
            }
            if (n == 0) break;
        }
    }
    Outbox out;
    {
        MutexLock guard(lock);
        HeldMark held;
        const Clock::time_point now = Clock::now();
        for (const InotifyRecord& rec : records) Handle(rec, now, out);
        DoDue(now, out);
    }
    Deliver(out);
    return static_cast<int>(records.size());
}

void Detector::Handle(const InotifyRecord& rec, Clock::time_point now, Outbox& out) {
    NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "Notification: wd %d, mask 0x%x, cookie %u, %s\n", rec.wd, rec.mask,
            rec.cookie, rec.name.c_str());
    if ((rec.mask & IN_Q_OVERFLOW) != 0) {
        Overflow(out);
        return;
    }
    auto it = by_wd.find(rec.wd);
    if (it == by_wd.end()) return;                 // a watch released meanwhile
    const std::vector<Owner> owners = it->second;  // the handlers below change by_wd
    for (const Owner& o : owners) {
        auto s = index.find(o.sess_id);
        if (s == index.end() || s->second.lost) continue;
        session_info& info = s->second;
        if (o.rel == "/" && (rec.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) != 0) {
            LoseFolder(o.sess_id, info, out);
            continue;
        }
        if ((rec.mask & IN_IGNORED) != 0) {
            // A directory below went away; its removal was reported by its parent.
            auto d = info.dirs.find(o.rel);
            if (d != info.dirs.end() && d->second == rec.wd) {
                std::vector<int> unused;
                ForgetTree(o.sess_id, info, o.rel, unused);
                RemoveUnused(unused);
            }
            continue;
        }
        // Changes of a directory itself (its times, its mode) are not synchronised.
        if (rec.name.empty()) continue;
        HandleEntry(o.sess_id, ChildPath(o.rel, rec.name), rec, now, out);
    }
}

void Detector::HandleEntry(uint64_t sess_id, const std::string& rel, const InotifyRecord& rec, Clock::time_point now,
                           Outbox& out) {
    session_info& info = index[sess_id];
    const bool is_dir = (rec.mask & IN_ISDIR) != 0;
    const auto key = std::make_pair(sess_id, rel);

    if (IsWorking(rel)) {
        if ((rec.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 &&
            (rel == session_folders::kRelWorkingDirectory || rel == session_folders::kRelRecycleFolder)) {
            NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "recreating working directory (%d)\n",
                    static_cast<int>(rec.mask));
            if (rel == session_folders::kRelWorkingDirectory) DropTree(sess_id, info, rel);
            info.next_check = now;  // perhaps the whole folder is going
            (void)info.root->MKDirP(session_folders::kRelRecycleFolder);
            if (info.dirs.count(session_folders::kRelWorkingDirectory) == 0)
                WatchDir(sess_id, info, session_folders::kRelWorkingDirectory, out);
        }
        if ((rec.mask & IN_MOVED_TO) != 0) {
            // Moved into the working directory: gone from the folder.
            auto m = moves.find(rec.cookie);
            if (m != moves.end()) {
                const PendingMove from = m->second;
                moves.erase(m);
                MovedOut(from, out);
            }
        }
        NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "ignoring changes to %s\n", rel.c_str());
        return;
    }

    auto push_file = [&](Event::Type type) {
        FILE_INFO fi;
        if (info.root->Stat(rel, fi) != FsResult::kOk || !fi.isExist) return;  // gone again: its removal follows
        if (fi.type == FT_FILE) {
            if (Syncable(sess_id, rel, out)) out.Push(sess_id, type, rel, false, false);
        } else if (fi.type != FT_DIR) {
            info.root->NoteUnsynchronised(rel, fi.type);  // links, special files
        }
    };

    if ((rec.mask & IN_CREATE) != 0) {
        FILE_INFO fi;
        if (is_dir)
            AddTree(sess_id, info, rel, true, out);
        else if (info.root->Stat(rel, fi) == FsResult::kOk && fi.isExist && fi.type == FT_FILE)
            MarkWritten(key, now, fi.size, true);  // a link() has no close: DoDue announces it
        else
            push_file(Event::EV_CREATE);  // gone again, or a link or special file: noted
    } else if ((rec.mask & IN_MODIFY) != 0) {
        FILE_INFO fi;
        if (!is_dir && info.root->Stat(rel, fi) == FsResult::kOk && fi.isExist) MarkWritten(key, now, fi.size, false);
    } else if ((rec.mask & IN_CLOSE_WRITE) != 0) {
        auto d = dirty.find(key);
        const bool created = d != dirty.end() && d->second.created;
        if (d != dirty.end()) dirty.erase(d);
        push_file(created ? Event::EV_CREATE : Event::EV_MODIFY);
    } else if ((rec.mask & IN_ATTRIB) != 0) {
        if (is_dir)
            ModeChanged(sess_id, info, rel, out);
        else
            push_file(Event::EV_MODIFY);
    } else if ((rec.mask & IN_DELETE) != 0) {
        dirty.erase(key);
        if (is_dir) DropTree(sess_id, info, rel);
        if (UnsyncableReason(rel) == nullptr)
            out.Push(sess_id, Event::EV_REMOVE, rel, is_dir, true);
        else
            ReleaseHeld(sess_id, rel, out);
    } else if ((rec.mask & IN_MOVED_FROM) != 0) {
        dirty.erase(key);
        moves[rec.cookie] = PendingMove{sess_id, rel, is_dir, now};
    } else if ((rec.mask & IN_MOVED_TO) != 0) {
        auto m = moves.find(rec.cookie);
        if (m != moves.end()) {
            const PendingMove from = m->second;
            moves.erase(m);
            if (from.sess_id != sess_id)
                MovedOut(from, out);
            else if (!MovedWithin(sess_id, info, from, rel, is_dir, out))
                return;
        }
        if (is_dir)
            AddTree(sess_id, info, rel, true, out);
        else
            push_file(Event::EV_CREATE);
    }
}

void Detector::MarkWritten(const std::pair<uint64_t, std::string>& key, Clock::time_point now, uint64_t size,
                           bool created) {
    auto [it, fresh] = dirty.try_emplace(key, OpenWrite{now, now, size, created});
    if (!fresh) {
        it->second.last = now;
        it->second.size = size;
    }
}

bool Detector::Syncable(uint64_t sess_id, const std::string& rel, Outbox& out) {
    const char* reason = UnsyncableReason(ustring(rel));
    if (reason == nullptr) return true;
    if (ParentSyncable(rel)) out.unsyncable.push_back({sess_id, rel, reason});
    return false;
}

std::vector<std::pair<std::string, std::string>> Detector::TakeHeld(uint64_t sess_id, const std::string& rel) {
    std::vector<std::pair<std::string, std::string>> taken;
    for (auto it = held_back.lower_bound({sess_id, rel}); it != held_back.end() && it->first.first == sess_id;) {
        const std::string& path = it->first.second;
        if (path != rel &&
            !(path.size() > rel.size() && path.compare(0, rel.size(), rel) == 0 && path[rel.size()] == '/'))
            break;
        taken.emplace_back(path.substr(rel.size()), it->second);
        it = held_back.erase(it);
    }
    return taken;
}

void Detector::ReleaseHeld(uint64_t sess_id, const std::string& rel, Outbox& out) {
    const auto held = TakeHeld(sess_id, rel);
    if (held.empty()) RescanForHold(sess_id, rel, out);
    for (const auto& [below, original] : held) {
        NLOG_AT(L_INFO, kChannel, "detector-win2.cpp", "%s is gone, so is %s\n", (rel + below).c_str(),
                original.c_str());
        // Typed from the event database: only a synchronised path is removed.
        out.Push(sess_id, Event::EV_REMOVE, original, false, true);
    }
}

void Detector::RescanForHold(uint64_t sess_id, const std::string& rel, Outbox& out) {
    // A hold kept by an earlier run (the restart's rescan found the item under its
    // unsyncable name and kept its rows) is not in held_back: a rescan finds the rows
    // the item left, now that it is renamed or gone, and removes them on the server.
    if (ParentSyncable(rel)) out.Rescan(sess_id, false);
}

bool Detector::MovedWithin(uint64_t sess_id, session_info& info, const PendingMove& from, const std::string& to,
                           bool is_dir, Outbox& out) {
    if (from.is_dir) DropTree(sess_id, info, from.rel);
    const bool from_ok = UnsyncableReason(ustring(from.rel)) == nullptr;
    const bool to_ok = Syncable(sess_id, to, out);
    auto holds = TakeHeld(sess_id, from.rel);
    if (!from_ok) out.unsyncable.push_back({sess_id, from.rel, nullptr});
    if (to_ok) {
        // A rename: the old name goes (a held-back one with it), the new one comes.
        if (from_ok) out.Push(sess_id, Event::EV_REMOVE, from.rel, from.is_dir, false);
        for (const auto& hold : holds) out.Push(sess_id, Event::EV_REMOVE, hold.second, false, true);
        if (!from_ok && holds.empty()) RescanForHold(sess_id, from.rel, out);
        return true;
    }
    // The item is still here under a name that cannot be synchronised: removing it
    // elsewhere would leave its only copy on this machine, under that name.
    if (from_ok) holds.emplace_back("", from.rel);
    for (const auto& [below, original] : holds) {
        NLOG_AT(L_INFO, kChannel, "detector-win2.cpp", "%s cannot be synchronised; %s is kept on the server\n",
                (to + below).c_str(), original.c_str());
        held_back[{sess_id, to + below}] = original;
    }
    if (is_dir) AddTree(sess_id, info, to, false, out);
    return false;
}

void Detector::MovedOut(const PendingMove& move, Outbox& out) {
    auto s = index.find(move.sess_id);
    if (s == index.end() || s->second.lost) return;
    NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "%s moved out of session %llu\n", move.rel.c_str(),
            ull(move.sess_id));
    if (move.is_dir) DropTree(move.sess_id, s->second, move.rel);
    if (UnsyncableReason(ustring(move.rel)) != nullptr) {
        ReleaseHeld(move.sess_id, move.rel, out);
        return;
    }
    // Only a path the event database knows was synchronised and has to go.
    out.Push(move.sess_id, Event::EV_REMOVE, move.rel, move.is_dir, true);
}

void Detector::ModeChanged(uint64_t sess_id, session_info& info, const std::string& rel, Outbox& out) {
    if (UnsyncableReason(ustring(rel)) != nullptr) return;
    if (info.root->Unreadable(ustring(rel))) {
        out.unsyncable.push_back({sess_id, rel, SessionRoot::kUnreadable});
        return;
    }
    const bool unwatched = info.dirs.count(rel) == 0;
    if (unwatched) {
        AddTree(sess_id, info, rel, false, out);
        if (info.dirs.count(rel) == 0) return;
        // The folder itself may be new to the server; the rescan does what is below it.
        out.Push(sess_id, Event::EV_CREATE, rel, true, false);
    }
    out.readable.push_back({sess_id, rel, unwatched});
}

void Detector::Overflow(Outbox& out) {
    NLOG_AT(L_INFO, kChannel, "detector-win2.cpp", "Event queue overflow, rescan watch\n");
    // The partners of waiting renames may be among the lost records.
    moves.clear();
    for (auto& [sess_id, info] : index) {
        if (info.lost) continue;
        // Directories made or renamed among the lost records are watched afresh.
        std::vector<int> unused;
        ForgetTree(sess_id, info, "/", unused);
        AddTree(sess_id, info, "/", false, out);
        RemoveUnused(unused);
        out.Rescan(sess_id, false);
        out.warnings.emplace_back(sess_id, "session " + std::to_string(sess_id) +
                                               ": the inotify event queue overflowed and changes were lost, so " +
                                               info.path.str() +
                                               " is rescanned; if this recurs, raise the queue limit, e.g. "
                                               "'sysctl fs.inotify.max_queued_events=65536'");
    }
}

void Detector::DoDue(Clock::time_point now, Outbox& out) {
    for (auto it = moves.begin(); it != moves.end();) {
        if (now - it->second.seen < kMoveWait) {
            ++it;
            continue;
        }
        const PendingMove from = it->second;
        it = moves.erase(it);
        MovedOut(from, out);
    }
    for (auto it = dirty.begin(); it != dirty.end();) {
        OpenWrite& w = it->second;
        if (now - w.last < kWriteFlush) {
            ++it;
            continue;
        }
        // Quiet for a while without being closed (a log, a download, a writer the
        // kernel holds up): report it now, unless it grew meanwhile.
        const auto [sess_id, rel] = it->first;
        auto s = index.find(sess_id);
        FILE_INFO fi;
        const bool here = s != index.end() && !s->second.lost && s->second.root->Stat(rel, fi) == FsResult::kOk &&
                          fi.isExist && fi.type == FT_FILE;
        if (here && fi.size != w.size && now - w.first < kWriteFlushMax) {
            w.last = now;
            w.size = fi.size;
            ++it;
            continue;
        }
        const Event::Type type = w.created ? Event::EV_CREATE : Event::EV_MODIFY;
        it = dirty.erase(it);
        if (here && Syncable(sess_id, rel, out)) out.Push(sess_id, type, rel, false, false);
    }
    for (auto& [sess_id, info] : index) {
        if (info.lost) {
            if (now < info.next_check) continue;
            if (Rewatch(sess_id, info, out) != 0) info.next_check = now + kLostCheck;
            continue;
        }
        if (now >= info.next_check) {
            // The folder's own removal is not reported while anyone (its session root)
            // holds it open, so it is looked at every second.
            info.next_check = now + kLostCheck;
            if (!info.root->CheckPresent()) {
                LoseFolder(sess_id, info, out);
                continue;
            }
        }
        if (info.degraded && now >= info.next_rescan) {
            // Try the refused directories again (the limit may have been raised), and
            // rescan for what changed in those still unwatched.
            std::vector<int> unused;
            ForgetTree(sess_id, info, "/", unused);
            info.degraded = false;
            AddTree(sess_id, info, "/", false, out);
            RemoveUnused(unused);
            if (!info.degraded) {
                info.warned = false;
                NLOG_AT(L_INFO, kChannel, "detector-win2.cpp", "session %llu: every folder is watched again\n",
                        ull(sess_id));
            }
            info.next_rescan = now + degraded_interval;
            out.Rescan(sess_id, false);
        }
    }
}

void Detector::PushOtherLinks(const Event& e, std::set<std::pair<uint64_t, std::string>>& pushed) {
    Registry::Entry entry;
    if (services.registry->Find(e.m_sess_id, entry) == 0 || !entry.event_db || !entry.root) return;
    int fd = -1;
    if (entry.root->OpenAt(e.m_path, O_PATH | O_NOFOLLOW, 0, fd) != FsResult::kOk) return;
    struct stat st;
    const bool linked = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1;
    close(fd);
    if (!linked) return;
    // An edit through one name changed the content every other name shows.
    std::vector<ustring> names;
    if (entry.event_db->getPathsByInode(static_cast<uint64_t>(st.st_ino), names) != DbResult::kOk) return;
    for (const ustring& name : names) {
        if (!pushed.emplace(e.m_sess_id, name.str()).second) continue;
        Event other = e;
        other.m_path = name;
        sink->PushLocalEvent(other);
    }
}

void Detector::Deliver(Outbox& out) {
    // The event manager, the registry and the databases take their own locks.
    assert(!t_lock_held);
    size_t untyped = 0;  // removals of paths never synchronised: logged once per round
    std::set<std::pair<uint64_t, std::string>> pushed;
    for (const Outbox::Item& item : out.events)
        if (item.event.m_type != Event::EV_REMOVE) pushed.emplace(item.event.m_sess_id, item.event.m_path.str());
    for (Outbox::Item& item : out.events) {
        Event& e = item.event;
        if (item.type_from_db) {
            // Gone from disk: only the event database can tell what it was.
            Registry::Entry entry;
            ClientFileEventInfo known;
            if (services.registry->Find(e.m_sess_id, entry) == 0 || !entry.event_db) {
                NLOG_AT(L_WARNING, kChannel, "detector-win2.cpp", "can not find registry entry for session %llu \n",
                        ull(e.m_sess_id));
                continue;
            }
            if (entry.event_db->getEventInfo(e.m_path, known) != DbLookup::kFound) {
                if (untyped++ == 0)
                    NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "can't find file type of deleted item %s\n",
                            e.m_path.c_str_utf8());
                continue;
            }
            if (known.fileType != 0)
                e.setDir();
            else
                e.setFile();
            NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "file type of deleted item %s is %d\n",
                    e.m_path.c_str_utf8(), known.fileType);
        }
        NLOG_AT(L_DEBUG, kChannel, "detector-win2.cpp", "PushEvent: %s at %llu\n", e.m_path.c_str_utf8(),
                ull(e.m_sess_id));
        sink->PushLocalEvent(e);
        if (e.m_type == Event::EV_MODIFY && !e.isDir()) PushOtherLinks(e, pushed);
    }
    if (untyped > 1)
        NLOG_AT(L_ERR, kChannel, "detector-win2.cpp", "can't find file type of deleted item: %zu more\n", untyped - 1);
    for (const auto& [sess_id, root] : out.roots) sink->ReplaceRoot(sess_id, root);
    for (const auto& [sess_id, merge] : out.rescans) sink->IssueRescan(sess_id, "/", merge);
    for (const auto& [sess_id, code] : out.errors) sink->ReportSessionError(sess_id, code);
    for (const auto& [sess_id, line] : out.warnings) sink->Warning(sess_id, line);
    for (const Outbox::Unsyncable& u : out.unsyncable) sink->Unsyncable(u.sess_id, u.rel, u.reason);
    // After the notes: a folder noted and given back in one round is rescanned.
    for (const Outbox::Regained& r : out.readable)
        if (sink->Readable(r.sess_id, r.rel) > 0 || r.unwatched) sink->IssueRescan(r.sess_id, ustring(r.rel), false);
}
