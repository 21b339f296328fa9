#include "relay.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "foundation/base64.h"
#include "wire/http_text.h"
#include "wire/ssl_channel.h"
#include "wire/tunnel_token.h"

namespace {

constexpr int kMaxConnections = 256;
constexpr size_t kMaxRequest = 16384;
constexpr int kHandshakeSeconds = 10;
std::atomic<int> g_open{0};

void Log(uint64_t number, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Log(uint64_t number, const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "relay %llu: %s\n", (unsigned long long)number, line);
}

void SetTimeouts(SOCKET fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(SOCKET fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = SockSend(fd, data, len);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Copies bytes both ways until either side closes.
void Pipe(SOCKET a, SOCKET b) {
    char buf[65536];
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) return;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = SockRecv(p[i].fd, buf, sizeof buf);
            if (n <= 0 || !SendAll(p[1 - i].fd, buf, static_cast<size_t>(n))) return;
        }
    }
}

struct Request {
    std::string line;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string extra;                           // bytes after the header block
};

// Reads the request's header block through SSL. False when it is incomplete, too long
// or the connection fails.
bool ReadRequest(SSL* ssl, Request* req) {
    std::string data;
    char buf[4096];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxRequest) return false;
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) return false;
        data.append(buf, static_cast<size_t>(n));
    }
    req->extra = data.substr(end + 4);
    data.resize(end + 2);
    size_t pos = 0, nl;
    while ((nl = data.find("\r\n", pos)) != std::string::npos) {
        std::string l = data.substr(pos, nl - pos);
        pos = nl + 2;
        if (req->line.empty()) {
            req->line = l;
            continue;
        }
        size_t colon = l.find(':');
        if (colon == std::string::npos) continue;
        std::string name = l.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t v = colon + 1;
        while (v < l.size() && (l[v] == ' ' || l[v] == '\t')) ++v;
        req->headers[name] = l.substr(v);
    }
    return true;
}

// True when the token decrypts to "host:port" with its zero byte.
bool TokenMatches(const RelayKey& key, const std::string& token64, const std::string& host, const std::string& port) {
    std::vector<unsigned char> token(token64.size());
    size_t len = token.size();
    if (!EncBase64Dec(token64.data(), token64.size(), token.data(), &len)) return false;
    std::vector<unsigned char> plain(len + 8);
    size_t n = 0;
    if (!VARNELCryptoDecrypt(key, plain.data(), plain.size(), token.data(), len, &n)) return false;
    std::string expect = host + ":" + port;
    expect.push_back('\0');
    return n == expect.size() && std::memcmp(plain.data(), expect.data(), expect.size()) == 0;
}

bool Answer(SSL* ssl, const std::string& text) {
    return SSL_write(ssl, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

void Serve(SOCKET fd, const RelayOptions& o, const RelayKey& key, uint64_t number) {
    SetTimeouts(fd, kHandshakeSeconds);
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    SOCKET target = INVALID_SOCKET;
    if (!InitSSL(ssl, ctx, true)) {
        Log(number, "cannot set up SSL");
        CloseSocket(fd);
        return;
    }
    // No session tickets: nothing of SSL may follow the answer on the bare socket.
    SSL_set_num_tickets(ssl, 0);
    Request req;
    bool opened = false;
    if (SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
        Log(number, "SSL handshake failed");
    } else if (!ReadRequest(ssl, &req)) {
        Log(number, "incomplete handshake request");
    } else if (o.fault_stall) {
        Log(number, "fault: stalling the handshake");
        // Hold the connection without answering until the client gives up.
        SetTimeouts(fd, 0);
        char c;
        while (SSL_read(ssl, &c, 1) > 0) {
        }
    } else {
        const std::string host = req.headers["x-target-host"], port = req.headers["x-target-port"];
        int port_number = 0;
        bool port_ok = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
                       (port_number = std::stoi(port)) > 0 && port_number <= 65535;
        if (req.line != "GET /varnel-tunnel HTTP/1.1" || !IsSafeHeaderHost(host.c_str()) || !port_ok ||
            !TokenMatches(key, req.headers["x-authtoken"], host, port)) {
            Log(number, "refused: bad request or token");
            Answer(ssl, "HTTP/1.1 401 Unauthorized\r\nX-Target-Status: 401\r\n\r\n");
        } else if (o.fault_status != 0) {
            Log(number, "fault: answering x-target-status: %d", o.fault_status);
            Answer(ssl, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: VarnelTunnel\r\nx-target-status: " +
                            std::to_string(o.fault_status) + "\r\n\r\n");
        } else if (o.fault_no_header != 0) {
            Log(number, "fault: answering status %d without X-Target-Status", o.fault_no_header);
            Answer(ssl, "HTTP/1.1 " + std::to_string(o.fault_no_header) + " Refused\r\n\r\n");
        } else if (host.rfind("127.", 0) != 0) {
            // A test relay does not open connections off this machine.
            Log(number, "refused: target %s is not a loopback address", host.c_str());
            Answer(ssl, "HTTP/1.1 403 Forbidden\r\nX-Target-Status: 401\r\n\r\n");
        } else if ((target = SockCreateTcp()) == INVALID_SOCKET ||
                   SockConnectStart(target, host.c_str(), port_number) != 0) {
            Log(number, "cannot connect to target %s:%d", host.c_str(), port_number);
            Answer(ssl, "HTTP/1.1 502 Bad Gateway\r\nX-Target-Status: 402\r\n\r\n");
        } else if (Answer(
                       ssl,
                       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: VarnelTunnel\r\nX-Target-Status: 200\r\n\r\n")) {
            Log(number, "tunnel to %s:%d open", host.c_str(), port_number);
            opened = true;
        }
    }
    // The SSL session served the handshake only; the bare socket carries the rest.
    DeinitSSL(ssl, ctx, true);
    ERR_clear_error();
    if (opened) {
        SetTimeouts(fd, 0);
        if (req.extra.empty() || SendAll(target, req.extra.data(), req.extra.size())) Pipe(fd, target);
        Log(number, "tunnel closed");
    }
    if (target != INVALID_SOCKET) CloseSocket(target);
    CloseSocket(fd);
}

}  // namespace

std::string CheckRelayOptions(const RelayOptions& o) {
    RelayKey key;
    std::string problem;
    bool unset = false;
    if (!ParseRelayKey(o.key_multiplier, o.key_increment, o.iv, &key, &problem, &unset))
        return std::string("--relay needs a usable ") + (problem == "relay_iv" ? "--relay-iv" : "--relay-key");
    return std::string();
}

int RunRelay(SOCKET listen_fd, const RelayOptions& opts) {
    static RelayKey key;
    std::string problem;
    bool unset = false;
    if (!ParseRelayKey(opts.key_multiplier, opts.key_increment, opts.iv, &key, &problem, &unset)) return 2;
    static const RelayOptions& shared = opts;
    uint64_t number = 0;
    for (;;) {
        SOCKET fd = SockAccept(listen_fd);
        if (fd < 0) {
            if (!SockWouldBlock(SockLastError())) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ++number;
        if (g_open.load() >= kMaxConnections) {
            Log(number, "too many connections, closed");
            CloseSocket(fd);
            continue;
        }
        ++g_open;
        std::thread([fd, number] {
            Serve(fd, shared, key, number);
            --g_open;
        }).detach();
    }
}
