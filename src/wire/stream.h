// PStream: writes and reads one PObject at a time over a Channel in the tagged
// binary encoding. Binaries are streamed from and to files through one fixed
// buffer, never held whole in memory. A lock-protected progress record (key path,
// bytes moved, bytes expected) may be read from another thread during a transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "platform/session_root.h"
#include "wire/channel.h"
#include "wire/object.h"

// The stream's results: a family of their own, apart from the daemon's result codes
// (foundation/error_codes.h); a task sees them only through its site's
// map_stream_error (wire/protocol.h). The values are the numbers log lines print.
enum class StreamResult : int {
    kOk = 0,
    kSys = -1,       // a local failure: a file to send or receive, memory, a text too long
    kIo = -2,        // every channel failure
    kDiskFull = -4,  // a received file could not be created or written: no room or entries left
    kStream = -5,    // malformed input, or a file shorter than the promised length
};

// The number a log line prints for r.
inline int LogCode(StreamResult r) { return static_cast<int>(r); }

class PStream {
public:
    using Result = StreamResult;
    enum {
        TAG_NULL = 0x00,
        TAG_INTEGER = 0x01,
        TAG_STRING = 0x10,
        TAG_BINARY = 0x30,
        TAG_END = 0x40,
        TAG_ARRAY = 0x41,
        TAG_MAP = 0x42,
    };
    static constexpr unsigned kBufferSize = 81920;
    // Received values nested deeper than this are refused.
    static constexpr int kMaxDepth = 64;
    // Bounds of one received value, so that a peer that keeps streaming cannot grow
    // our memory without end: the members of its arrays and maps (all levels
    // together), and the memory the decoded value takes (kElementCharge per member,
    // each text's bytes plus kTextCharge). Binaries go to files and count only as
    // members. Past either bound Recv gives ERR_STREAM, frees what it built and hands
    // the freed memory back to the system. The byte bound is kMaxRecvBytes (a server's
    // reply: as many small members as the member bound allows, so a pull of about half
    // a million events still fits) unless SetRecvLimit lowers it.
    static constexpr uint64_t kMaxRecvElements = uint64_t{1} << 22;
    static constexpr uint64_t kMaxRecvBytes = uint64_t{512} << 20;
    // A member's real cost: its map node or array slot (links, key, value), the value's
    // own allocation, and the allocator's overhead on each (about 120 bytes measured
    // for a map of small integers).
    static constexpr uint64_t kElementCharge = 128;
    static constexpr uint64_t kTextCharge = 32;  // a text's heap block and its overhead
    // The bound for a control request or a notification: small values only.
    static constexpr uint64_t kSmallRecvBytes = uint64_t{1} << 20;

    PStream();
    ~PStream();

    // One value to or from the channel: kOk, or what went wrong (the channel is then
    // unusable for further values, but for kSys on sending before anything was written).
    [[nodiscard]] StreamResult Send(Channel& channel, const PObject& value);
    [[nodiscard]] StreamResult Recv(Channel& channel, PObject& value);
    // As Send, but the value stays in the channel's write buffer (written out only as
    // the buffer fills): several small values leave in one write at the next flush.
    [[nodiscard]] StreamResult SendBuffered(Channel& channel, const PObject& value);

    // Folder for received binaries whose target names no file. With none set such
    // binaries are refused.
    void SetDefaultRecvLocation(const ustring& folder) { recv_path = folder; }
    // The byte bound of each received value (see kMaxRecvBytes), at most kMaxRecvBytes.
    void SetRecvLimit(uint64_t bytes) { recv_limit = bytes < kMaxRecvBytes ? bytes : kMaxRecvBytes; }
    // With a root set, every received binary (in the default folder or in the file a
    // target names) and every sent one must lie beneath the root and is opened through
    // it, never through a link; anything else is refused with ERR_SYS.
    void SetRecvRoot(std::shared_ptr<const SessionRoot> root) { recv_root = std::move(root); }
    // Until cleared (an empty key), the array under `key` of a received top-level map is
    // not kept: each of its elements is received on its own, with the bounds of one
    // whole value, and handed to `item`; the map gets an empty array there. An answer
    // other than kOk from `item` ends the receive with that result (the channel is then
    // at an unknown position). Memory is one element at a time, however long the list.
    using ListItem = std::function<StreamResult(PObject& element)>;
    void SetListReceiver(const ustring& key, ListItem item) {
        list_key = key;
        list_item = std::move(item);
    }
    // Progress of the running transfer: the key path text, bytes moved, bytes expected.
    void GetStatus(ustring& item, uint64_t& sent, uint64_t& size);
    // Texts of the last received value that held a zero byte, as kept (cut before it):
    // a receiver that must not act on a cut name (a server path) can refuse them.
    const std::vector<ustring>& CutTexts() const { return cut_texts; }
    // The scratch files made in the default folder for unnamed binaries since the last
    // call, whether their transfer finished or not; the list is emptied. Whoever
    // receives owns them: what nobody uses must be removed.
    std::vector<ustring> TakeMadeFiles();
    static void GetVersion(int& major, int& minor, int& mini) {
        major = 1;
        minor = 0;
        mini = 0;
    }

    PStream(const PStream&) = delete;
    PStream& operator=(const PStream&) = delete;

private:
    StreamResult SendObject(Channel& c, const PObject& value);
    StreamResult SendNull(Channel& c);
    StreamResult Send(Channel& c, uint64_t value);
    StreamResult Send(Channel& c, const ustring& value);
    StreamResult Send(Channel& c, const PObject::binary_type& value);
    StreamResult Send(Channel& c, const PObject::map_type& value);
    StreamResult Send(Channel& c, const PObject::array_type& value);

    StreamResult RecvTag(Channel& c, uint8_t& tag);
    StreamResult RecvObject(Channel& c, PObject& value);
    StreamResult RecvDispatch(Channel& c, uint8_t tag, PObject& value);
    StreamResult Recv(Channel& c, uint64_t& value);
    StreamResult Recv(Channel& c, ustring& value);
    StreamResult Recv(Channel& c, PObject::binary_type& value);
    StreamResult Recv(Channel& c, PObject::map_type& value);
    StreamResult Recv(Channel& c, PObject::array_type& value);
    // The array of list_key, element by element to list_item.
    StreamResult RecvListToReceiver(Channel& c);
    // Reads an array's or a map's members up to the end tag; read_member(tag) reads
    // one member whose first tag is already read. open/close mark the trace lines.
    template <class ReadMember>
    StreamResult RecvMembers(Channel& c, char open, char close, ReadMember read_member);

    StreamResult ChannelFailed(int code);
    // Counts one more member of kElementCharge + text bytes; ERR_STREAM past a bound.
    StreamResult Charge(uint64_t members, uint64_t bytes);
    // Opens a file for a sent or received binary (through recv_root when set): fd or -1.
    int OpenRecvFile(const ustring& path, int flags);
    void PushHistory(const ustring& key) EXCLUDES(status_lock);
    void PopHistory() EXCLUDES(status_lock);
    void ClearHistory() EXCLUDES(status_lock);
    void DumpHistory() EXCLUDES(status_lock);
    ustring GetHistory() REQUIRES(status_lock);
    void UpdateStatus(uint64_t sent, uint64_t size) EXCLUDES(status_lock);
    const char* Indent() const;

    Mutex status_lock;
    std::vector<ustring> history GUARDED_BY(status_lock);
    uint64_t total_size GUARDED_BY(status_lock) = 0;
    uint64_t total_sent GUARDED_BY(status_lock) = 0;
    int indent = 0;
    bool trace = false;  // per-value debug lines wanted (checked once per top-level call)
    ustring recv_path;
    std::shared_ptr<const SessionRoot> recv_root;
    uint64_t recv_elements = 0;  // of the value being received
    uint64_t recv_bytes = 0;
    uint64_t recv_limit = kMaxRecvBytes;
    bool over_limit = false;
    std::vector<ustring> cut_texts;
    std::vector<ustring> made_files;
    ustring list_key;
    ListItem list_item;
};
