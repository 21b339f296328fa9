// A connected pair of channels over loopback TCP (port 0, so tests never collide).
#pragma once

#include <csignal>
#include <memory>

#include "platform/socket.h"
#include "wire/channel.h"

struct LoopbackListener {
    SOCKET fd = INVALID_SOCKET;
    int port = 0;
    LoopbackListener() {
        std::signal(SIGPIPE, SIG_IGN);
        fd = SockCreateTcp();
        if (fd >= 0 && SockBindLoopback(fd, 0) == 0 && SockListen(fd, 8) == 0) port = SockLocalPort(fd);
    }
    ~LoopbackListener() { CloseSocket(fd); }
    // Accepts one connection into a fresh channel (null on failure).
    std::unique_ptr<Channel> Accept() {
        SOCKET s = SockAccept(fd);
        if (s < 0) return nullptr;
        auto ch = std::make_unique<Channel>(81920);
        if (ch->Open(s, true) != 0) return nullptr;
        return ch;
    }
};

struct ChannelPair {
    LoopbackListener listener;
    std::unique_ptr<Channel> client = std::make_unique<Channel>(81920);
    std::unique_ptr<Channel> server;
    bool Connect() {
        if (listener.port <= 0) return false;
        if (client->Open("127.0.0.1", listener.port) != 0) return false;
        server = listener.Accept();
        return server != nullptr;
    }
};
