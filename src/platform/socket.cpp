#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

SOCKET SockCreateTcp() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int SockShutdown(SOCKET fd) { return ::shutdown(fd, SHUT_RDWR); }

int CloseSocket(SOCKET fd) {
    if (fd == INVALID_SOCKET) return -1;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return 0;
}

int SockSetLinger(SOCKET fd, int seconds) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = seconds;
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int SockSetNoDelay(SOCKET fd, bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0 ? 0 : -1;
}

int SockSetReuseAddress(SOCKET fd) {
    int v = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0 ? 0 : -1;
}

int SockSetNonBlock(SOCKET fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int SockWaitReady(SOCKET fd, bool for_write, const timeval& wait) {
    // poll rather than select: select cannot watch descriptors above FD_SETSIZE.
    pollfd p{};
    p.fd = fd;
    p.events = for_write ? POLLOUT : POLLIN;
    long long ms = static_cast<long long>(wait.tv_sec) * 1000 + wait.tv_usec / 1000;
    if (ms > INT_MAX) ms = INT_MAX;
    if (ms < 0) ms = 0;
    int n = ::poll(&p, 1, static_cast<int>(ms));
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0) return 0;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

int SockConnectStart(SOCKET fd, const char* ip, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (!ip || port < 0 || port > 65535 || ::inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
    if (errno == EINPROGRESS || errno == EINTR) return 1;
    return -1;
}

int SockConnectResult(SOCKET fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno ? errno : EIO;
    return err;
}

int SockBindLoopback(SOCKET fd, int port) {
    if (port < 0 || port > 65535) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int SockListen(SOCKET fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : -1; }

SOCKET SockAccept(SOCKET fd) {
    for (;;) {
        int s = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0 || errno != EINTR) return s;
    }
}

int SockLocalPort(SOCKET fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

namespace {

// Looks for the socket whose local address is `local` and remote address `remote`
// (both in the table's own hexadecimal form) in one of the kernel's TCP tables.
bool FindUid(const char* table, const char* local, const char* remote, uid_t& uid) {
    FILE* fp = std::fopen(table, "re");
    if (!fp) return false;
    char line[512];
    bool found = false;
    if (std::fgets(line, sizeof line, fp)) {  // header
        while (!found && std::fgets(line, sizeof line, fp)) {
            char l[64], r[64];
            unsigned state = 0, u = 0;
            if (std::sscanf(line, " %*u: %63s %63s %x %*x:%*x %*x:%*x %*x %u", l, r, &state, &u) != 4) continue;
            // Only a live connection (0x01, ESTABLISHED) knows its owner: once the
            // client has closed, the kernel keeps a minimal record (FIN_WAIT2,
            // TIME_WAIT) that shows uid 0 whoever owned it.
            if (state != 0x01) continue;
            if (strcasecmp(l, local) == 0 && strcasecmp(r, remote) == 0) {
                uid = static_cast<uid_t>(u);
                found = true;
            }
        }
    }
    std::fclose(fp);
    return found;
}

}  // namespace

int SockLocalPeerUid(SOCKET fd, uid_t& uid) {
    sockaddr_in self{}, peer{};
    socklen_t len = sizeof self;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len) != 0 || self.sin_family != AF_INET) return -1;
    len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) return -1;
    // The tables print each 32-bit address word as the machine reads it, ports in plain hex.
    char peer4[32], self4[32], peer6[64], self6[64];
    uint32_t mapped = htonl(0x0000FFFFu);
    std::snprintf(peer4, sizeof peer4, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
    std::snprintf(self4, sizeof self4, "%08X:%04X", self.sin_addr.s_addr, ntohs(self.sin_port));
    std::snprintf(peer6, sizeof peer6, "%08X%08X%08X%08X:%04X", 0u, 0u, mapped, peer.sin_addr.s_addr,
                  ntohs(peer.sin_port));
    std::snprintf(self6, sizeof self6, "%08X%08X%08X%08X:%04X", 0u, 0u, mapped, self.sin_addr.s_addr,
                  ntohs(self.sin_port));
    if (FindUid("/proc/net/tcp", peer4, self4, uid)) return 0;
    if (FindUid("/proc/net/tcp6", peer6, self6, uid)) return 0;
    return -1;
}

bool SockPeerIsSelf(SOCKET fd) {
    uid_t uid = 0;
    return SockLocalPeerUid(fd, uid) == 0 && uid == ::geteuid();
}

int SockAwaitPeerClose(SOCKET fd, int millis) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    char sink[512];
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= millis) return -1;
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(millis - spent));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return -1;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0) return 0;
        if (n < 0 && !SockWouldBlock(errno)) return -1;
    }
}

ssize_t SockRecv(SOCKET fd, void* buf, size_t len) { return ::recv(fd, buf, len, 0); }

ssize_t SockSend(SOCKET fd, const void* buf, size_t len) { return ::send(fd, buf, len, MSG_NOSIGNAL); }

bool SockWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int SockLastError() { return errno; }

const char* SockErrorText(int err) { return std::strerror(err); }
