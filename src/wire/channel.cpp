#include "wire/channel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "wire/ssl_channel.h"

namespace {

const ustring& kLog() {
    static const ustring* name = new ustring("channel_debug");
    return *name;
}

// Monotonic milliseconds, for the idle limit.
int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

SOCKET CellFd(void* context) { return context ? *static_cast<SOCKET*>(context) : INVALID_SOCKET; }

int ReadFd(void* context, char* buf, unsigned len, const timeval& timeout) {
    SOCKET fd = CellFd(context);
    if (len == 0) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "ReadFd: request 0\n");
        return ERR_INVAL;
    }
    int ready = SockWaitReady(fd, false, timeout);
    if (ready < 0) {
        int err = SockLastError();
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "select: [%d] %s\n", err, SockErrorText(err));
        return ERR_IO;
    }
    if (ready == 0) {
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "select: timeout\n");
        return ERR_TIMEOUT;
    }
    ssize_t n = SockRecv(fd, buf, len);
    if (n < 0) {
        int err = SockLastError();
        // Readiness without data (a spurious wake-up) counts as one empty wait.
        if (SockWouldBlock(err)) return ERR_TIMEOUT;
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "read: %s\n", SockErrorText(err));
        return ERR_IO;
    }
    if (n == 0) {
        // The peer closed: the normal end of an exchange, not a fault of this side.
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "read: %s\n", "connection closed by the peer");
        return ERR_IO;
    }
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "ReadFd: read %d bytes\n", static_cast<int>(n));
    return static_cast<int>(n);
}

int WriteFd(void* context, const char* buf, unsigned len, const timeval& timeout) {
    SOCKET fd = CellFd(context);
    if (len == 0) return ERR_INVAL;
    int ready = SockWaitReady(fd, true, timeout);
    if (ready < 0) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "select: %s\n", SockErrorText(SockLastError()));
        return ERR_IO;
    }
    if (ready == 0) {
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "select: timeout\n");
        return ERR_TIMEOUT;
    }
    ssize_t n = SockSend(fd, buf, len);
    if (n < 0) {
        int err = SockLastError();
        if (SockWouldBlock(err)) return ERR_TIMEOUT;
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "write: %s\n", SockErrorText(err));
        return ERR_IO;
    }
    if (n == 0) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "write: %s\n", "nothing written");
        NLOG_AT(L_WARNING, kLog(), "channel.cpp",
                "Diagnose: select says the socket is writeable but actually we "
                "can't write ... connection closed?\n");
        return ERR_IO;
    }
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "WriteFd: write %d bytes\n", static_cast<int>(n));
    return static_cast<int>(n);
}

SOCKET PlainGetFd(void* context) { return CellFd(context); }

void PlainClose(void* context) {
    if (!context) return;
    SOCKET fd = CellFd(context);
    if (fd != INVALID_SOCKET) {
        if (SockShutdown(fd) != 0)
            NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "Channel: shutdown: %s\n", SockErrorText(SockLastError()));
        CloseSocket(fd);
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "Channel: socket %d closed\n", fd);
    }
    delete static_cast<SOCKET*>(context);
}

bool PlainIsInvalid(void* context) { return CellFd(context) == INVALID_SOCKET; }

void InstallPlain(tag_CHANNEL_OPS& ops) {
    ops.read = ReadFd;
    ops.write = WriteFd;
    ops.get_fd = PlainGetFd;
    ops.close = PlainClose;
    ops.isInvalid = PlainIsInvalid;
}

}  // namespace

Channel::Channel(unsigned cap) : capacity(cap == 0 ? 1 : cap), channel_timeout(60) {
    w_buf = static_cast<char*>(std::malloc(capacity));
    r_buf = static_cast<char*>(std::malloc(capacity));
    if (!w_buf || !r_buf) std::abort();  // 80 KiB: nothing sensible is left to do without it
    m_timeout.tv_sec = 1;
    m_timeout.tv_usec = 0;
    InstallPlain(m_ops);
}

Channel::~Channel() {
    Channel::Close();
    std::free(w_buf);
    std::free(r_buf);
}

int Channel::Open(const char*) { return ERR_OK; }

int Channel::Open(SOCKET fd, bool prepare) {
    if (!IsClosed()) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Open: Channel already opened [%d]\n", GetFd());
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Open: %s\n", GetErrorString(ERR_INVAL));
        return ERR_INVAL;
    }
    if (fd == INVALID_SOCKET) return ERR_INVAL;
    if (prepare) {
        if (!SetLinger(fd, 1)) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Open: SetLinger to socket [%d] failed, %s\n", fd,
                    GetErrorString(ERR_SYS));
            return ERR_SYS;
        }
        if (!SetNonBlock(fd)) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Open: SetNonBlock to socket [%d] failed, %s\n", fd,
                    GetErrorString(ERR_SYS));
            return ERR_SYS;
        }
    }
    if (m_ops.context) m_ops.close(m_ops.context);  // a cell left holding -1
    m_ops.context = new SOCKET(fd);
    ClearRead();
    ClearWrite();
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "Channel: opening socket %d\n", fd);
    return ERR_OK;
}

int Channel::Open(const char* ip, int port) {
    if (!ip || port < 0) return ERR_OK;
    if (!IsClosed()) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Open: Channel already opened [%d]\n", GetFd());
        return ERR_INVAL;
    }
    SOCKET sock = CreateSock();
    if (sock == INVALID_SOCKET) return ERR_IO;
    if (!SetLinger(sock, 1) || !SetNonBlock(sock)) {
        CloseSocket(sock);
        return ERR_SYS;
    }
    int r = ConnectWithTimeout(sock, ip, port);
    if (r != 0) {
        CloseSocket(sock);
        return ERR_IO;
    }
    ClearRead();
    ClearWrite();
    if (m_ops.context) m_ops.close(m_ops.context);
    m_ops.context = new SOCKET(sock);
    return ERR_OK;
}

int Channel::Close() {
    if (!IsClosed()) {
        int r = FlushWrite(0);
        if (r != 0) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "FlushWrite: %s\n", GetErrorString(r));
            ClearRead();
            ClearWrite();
        }
    }
    if (m_ops.context) {
        m_ops.close(m_ops.context);
        m_ops.context = nullptr;
    }
    m_isSSL = false;
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
    return ERR_OK;
}

SOCKET Channel::DetachSocket() {
    SOCKET fd = IsClosed() ? INVALID_SOCKET : GetFd();
    if (m_ops.context) {
        if (m_isSSL)
            ssl_channel_release(m_ops.context);
        else
            delete static_cast<SOCKET*>(m_ops.context);
        m_ops.context = nullptr;
    }
    m_isSSL = false;
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
    ClearRead();
    ClearWrite();
    return fd;
}

int Channel::SetTimeout(unsigned seconds) {
    channel_timeout = seconds;
    return ERR_OK;
}

int Channel::SetFlag(const std::atomic<int>* f) {
    flag = f;
    return ERR_OK;
}

// Channel::ConvertToSSLChannel lives with the SSL operation table in ssl_channel.cpp.

void Channel::SetAbortGrace(int seconds) {
    abort_grace_ms = seconds < 0 ? -1 : int64_t{seconds} * 1000;
    abort_seen_ms = 0;
}

void Channel::SetDeadline(unsigned seconds) { deadline_ms = seconds == 0 ? 0 : NowMs() + int64_t{seconds} * 1000; }

bool Channel::Aborted() const {
    if (deadline_ms != 0 && NowMs() >= deadline_ms) return true;
    if (!flag || flag->load() == 0) return false;
    if (abort_grace_ms < 0) return true;
    const int64_t now = NowMs();
    if (abort_seen_ms == 0) abort_seen_ms = now;
    return now - abort_seen_ms >= abort_grace_ms;
}

int Channel::ReadByte(uint8_t* value) {
    char b;
    int r = Read(&b, 1);
    if (r == 0) *value = static_cast<uint8_t>(b);
    return r;
}

int Channel::ReadInt16(uint16_t* value) {
    unsigned char b[2];
    int r = Read(reinterpret_cast<char*>(b), 2);
    if (r == 0) *value = static_cast<uint16_t>((b[0] << 8) | b[1]);
    return r;
}

int Channel::ReadInt32(uint32_t* value) {
    unsigned char b[4];
    int r = Read(reinterpret_cast<char*>(b), 4);
    if (r == 0)
        *value = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                 (static_cast<uint32_t>(b[2]) << 8) | b[3];
    return r;
}

int Channel::ReadInt64(uint64_t* value) {
    unsigned char b[8];
    int r = Read(reinterpret_cast<char*>(b), 8);
    if (r == 0) {
        uint64_t v = 0;
        for (unsigned char c : b) v = (v << 8) | c;
        *value = v;
    }
    return r;
}

int Channel::WriteByte(uint8_t value) {
    char b = static_cast<char>(value);
    return Write(&b, 1);
}

int Channel::WriteInt16(uint16_t value) {
    char b[2] = {static_cast<char>(value >> 8), static_cast<char>(value)};
    return Write(b, 2);
}

int Channel::WriteInt32(uint32_t value) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(value >> (24 - 8 * i));
    return Write(b, 4);
}

int Channel::WriteInt64(uint64_t value) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(value >> (56 - 8 * i));
    return Write(b, 8);
}

int Channel::Read(char* buf, unsigned len) {
    unsigned total = 0;
    return Read(buf, len, total);
}

int Channel::Read(char* buf, unsigned len, unsigned& total) {
    total = 0;
    if (IsClosed()) return ERR_IO;
    // Copies buffered bytes to the caller, wrapping at the end of the ring.
    auto take = [&](unsigned n) {
        while (n > 0) {
            unsigned chunk = std::min(n, capacity - r_head);
            std::memcpy(buf + total, r_buf + r_head, chunk);
            total += chunk;
            n -= chunk;
            r_size -= chunk;
            r_head += chunk;
            if (r_head >= capacity) r_head = 0;
        }
        if (r_size == 0) r_head = 0;
    };
    take(std::min(r_size, len));
    while (total < len) {
        unsigned want = std::min(len - total, capacity);
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "want = %d, len = %d, total = %d, capacity = %d\n", want, len, total,
                capacity);
        int r = ReadMore(static_cast<int>(want));
        if (r != 0) {
            take(std::min(r_size, len - total));
            return r;
        }
        take(std::min(r_size, len - total));
    }
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "Read: read %d bytes, head = %d, size = %d\n", len, r_head, r_size);
    return ERR_OK;
}

int Channel::Write(const char* buf, unsigned len) {
    if (IsClosed()) return ERR_IO;
    if (len > capacity) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Write: Exceed maximum data block size\n");
        return ERR_INVAL;
    }
    if (w_size + len > capacity) {
        int r = FlushWrite(static_cast<int>(w_size + len - capacity));
        if (r != 0) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Write: FlushWrite failed\n");
            return r;
        }
    }
    unsigned pos = w_head + w_size;
    if (pos >= capacity) pos -= capacity;
    unsigned first = std::min(len, capacity - pos);
    std::memcpy(w_buf + pos, buf, first);
    if (first < len) std::memcpy(w_buf, buf + first, len - first);
    w_size += len;
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "Write: write %d bytes\n", len);
    return ERR_OK;
}

void Channel::ClearRead() {
    r_head = 0;
    r_size = 0;
}

void Channel::ClearWrite() {
    w_head = 0;
    w_size = 0;
}

int64_t Channel::MonotonicMs() { return NowMs(); }

void Channel::NoteStall(int64_t last_progress_ms) {
    int64_t none = 0;
    waiting_since_ms.compare_exchange_strong(none, last_progress_ms, std::memory_order_relaxed);
}

namespace {
// Clears a channel's waiting mark when its read or flush returns, however it returns.
struct StallEnd {
    std::atomic<int64_t>& since;
    ~StallEnd() { since.store(0, std::memory_order_relaxed); }
};
}  // namespace

int Channel::FlushWrite(int want) {
    if (w_size == 0) return ERR_OK;
    if (IsClosed()) return ERR_IO;
    StallEnd stall_end{waiting_since_ms};
    unsigned goal = want <= 0 ? w_size : std::min(static_cast<unsigned>(want), w_size);
    unsigned written = 0;
    int64_t last_progress = NowMs();
    while (written < goal) {
        if (Aborted()) return ERR_INT;
        unsigned stretch = std::min(w_size, capacity - w_head);
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "WriteFd: from %d, len %d\n", w_head, stretch);
        int n = m_ops.write(m_ops.context, w_buf + w_head, stretch, m_timeout);
        if (n == ERR_TIMEOUT) {
            NoteStall(last_progress);
            if (channel_timeout == 0 || NowMs() - last_progress < int64_t{channel_timeout} * 1000) continue;
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "FlushWrite: Channel timeout for %u seconds\n", channel_timeout);
            return ERR_TIMEOUT;
        }
        if (n < 0) return n;
        last_progress = NowMs();
        waiting_since_ms.store(0, std::memory_order_relaxed);
        written += static_cast<unsigned>(n);
        w_head += static_cast<unsigned>(n);
        w_size -= static_cast<unsigned>(n);
        if (w_head >= capacity || w_size == 0) w_head = 0;
    }
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "FlushWrite: flush at least %d bytes\n", want);
    return ERR_OK;
}

int Channel::GetPeerInfo(std::string&, int&) { return ERR_SYS; }

bool Channel::IsClosed() { return m_ops.isInvalid(m_ops.context); }

int Channel::ReadMore(int want) {
    if (want <= 0) return ERR_OK;
    if (IsClosed()) return ERR_IO;
    StallEnd stall_end{waiting_since_ms};
    int total = 0;
    int64_t last_progress = NowMs();
    while (total < want) {
        if (Aborted()) return ERR_INT;
        if (r_size == 0) r_head = 0;
        unsigned end = r_head + r_size;
        unsigned start, len;
        if (end < capacity) {
            start = end;
            len = capacity - end;
        } else {
            start = end - capacity;
            len = r_head - start;
        }
        if (len == 0) return ERR_INVAL;  // buffer full: the caller asked for more than fits
        NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "ReadMore: want = %d, total = %d, len = %d, r_head = %d, r_size = %d\n",
                want, total, len, r_head, r_size);
        int n = m_ops.read(m_ops.context, r_buf + start, len, m_timeout);
        if (n > 0) {
            r_size += static_cast<unsigned>(n);
            total += n;
            last_progress = NowMs();
            last_received_ms.store(last_progress, std::memory_order_relaxed);
            waiting_since_ms.store(0, std::memory_order_relaxed);
            continue;
        }
        if (n == ERR_TIMEOUT) {
            NoteStall(last_progress);
            if (channel_timeout == 0 || NowMs() - last_progress < int64_t{channel_timeout} * 1000) continue;
            NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "ReadMore: Channel timeout for %u seconed\n", channel_timeout);
            return ERR_TIMEOUT;
        }
        return n < 0 ? n : ERR_IO;
    }
    NLOG_AT(L_DEBUG, kLog(), "channel.cpp", "ReadMore: read at least %d bytes\n", want);
    return ERR_OK;
}

uint64_t Channel::Convert(uint64_t value) { return __builtin_bswap64(value); }
uint32_t Channel::Convert(uint32_t value) { return __builtin_bswap32(value); }
uint16_t Channel::Convert(uint16_t value) { return __builtin_bswap16(value); }

SOCKET Channel::CreateSock() { return SockCreateTcp(); }

bool Channel::SetLinger(SOCKET sock, int seconds) {
    if (SockSetLinger(sock, seconds) != 0) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "setsockopt: %s\n", SockErrorText(SockLastError()));
        return false;
    }
    return true;
}

bool Channel::SetNonBlock(SOCKET sock) {
    if (SockSetNonBlock(sock) != 0) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "ioctl: Error code: %d\n", SockLastError());
        return false;
    }
    return true;
}

int Channel::ConnectWithTimeout(SOCKET sock, const char* ip, int port) {
    if (sock == INVALID_SOCKET || !ip || port < 0 || port > 65535) {
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Invalid argumants (ip: %s, port: %d\n", ip ? ip : "(null)", port);
        return ERR_INVAL;
    }
    // Requests and replies are small messages each waiting for the other side's answer:
    // letting the kernel hold a small write back for an acknowledgement (Nagle against
    // delayed ACKs) costs up to 40 ms an exchange, far more than the exchange itself.
    SockSetNoDelay(sock, true);
    int r = SockConnectStart(sock, ip, port);
    if (r == 0) return ERR_OK;
    if (r < 0) {
        int err = SockLastError();
        NLOG_AT(L_WARNING, kLog(), "channel.cpp", "connect: Error Code: %d\n", err);
        return ERR_SYS;
    }
    unsigned elapsed = 0;
    for (;;) {
        if (Aborted()) return ERR_INT;
        int ready = SockWaitReady(sock, true, m_timeout);
        if (ready < 0) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "select: Error Code: %d\n", SockLastError());
            return ERR_SYS;
        }
        if (ready > 0) {
            // Writable also means "failed": the pending error tells which.
            int err = SockConnectResult(sock);
            if (err == 0) return ERR_OK;
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "connect: Error Code: %d\n", err);
            return ERR_SYS;
        }
        elapsed += 3;
        if (channel_timeout != 0 && elapsed >= channel_timeout) {
            NLOG_AT(L_WARNING, kLog(), "channel.cpp", "Channel timed out during connect (%d seconds), abort anyway\n",
                    channel_timeout);
            return ERR_TIMEOUT;
        }
    }
}

void Channel::SwitchChannelOp(int mode) {
    if (mode == CHANNEL_PLAIN_MODE) {
        InstallPlain(m_ops);
        return;
    }
    InstallSSLOps(m_ops);
}
