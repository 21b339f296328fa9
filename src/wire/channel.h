// Channel: a TCP socket with a write ring buffer and a read ring buffer, big-endian
// integer helpers, a one-second readiness wait, an idle limit (channel_timeout) and an
// external abort flag. The socket is reached through a small operation table so that
// the same object can later be switched in place to an encrypted transport.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/socket.h"

enum { CHANNEL_SSL_MODE = 0, CHANNEL_PLAIN_MODE = 1 };

// The transport operations of a channel. read/write move up to `length` bytes and
// return the count moved (> 0) or a negative result code (-9 when one wait for
// readiness ended without progress).
struct tag_CHANNEL_OPS {
    void* context = nullptr;
    int (*read)(void* context, char* buffer, unsigned length, const timeval& timeout) = nullptr;
    int (*write)(void* context, const char* buffer, unsigned length, const timeval& timeout) = nullptr;
    SOCKET (*get_fd)(void* context) = nullptr;
    void (*close)(void* context) = nullptr;
    bool (*isInvalid)(void* context) = nullptr;
};

class Channel {
public:
    explicit Channel(unsigned capacity);
    virtual ~Channel();

    // Hook for subclasses that open their own kind of connection; does nothing here.
    virtual int Open(const char* spec);
    // Adopts a connected socket; with prepare set it is given a one-second linger and
    // made non-blocking first. 0, or -3 (preparation failed), -4 (already open, or -1).
    virtual int Open(SOCKET fd, bool prepare);
    // Connects to a dotted IPv4 address. A null ip or a negative port opens nothing and
    // returns 0. 0, -2 (socket or connect failed), -3 (socket preparation failed), -4, -9.
    virtual int Open(const char* ip, int port);
    virtual int Close();
    // Idle limit in seconds for reads, flushes and connects; 0 waits without limit.
    virtual int SetTimeout(unsigned seconds);
    // Abort cell polled before every socket operation (non-zero aborts); null detaches
    // it. The cell is written by other threads and must outlive its use here.
    virtual int SetFlag(const std::atomic<int>* flag);
    const std::atomic<int>* GetFlag() const { return flag; }
    // Once the abort flag is raised, go on for at most `seconds` more before giving up
    // (a reply that may commit something is still worth waiting for); -1, the
    // default, gives up at once.
    void SetAbortGrace(int seconds);
    // Every operation gives up (as an abort) once `seconds` from now have passed; 0
    // lifts the limit. Bounds a whole exchange however slowly the peer trickles bytes,
    // where the idle limit only bounds each wait.
    void SetDeadline(unsigned seconds);
    // Upgrade to the encrypted transport; the encryption module provides it. Until
    // then a plain channel cannot be upgraded and this reports -2.
    virtual int ConvertToSSLChannel(bool isServer);

    virtual int ReadByte(uint8_t* value);
    virtual int ReadInt16(uint16_t* value);
    virtual int ReadInt32(uint32_t* value);
    virtual int ReadInt64(uint64_t* value);
    virtual int WriteByte(uint8_t value);
    virtual int WriteInt16(uint16_t value);
    virtual int WriteInt32(uint32_t value);
    virtual int WriteInt64(uint64_t value);
    // 0 when all len bytes were delivered, else a negative code.
    virtual int Read(char* buf, unsigned len);
    // As above; total tells how many bytes reached buf, also on failure.
    virtual int Read(char* buf, unsigned len, unsigned& total);
    // Buffers len bytes (at most capacity) for sending; I/O only to make room.
    virtual int Write(const char* buf, unsigned len);
    virtual void ClearRead();
    virtual void ClearWrite();
    // Sends at least `want` buffered bytes; 0 sends everything buffered.
    virtual int FlushWrite(int want);
    virtual int GetPeerInfo(std::string& host, int& port);
    virtual bool IsClosed();
    // Reads from the socket until at least `want` more bytes are buffered.
    virtual int ReadMore(int want);
    virtual uint64_t Convert(uint64_t value);
    virtual uint32_t Convert(uint32_t value);
    virtual uint16_t Convert(uint16_t value);
    virtual SOCKET CreateSock();
    [[nodiscard]] virtual bool SetLinger(SOCKET sock, int seconds);
    [[nodiscard]] virtual bool SetNonBlock(SOCKET sock);
    virtual int ConnectWithTimeout(SOCKET sock, const char* ip, int port);
    virtual void SwitchChannelOp(int mode);

    // The socket of an open channel, or -1.
    SOCKET GetFd() { return m_ops.get_fd(m_ops.context); }
    // Bytes received and not read yet (a poll of the descriptor does not see them).
    uint32_t BufferedRead() const { return r_size; }
    unsigned GetCapacity() const { return capacity; }
    unsigned GetChannelTimeout() const { return channel_timeout; }

    // For a status asked from other threads (monotonic milliseconds, as MonotonicMs):
    // since when the channel has been waiting for the peer without a byte moving (0:
    // not waiting, or bytes moved within the last wait of a second), and when it last
    // received a byte (0: never).
    int64_t WaitingSinceMs() const { return waiting_since_ms.load(std::memory_order_relaxed); }
    int64_t LastReceivedMs() const { return last_received_ms.load(std::memory_order_relaxed); }
    static int64_t MonotonicMs();

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

protected:
    bool Aborted() const;
    // Ends the transport without closing the descriptor (an SSL session is released)
    // and empties both buffers; returns the descriptor, or -1 when none was open. For
    // subclasses whose socket must go back to whoever made it.
    SOCKET DetachSocket();

    tag_CHANNEL_OPS m_ops;
    char* w_buf = nullptr;
    uint32_t w_head = 0;
    uint32_t w_size = 0;
    char* r_buf = nullptr;
    uint32_t r_head = 0;
    uint32_t r_size = 0;
    uint32_t capacity;
    timeval m_timeout;
    uint32_t channel_timeout;
    const std::atomic<int>* flag = nullptr;
    int64_t abort_grace_ms = -1;
    mutable int64_t abort_seen_ms = 0;  // when the raised flag was first seen; 0: not yet
    int64_t deadline_ms = 0;            // SetDeadline's end; 0: none
    bool m_isSSL = false;

private:
    // A read or flush that waited a second without progress; ends with the operation.
    void NoteStall(int64_t last_progress_ms);
    std::atomic<int64_t> waiting_since_ms{0};
    std::atomic<int64_t> last_received_ms{0};
};
