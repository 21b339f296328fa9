// Thin POSIX socket layer: the few TCP/IPv4 operations the channel and the loopback
// control interface need. Every function returns -1 on failure with errno set (see
// SockLastError) unless stated otherwise; nothing here logs.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// A new TCP/IPv4 stream socket (close-on-exec), or -1.
SOCKET SockCreateTcp();
// Shuts the socket down in both directions and closes it; -1 for the invalid socket.
int CloseSocket(SOCKET fd);
// Shuts down both directions without closing; 0 or -1.
int SockShutdown(SOCKET fd);
int SockSetLinger(SOCKET fd, int seconds);
int SockSetNonBlock(SOCKET fd);
// Sends small writes at once (on) or lets the kernel coalesce them (off, the default).
int SockSetNoDelay(SOCKET fd, bool on);

// Waits at most `wait` for the socket to become readable (for_write false) or
// writable. 1: ready (including error or hang-up conditions, which the next
// read or write reports); 0: the wait ended without readiness (also when a
// signal cut it short); -1: the wait itself failed.
int SockWaitReady(SOCKET fd, bool for_write, const timeval& wait);

// Starts a connect to a dotted IPv4 address. 0: connected; 1: in progress (wait
// for writability, then SockConnectResult); -1: failed. An address that is not
// a dotted IPv4 address or a port outside 0..65535 fails with EINVAL.
int SockConnectStart(SOCKET fd, const char* ip, int port);
// After a started connect became writable: 0 when it succeeded, otherwise the
// socket's pending error number (positive).
int SockConnectResult(SOCKET fd);

// Lets a listening socket bind a port that closed connections of an earlier process
// still hold (TIME_WAIT), so a restarted server gets its port back; 0 or -1.
int SockSetReuseAddress(SOCKET fd);
// Binds to 127.0.0.1:port; 0 or -1.
int SockBindLoopback(SOCKET fd, int port);
int SockListen(SOCKET fd, int backlog);
// Accepts one connection (peer address not requested); the new socket or -1.
SOCKET SockAccept(SOCKET fd);
// The locally bound port of a socket, or -1.
int SockLocalPort(SOCKET fd);

// The user owning the far end of a TCP connection between two local sockets, as the
// kernel's socket tables show it. 0 with uid set, or -1 when no live (established)
// entry exists: a client that has already closed its end cannot be told apart, and
// its owner is unknown, never "user 0".
int SockLocalPeerUid(SOCKET fd, uid_t& uid);
// true when the far end of a local connection is owned by this process's user (an
// unknown owner is never ours).
bool SockPeerIsSelf(SOCKET fd);
// Waits up to millis for the peer to close its end, dropping whatever it sends; 0 when
// it did, -1 on time-out or error. A sender that closes at once would leave a peer
// that checks its owner nothing to check (see SockLocalPeerUid).
int SockAwaitPeerClose(SOCKET fd, int millis);

// One receive or send (never raises SIGPIPE). The byte count, 0 when the peer
// closed (receive only), or -1.
ssize_t SockRecv(SOCKET fd, void* buf, size_t len);
ssize_t SockSend(SOCKET fd, const void* buf, size_t len);

// True when the last failure only means "try again later" (EAGAIN, EINTR, ...).
bool SockWouldBlock(int err);
int SockLastError();
const char* SockErrorText(int err);
