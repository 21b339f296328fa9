#include "events/event_tree.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "foundation/logger.h"
#include "store/file_status_db.h"

namespace {

const ustring& LogChannel() {
    static const ustring channel("event_list_debug");
    return channel;
}

constexpr uint32_t kMaxName = 1023;
// Deeper paths cannot exist in a local folder (PATH_MAX is 4096 bytes); refusing them
// keeps the recursive walks over the tree within any thread's stack.
constexpr size_t kMaxDepth = 2048;
// Debug builds check every change while the tree holds at most this many events.
constexpr int32_t kDebugCheckLimit = 512;

ustring EventText(const Event& e) { return ustring(e.toString()); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Attribute

void EventList2::Attribute::FromEvent(const Event& e) {
    type = e.m_type;
    mode = e.m_mode;
    syncID = e.m_sync_id;
    maxSyncID = e.m_max_id;
    sessID = e.m_sess_id;
    hash = PackedText::Hex(e.m_data_hash);
    path = e.m_path;
    if (!e.m_opt.empty() || !e.m_mac_attr_hash.empty() || e.m_mac_attr_size != 0)
        rare.reset(new Rare{e.m_opt, e.m_mac_attr_hash, e.m_mac_attr_size});
    else
        rare.reset();
    size = e.m_data_size;
    time = e.m_time;
    exec_bit = e.m_exec_bit;
}

void EventList2::Attribute::ToEvent(Event& e) const {
    e.clear();
    e.m_type = type;
    e.m_mode = mode;
    e.m_sync_id = syncID;
    e.m_max_id = maxSyncID;
    e.m_sess_id = sessID;
    e.m_data_hash = hash.str();
    e.m_path = path.str();
    if (rare) {
        e.m_opt = rare->opt;
        e.m_mac_attr_hash = rare->mac_attr_hash;
        e.m_mac_attr_size = rare->mac_attr_size;
    }
    e.m_data_size = size;
    e.m_time = time;
    e.m_exec_bit = exec_bit;
}

EventList2::Attribute& EventList2::Attribute::operator=(const Attribute& o) {
    if (this == &o) return *this;
    type = o.type;
    mode = o.mode;
    syncID = o.syncID;
    maxSyncID = o.maxSyncID;
    sessID = o.sessID;
    size = o.size;
    time = o.time;
    exec_bit = o.exec_bit;
    hash = o.hash;
    path = o.path;
    rare.reset(o.rare ? new Rare(*o.rare) : nullptr);
    return *this;
}

// ---------------------------------------------------------------------------------------
// ChildList

namespace {
inline uint32_t HashName(std::string_view name) { return static_cast<uint32_t>(std::hash<std::string_view>()(name)); }
inline std::string_view View(const ustring& s) { return std::string_view(s.c_str_utf8(), s.length()); }
}  // namespace

template <class T>
EventList2::ChildList<T>::~ChildList() {
    T* n = head;
    while (n) {
        T* next = n->next;
        delete n;
        n = next;
    }
}

template <class T>
T* EventList2::ChildList<T>::Find(std::string_view name) const {
    if (buckets.empty()) return nullptr;
    uint32_t h = HashName(name);
    for (T* n = buckets[h & (buckets.size() - 1)]; n; n = n->hnext)
        if (n->hash == h && n->name.view() == name) return n;
    return nullptr;
}

template <class T>
void EventList2::ChildList<T>::Rehash(size_t n) {
    std::vector<T*> fresh(n, nullptr);
    for (T* node : buckets) {
        while (node) {
            T* next = node->hnext;
            size_t idx = node->hash & (n - 1);
            node->hnext = fresh[idx];
            fresh[idx] = node;
            node = next;
        }
    }
    buckets.swap(fresh);
}

template <class T>
void EventList2::ChildList<T>::HashInsert(T* node) {
    if (count + 1 > buckets.size()) Rehash(buckets.empty() ? 8 : buckets.size() * 2);
    node->hash = HashName(node->name.view());
    size_t idx = node->hash & (buckets.size() - 1);
    node->hnext = buckets[idx];
    buckets[idx] = node;
    ++count;
}

template <class T>
void EventList2::ChildList<T>::HashErase(T* node) {
    T** link = &buckets[node->hash & (buckets.size() - 1)];
    while (*link && *link != node) link = &(*link)->hnext;
    if (*link) {
        *link = node->hnext;
        --count;
    }
    node->hnext = nullptr;
    if (count == 0) std::vector<T*>().swap(buckets);
}

template <class T>
void EventList2::ChildList<T>::LinkTail(T* node) {
    node->prev = tail;
    node->next = nullptr;
    if (tail)
        tail->next = node;
    else
        head = node;
    tail = node;
}

template <class T>
void EventList2::ChildList<T>::UnlinkOrder(T* node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        tail = node->prev;
    node->prev = node->next = nullptr;
}

template <class T>
void EventList2::ChildList<T>::Enlist(T* node) {
    // The next eligible sibling in list order; only siblings out with a worker are
    // passed over.
    T* after = node->next;
    while (after && !after->listed) after = after->next;
    if (after) {
        node->enext = after;
        node->eprev = after->eprev;
        if (after->eprev)
            after->eprev->enext = node;
        else
            ehead = node;
        after->eprev = node;
    } else {
        node->enext = nullptr;
        node->eprev = etail;
        if (etail)
            etail->enext = node;
        else
            ehead = node;
        etail = node;
    }
    node->listed = true;
}

template <class T>
void EventList2::ChildList<T>::Delist(T* node) {
    if (node->eprev)
        node->eprev->enext = node->enext;
    else
        ehead = node->enext;
    if (node->enext)
        node->enext->eprev = node->eprev;
    else
        etail = node->eprev;
    node->eprev = node->enext = nullptr;
    node->listed = false;
}

template <class T>
void EventList2::ChildList<T>::Append(T* node) {
    LinkTail(node);
    HashInsert(node);
    if (T::Eligible(node->status)) Enlist(node);
}

template <class T>
const char* EventList2::ChildList<T>::Check() const {
    size_t n = 0;
    const T* prev = nullptr;
    const T* eprev = nullptr;  // the last eligible node met
    const T* expect = ehead;   // the next eligible node the sub-list names
    for (const T* node = head; node; prev = node, node = node->next) {
        ++n;
        if (node->prev != prev) return "the list's links do not agree";
        if (Find(node->name.view()) != node) return "a child is not found by its name";
        if (node->listed != T::Eligible(node->status)) return "a child's eligibility does not match its status";
        if (!node->listed) continue;
        if (node != expect || node->eprev != eprev) return "the eligible sub-list is out of list order";
        eprev = node;
        expect = node->enext;
    }
    if (tail != prev) return "the tail is not the last child";
    if (expect != nullptr || etail != eprev) return "the eligible sub-list holds a node the list does not";
    if (n != count) return "the count is not the list's length";
    return nullptr;
}

template <class T>
void EventList2::ChildList<T>::MoveToEnd(T* node) {
    if (tail == node) return;
    bool was = node->listed;
    if (was) Delist(node);
    UnlinkOrder(node);
    LinkTail(node);
    if (was) Enlist(node);
}

template <class T>
void EventList2::ChildList<T>::Unlink(T* node) {
    if (node->listed) Delist(node);
    HashErase(node);
    UnlinkOrder(node);
}

template <class T>
void EventList2::ChildList<T>::SetStatus(T* node, Status s) {
    bool will = T::Eligible(s);
    node->status = s;
    if (node->listed && !will)
        Delist(node);
    else if (!node->listed && will)
        Enlist(node);
}

// ---------------------------------------------------------------------------------------
// EventList2

EventList2::EventList2(const ustring& watch_path) : watch_path(watch_path) {
    root = new DirNode;
    root->name = "/";
    root->status = DONE;
}

EventList2::~EventList2() { FreeTree(root); }

void EventList2::SetWatchPath(const ustring& path) {
    MutexLock l(mutex);
    watch_path = path;
}

ustring EventList2::GetWatchPath() {
    MutexLock l(mutex);
    return watch_path;
}

void EventList2::FreeTree(DirNode* d) { delete d; }

ustring EventList2::NodePath(const DirNode* d) {
    if (!d || !d->parent) return ustring("/");
    std::vector<std::string_view> parts;
    for (const DirNode* n = d; n && n->parent; n = n->parent) parts.push_back(n->name.view());
    ustring path;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        path.append('/');
        path.append(it->data(), static_cast<uint32_t>(it->size()));
    }
    return path;
}

ustring EventList2::NodePath(const FileNode* f) {
    ustring path = f->parent && f->parent->parent ? NodePath(f->parent) : ustring();
    path.append('/');
    path.append(f->name.c_str_utf8(), f->name.length());
    return path;
}

bool EventList2::SplitPath(const ustring& path, std::string_view& dirPart, std::string_view& name) {
    std::string_view p = View(path);
    if (p.empty() || p.back() == '/') return false;
    size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) {
        dirPart = std::string_view();
        name = p;
    } else {
        dirPart = p.substr(0, slash);
        name = p.substr(slash + 1);
    }
    return !name.empty() && name.size() <= kMaxName;
}

EventList2::DirNode* EventList2::WalkParent(const ustring& path, bool create, std::string_view& name, bool moveToEnd) {
    std::string_view dirPart;
    if (!SplitPath(path, dirPart, name)) return nullptr;
    const size_t n = dirPart.size();
    // Check the whole path before creating anything: a refused path must not leave
    // empty directories behind, which would hold up the hand-out of their siblings.
    size_t depth = 0;
    for (size_t i = 0; i < n;) {
        while (i < n && dirPart[i] == '/') ++i;
        if (i >= n) break;
        size_t start = i;
        while (i < n && dirPart[i] != '/') ++i;
        if (i - start > kMaxName || ++depth >= kMaxDepth) return nullptr;
    }
    DirNode* d = root;
    size_t i = 0;
    while (i < n) {
        while (i < n && dirPart[i] == '/') ++i;
        if (i >= n) break;
        size_t start = i;
        while (i < n && dirPart[i] != '/') ++i;
        std::string_view comp = dirPart.substr(start, i - start);
        DirNode* child = d->dir.Find(comp);
        if (!child) {
            if (!create) return nullptr;
            child = new DirNode;
            child->name = PackedText(comp);
            child->parent = d;
            child->status = DONE;
            d->dir.Append(child);
        } else if (moveToEnd) {
            d->dir.MoveToEnd(child);
        }
        d = child;
    }
    return d;
}

void EventList2::AddCount(bool server, int delta) {
    if (server)
        server_event_count += delta;
    else
        local_event_count += delta;
}

uint64_t EventList2::TransferBytes(const Attribute& a) {
    if (a.IsDir() || (a.type != Event::EV_CREATE && a.type != Event::EV_MODIFY)) return 0;
    return a.size;
}

void EventList2::SubBytes(const Attribute& a) {
    // Never below zero, whatever an event's size became meanwhile.
    queued_bytes -= std::min(queued_bytes, TransferBytes(a));
}

EventList2::ByteCount EventList2::GetByteCount() {
    MutexLock l(mutex);
    return ByteCount{queued_bytes, done_bytes};
}

void EventList2::RaiseRefs(DirNode* from, bool server) {
    for (DirNode* a = from; a && a != root; a = a->parent) {
        if (server)
            ++a->refServerCount;
        else
            ++a->refLocalCount;
    }
}

void EventList2::LowerRefs(DirNode* from, bool server) {
    for (DirNode* a = from; a && a != root; a = a->parent) {
        if (server)
            --a->refServerCount;
        else
            --a->refLocalCount;
    }
}

void EventList2::SetDirStatus(DirNode* d, Status s) {
    if (d->parent)
        d->parent->dir.SetStatus(d, s);
    else
        d->status = s;
}

void EventList2::SetFileStatus(FileNode* f, Status s) { f->parent->file.SetStatus(f, s); }

void EventList2::DeleteFile(FileNode* f) {
    SubBytes(f->attr);
    f->parent->file.Unlink(f);
    delete f;
}

void EventList2::DeleteDir(DirNode* d) {
    if (!d->parent) return;  // never the root
    d->parent->dir.Unlink(d);
    FreeTree(d);
}

void EventList2::DeleteEmptyDoneAncestors(DirNode* d) {
    while (d && d != root && d->status == DONE && !d->HasChildren()) {
        DirNode* p = d->parent;
        DeleteDir(d);
        d = p;
    }
}

void EventList2::RemoveFStat(const ustring& nodePath) {
    ustring full = watch_path;
    full.append(nodePath);
    full = FileStatusKey(full);
    // Queued, not written: this runs under the tree's lock (and the manager's).
    if (FileStatusDB::queueRmByPath(full) != DbResult::kOk)
        NLOG_AT(L_ERR, LogChannel(), "event-list2.cpp", "Failed to rm synced event from FStatDB [%s].\n",
                full.c_str_utf8());
}

// ---------------------------------------------------------------------------------------
// Merge rules

EventList2::Attribute EventList2::HandleTypeConflict(const Attribute& server, const Attribute& local) {
    if (local.type == Event::EV_REMOVE) return server;
    if (server.type != Event::EV_REMOVE) {
        Attribute r = server;
        r.mode |= Event::F_CONFLICT;
        return r;
    }
    return local;
}

EventList2::Attribute EventList2::HandleConflict(const Attribute& oldAttr, const Attribute& newAttr, bool isDir) {
    if (oldAttr.type == Event::EV_EMPTY) return newAttr;
    if (newAttr.type == Event::EV_EMPTY) return oldAttr;
    bool newer = oldAttr.syncID < newAttr.syncID || oldAttr.syncID == Event::kForcedSyncId;
    bool oldServer = oldAttr.IsServer();
    bool newServer = newAttr.IsServer();
    if (!isDir) {
        if (!oldServer && !newServer) return newAttr;
        if (!oldServer && newServer) return HandleTypeConflict(newAttr, oldAttr);
        if (oldServer && !newServer) return HandleTypeConflict(oldAttr, newAttr);
        return newer ? newAttr : oldAttr;
    }
    Attribute r = (!oldServer || !newServer) ? newAttr : (newer ? newAttr : oldAttr);
    if (oldAttr.type == Event::EV_REMOVE && r.type != Event::EV_REMOVE) {
        if (!oldServer) {
            r.mode |= Event::F_LOCAL_SUBDIR_RESCAN;
            NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                    "Mark node to be LocalSubDirRescan(pre-event dir delete) [%s].\n", r.path.c_str_utf8());
        } else {
            r.mode |= Event::F_SERVER_SUBDIR_RESCAN;
            NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                    "Mark node to be ServerSubDirRescan(pre-event dir delete) [%s].\n", r.path.c_str_utf8());
        }
    }
    return r;
}

// ---------------------------------------------------------------------------------------
// Push

bool EventList2::Push(const Event& e) {
    NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Push Event] = [%s]\n", EventText(e).c_str_utf8());
    Event old;
    return Push(e, old);
}

bool EventList2::Push(const Event& e, Event& old) {
    MutexLock l(mutex);
    return PushLocked(e, old);
}

bool EventList2::PushLocked(const Event& e, Event& old) {
    old.clear();
    std::string_view name;
    DirNode* parent = WalkParent(e.m_path, true, name);
    if (!parent) {
        NLOG_AT(L_ERR, LogChannel(), "event-list2.cpp", "Invalid event path [%s].\n", e.m_path.c_str_utf8());
        return false;
    }
    Attribute attr(e);
    Attribute oldAttr;
    if (e.isDir())
        AddDirectory(parent, name, std::move(attr), oldAttr);
    else
        AddFile(parent, name, std::move(attr), oldAttr);
    oldAttr.ToEvent(old);
    DebugCheck();
    return true;
}

void EventList2::AddFile(DirNode* parent, std::string_view name, Attribute&& attr, Attribute& old) {
    FileNode* f = parent->file.Find(name);
    if (!f) {
        f = new FileNode;
        f->name = PackedText(name);
        f->status = WAITING;
        f->attr = std::move(attr);
        f->parent = parent;
        parent->file.Append(f);
        AddCount(f->attr.IsServer(), 1);
        AddBytes(f->attr);
        return;
    }
    old = f->attr;
    SubBytes(old);
    if (f->status == DONE) {
        f->attr = std::move(attr);
        SetFileStatus(f, WAITING);
    } else {
        Status was = f->status;
        if (was == PROCESSING) LowerRefs(parent, old.IsServer());
        AddCount(old.IsServer(), -1);
        f->attr = HandleConflict(old, attr, false);
        SetFileStatus(f, (was == PROCESSING || was == RETRY) ? RETRY : WAITING);
    }
    AddCount(f->attr.IsServer(), 1);
    AddBytes(f->attr);
}

void EventList2::AddDirectory(DirNode* parent, std::string_view name, Attribute&& attr, Attribute& old) {
    DirNode* d = parent->dir.Find(name);
    if (!d) {
        d = new DirNode;
        d->name = PackedText(name);
        d->parent = parent;
        d->status = WAITING;
        d->attr = std::move(attr);
        parent->dir.Append(d);
        AddCount(d->attr.IsServer(), 1);
    } else {
        old = d->attr;
        if (d->status == DONE) {
            d->attr = std::move(attr);
            SetDirStatus(d, WAITING);
        } else {
            Status was = d->status;
            if (was == PROCESSING) LowerRefs(parent, old.IsServer());
            AddCount(old.IsServer(), -1);
            d->attr = HandleConflict(old, attr, true);
            SetDirStatus(d, (was == PROCESSING || was == RETRY) ? RETRY : WAITING);
        }
        AddCount(d->attr.IsServer(), 1);
    }
    if (d->attr.type == Event::EV_REMOVE) {
        int kept = 0;
        RemoveSubNode(d, d->attr.IsServer(), kept, d->attr.syncID);
    }
}

// ---------------------------------------------------------------------------------------
// Pruning below a removed directory

void EventList2::RemoveSubNode(DirNode* d, bool server, int& kept, uint64_t baseSyncID) {
    auto superseded = [&](const Attribute& a) { return a.IsServer() == server && (!server || a.syncID < baseSyncID); };
    for (DirNode* s = d->dir.First(); s;) {
        DirNode* next = ChildList<DirNode>::Next(s);
        int below = 0;
        RemoveSubNode(s, server, below, baseSyncID);
        bool sup = s->status == WAITING && superseded(s->attr);
        if (below == 0 && (s->status == DONE || sup)) {
            ustring path = NodePath(s);
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Remove Dir Node] = [%s]\n", path.c_str_utf8());
            if (s->status == WAITING) AddCount(s->attr.IsServer(), -1);
            RemoveFStat(path);
            DeleteDir(s);
        } else {
            ustring path = NodePath(s);
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "[Cannot Remove Dir Node] = [%s],refTemp = [%d],status = [%d], "
                    "event_mode_equal[%d]\n",
                    path.c_str_utf8(), below, static_cast<int>(s->status), s->attr.IsServer() == server ? 1 : 0);
            if (sup) {
                AddCount(s->attr.IsServer(), -1);
                RemoveFStat(path);
                s->attr.Clear();
                SetDirStatus(s, DONE);
            }
            kept += below + 1;
        }
        s = next;
    }
    for (FileNode* f = d->file.First(); f;) {
        FileNode* next = ChildList<FileNode>::Next(f);
        if (f->status == PROCESSING || f->status == RETRY || !superseded(f->attr)) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Cannot Remove File Node] = [%s]\n",
                    NodePath(f).c_str_utf8());
            ++kept;
        } else {
            ustring path = NodePath(f);
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Remove File Node] = [%s]\n", path.c_str_utf8());
            if (f->status == WAITING) AddCount(f->attr.IsServer(), -1);
            RemoveFStat(path);
            DeleteFile(f);
        }
        f = next;
    }
}

// ---------------------------------------------------------------------------------------
// Hand-out

void EventList2::HandOutFile(FileNode* f) {
    SetFileStatus(f, PROCESSING);
    RaiseRefs(f->parent, f->attr.IsServer());
}

void EventList2::HandOutDir(DirNode* d) {
    SetDirStatus(d, PROCESSING);
    RaiseRefs(d->parent, d->attr.IsServer());
}

bool EventList2::AllBelowDoneOrRemove(const DirNode* d) const {
    for (const FileNode* f = d->file.First(); f; f = f->next)
        if (f->status != DONE && f->attr.type != Event::EV_REMOVE) return false;
    for (const DirNode* s = d->dir.First(); s; s = s->next) {
        if (s->status != DONE && s->attr.type != Event::EV_REMOVE) return false;
        if (!AllBelowDoneOrRemove(s)) return false;
    }
    return true;
}

bool EventList2::SubProcessingNotRemove(const DirNode* d) const {
    for (const FileNode* f = d->file.First(); f; f = f->next) {
        if (f->status == PROCESSING && f->attr.type != Event::EV_REMOVE) {
            NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp", "file '%s' is processing with event type [%d]\n",
                    NodePath(f).c_str_utf8(), static_cast<int>(f->attr.type));
            return true;
        }
    }
    for (const DirNode* s = d->dir.First(); s; s = s->next) {
        if (s->status == PROCESSING && s->attr.type != Event::EV_REMOVE) {
            NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp", "Dir '%s' is processing with event type [%d]\n",
                    NodePath(s).c_str_utf8(), static_cast<int>(s->attr.type));
            return true;
        }
        if ((s->refServerCount != 0 || s->refLocalCount != 0) && SubProcessingNotRemove(s)) return true;
    }
    return false;
}

bool EventList2::GetFirstWaiting(DirNode* d, Event& e) {
    while (d) {
        if (FileNode* f = d->file.FirstEligible()) {
            HandOutFile(f);
            f->attr.ToEvent(e);
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "[Pop File Event] = [%s], server = [%d], type = [%d], path = [%s]\n", f->name.c_str_utf8(),
                    f->attr.IsServer() ? 1 : 0, static_cast<int>(f->attr.type), f->attr.path.c_str_utf8());
            return true;
        }
        DirNode* descend = nullptr;
        for (DirNode* s = d->dir.FirstEligible(); s; s = ChildList<DirNode>::NextEligible(s)) {
            if (s->status == DONE) {
                descend = s;  // its result, found or not, is the result
                break;
            }
            // WAITING
            bool server = s->attr.IsServer();
            if (s->refServerCount == 0 && s->refLocalCount == 0) {
                if (s->attr.type == Event::EV_REMOVE && s->HasChildren() && !AllBelowDoneOrRemove(s)) {
                    if (server) {
                        s->attr.mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "Mark node to be SetServerSubDirRescanWithStat(sub-node not "
                                "empty) [%s].\n",
                                s->attr.path.c_str_utf8());
                    } else {
                        s->attr.mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "Mark node to be SetLocalSubDirRescanWithStat(sub-node not "
                                "empty) [%s].\n",
                                s->attr.path.c_str_utf8());
                    }
                }
                HandOutDir(s);
                s->attr.ToEvent(e);
                NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                        "[Pop Dir Event] = [%s], server = [%d], type = [%d], path = [%s]\n", s->name.c_str_utf8(),
                        server ? 1 : 0, static_cast<int>(s->attr.type), s->attr.path.c_str_utf8());
                return true;
            }
            // Busy below: skipped. A removal waiting above work of another kind must
            // later rescan what that work left behind. The check is skipped once the
            // mark is there, so a long-busy directory is not walked on every hand-out.
            if (s->attr.type == Event::EV_REMOVE) {
                if (!server && s->refServerCount > 0 && !(s->attr.mode & Event::F_LOCAL_SUBDIR_RESCAN_STAT)) {
                    if (SubProcessingNotRemove(s)) {
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "AllSubProcessingNode are not Delete Event '%s'.\n", s->attr.path.c_str_utf8());
                        s->attr.mode |= Event::F_LOCAL_SUBDIR_RESCAN_STAT;
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "Mark node to be SetLocalSubDirRescanWithStat(sub-node "
                                "processing) [%s].\n",
                                s->attr.path.c_str_utf8());
                    }
                } else if (server && s->refLocalCount > 0 && !(s->attr.mode & Event::F_SERVER_SUBDIR_RESCAN_STAT)) {
                    if (SubProcessingNotRemove(s)) {
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "AllSubProcessingNode are not Delete Event '%s'.\n", s->attr.path.c_str_utf8());
                        s->attr.mode |= Event::F_SERVER_SUBDIR_RESCAN_STAT;
                        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                                "Mark node to be SetServerSubDirRescanWithStat(sub-node "
                                "processing) [%s].\n",
                                s->attr.path.c_str_utf8());
                    }
                }
            }
        }
        d = descend;
    }
    return false;
}

bool EventList2::Pop(Event& e) {
    MutexLock l(mutex);
    const bool popped = GetFirstWaiting(root, e);
    DebugCheck();
    return popped;
}

bool EventList2::Pop(const ustring& path, Event& e) { return PopByPath(path, -1, e); }

bool EventList2::Pop(const ustring& path, bool isDir, Event& e) { return PopByPath(path, isDir ? 1 : 0, e); }

bool EventList2::PopByPath(const ustring& path, int kind, Event& e) {
    MutexLock l(mutex);
    NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "Event tree current status local_evnet: %d, server_event:%d.\n",
            local_event_count, server_event_count);
    std::string_view key;
    DirNode* parent = WalkParent(path, false, key);
    if (!parent) return false;
    DirNode* d = kind != 0 ? parent->dir.Find(key) : nullptr;
    FileNode* f = (!d && kind != 1) ? parent->file.Find(key) : nullptr;
    if (d) {
        // A DONE node carries no event to hand out.
        if (d->status == DONE) return false;
        // A node that is already out keeps its single reference on the ancestors.
        if (d->status != PROCESSING) HandOutDir(d);
        d->attr.ToEvent(e);
    } else if (f) {
        if (f->status == DONE) return false;
        if (f->status != PROCESSING) HandOutFile(f);
        f->attr.ToEvent(e);
    } else {
        return false;
    }
    NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp", "[Pop Event] = [%s]\n", EventText(e).c_str_utf8());
    DebugCheck();
    return true;
}

// ---------------------------------------------------------------------------------------
// Completion and retry

bool EventList2::DoneEvent(const Event& e) {
    MutexLock l(mutex);
    bool done = false;
    const bool isDir = e.isDir();
    const bool server = e.isServerEvent();
    std::string_view name;
    DirNode* parent = WalkParent(e.m_path, false, name);
    if (!parent) {
        if (isDir)
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "Failed to UpdateDirDoneEvent(parent not found) [%s].\n",
                    e.m_path.c_str_utf8());
        else
            NLOG_AT(L_ERR, LogChannel(), "event-list2.cpp", "Failed to UpdateFileDoneEvent(parent not found) [%s]\n",
                    e.m_path.c_str_utf8());
    } else if (!isDir) {
        FileNode* f = parent->file.Find(name);
        if (!f) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "Failed to UpdateFileDoneEvent(FileNode not found) [%s].\n", e.m_path.c_str_utf8());
        } else if (f->attr.IsServer() != server) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "Failed to UpdateFileDoneEvent(attr mode is diff) [%s].\n", e.m_path.c_str_utf8());
        } else if (f->status != PROCESSING) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "Failed to UpdateFileDoneEvent(NOT PROCESSING) [%s] in status[%d].\n", e.m_path.c_str_utf8(),
                    static_cast<int>(f->status));
        } else {
            LowerRefs(parent, server);
            AddCount(server, -1);
            done_bytes += TransferBytes(f->attr);
            DeleteFile(f);
            DeleteEmptyDoneAncestors(parent);
            done = true;
        }
    } else {
        DirNode* d = parent->dir.Find(name);
        if (!d) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "Failed to UpdateDirDoneEvent(DirNode not found) [%s].\n",
                    e.m_path.c_str_utf8());
        } else if (d->attr.IsServer() != server) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "Failed to UpdateDirDoneEvent(attr mode is diff) [%s].\n",
                    e.m_path.c_str_utf8());
        } else if (d->status != PROCESSING) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp",
                    "Failed to UpdateDirDoneEvent(NOT PROCESSING) [%s] in status[%d].\n", e.m_path.c_str_utf8(),
                    static_cast<int>(d->status));
        } else {
            LowerRefs(parent, server);
            AddCount(server, -1);
            if (!d->HasChildren()) {
                DeleteDir(d);
                DeleteEmptyDoneAncestors(parent);
            } else {
                d->attr.Clear();
                SetDirStatus(d, DONE);
            }
            done = true;
        }
    }
    if (Logger::Wants(Logger::L_DEBUG, LogChannel())) {
        NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "DoneEvent ret = [%d], %s.\n", done ? 0 : -1,
                EventText(e).c_str_utf8());
        NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "DoneEvent local event = [%d], server event = [%d]\n",
                local_event_count, server_event_count);
    }
    DebugCheck();
    return done;
}

bool EventList2::Redo(const ustring& path) { return RedoByPath(path, -1); }

bool EventList2::Redo(const ustring& path, bool isDir) { return RedoByPath(path, isDir ? 1 : 0); }

bool EventList2::RedoByPath(const ustring& path, int kind) {
    MutexLock l(mutex);
    std::string_view key;
    DirNode* parent = WalkParent(path, false, key, true);
    if (!parent) return false;
    DirNode* d = kind != 0 ? parent->dir.Find(key) : nullptr;
    FileNode* f = (!d && kind != 1) ? parent->file.Find(key) : nullptr;
    if (d) {
        // A DONE node has no event that could be retried.
        if (d->status == DONE) return false;
        parent->dir.MoveToEnd(d);
        if (d->status == PROCESSING) LowerRefs(parent, d->attr.IsServer());
        SetDirStatus(d, WAITING);
        DebugCheck();
        return true;
    }
    if (f) {
        if (f->status == DONE) return false;
        parent->file.MoveToEnd(f);
        if (f->status == PROCESSING) LowerRefs(parent, f->attr.IsServer());
        SetFileStatus(f, WAITING);
        DebugCheck();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Bulk operations

void EventList2::ClearLocal(DirNode* d) {
    for (FileNode* f = d->file.First(); f;) {
        FileNode* next = ChildList<FileNode>::Next(f);
        if (!f->attr.IsServer()) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Remove File Node] = [%s]\n", NodePath(f).c_str_utf8());
            // A worker holding this event will fail to complete it; its reference on the
            // ancestors must not outlive the node, or they would stay busy for good.
            if (f->status == PROCESSING) LowerRefs(d, false);
            DeleteFile(f);
        } else {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Cannot Remove File Node] = [%s]\n",
                    NodePath(f).c_str_utf8());
        }
        f = next;
    }
    for (DirNode* s = d->dir.First(); s;) {
        DirNode* next = ChildList<DirNode>::Next(s);
        ClearLocal(s);
        bool local = s->status == DONE || !s->attr.IsServer();
        if (!s->HasChildren() && local) {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Remove Dir Node] = [%s]\n", NodePath(s).c_str_utf8());
            if (s->status == PROCESSING) LowerRefs(d, false);
            DeleteDir(s);
        } else {
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Cannot Remove Dir Node] = [%s],refTemp = [%d]\n",
                    NodePath(s).c_str_utf8(), s->refServerCount + s->refLocalCount);
            if (local && s->status != DONE) {
                if (s->status == PROCESSING) LowerRefs(d, false);
                s->attr.Clear();
                SetDirStatus(s, DONE);
            }
        }
        s = next;
    }
}

void EventList2::ClearLocalEvent() {
    MutexLock l(mutex);
    NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp", "========RemoveLocalEvent=========\n");
    ClearLocal(root);
    local_event_count = 0;
    DebugCheck();
}

void EventList2::Clear() {
    MutexLock l(mutex);
    NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp", "========Clear=========\n");
    if (Logger::Wants(Logger::L_DEBUG, LogChannel())) {
        // Every directory is named in the log before the tree goes.
        std::vector<DirNode*> stack{root};
        while (!stack.empty()) {
            DirNode* d = stack.back();
            stack.pop_back();
            NLOG_AT(L_DEBUG, LogChannel(), "event-list2.cpp", "[Remove Dir] = [%s]\n", NodePath(d).c_str_utf8());
            for (DirNode* s = d->dir.First(); s; s = s->next) stack.push_back(s);
        }
    }
    FreeTree(root);
    root = new DirNode;
    root->name = "/";
    root->status = DONE;
    server_event_count = 0;
    local_event_count = 0;
    queued_bytes = 0;
}

bool EventList2::IsEmpty() {
    MutexLock l(mutex);
    return !root->HasChildren();
}

int EventList2::GetServerEventCount() {
    MutexLock l(mutex);
    return server_event_count;
}

int EventList2::GetLocalEventCount() {
    MutexLock l(mutex);
    return local_event_count;
}

void EventList2::Traverse(DirNode* d) {
    const Attribute& a = d->attr;
    NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
            "[Dir] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%s],status "
            "=[%d],type[%d],refSerCount=[%d],refLocCount=[%d],path=[%s]\n",
            a.IsServer() ? 1 : 0, (a.mode & Event::F_CONFLICT) ? 1 : 0, a.IsSubDirRescan() ? 1 : 0,
            d->name.c_str_utf8(), static_cast<int>(d->status), static_cast<int>(a.type), d->refServerCount,
            d->refLocalCount, NodePath(d).c_str_utf8());
    for (FileNode* f = d->file.First(); f; f = f->next) {
        const Attribute& fa = f->attr;
        NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
                "[File] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%s],"
                "status=[%d],type=[%d],path=[%s]\n",
                fa.IsServer() ? 1 : 0, (fa.mode & Event::F_CONFLICT) ? 1 : 0, fa.IsSubDirRescan() ? 1 : 0,
                f->name.c_str_utf8(), static_cast<int>(f->status), static_cast<int>(fa.type), NodePath(f).c_str_utf8());
    }
    for (DirNode* s = d->dir.First(); s; s = s->next) Traverse(s);
}

void EventList2::TraverseTree() {
    MutexLock l(mutex);
    if (!Logger::Wants(Logger::L_INFO, LogChannel())) return;
    NLOG_AT(L_INFO, LogChannel(), "event-list2.cpp",
            "========TraverseTree , server_event_count = [%d], "
            "local_event_count=[%d] =========\n",
            server_event_count, local_event_count);
    Traverse(root);
}

// ---------------------------------------------------------------------------------------
// Invariants

const char* EventList2::CheckBelow(const DirNode* d, int32_t& server, int32_t& local, int32_t events[2],
                                   ustring& where) const {
    server = local = 0;
    where = NodePath(d);
    if (const char* why = d->file.Check()) return why;
    if (const char* why = d->dir.Check()) return why;
    for (const FileNode* f = d->file.First(); f; f = f->next) {
        const bool srv = f->attr.IsServer();
        if (f->parent != d) return "a file's parent is not the directory that lists it";
        if (f->status == DONE) return "a file node is DONE";
        ++events[srv ? 0 : 1];
        if (f->status == PROCESSING) ++(srv ? server : local);
    }
    for (const DirNode* s = d->dir.First(); s; s = s->next) {
        if (s->parent != d) return "a directory's parent is not the directory that lists it";
        int32_t below_server = 0, below_local = 0;
        if (const char* why = CheckBelow(s, below_server, below_local, events, where)) return why;
        where = NodePath(s);
        if (s->refServerCount != below_server || s->refLocalCount != below_local)
            return "a directory's reference counts are not the PROCESSING nodes below it";
        server += below_server;
        local += below_local;
        const bool srv = s->attr.IsServer();
        if (s->status != DONE) ++events[srv ? 0 : 1];
        if (s->status == PROCESSING) ++(srv ? server : local);
    }
    return nullptr;
}

const char* EventList2::CheckLocked(ustring& where) const {
    where = "/";
    if (root == nullptr || root->parent != nullptr || root->status != DONE) return "the root is not a DONE directory";
    int32_t server = 0, local = 0;
    int32_t events[2] = {0, 0};
    if (const char* why = CheckBelow(root, server, local, events, where)) return why;
    where = "/";
    if (events[0] != server_event_count || events[1] != local_event_count)
        return "the event counts are not the nodes that hold events";
    return nullptr;
}

bool EventList2::CheckInvariants() {
    MutexLock l(mutex);
    ustring where;
    const char* why = CheckLocked(where);
    if (why)
        NLOG_AT(L_CRIT, LogChannel(), "event-list2.cpp", "broken invariant at [%s]: %s\n", where.c_str_utf8(), why);
    return why == nullptr;
}

void EventList2::DebugCheck() const {
#ifndef NDEBUG
    if (server_event_count + local_event_count > kDebugCheckLimit) return;
    ustring where;
    const char* why = CheckLocked(where);
    if (why)
        NLOG_AT(L_CRIT, LogChannel(), "event-list2.cpp", "broken invariant at [%s]: %s\n", where.c_str_utf8(), why);
    assert(why == nullptr);
#endif
}

// ---------------------------------------------------------------------------------------
// Introspection

bool EventList2::GetNodeInfo(const ustring& path, bool isDir, NodeInfo& info) {
    MutexLock l(mutex);
    std::string_view key;
    DirNode* parent = WalkParent(path, false, key);
    if (!parent) return false;
    if (isDir) {
        DirNode* d = parent->dir.Find(key);
        if (!d) return false;
        info.status = d->status;
        info.attr = d->attr;
        info.refServerCount = d->refServerCount;
        info.refLocalCount = d->refLocalCount;
        return true;
    }
    FileNode* f = parent->file.Find(key);
    if (!f) return false;
    info.status = f->status;
    info.attr = f->attr;
    info.refServerCount = info.refLocalCount = 0;
    return true;
}

bool EventList2::GetChildNames(const ustring& path, bool dirs, std::vector<ustring>& names) {
    MutexLock l(mutex);
    names.clear();
    DirNode* d = root;
    if (path != "/" && !path.empty()) {
        std::string_view name;
        DirNode* parent = WalkParent(path, false, name);
        if (!parent) return false;
        d = parent->dir.Find(name);
        if (!d) return false;
    }
    if (dirs)
        for (DirNode* s = d->dir.First(); s; s = s->next) names.push_back(s->name.str());
    else
        for (FileNode* f = d->file.First(); f; f = f->next) names.push_back(f->name.str());
    return true;
}
