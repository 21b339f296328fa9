#include "platform/socket.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct Listener {
    Listener() {
        fd = SockCreateTcp();
        EXPECT_GE(fd, 0);
        EXPECT_EQ(SockBindLoopback(fd, 0), 0);
        EXPECT_EQ(SockListen(fd, 4), 0);
        port = SockLocalPort(fd);
    }
    ~Listener() { ::close(fd); }
    SOCKET fd;
    int port;
};

}  // namespace

TEST(Socket, LoopbackListenConnectAndAccept) {
    Listener l;
    ASSERT_GT(l.port, 0);
    SOCKET c = SockCreateTcp();
    ASSERT_EQ(SockSetNonBlock(c), 0);
    ASSERT_EQ(SockSetLinger(c, 1), 0);
    int r = SockConnectStart(c, "127.0.0.1", l.port);
    ASSERT_GE(r, 0);
    if (r == 1) {
        timeval wait{10, 0};
        ASSERT_EQ(SockWaitReady(c, true, wait), 1);
        EXPECT_EQ(SockConnectResult(c), 0);
    }
    SOCKET s = SockAccept(l.fd);
    ASSERT_GE(s, 0);
    ASSERT_EQ(SockSend(c, "ping", 4), 4);
    timeval wait{10, 0};
    ASSERT_EQ(SockWaitReady(s, false, wait), 1);
    char buf[8];
    EXPECT_EQ(SockRecv(s, buf, sizeof buf), 4);
    EXPECT_EQ(CloseSocket(c), 0);
    ASSERT_EQ(SockWaitReady(s, false, wait), 1);
    EXPECT_EQ(SockRecv(s, buf, sizeof buf), 0);  // the peer closed
    // Sending to a closed peer is an error, never a SIGPIPE.
    ssize_t n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i) n = SockSend(s, "x", 1);
    EXPECT_LT(n, 0);
    EXPECT_EQ(CloseSocket(s), 0);
}

TEST(Socket, WaitsTimeOutAndBadInputFails) {
    Listener l;
    timeval short_wait{0, 100000};
    EXPECT_EQ(SockWaitReady(l.fd, false, short_wait), 0);  // nobody connects
    EXPECT_EQ(CloseSocket(INVALID_SOCKET), -1);

    SOCKET c = SockCreateTcp();
    EXPECT_EQ(SockConnectStart(c, "no.such.address", 80), -1);
    EXPECT_EQ(SockLastError(), EINVAL);
    EXPECT_EQ(SockConnectStart(c, "127.0.0.1", 65536), -1);
    EXPECT_EQ(SockConnectStart(c, nullptr, 80), -1);
    EXPECT_EQ(SockBindLoopback(c, -1), -1);
    EXPECT_EQ(SockBindLoopback(c, l.port), -1);  // taken
    EXPECT_EQ(SockLastError(), EADDRINUSE);
    ::close(c);
    EXPECT_TRUE(SockWouldBlock(EAGAIN));
    EXPECT_FALSE(SockWouldBlock(ECONNRESET));
    EXPECT_NE(SockErrorText(ECONNREFUSED), nullptr);
}

TEST(Socket, RefusedConnectReportsItsError) {
    int port;
    {
        Listener l;
        port = l.port;
    }
    SOCKET c = SockCreateTcp();
    ASSERT_EQ(SockSetNonBlock(c), 0);
    int r = SockConnectStart(c, "127.0.0.1", port);
    if (r == 1) {
        timeval wait{10, 0};
        ASSERT_EQ(SockWaitReady(c, true, wait), 1);
        EXPECT_EQ(SockConnectResult(c), ECONNREFUSED);
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(SockLastError(), ECONNREFUSED);
    }
    ::close(c);
}

TEST(Socket, LocalPeerOwnerIsFound) {
    Listener l;
    SOCKET c = SockCreateTcp();
    ASSERT_EQ(SockConnectStart(c, "127.0.0.1", l.port), 0);
    SOCKET s = SockAccept(l.fd);
    ASSERT_GE(s, 0);
    uid_t uid = 12345;
    ASSERT_EQ(SockLocalPeerUid(s, uid), 0);
    EXPECT_EQ(uid, geteuid());
    ASSERT_EQ(SockLocalPeerUid(c, uid), 0);  // either end
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(SockLocalPeerUid(l.fd, uid), -1);  // not connected
    ::close(c);
    ::close(s);
}
