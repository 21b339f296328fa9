// IPCListener: the loopback TCP listener of the control port. It binds the first free
// port at or above the one asked for and waits for connections in short waits.
#pragma once

#include <sys/time.h>

#include "platform/socket.h"

class IPCListener {
public:
    IPCListener();
    ~IPCListener();

    // The bound port (at least `port`), or -1.
    int prepare(int port);
    // True when a connection is waiting (one wait of `timeout`).
    bool isReady();
    // The accepted socket, or -1.
    SOCKET accept();
    void close();
    void setTimeout(const timeval& t) { timeout = t; }

    IPCListener(const IPCListener&) = delete;
    IPCListener& operator=(const IPCListener&) = delete;

private:
    int do_bind(SOCKET sock, int port);

    timeval timeout;
    SOCKET fd = INVALID_SOCKET;
};
