#include "wire/proxy_tunnel.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "foundation/base64.h"
#include "foundation/logger.h"
#include "wire/http_text.h"

namespace {

const char* kLog = "channel_debug";
// A proxy's answer to CONNECT is a few hundred bytes; anything longer is not one.
constexpr size_t kMaxReplyHeaders = 16384;

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Tracks the idle limit and the abort condition of one open.
struct Waiter {
    const PROXY_WAIT_INFO& info;
    int64_t last_progress = NowMs();

    void Progress() { last_progress = NowMs(); }
    // 1: ready; otherwise a failure code.
    int Wait(SOCKET fd, bool for_write) {
        for (;;) {
            if (info.aborted && info.aborted()) return PROXY_TUNNEL_ERR_ABORTED;
            int r = SockWaitReady(fd, for_write, info.wait);
            if (r < 0) return PROXY_TUNNEL_ERR_IO;
            if (r > 0) return 1;
            if (info.timeout_seconds != 0 && NowMs() - last_progress >= int64_t{info.timeout_seconds} * 1000)
                return PROXY_TUNNEL_ERR_TIMEOUT;
        }
    }
};

int Connect(const PROXY_SERVER_INFO& server, Waiter& waiter, SOCKET* out) {
    SOCKET fd = SockCreateTcp();
    if (fd == INVALID_SOCKET) return PROXY_TUNNEL_ERR_CONNECT;
    if (SockSetNonBlock(fd) != 0) {
        CloseSocket(fd);
        return PROXY_TUNNEL_ERR_CONNECT;
    }
    int r = SockConnectStart(fd, server.szProxyAddress, server.ProxyPort);
    if (r == 1) {
        r = waiter.Wait(fd, true);
        if (r == 1) r = SockConnectResult(fd) == 0 ? 0 : PROXY_TUNNEL_ERR_CONNECT;
    } else if (r != 0) {
        r = PROXY_TUNNEL_ERR_CONNECT;
    }
    if (r != 0) {
        CloseSocket(fd);
        return r;
    }
    waiter.Progress();
    *out = fd;
    return 0;
}

int SendAll(SOCKET fd, const std::string& text, Waiter& waiter) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = SockSend(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            waiter.Progress();
            continue;
        }
        if (n < 0 && !SockWouldBlock(SockLastError())) return PROXY_TUNNEL_ERR_IO;
        int w = waiter.Wait(fd, true);
        if (w != 1) return w;
    }
    return 0;
}

// Reads the reply's header block byte by byte, so that nothing the target sends after
// it is taken from the socket.
int ReadHeaders(SOCKET fd, std::string* headers, Waiter& waiter) {
    headers->clear();
    for (;;) {
        char c;
        ssize_t n = SockRecv(fd, &c, 1);
        if (n == 1) {
            waiter.Progress();
            headers->push_back(c);
            size_t len = headers->size();
            if (len >= 2 && (*headers)[len - 1] == '\n' &&
                ((*headers)[len - 2] == '\n' || (len >= 4 && headers->compare(len - 4, 4, "\r\n\r\n") == 0)))
                return 0;
            if (len >= kMaxReplyHeaders) return PROXY_TUNNEL_ERR_BAD_REPLY;
            continue;
        }
        if (n == 0) return PROXY_TUNNEL_ERR_IO;
        if (!SockWouldBlock(SockLastError())) return PROXY_TUNNEL_ERR_IO;
        int w = waiter.Wait(fd, false);
        if (w != 1) return w;
    }
}

// The printable start of a status line, for the log.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n' || out.size() >= 120) break;
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
    }
    return out;
}

// Which schemes the proxy offers in its Proxy-Authenticate headers.
void OfferedSchemes(const std::string& headers, bool* any, bool* basic, std::string* names) {
    *any = *basic = false;
    size_t pos = headers.find('\n');
    while (pos != std::string::npos && pos + 1 < headers.size()) {
        size_t start = pos + 1;
        size_t end = headers.find('\n', start);
        std::string line = headers.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const char* name = "Proxy-Authenticate:";
        if (StartsWithNoCase(line.c_str(), name)) {
            size_t p = std::strlen(name);
            while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
            size_t q = p;
            while (q < line.size() && line[q] != ' ' && line[q] != '\r' && line[q] != ',') ++q;
            std::string scheme = line.substr(p, q - p);
            *any = true;
            if (StartsWithNoCase(scheme.c_str(), "Basic") && scheme.size() == 5) *basic = true;
            if (!names->empty()) names->append(", ");
            names->append(Printable(scheme));
        }
        pos = end;
    }
}

std::string Credentials(const PROXY_AUTH_INFO& auth) {
    std::string plain = std::string(auth.szUserName) + ":" + (auth.szUserPasswd ? auth.szUserPasswd : "");
    char* enc = SzBase64EncBuffer(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    // Wipe the clear text before the memory goes back.
    volatile char* p = plain.data();
    for (size_t i = 0; i < plain.size(); ++i) p[i] = 0;
    if (!enc) return std::string();
    std::string out = enc;
    std::free(enc);
    return out;
}

// One CONNECT on a fresh connection. 0 with *fd set; a failure code; or 407 (positive)
// with the reply's headers in *headers.
int Attempt(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target, const std::string& credentials,
            Waiter& waiter, SOCKET* fd_out, std::string* headers) {
    SOCKET fd = INVALID_SOCKET;
    int r = Connect(server, waiter, &fd);
    if (r != 0) return r;
    std::string authority = std::string(target.szTargetAddress) + ":" + std::to_string(target.TargetPort);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!credentials.empty()) request += "Proxy-Authorization: Basic " + credentials + "\r\n";
    request += "\r\n";
    r = SendAll(fd, request, waiter);
    if (r == 0) r = ReadHeaders(fd, headers, waiter);
    if (r == 0) {
        int status = 0;
        if (!ParseHttpStatusLine(headers->c_str(), &status)) {
            r = PROXY_TUNNEL_ERR_BAD_REPLY;
        } else if (status >= 200 && status <= 299) {
            *fd_out = fd;
            return 0;
        } else {
            // Some proxies answer rejected credentials with 401 rather than 407.
            r = status == 407 || (status == 401 && !credentials.empty()) ? 407 : PROXY_TUNNEL_ERR_REFUSED;
        }
    }
    CloseSocket(fd);
    return r;
}

}  // namespace

const char* ProxyTunnelErrorText(int code) {
    switch (code) {
        case PROXY_TUNNEL_ERR_ARGS:
            return "unusable proxy, target or user name";
        case PROXY_TUNNEL_ERR_CONNECT:
            return "cannot connect to the proxy";
        case PROXY_TUNNEL_ERR_IO:
            return "the connection to the proxy failed";
        case PROXY_TUNNEL_ERR_TIMEOUT:
            return "the proxy did not answer in time";
        case PROXY_TUNNEL_ERR_AUTH_REQUIRED:
            return "the proxy requires authentication and no user name is configured";
        case PROXY_TUNNEL_ERR_AUTH_REFUSED:
            return "the proxy refused the credentials";
        case PROXY_TUNNEL_ERR_REFUSED:
            return "the proxy refused the tunnel";
        case PROXY_TUNNEL_ERR_UNSUPPORTED:
            return "the proxy's authentication scheme is not supported";
        case PROXY_TUNNEL_ERR_BAD_REPLY:
            return "the proxy's reply is not HTTP";
        case PROXY_TUNNEL_ERR_ABORTED:
            return "aborted";
        default:
            return "unknown proxy failure";
    }
}

int VARNELProxyTunnelOpen(const PROXY_SERVER_INFO& server, const PROXY_TARGET_INFO& target, const PROXY_AUTH_INFO& auth,
                          const PROXY_WAIT_INFO* wait) {
    const char* proxy = server.szProxyAddress ? server.szProxyAddress : "(none)";
    const char* host = target.szTargetAddress;
    const char* user = auth.szUserName && *auth.szUserName ? auth.szUserName : nullptr;
    // Everything that goes into the request is checked before anything is sent.
    if (!server.szProxyAddress || !*server.szProxyAddress || server.ProxyPort == 0 || target.TargetPort == 0 ||
        !IsSafeHeaderHost(host)) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "refused: unusable proxy (%s:%d) or target host/port\n",
                IsSafeHeaderHost(proxy) ? proxy : "(unprintable)", server.ProxyPort);
        return PROXY_TUNNEL_ERR_ARGS;
    }
    if (user && (std::strchr(user, ':') || !IsSafeHeaderValue(user) ||
                 !IsSafeHeaderValue(auth.szUserPasswd ? auth.szUserPasswd : ""))) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp",
                "refused: the proxy user name or password holds a colon or control "
                "character\n");
        return PROXY_TUNNEL_ERR_ARGS;
    }
    if (auth.AuthType == PROXY_NTLM_AUTH || auth.AuthType == PROXY_NTLMv2_AUTH) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "NTLM proxy authentication is not supported\n");
        return PROXY_TUNNEL_ERR_UNSUPPORTED;
    }
    PROXY_WAIT_INFO defaults;
    Waiter waiter{wait ? *wait : defaults};

    std::string credentials;
    if (user && auth.AuthType == PROXY_BASIC_AUTH) credentials = Credentials(auth);
    SOCKET fd = INVALID_SOCKET;
    std::string headers;
    int r = Attempt(server, target, credentials, waiter, &fd, &headers);
    if (r == 407 && credentials.empty()) {
        bool any = false, basic = false;
        std::string offered;
        OfferedSchemes(headers, &any, &basic, &offered);
        if (!user || auth.AuthType == PROXY_NO_AUTH) {
            NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp",
                    "proxy %s:%d requires authentication (407) and no proxy user "
                    "name is configured\n",
                    proxy, server.ProxyPort);
            return PROXY_TUNNEL_ERR_AUTH_REQUIRED;
        }
        if (any && !basic) {
            NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp",
                    "proxy %s:%d offers only %s authentication; Basic is the one "
                    "supported\n",
                    proxy, server.ProxyPort, offered.c_str());
            return PROXY_TUNNEL_ERR_UNSUPPORTED;
        }
        credentials = Credentials(auth);
        if (credentials.empty()) {
            NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "proxy user name and password are too long\n");
            return PROXY_TUNNEL_ERR_ARGS;
        }
        NLOG_AT(L_DEBUG, kLog, "proxy_tunnel.cpp", "proxy %s:%d asks for credentials; sending user %s\n", proxy,
                server.ProxyPort, user);
        r = Attempt(server, target, credentials, waiter, &fd, &headers);
    }
    if (r == 0) {
        NLOG_AT(L_DEBUG, kLog, "proxy_tunnel.cpp", "tunnel to %s:%d through %s:%d open, socket %d\n", host,
                target.TargetPort, proxy, server.ProxyPort, fd);
        return fd;
    }
    if (r == 407) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "proxy %s:%d refused the credentials of user %s (%s)\n", proxy,
                server.ProxyPort, user ? user : "", Printable(headers).c_str());
        return PROXY_TUNNEL_ERR_AUTH_REFUSED;
    }
    if (r == PROXY_TUNNEL_ERR_REFUSED || r == PROXY_TUNNEL_ERR_BAD_REPLY) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "proxy %s:%d refused the tunnel to %s:%d: \"%s\"\n", proxy,
                server.ProxyPort, host, target.TargetPort, Printable(headers).c_str());
        return r;
    }
    NLOG_AT(L_ERR, kLog, "proxy_tunnel.cpp", "tunnel to %s:%d through %s:%d failed: %s\n", host, target.TargetPort,
            proxy, server.ProxyPort, ProxyTunnelErrorText(r));
    return r;
}

int VARNELProxyTunnelClose(SOCKET sock) {
    if (sock == INVALID_SOCKET) return -1;
    return CloseSocket(sock) == 0 ? 0 : -1;
}
