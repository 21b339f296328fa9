// Connecting a socket through an HTTP proxy with CONNECT: the records the channels fill
// in, the open call and its close. The proxy is first asked without credentials; when
// it answers 407 and a user name is configured, a fresh connection asks again with
// Basic authentication. Passwords are never logged.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>

#include "platform/socket.h"

enum PROXY_AUTH_TYPE {
    PROXY_NO_AUTH = 0,      // never send credentials
    PROXY_BASIC_AUTH = 1,   // send Basic credentials with the first request
    PROXY_NTLM_AUTH = 2,    // not supported: the open fails
    PROXY_NTLMv2_AUTH = 3,  // not supported: the open fails
    PROXY_AUTO_AUTH = 4,    // no credentials first, Basic after a 407
};

struct PROXY_SERVER_INFO {
    const char* szProxyAddress = nullptr;  // dotted IPv4 address
    uint16_t ProxyPort = 0;
};

struct PROXY_TARGET_INFO {
    const char* szTargetAddress = nullptr;  // host name or address, sent as is
    uint16_t TargetPort = 0;
};

struct PROXY_AUTH_INFO {
    const char* szUserName = nullptr;  // empty or null: no credentials
    const char* szUserPasswd = nullptr;
    const char* szUserDomain = nullptr;  // kept for NTLM; Basic does not use it
    const char* szUserHost = nullptr;    // likewise
    PROXY_AUTH_TYPE AuthType = PROXY_AUTO_AUTH;
};

// How long the open may wait: each wait lasts `wait`, and the open gives up once
// `timeout_seconds` (0: no limit) pass without progress or when `aborted` says so.
struct PROXY_WAIT_INFO {
    timeval wait{1, 0};
    unsigned timeout_seconds = 60;
    std::function<bool()> aborted;
};

// Failures of VARNELProxyTunnelOpen (all negative).
enum {
    PROXY_TUNNEL_ERR_ARGS = -1,           // unusable address, port, host or user name
    PROXY_TUNNEL_ERR_CONNECT = -2,        // the proxy could not be reached
    PROXY_TUNNEL_ERR_IO = -3,             // sending or receiving failed, or the proxy hung up
    PROXY_TUNNEL_ERR_TIMEOUT = -4,        // no progress within the time-out
    PROXY_TUNNEL_ERR_AUTH_REQUIRED = -5,  // 407, and no user name is configured
    PROXY_TUNNEL_ERR_AUTH_REFUSED = -6,   // 407 again after sending the credentials
    PROXY_TUNNEL_ERR_REFUSED = -7,        // any other answer than 2xx
    PROXY_TUNNEL_ERR_UNSUPPORTED = -8,    // NTLM asked for, or the proxy offers no Basic
    PROXY_TUNNEL_ERR_BAD_REPLY = -9,      // not an HTTP status line, or headers too long
    PROXY_TUNNEL_ERR_ABORTED = -10,       // the caller's abort condition was raised
};

// Opens a TCP connection to the proxy and a tunnel through it to the target. Returns
// the connected, non-blocking socket (owned by the caller, to be given back through
// VARNELProxyTunnelClose) or one of the failures above; every failure is logged on
// "channel_debug". wait may be null (1-second waits, 60 seconds, no abort).
int VARNELProxyTunnelOpen(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target, const PROXY_AUTH_INFO& auth,
                          const PROXY_WAIT_INFO* wait = nullptr);
// Closes a socket VARNELProxyTunnelOpen returned. 0, or -1 for an invalid socket.
int VARNELProxyTunnelClose(SOCKET sock);
// A short text for one of the failures above.
const char* ProxyTunnelErrorText(int code);
