// The client side of the relay handshake, spoken over an SSL connection to the relay:
// one HTTP/1.1 request naming the target and carrying the token, one response whose
// status line and "X-Target-Status" header decide whether the relay accepted.
#pragma once

#include <openssl/ssl.h>
#include <sys/time.h>

#include <functional>
#include <string>

#include "wire/tunnel_token.h"

// Relay results. The socket helpers return the negated 402 and 403; a refusal by the
// relay is returned as the positive number it sent.
enum {
    VARNELTUNNEL_OK = 0,
    VARNELTUNNEL_ERR_UNKNOWN = 400,
    VARNELTUNNEL_ERR_BAD_TARGET = 401,
    VARNELTUNNEL_ERR_CONN_FAILED = 402,
    VARNELTUNNEL_ERR_CONN_TIMEOUT = 403,
};

// How long the handshake's waits last: each `wait`, at most `channel_timeout` seconds
// without progress (0: no limit), and `aborted` ends it early.
struct RelayWait {
    timeval wait{1, 0};
    unsigned channel_timeout = 60;
    std::function<bool()> aborted;
};

// Writes the whole buffer. 0, -402 (wait or SSL failure, abort) or -403 (timed out).
int VARNELTunnelNonBlockingWrite(SSL* ssl, const char* buffer, size_t length, const RelayWait& wait);

// Sends the request for target host:port (relay_host names the relay in the Host
// header) and reads the response. Returns:
//   0     the relay accepted: a 101 or 2xx status line, and an "X-Target-Status" of 0
//         or 2xx or none at all;
//   -401  the host is unsafe in a header (empty, over 255 bytes, CR, LF, blanks) or the
//         port is outside 1..65535; nothing was sent;
//   -400  the token could not be built; nothing was sent;
//   -402, -403  the connection failed or timed out, also before a complete response;
//   > 0   a refusal: the "X-Target-Status" number when it is not a success, otherwise
//         the HTTP status of a failing status line; 400 when the response has no status
//         line or a status header whose number cannot be read.
// What a handshake result means, for the log.
const char* RelayResultText(int code);

int VARNELTunnelClientHandshake(SSL* ssl, const char* host, int port, const std::string& relay_host,
                                const RelayKey& key, const RelayWait& wait);
