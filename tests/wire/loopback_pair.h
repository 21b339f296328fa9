// Test helper: a connected TCP pair on 127.0.0.1 (port chosen by the system), plus
// raw byte helpers for the far end.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/socket.h"

struct LoopbackPair {
    SOCKET a = INVALID_SOCKET;  // usually handed to a Channel
    SOCKET b = INVALID_SOCKET;  // the raw far end

    LoopbackPair() {
        SOCKET l = SockCreateTcp();
        if (l < 0 || SockBindLoopback(l, 0) != 0 || SockListen(l, 4) != 0) return;
        int port = SockLocalPort(l);
        a = SockCreateTcp();
        if (SockConnectStart(a, "127.0.0.1", port) != 0) {
            ::close(a);
            a = INVALID_SOCKET;
        } else {
            b = SockAccept(l);
        }
        ::close(l);
    }
    ~LoopbackPair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
    bool ok() const { return a >= 0 && b >= 0; }
    // Gives socket a away (to a Channel, which closes it).
    SOCKET release_a() {
        SOCKET s = a;
        a = INVALID_SOCKET;
        return s;
    }
};

// Writes all bytes to a blocking socket.
inline bool RawSend(SOCKET fd, const std::vector<unsigned char>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes or nothing arrives for `idle_ms`.
inline std::vector<unsigned char> RawRecvAll(SOCKET fd, int idle_ms = 5000) {
    std::vector<unsigned char> out;
    unsigned char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idle_ms) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// True when something can be read from fd within `ms`.
inline bool RawReadable(SOCKET fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}
