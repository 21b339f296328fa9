// The client side of the relay handshake, spoken over an SSL connection to the relay:
// one HTTP/1.1 request naming the target and carrying the token, one response whose
// status line and "X-Target-Status" header decide whether the relay accepted.
#pragma once

#include <openssl/ssl.h>
#include <sys/time.h>

#include <functional>
#include <string>

#include "wire/tunnel_token.h"

// Relay results, a family of their own. The negative ones are this side's failures;
// a refusal by the relay carries the positive number it sent (any number, the four
// named ones included), so a value outside the list below is a refusal too. The
// number goes to the log only (Code).
enum class RelayResult : int {
    kAccepted = 0,
    kTokenFailed = -400,   // the token could not be built; nothing was sent
    kBadTarget = -401,     // the target cannot be named in a header; nothing was sent
    kConnFailed = -402,    // the connection to the relay failed (or the wait was aborted)
    kConnTimeout = -403,   // the relay did not answer in time
    kUnreadable = 400,     // the relay's answer is unreadable, or an unknown refusal
    kRefusedTarget = 401,  // the relay refused the token or the target
    kTargetFailed = 402,   // the relay could not connect to the target
    kTargetTimeout = 403,  // the relay timed out connecting to the target
};
// The number of a relay result, for the log.
inline int Code(RelayResult r) { return static_cast<int>(r); }

// How long the handshake's waits last: each `wait`, at most `channel_timeout` seconds
// without progress (0: no limit), and `aborted` ends it early.
struct RelayWait {
    timeval wait{1, 0};
    unsigned channel_timeout = 60;
    std::function<bool()> aborted;
};

// Writes the whole buffer. kAccepted, kConnFailed (wait or SSL failure, abort) or
// kConnTimeout.
[[nodiscard]] RelayResult VARNELTunnelNonBlockingWrite(SSL* ssl, const char* buffer, size_t length,
                                                       const RelayWait& wait);

// Sends the request for target host:port (relay_host names the relay in the Host
// header) and reads the response. Returns:
//   kAccepted    the relay accepted: a 101 or 2xx status line, and an "X-Target-Status"
//                of 0 or 2xx or none at all;
//   kBadTarget   the host is unsafe in a header (empty, over 255 bytes, CR, LF, blanks)
//                or the port is outside 1..65535; nothing was sent;
//   kTokenFailed the token could not be built; nothing was sent;
//   kConnFailed, kConnTimeout  the connection failed or timed out, also before a
//                complete response;
//   > 0          a refusal: the "X-Target-Status" number when it is not a success,
//                otherwise the HTTP status of a failing status line; kUnreadable (400)
//                when the response has no status line or a status header whose number
//                cannot be read.
// What a handshake result means, for the log.
const char* RelayResultText(RelayResult code);

[[nodiscard]] RelayResult VARNELTunnelClientHandshake(SSL* ssl, const char* host, int port,
                                                      const std::string& relay_host, const RelayKey& key,
                                                      const RelayWait& wait);
