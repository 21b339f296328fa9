#include "wire/tunnel_client.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/socket.h"
#include "wire/http_text.h"

namespace {

constexpr size_t kLine = 1024;              // one response line with its terminator
constexpr size_t kMaxResponse = 64 * 1024;  // a relay's response is a few lines

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the socket under ssl. kAccepted when ready, kConnFailed or kConnTimeout. The idle clock restarts
// whenever the caller made progress (last_progress).
RelayResult WaitSocket(SSL* ssl, bool for_write, const RelayWait& wait, int64_t last_progress) {
    int fd = SSL_get_fd(ssl);
    for (;;) {
        if (wait.aborted && wait.aborted()) return RelayResult::kConnFailed;
        int r = SockWaitReady(fd, for_write, wait.wait);
        if (r < 0) return RelayResult::kConnFailed;
        if (r > 0) return RelayResult::kAccepted;
        if (wait.channel_timeout != 0 && NowMs() - last_progress >= int64_t{wait.channel_timeout} * 1000)
            return RelayResult::kConnTimeout;
    }
}

// Reads at most one line (up to and including its LF, or what has arrived when there
// is none yet) into buf: kAccepted with `got` set, kConnFailed or kConnTimeout.
RelayResult ReadPiece(SSL* ssl, char* buf, size_t cap, const RelayWait& wait, int& got) {
    int64_t last_progress = NowMs();
    for (;;) {
        ERR_clear_error();
        int n = SSL_peek(ssl, buf, static_cast<int>(cap));
        if (n > 0) {
            const void* lf = std::memchr(buf, '\n', static_cast<size_t>(n));
            int take = lf ? static_cast<int>(static_cast<const char*>(lf) - buf) + 1 : n;
            got = SSL_read(ssl, buf, take);
            return got == take ? RelayResult::kAccepted : RelayResult::kConnFailed;
        }
        int e = SSL_get_error(ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return RelayResult::kConnFailed;
        const RelayResult w = WaitSocket(ssl, e == SSL_ERROR_WANT_WRITE, wait, last_progress);
        if (w != RelayResult::kAccepted) return w;
    }
}

bool IsSuccess(int status) { return status == 0 || (status >= 200 && status <= 299); }

}  // namespace

const char* RelayResultText(RelayResult code) {
    switch (code) {
        case RelayResult::kAccepted:
            return "accepted";
        case RelayResult::kTokenFailed:
            return "the relay token could not be built";
        case RelayResult::kBadTarget:
            return "the target cannot be named in a header";
        case RelayResult::kConnFailed:
            return "the connection to the relay failed";
        case RelayResult::kConnTimeout:
            return "the relay did not answer in time";
        case RelayResult::kUnreadable:
            return "the relay's answer is unreadable or an unknown refusal";
        case RelayResult::kRefusedTarget:
            return "the relay refused the token or the target";
        case RelayResult::kTargetFailed:
            return "the relay could not connect to the target";
        case RelayResult::kTargetTimeout:
            return "the relay timed out connecting to the target";
        default:
            return "the relay refused the tunnel";
    }
}

RelayResult VARNELTunnelNonBlockingWrite(SSL* ssl, const char* buffer, size_t length, const RelayWait& wait) {
    if (!ssl || (!buffer && length != 0)) return RelayResult::kConnFailed;
    size_t done = 0;
    int64_t last_progress = NowMs();
    bool for_write = true;
    while (done < length) {
        const RelayResult w = WaitSocket(ssl, for_write, wait, last_progress);
        if (w != RelayResult::kAccepted) return w;
        ERR_clear_error();
        size_t chunk = length - done > 0x40000000u ? 0x40000000u : length - done;
        int n = SSL_write(ssl, buffer + done, static_cast<int>(chunk));
        if (n > 0) {
            done += static_cast<size_t>(n);
            last_progress = NowMs();
            continue;
        }
        int e = SSL_get_error(ssl, n);
        if (e == SSL_ERROR_WANT_READ)
            for_write = false;
        else if (e == SSL_ERROR_WANT_WRITE)
            for_write = true;
        else
            return RelayResult::kConnFailed;
    }
    return RelayResult::kAccepted;
}

RelayResult VARNELTunnelClientHandshake(SSL* ssl, const char* host, int port, const std::string& relay_host,
                                        const RelayKey& key, const RelayWait& wait) {
    if (!IsSafeHeaderHost(host) || port <= 0 || port > 65535 || !IsSafeHeaderHost(relay_host.c_str()))
        return RelayResult::kBadTarget;
    // The token covers the target text with its terminating zero byte.
    char target[kLine];
    int tlen = std::snprintf(target, sizeof target, "%s:%d", host, port);
    if (tlen < 0 || static_cast<size_t>(tlen) >= sizeof target) return RelayResult::kBadTarget;
    std::vector<unsigned char> token(VARNELCryptoEncryptLength(static_cast<size_t>(tlen) + 1));
    size_t token_len = 0;
    char encoded[kLine + 1];
    if (!VARNELCryptoEncrypt(key, token.data(), token.size(), reinterpret_cast<unsigned char*>(target),
                             static_cast<size_t>(tlen) + 1, &token_len) ||
        !VARNELCryptoBase64Encode(encoded, sizeof encoded, token.data(), token_len, nullptr))
        return RelayResult::kTokenFailed;

    std::string request = "GET /varnel-tunnel HTTP/1.1\r\nHost: " + relay_host +
                          "\r\nUpgrade: VarnelTunnel\r\nX-Target-Host: " + host +
                          "\r\nX-Target-Port: " + std::to_string(port) + "\r\nX-AuthToken: " + encoded + "\r\n\r\n";
    const RelayResult r = VARNELTunnelNonBlockingWrite(ssl, request.data(), request.size(), wait);
    if (r != RelayResult::kAccepted) return r;

    // Response: a status line, headers, an empty line. Over-long lines arrive in
    // pieces; only a piece that starts a line is looked at.
    char line[kLine];
    bool line_start = true, have_status_line = false, have_header = false, header_unreadable = false;
    int http_status = 0, target_status = 0;
    size_t total = 0;
    // A refusal already read stays the answer even if the relay then hangs up.
    auto refusal = [&]() -> RelayResult {
        if (header_unreadable) return RelayResult::kUnreadable;
        if (have_header && !IsSuccess(target_status)) return static_cast<RelayResult>(target_status);
        if (http_status == 101 || (http_status >= 200 && http_status <= 299)) return RelayResult::kAccepted;
        return http_status > 0 ? static_cast<RelayResult>(http_status) : RelayResult::kUnreadable;
    };
    for (;;) {
        int n = 0;
        const RelayResult read = ReadPiece(ssl, line, sizeof line - 1, wait, n);
        if (read != RelayResult::kAccepted) {
            const RelayResult so_far = have_status_line ? refusal() : RelayResult::kAccepted;
            return so_far != RelayResult::kAccepted ? so_far : read;
        }
        line[n] = '\0';
        total += static_cast<size_t>(n);
        if (total > kMaxResponse) return RelayResult::kUnreadable;
        bool starts = line_start;
        line_start = line[n - 1] == '\n';
        if (!starts) continue;
        if (!have_status_line) {
            have_status_line = true;
            if (!ParseHttpStatusLine(line, &http_status)) http_status = -1;
            continue;
        }
        if (line[0] == '\r' || line[0] == '\n') break;
        int v = 0;
        int h = ParseNumericHeader(line, "X-Target-Status", &v);
        if (h == 1) {
            have_header = true;
            target_status = v;
        } else if (h < 0) {
            have_header = true;
            header_unreadable = true;
        }
    }
    return refusal();
}
