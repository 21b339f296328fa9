#include "daemon/ipc_listener.h"

#include "foundation/logger.h"

namespace {
const char* const kLog = "ipc";
}

IPCListener::IPCListener() {
    timeout.tv_sec = 3;
    timeout.tv_usec = 0;
}

IPCListener::~IPCListener() { close(); }

int IPCListener::prepare(int port) {
    close();
    SOCKET sock = SockCreateTcp();
    if (sock == INVALID_SOCKET) {
        int err = SockLastError();
        NLOG_AT(L_ERR, kLog, "ipc.cpp", "sock error:");
        NLOG_AT(L_ERR, kLog, "ipc.cpp", "sock create error, %d\n", err);
        return -1;
    }
    int bound = do_bind(sock, port);
    if (bound < 0) {
        NLOG_AT(L_ERR, kLog, "ipc.cpp", "find available port failed.\n");
        CloseSocket(sock);
        return -1;
    }
    if (SockListen(sock, 8) != 0) {
        NLOG_AT(L_ERR, kLog, "ipc.cpp", "listen error, %d\n", SockLastError());
        CloseSocket(sock);
        return -1;
    }
    fd = sock;
    NLOG_AT(L_INFO, kLog, "ipc.cpp", "listening on port %d\n", bound);
    return bound;
}

int IPCListener::do_bind(SOCKET sock, int port) {
    // A negative start (from an unchecked command line) would never reach a valid port
    // by counting up through the binds that fail; start at 0 instead, which lets the
    // system choose.
    int p = port < 0 ? 0 : port;
    for (;;) {
        NLOG_AT(L_INFO, kLog, "ipc.cpp", "Try to bind port: %d\n", p);
        if (p > 65535) {
            NLOG_AT(L_ERR, kLog, "ipc.cpp", "Port number exceeds 65536\n");
            return -1;
        }
        if (SockBindLoopback(sock, p) == 0) {
            int bound = p == 0 ? SockLocalPort(sock) : p;
            NLOG_AT(L_INFO, kLog, "ipc.cpp", "Bind port %d success\n", bound);
            return bound;
        }
        NLOG_AT(L_ERR, kLog, "ipc.cpp", "bind error, %d\n", SockLastError());
        NLOG_AT(L_INFO, kLog, "ipc.cpp", "Bind port %d failed, try next one\n", p);
        ++p;
    }
}

bool IPCListener::isReady() {
    if (fd == INVALID_SOCKET) return false;
    return SockWaitReady(fd, false, timeout) > 0;
}

SOCKET IPCListener::accept() {
    if (fd == INVALID_SOCKET) return INVALID_SOCKET;
    return SockAccept(fd);
}

void IPCListener::close() {
    CloseSocket(fd);
    fd = INVALID_SOCKET;
}
