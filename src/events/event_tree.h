// EventList2: the pending events of one session, kept as a tree that mirrors the
// session's directories. Events for the same path merge; the tree decides the order in
// which they are handed out (parents before contents, files of a directory before its
// sub-directories, one sub-tree at a time) and keeps a directory busy while anything
// below it is being processed.
//
// Children keep insertion order (only Redo reorders them), but every list is also
// indexed by name and keeps a separate ordered index of the children that a hand-out
// may pick, so neither a lookup nor a hand-out walks a long list of siblings.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "events/packed_text.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "store/event.h"

class EventList2 {
public:
    // Flag bit of the tree's own (the event's bits plus this one).
    enum { F_FORCE = 2048 };

    enum Status { WAITING = 0, PROCESSING = 1, DONE = 2, RETRY = 3 };

    using time_type = decltype(Event::m_time);

    // What few events carry, kept out of line so that the others do not pay for it.
    struct Rare {
        ustring opt;
        ustring mac_attr_hash;
        uint64_t mac_attr_size = 0;
    };

    // The event as the tree stores it: a million of them may wait at once, so the texts
    // are packed and the rarely set fields live in a separate box.
    struct Attribute {
        Event::Type type = Event::EV_EMPTY;
        uint32_t mode = 0;
        uint64_t syncID = 0;
        uint64_t maxSyncID = 0;
        uint64_t sessID = 0;
        uint64_t size = 0;
        time_type time{};
        uint32_t exec_bit = 0;
        PackedText hash;
        PackedText path;

        Attribute() = default;
        explicit Attribute(const Event& e) { FromEvent(e); }
        void FromEvent(const Event& e);
        void ToEvent(Event& e) const;
        Attribute(const Attribute& o) { *this = o; }
        Attribute(Attribute&&) noexcept = default;
        Attribute& operator=(const Attribute& o);
        Attribute& operator=(Attribute&&) noexcept = default;
        void Clear() { *this = Attribute(); }
        ustring opt() const { return rare ? rare->opt : ustring(); }
        ustring mac_attr_hash() const { return rare ? rare->mac_attr_hash : ustring(); }
        uint64_t mac_attr_size() const { return rare ? rare->mac_attr_size : 0; }
        bool IsServer() const { return (mode & Event::F_SERVER) != 0; }
        bool IsDir() const { return (mode & Event::F_DIR) != 0; }
        bool IsSubDirRescan() const {
            return (mode & (Event::F_LOCAL_SUBDIR_RESCAN | Event::F_SERVER_SUBDIR_RESCAN |
                            Event::F_LOCAL_SUBDIR_RESCAN_STAT | Event::F_SERVER_SUBDIR_RESCAN_STAT)) != 0;
        }

    private:
        std::unique_ptr<Rare> rare;  // null while opt, mac_attr_hash and mac_attr_size are unset
    };

    struct DirNode;

    // Children of one directory of one kind, owned. Three intrusive structures over the
    // same nodes: the list in hand-out order, a hash index by name, and the sub-list of
    // the children a hand-out may pick (Eligible() of their status), in the same order.
    // Only nodes that are out with a worker are not eligible, so keeping the sub-list
    // ordered costs a walk over at most those.
    template <class T>
    class ChildList {
    public:
        ChildList() = default;
        ~ChildList();
        ChildList(const ChildList&) = delete;
        ChildList& operator=(const ChildList&) = delete;

        T* Find(std::string_view name) const;
        void Append(T* node);  // takes ownership
        void MoveToEnd(T* node);
        void Unlink(T* node);  // gives ownership back
        void SetStatus(T* node, Status s);
        T* First() const { return head; }
        static T* Next(const T* node) { return node->next; }
        T* FirstEligible() const { return ehead; }
        static T* NextEligible(const T* node) { return node->enext; }
        size_t Size() const { return count; }
        bool Empty() const { return head == nullptr; }
        // The three structures agree: the list links both ways, every node is found by
        // its name, count is the list's length, and the eligible sub-list holds exactly
        // the eligible nodes, in list order. Null when they do, else what is wrong.
        const char* Check() const;

    private:
        void LinkTail(T* node);
        void UnlinkOrder(T* node);
        void Enlist(T* node);
        void Delist(T* node);
        void HashInsert(T* node);
        void HashErase(T* node);
        void Rehash(size_t n);

        T* head = nullptr;
        T* tail = nullptr;
        T* ehead = nullptr;
        T* etail = nullptr;
        std::vector<T*> buckets;  // size 0 or a power of two
        size_t count = 0;
    };

    // Bookkeeping every child node carries for its ChildList.
    template <class T>
    struct ListLinks {
        T* prev = nullptr;
        T* next = nullptr;
        T* eprev = nullptr;
        T* enext = nullptr;
        T* hnext = nullptr;
        uint32_t hash = 0;    // of the name, the low bits of the index's hash
        bool listed = false;  // in the eligible sub-list
        // The node's status, packed here beside the other small fields; a node of each
        // kind sets its own initial value.
        Status status : 8;
    };

    struct FileNode : ListLinks<FileNode> {
        FileNode() { status = WAITING; }
        PackedText name;
        Attribute attr;
        DirNode* parent = nullptr;
        static bool Eligible(Status s) { return s == WAITING; }
    };

    struct DirNode : ListLinks<DirNode> {
        DirNode() { status = DONE; }
        PackedText name;
        DirNode* parent = nullptr;
        Attribute attr;
        ChildList<DirNode> dir;
        ChildList<FileNode> file;
        int32_t refServerCount = 0;
        int32_t refLocalCount = 0;
        static bool Eligible(Status s) { return s == WAITING || s == DONE; }
        bool HasChildren() const { return !dir.Empty() || !file.Empty(); }
    };

    // What a test or a debugging session may ask about one node.
    struct NodeInfo {
        Status status = WAITING;
        Attribute attr;
        int32_t refServerCount = 0;  // directories only
        int32_t refLocalCount = 0;
    };

    explicit EventList2(const ustring& watch_path = ustring());
    ~EventList2();
    EventList2(const EventList2&) = delete;
    EventList2& operator=(const EventList2&) = delete;

    // Merges the event into its path's node (old: what the node held before, cleared
    // when it is new). False, logged, for a path the tree cannot hold.
    [[nodiscard]] bool Push(const Event& e);
    [[nodiscard]] bool Push(const Event& e, Event& old);
    // Hands out the first waiting event. False when none can be handed out.
    [[nodiscard]] bool Pop(Event& e);
    // Hands out the node at path (again, when it is out already). False when there is
    // no such node or it holds no event (DONE).
    [[nodiscard]] bool Pop(const ustring& path, Event& e);
    // As Pop(path, e), but only the node of the given kind is considered.
    [[nodiscard]] bool Pop(const ustring& path, bool isDir, Event& e);
    // Completes the handed-out node of e's path and origin. False when there is no
    // such node out (another event merged in, or it was dropped).
    [[nodiscard]] bool DoneEvent(const Event& e);
    // Puts the node at path back in line as waiting. False when there is no such node
    // or it holds no event.
    [[nodiscard]] bool Redo(const ustring& path);
    // As Redo(path), but only the node of the given kind is considered.
    [[nodiscard]] bool Redo(const ustring& path, bool isDir);
    void ClearLocalEvent();
    void Clear();
    bool IsEmpty();
    int GetServerEventCount();
    int GetLocalEventCount();
    // Bytes of the queued file creations and modifications (uploads and downloads, those
    // out with a worker included) as far as their events know their size, and the bytes
    // of such events completed since the tree was made (never reset; a rate is its change).
    struct ByteCount {
        uint64_t queued = 0;
        uint64_t done = 0;
    };
    ByteCount GetByteCount() EXCLUDES(mutex);
    void TraverseTree();

    void SetWatchPath(const ustring& path);
    ustring GetWatchPath();

    // True and the node's state when a node of that kind exists at path.
    [[nodiscard]] bool GetNodeInfo(const ustring& path, bool isDir, NodeInfo& info);
    // Names of a directory's children in list order (tests and debugging); false when
    // there is no such directory.
    [[nodiscard]] bool GetChildNames(const ustring& path, bool dirs, std::vector<ustring>& names);

    // The rules every change keeps: each child list is consistent (ChildList::Check)
    // and each node's parent is the directory that lists it; the root is DONE; only
    // directories are DONE; a directory's refServerCount and refLocalCount are the
    // PROCESSING nodes below it, server and local; server_event_count and
    // local_event_count are the nodes that hold an event (all but DONE), by origin.
    // True when they hold; else false, with the first broken rule logged. Debug builds
    // check it after every change while the tree is small; the model test after every step.
    bool CheckInvariants() EXCLUDES(mutex);

    static Attribute HandleConflict(const Attribute& oldAttr, const Attribute& newAttr, bool isDir);
    static Attribute HandleTypeConflict(const Attribute& server, const Attribute& local);

private:
    bool PushLocked(const Event& e, Event& old) REQUIRES(mutex);
    void AddFile(DirNode* parent, std::string_view name, Attribute&& attr, Attribute& old) REQUIRES(mutex);
    void AddDirectory(DirNode* parent, std::string_view name, Attribute&& attr, Attribute& old) REQUIRES(mutex);
    bool GetFirstWaiting(DirNode* d, Event& e) REQUIRES(mutex);
    bool PopByPath(const ustring& path, int kind, Event& e) EXCLUDES(mutex);
    bool RedoByPath(const ustring& path, int kind) EXCLUDES(mutex);
    void RemoveSubNode(DirNode* d, bool server, int& kept, uint64_t baseSyncID) REQUIRES(mutex);
    void ClearLocal(DirNode* d) REQUIRES(mutex);
    void Traverse(DirNode* d) REQUIRES(mutex);
    // CheckInvariants below d: null when they hold, else the broken rule (path in where).
    // server and local receive the PROCESSING nodes below d, events the nodes holding
    // events, by origin.
    const char* CheckBelow(const DirNode* d, int32_t& server, int32_t& local, int32_t events[2], ustring& where) const
        REQUIRES(mutex);
    const char* CheckLocked(ustring& where) const REQUIRES(mutex);
    // After a change, in debug builds: asserts CheckLocked while the tree is small
    // enough for the walk to cost nothing that matters.
    void DebugCheck() const REQUIRES(mutex);

    // Walks the directory part of a path; creates what is missing when create is set.
    // The base name goes to name. Null when the path is refused or a component is missing.
    DirNode* WalkParent(const ustring& path, bool create, std::string_view& name, bool moveToEnd = false)
        REQUIRES(mutex);
    static bool SplitPath(const ustring& path, std::string_view& dirPart, std::string_view& name);

    void HandOutFile(FileNode* f) REQUIRES(mutex);
    void HandOutDir(DirNode* d) REQUIRES(mutex);
    void RaiseRefs(DirNode* from, bool server) REQUIRES(mutex);
    void LowerRefs(DirNode* from, bool server) REQUIRES(mutex);
    void AddCount(bool server, int delta) REQUIRES(mutex);
    // The bytes a file node's event moves, the share it has in queued_bytes.
    static uint64_t TransferBytes(const Attribute& a);
    void AddBytes(const Attribute& a) REQUIRES(mutex) { queued_bytes += TransferBytes(a); }
    void SubBytes(const Attribute& a) REQUIRES(mutex);
    void SetDirStatus(DirNode* d, Status s) REQUIRES(mutex);
    void SetFileStatus(FileNode* f, Status s) REQUIRES(mutex);
    void DeleteFile(FileNode* f) REQUIRES(mutex);
    void DeleteDir(DirNode* d) REQUIRES(mutex);
    void DeleteEmptyDoneAncestors(DirNode* d) REQUIRES(mutex);
    void RemoveFStat(const ustring& nodePath) REQUIRES(mutex);
    bool AllBelowDoneOrRemove(const DirNode* d) const;
    bool SubProcessingNotRemove(const DirNode* d) const;
    static ustring NodePath(const DirNode* d);
    static ustring NodePath(const FileNode* f);
    static void FreeTree(DirNode* d);

    Mutex mutex;
    DirNode* root GUARDED_BY(mutex) = nullptr;
    int32_t server_event_count GUARDED_BY(mutex) = 0;
    int32_t local_event_count GUARDED_BY(mutex) = 0;
    // The sum of TransferBytes over the file nodes: kept where a file node gets its
    // event, a merged event or is deleted.
    uint64_t queued_bytes GUARDED_BY(mutex) = 0;
    uint64_t done_bytes GUARDED_BY(mutex) = 0;
    ustring watch_path GUARDED_BY(mutex);
};
