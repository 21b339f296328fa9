#include "wire/stream.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/logger.h"
#include "foundation/tmp_name.h"
#include "platform/file_ops.h"

namespace {

// The code of a failed write or create of a received file: a full volume is told apart.
StreamResult WriteFailed(int err) { return FSIsDiskFull(err) ? StreamResult::kDiskFull : StreamResult::kSys; }

const ustring& kLog() {
    static const ustring* name = new ustring("stream");
    return *name;
}

constexpr uint64_t kProgressStep = 104857600;  // one INFO line per 100 MiB

bool WriteAll(int fd, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

PStream::PStream() = default;

PStream::~PStream() = default;

const char* PStream::Indent() const {
    static const char kSpaces[] = "                      ";  // 11 levels of two spaces
    int level = indent > 11 ? 11 : indent;
    return kSpaces + (22 - 2 * level);
}

// ---- progress record -------------------------------------------------------

void PStream::PushHistory(const ustring& key) {
    MutexLock l(status_lock);
    history.push_back(key);
}

void PStream::PopHistory() {
    MutexLock l(status_lock);
    if (!history.empty()) history.pop_back();
}

void PStream::ClearHistory() {
    {
        MutexLock l(status_lock);
        history.clear();
        total_size = 0;
        total_sent = 0;
    }
    indent = 0;
}

ustring PStream::GetHistory() {
    ustring text;
    if (history.empty()) return text;
    text = history.front();
    for (const auto& key : history) {
        text += ".";
        text += key;
    }
    return text;
}

void PStream::DumpHistory() {
    ustring text;
    {
        MutexLock l(status_lock);
        text = GetHistory();
    }
    NLOG_AT(L_ERR, kLog(), "stream.cpp", "Error stack: %s\n", text.c_str_utf8());
}

void PStream::UpdateStatus(uint64_t sent, uint64_t size) {
    MutexLock l(status_lock);
    total_sent = sent;
    total_size = size;
}

void PStream::GetStatus(ustring& item, uint64_t& sent, uint64_t& size) {
    MutexLock l(status_lock);
    item = GetHistory();
    sent = total_sent;
    size = total_size;
}

// ---- sending ---------------------------------------------------------------

StreamResult PStream::Send(Channel& c, const PObject& value) {
    trace = Logger::Wants(Logger::L_DEBUG, kLog());
    StreamResult r = SendObject(c, value);
    if (r != StreamResult::kOk) {
        DumpHistory();
    } else {
        int f = c.FlushWrite(0);
        if (f != 0) {
            NLOG_AT(L_WARNING, kLog(), "stream.cpp", "Channel: %d\n", f);
            r = StreamResult::kIo;
        }
    }
    ClearHistory();
    return r;
}

StreamResult PStream::SendBuffered(Channel& c, const PObject& value) {
    trace = Logger::Wants(Logger::L_DEBUG, kLog());
    const StreamResult r = SendObject(c, value);
    if (r != StreamResult::kOk) DumpHistory();
    ClearHistory();
    return r;
}

StreamResult PStream::SendObject(Channel& c, const PObject& value) {
    switch (value.getType()) {
        case PObject::TYPE_NULL:
            return SendNull(c);
        case PObject::TYPE_INTEGER:
            return Send(c, value.asInteger());
        case PObject::TYPE_STRING:
            return Send(c, value.asString());
        case PObject::TYPE_BINARY:
            return Send(c, value.asBinary());
        case PObject::TYPE_MAP:
            return Send(c, value.asMap());
        case PObject::TYPE_ARRAY:
            return Send(c, value.asArray());
        default:
            return StreamResult::kSys;
    }
}

StreamResult PStream::SendNull(Channel& c) {
    UpdateStatus(0, 0);
    if (c.WriteByte(TAG_NULL) != 0 || c.WriteByte(0) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%snull\n", Indent());
    return StreamResult::kOk;
}

StreamResult PStream::Send(Channel& c, uint64_t value) {
    UpdateStatus(0, 0);
    uint8_t width = value < (1ull << 8) ? 1 : value < (1ull << 16) ? 2 : value < (1ull << 32) ? 4 : 8;
    char bytes[10];
    bytes[0] = static_cast<char>(TAG_INTEGER);
    bytes[1] = static_cast<char>(width);
    for (int i = 0; i < width; ++i) bytes[2 + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
    if (c.Write(bytes, 2u + width) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s%llu\n", Indent(), static_cast<unsigned long long>(value));
    return StreamResult::kOk;
}

StreamResult PStream::Send(Channel& c, const ustring& value) {
    UpdateStatus(0, 0);
    uint32_t len = value.length();
    if (len > 0xFFFF) {
        // The 16-bit count cannot express it; refuse before anything is written.
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "string of %u bytes is too long to send\n", len);
        return StreamResult::kSys;
    }
    if (c.WriteByte(TAG_STRING) != 0 || c.WriteInt16(static_cast<uint16_t>(len)) != 0) return StreamResult::kIo;
    const char* p = value.c_str_utf8();
    for (uint32_t done = 0; done < len;) {
        unsigned chunk = std::min<uint32_t>(len - done, c.GetCapacity());
        if (c.Write(p + done, chunk) != 0) return StreamResult::kIo;
        done += chunk;
    }
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s\"%s\"\n", Indent(), value.c_str_utf8());
    return StreamResult::kOk;
}

StreamResult PStream::Send(Channel& c, const PObject::map_type& value) {
    if (c.WriteByte(TAG_MAP) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s{\n", Indent());
    ++indent;
    for (const auto& [key, member] : value) {
        // A leading "_" only serves to sort a key first; it is not sent.
        ustring wire_key = !key.empty() && key[0] == '_' ? key.substr(1) : key;
        StreamResult r = Send(c, wire_key);
        if (r != StreamResult::kOk) return r;
        PushHistory(wire_key);
        r = SendObject(c, member);
        if (r != StreamResult::kOk) return r;  // the key stays on the history for the error report
        PopHistory();
    }
    --indent;
    if (c.WriteByte(TAG_END) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s}\n", Indent());
    return StreamResult::kOk;
}

StreamResult PStream::Send(Channel& c, const PObject::array_type& value) {
    if (c.WriteByte(TAG_ARRAY) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s[\n", Indent());
    ++indent;
    for (const auto& e : value) {
        StreamResult r = SendObject(c, e);
        if (r != StreamResult::kOk) return r;
    }
    --indent;
    if (c.WriteByte(TAG_END) != 0) return StreamResult::kIo;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s]\n", Indent());
    return StreamResult::kOk;
}

StreamResult PStream::Send(Channel& c, const PObject::binary_type& value) {
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kBufferSize]);
    if (!buf) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "malloc error\n");
        return StreamResult::kSys;
    }
    // The file is open before anything of the value is written, so that a file that
    // cannot be opened leaves no half value on the wire. A descriptor handed in is
    // the very file its sender examined; otherwise a session's file is opened beneath
    // its root, never through a link, and without blocking on a FIFO put in its place.
    int fd = value.fd ? ::dup(*value.fd) : OpenRecvFile(value.path, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd < 0) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "_wfopen(\"%s\", \"%s\"): Error code %d\n", value.path.c_str_utf8(), "rb",
                errno);
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "fopen error\n");
        return StreamResult::kSys;
    }
    if (value.offset > INT64_MAX || ::lseek(fd, static_cast<off_t>(value.offset), SEEK_SET) < 0) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "fseek error\n");
        ::close(fd);
        return StreamResult::kSys;
    }
    if (c.WriteByte(TAG_BINARY) != 0 || c.WriteInt64(value.length) != 0) {
        ::close(fd);
        return StreamResult::kIo;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (trace)
        Logger::LogMsg(Logger::L_DEBUG, kLog(), "%sbinary, %llu bytes\n", Indent(),
                       static_cast<unsigned long long>(value.length));
    UpdateStatus(0, value.length);
    uint64_t sent = 0;
    bool eof = false;
    while (sent < value.length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, value.length - sent));
        ssize_t n = ::read(fd, buf.get(), want);
        if (n < 0) {
            if (errno == EINTR) continue;
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "fread error\n");
            ::close(fd);
            return StreamResult::kSys;
        }
        if (n == 0) {
            eof = true;
            break;
        }
        if (c.Write(buf.get(), static_cast<unsigned>(n)) != 0) {
            ::close(fd);
            return StreamResult::kIo;
        }
        sent += static_cast<uint64_t>(n);
        if (sent % kProgressStep == 0)
            NLOG_AT(L_INFO, kLog(), "stream.cpp", "sending %s ... (%llu / %llu)\n", value.path.c_str_utf8(),
                    static_cast<unsigned long long>(sent), static_cast<unsigned long long>(value.length));
        UpdateStatus(sent, value.length);
    }
    ::close(fd);
    if (eof) {
        // The peer was promised more bytes than exist; this connection is unusable now.
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "file length is incorrect.\n");
        return StreamResult::kStream;
    }
    return StreamResult::kOk;
}

// ---- receiving -------------------------------------------------------------

StreamResult PStream::ChannelFailed(int code) {
    NLOG_AT(L_WARNING, kLog(), "stream.cpp", "Channel: %d\n", code);
    return StreamResult::kIo;
}

StreamResult PStream::Recv(Channel& c, PObject& value) {
    trace = Logger::Wants(Logger::L_DEBUG, kLog());
    recv_elements = 0;
    recv_bytes = 0;
    over_limit = false;
    cut_texts.clear();
    StreamResult r = RecvObject(c, value);
    if (r != StreamResult::kOk) DumpHistory();
    ClearHistory();
    if (over_limit) {
        // Nothing of an oversized value is kept, nor the memory it took.
        value.clear();
        malloc_trim(0);
    }
    return r;
}

StreamResult PStream::Charge(uint64_t members, uint64_t bytes) {
    recv_elements += members;
    recv_bytes += members * kElementCharge + bytes;
    if (recv_elements <= kMaxRecvElements && recv_bytes <= recv_limit) return StreamResult::kOk;
    NLOG_AT(L_ERR, kLog(), "stream.cpp", "value too large: over %llu members or %llu bytes\n",
            static_cast<unsigned long long>(kMaxRecvElements), static_cast<unsigned long long>(recv_limit));
    over_limit = true;
    return StreamResult::kStream;
}

StreamResult PStream::RecvTag(Channel& c, uint8_t& tag) {
    int r = c.ReadByte(&tag);
    return r == 0 ? StreamResult::kOk : ChannelFailed(r);
}

StreamResult PStream::RecvObject(Channel& c, PObject& value) {
    uint8_t tag = 0;
    StreamResult r = RecvTag(c, tag);
    if (r != StreamResult::kOk) return r;
    return RecvDispatch(c, tag, value);
}

StreamResult PStream::RecvDispatch(Channel& c, uint8_t tag, PObject& value) {
    switch (tag) {
        case TAG_NULL: {
            uint8_t zero = 0;
            int r = c.ReadByte(&zero);
            if (r != 0) return ChannelFailed(r);
            if (zero != 0) {
                NLOG_AT(L_ERR, kLog(), "stream.cpp", "expect length 0, but we've got %u\n",
                        static_cast<unsigned>(zero));
                return StreamResult::kStream;
            }
            value.clear();
            if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%snull\n", Indent());
            return StreamResult::kOk;
        }
        case TAG_INTEGER: {
            uint64_t v = 0;
            StreamResult r = Recv(c, v);
            if (r == StreamResult::kOk) value = v;
            return r;
        }
        case TAG_STRING: {
            ustring s;
            StreamResult r = Recv(c, s);
            if (r == StreamResult::kOk) value = s;
            return r;
        }
        case TAG_BINARY:
            return Recv(c, value.asBinary());
        case TAG_ARRAY:
        case TAG_MAP: {
            if (indent >= kMaxDepth) {
                NLOG_AT(L_ERR, kLog(), "stream.cpp", "values nested deeper than %d levels\n", kMaxDepth);
                return StreamResult::kStream;
            }
            return tag == TAG_ARRAY ? Recv(c, value.asArray()) : Recv(c, value.asMap());
        }
        default:
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "PStream: unknown tag %u\n", static_cast<unsigned>(tag));
            return StreamResult::kStream;
    }
}

StreamResult PStream::Recv(Channel& c, uint64_t& value) {
    UpdateStatus(0, 0);
    uint8_t width = 0;
    int r = c.ReadByte(&width);
    if (r != 0) return ChannelFailed(r);
    if (width > 8) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "integer of %u bytes\n", static_cast<unsigned>(width));
        return StreamResult::kStream;
    }
    unsigned char bytes[8];
    if (width > 0) {
        r = c.Read(reinterpret_cast<char*>(bytes), width);
        if (r != 0) return ChannelFailed(r);
    }
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | bytes[i];
    value = v;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s%llu\n", Indent(), static_cast<unsigned long long>(v));
    return StreamResult::kOk;
}

StreamResult PStream::Recv(Channel& c, ustring& value) {
    UpdateStatus(0, 0);
    uint16_t len = 0;
    int r = c.ReadInt16(&len);
    if (r != 0) return ChannelFailed(r);
    if (const StreamResult charged = Charge(0, len + kTextCharge); charged != StreamResult::kOk) return charged;
    std::string bytes(len, '\0');
    for (unsigned done = 0; done < len;) {
        unsigned chunk = std::min<unsigned>(len - done, c.GetCapacity());
        r = c.Read(bytes.data() + done, chunk);
        if (r != 0) return ChannelFailed(r);
        done += chunk;
    }
    // The text ends at the first zero byte, if any; the receiver may want to know.
    const size_t kept = strnlen(bytes.data(), len);
    value.assign(bytes.data(), static_cast<uint32_t>(kept));
    if (kept < len) cut_texts.push_back(value);
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s\"%s\"\n", Indent(), value.c_str_utf8());
    return StreamResult::kOk;
}

template <class ReadMember>
StreamResult PStream::RecvMembers(Channel& c, char open, char close, ReadMember read_member) {
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s%c\n", Indent(), open);
    ++indent;
    for (;;) {
        uint8_t tag = 0;
        StreamResult r = RecvTag(c, tag);
        if (r != StreamResult::kOk) return r;
        if (tag == TAG_END) break;
        r = Charge(1, 0);
        if (r != StreamResult::kOk) return r;
        r = read_member(tag);
        if (r != StreamResult::kOk) return r;
    }
    --indent;
    if (trace) Logger::LogMsg(Logger::L_DEBUG, kLog(), "%s%c\n", Indent(), close);
    return StreamResult::kOk;
}

StreamResult PStream::Recv(Channel& c, PObject::array_type& value) {
    return RecvMembers(c, '[', ']', [&](uint8_t tag) {
        // Received in place, so that a partly received binary still names its file.
        value.emplace_back();
        return RecvDispatch(c, tag, value.back());
    });
}

StreamResult PStream::Recv(Channel& c, PObject::map_type& value) {
    return RecvMembers(c, '{', '}', [&](uint8_t tag) {
        if (tag != TAG_STRING) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "PStream: expect string, but get tag %u\n",
                    static_cast<unsigned>(tag));
            return StreamResult::kStream;
        }
        ustring key;
        StreamResult r = Recv(c, key);
        if (r != StreamResult::kOk) return r;
        PushHistory(key);
        if (indent == 1 && list_item && !list_key.empty() && key == list_key) {
            uint8_t member_tag = 0;
            r = RecvTag(c, member_tag);
            if (r != StreamResult::kOk) return r;
            if (member_tag == TAG_ARRAY) {
                value[key] = PObject::array_type();
                r = RecvListToReceiver(c);
            } else {
                r = RecvDispatch(c, member_tag, value[key]);
            }
            if (r != StreamResult::kOk) return r;
            PopHistory();
            return StreamResult::kOk;
        }
        r = RecvObject(c, value[key]);  // a repeated key is read into the existing member
        if (r != StreamResult::kOk) return r;
        PopHistory();
        return StreamResult::kOk;
    });
}

StreamResult PStream::RecvListToReceiver(Channel& c) {
    // Each element is charged as a value of its own: the bounds hold per element, and
    // the list as a whole costs nothing that stays.
    const uint64_t elements_before = recv_elements;
    const uint64_t bytes_before = recv_bytes;
    const StreamResult r = RecvMembers(c, '[', ']', [&](uint8_t tag) {
        recv_elements = 0;
        recv_bytes = 0;
        PObject element;
        StreamResult got = RecvDispatch(c, tag, element);
        if (got == StreamResult::kOk) got = list_item(element);
        return got;
    });
    // The list's own member was charged before it was read.
    recv_elements = elements_before;
    recv_bytes = bytes_before;
    return r;
}

std::vector<ustring> PStream::TakeMadeFiles() {
    std::vector<ustring> made;
    made.swap(made_files);
    return made;
}

int PStream::OpenRecvFile(const ustring& path, int flags) {
    if (!recv_root) return ::open(path.c_str_utf8(), flags | O_CLOEXEC, 0666);
    ustring rel;
    int fd = -1;
    if (!recv_root->Relative(path, rel)) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "'%s' is not inside '%s'\n", path.c_str_utf8(),
                recv_root->path().c_str_utf8());
        errno = EXDEV;
        return -1;
    }
    return recv_root->OpenAt(rel, flags, 0666, fd) == FsResult::kOk ? fd : -1;
}

StreamResult PStream::Recv(Channel& c, PObject::binary_type& value) {
    uint64_t count = 0;
    int r = c.ReadInt64(&count);
    if (r != 0) return ChannelFailed(r);

    bool fresh = value.path.empty();
    if (fresh) {
        // Only a folder the receiver chose may receive unnamed binaries.
        if (recv_path.empty()) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "no folder for received binaries, refusing %llu bytes\n",
                    static_cast<unsigned long long>(count));
            return StreamResult::kSys;
        }
        value.offset = 0;
        value.length = 0;
    } else {
        NLOG_AT(L_DEBUG, kLog(), "stream.cpp", "store binary to %s, offset %llu\n", value.path.c_str_utf8(),
                static_cast<unsigned long long>(value.offset));
    }
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kBufferSize]);
    if (!buf) {
        NLOG_AT(L_ERR, kLog(), "stream.cpp", "malloc error\n");
        return StreamResult::kSys;
    }

    int fd = -1;
    // Whatever happens next, the target ends up describing the bytes on disk.
    value.length = value.offset;
    if (fresh) {
        // A fresh name that happens to exist is never overwritten.
        for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
            ustring name = TmpNameGen::getInstance().getTmpName(recv_path);
            if (name.empty()) break;
            fd = OpenRecvFile(name, O_WRONLY | O_CREAT | O_EXCL);
            if (fd >= 0) {
                value.path = name;
                made_files.push_back(name);
            } else if (errno != EEXIST)
                break;
        }
        if (fd < 0) {
            const int err = errno;
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "_wfopen(\"%s\", \"%s\"): Error code %d\n", recv_path.c_str_utf8(),
                    "wb", err);
            return WriteFailed(err);
        }
    } else if (value.offset == 0) {
        fd = OpenRecvFile(value.path, O_WRONLY | O_CREAT | O_TRUNC);
        if (fd < 0) {
            const int err = errno;
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "_wfopen(\"%s\", \"%s\"): Error code %d\n", value.path.c_str_utf8(),
                    "wb", err);
            return WriteFailed(err);
        }
    } else {
        // Continue at `offset`: whatever lies beyond it is cut off. A file shorter than
        // `offset` cannot be continued without a gap, so it is refused.
        fd = OpenRecvFile(value.path, O_WRONLY | O_CREAT);
        if (fd < 0) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "CreateFile: Error code %d\n", errno);
            return StreamResult::kSys;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || value.offset > static_cast<uint64_t>(INT64_MAX) ||
            static_cast<uint64_t>(st.st_size) < value.offset) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "'%s' holds %llu bytes, cannot continue at %llu\n",
                    value.path.c_str_utf8(), static_cast<unsigned long long>(st.st_size),
                    static_cast<unsigned long long>(value.offset));
            ::close(fd);
            return StreamResult::kSys;
        }
        if (::ftruncate(fd, static_cast<off_t>(value.offset)) != 0) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "SetEndOfFile: Error code %d\n", errno);
            ::close(fd);
            return StreamResult::kSys;
        }
        if (::lseek(fd, static_cast<off_t>(value.offset), SEEK_SET) < 0) {
            NLOG_AT(L_ERR, kLog(), "stream.cpp", "SetFilePointerEx: Error code %d\n", errno);
            ::close(fd);
            return StreamResult::kSys;
        }
    }

    UpdateStatus(0, count);
    uint64_t received = 0;
    StreamResult result = StreamResult::kOk;
    while (received < count) {
        unsigned want = static_cast<unsigned>(std::min<uint64_t>(kBufferSize, count - received));
        unsigned got = 0;
        int rr = c.Read(buf.get(), want, got);
        // Bytes that did arrive are kept, so that a later request can continue after them.
        if (got > 0 && !WriteAll(fd, buf.get(), got)) {
            result = WriteFailed(errno);
            break;
        }
        received += got;
        if (rr != 0) {
            result = ChannelFailed(rr);
            break;
        }
        if (received % kProgressStep == 0)
            NLOG_AT(L_INFO, kLog(), "stream.cpp", "receiving %s ... (%llu / %llu)\n", value.path.c_str_utf8(),
                    static_cast<unsigned long long>(received), static_cast<unsigned long long>(count));
        UpdateStatus(received, count);
    }
    if (::close(fd) != 0 && result == StreamResult::kOk) result = WriteFailed(errno);
    value.offset += received;
    value.length = value.offset;  // also after a failure: a later request continues here
    Logger::LogMsg(Logger::L_DEBUG, kLog(), "%sbinary has been stored at '%s' with length %llu\n", Indent(),
                   value.path.c_str_utf8(), static_cast<unsigned long long>(value.length));
    return result;
}
