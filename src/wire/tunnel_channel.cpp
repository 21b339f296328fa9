#include "wire/tunnel_channel.h"

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "wire/http_text.h"
#include "wire/ssl_channel.h"
#include "wire/tunnel_client.h"

namespace {
const char* kLog = "channel_debug";
constexpr unsigned kBuffer = 81920;
}  // namespace

// The two channels share these steps; each names its own file in the log.
#define RELAY_LOG(proxied, text, ...)                              \
    NLOG(L_ERR, kLog,                                              \
         (proxied) ? "[ERROR] proxy_tunnel_channel.cpp(%d): " text \
                   : "[ERROR] tunnel_channel.cpp(%d): " text __VA_OPT__(, ) __VA_ARGS__)

RelaySettings RelaySettings::FromSettings() {
    Settings& s = Settings::getInstance();
    RelaySettings r;
    r.host = s.getRelayHost().c_str_utf8();
    r.key_multiplier = s.getRelayKeyMultiplier().c_str_utf8();
    r.key_increment = s.getRelayKeyIncrement().c_str_utf8();
    r.iv = s.getRelayIV().c_str_utf8();
    return r;
}

namespace relay_open {

bool Prepare(const RelaySettings& relay, const std::string& relay_address, uint16_t relay_port, const char* host,
             int port, bool proxied, RelayKey* key, std::string* host_header) {
    if (!IsSafeHeaderHost(host) || port <= 0 || port > 65535) {
        RELAY_LOG(proxied,
                  "refused target: the host is empty, longer than 255 bytes or holds a control character or "
                  "blank, or the port %d is out of range\n",
                  port);
        return false;
    }
    if (relay_address.empty() || relay_port == 0) {
        RELAY_LOG(proxied, "no relay address: \"tunnel_ip\" and \"tunnel_port\" must be set\n");
        return false;
    }
    std::string problem;
    bool unset = false;
    if (!ParseRelayKey(relay.key_multiplier, relay.key_increment, relay.iv, key, &problem, &unset)) {
        RELAY_LOG(proxied, "setting \"%s\" is %s; the relay token cannot be built\n", problem.c_str(),
                  unset ? "not set" : "malformed");
        return false;
    }
    *host_header = relay.host.empty() ? relay_address + ":" + std::to_string(relay_port) : relay.host;
    if (!IsSafeHeaderHost(host_header->c_str())) {
        RELAY_LOG(proxied, "setting \"relay_host\" is not usable in a header\n");
        return false;
    }
    return true;
}

int Handshake(Channel& channel, const char* host, int port, const RelayKey& key, const std::string& host_header,
              const timeval& wait, const std::atomic<int>* abort_flag, std::function<bool()> aborted, bool proxied) {
    SSL* ssl = nullptr;
    SSL_CTX* ctx = nullptr;
    bool ok = true;
    // The handshake is a few small writes, each waiting for the peer's answer:
    // coalescing them would only wait for delayed acknowledgements.
    SockSetNoDelay(channel.GetFd(), true);
    if (!InitSSL(ssl, ctx, false)) {
        RELAY_LOG(proxied, "Open: init ssl failed\n");
        ok = false;
    } else if (SSL_set_fd(ssl, channel.GetFd()) != 1) {
        RELAY_LOG(proxied, "set fd failed\n");
        log_ssl();
        ok = false;
    } else if (SSLHandshake(ssl, wait, channel.GetChannelTimeout(), abort_flag) != 0) {
        RELAY_LOG(proxied, "Open to SSL connect to tunnel failed\n");
        ok = false;
    } else {
        RelayWait rw;
        rw.wait = wait;
        rw.channel_timeout = channel.GetChannelTimeout();
        rw.aborted = std::move(aborted);
        const RelayResult code = VARNELTunnelClientHandshake(ssl, host, port, host_header, key, rw);
        if (code != RelayResult::kAccepted) {
            RELAY_LOG(proxied, "VARNELTunnelClientHandshake: failed, code: %d\n", Code(code));
            RELAY_LOG(proxied, "relay tunnel to %s:%d not open: %s\n", host, port, RelayResultText(code));
            ok = false;
        }
    }
    // The SSL session served only the handshake: it goes without a closing alert and
    // leaves the socket to the channel.
    DeinitSSL(ssl, ctx, true);
    if (!ok) {
        if (!channel.IsClosed()) channel.Close();
        return ERR_IO;
    }
    channel.ClearRead();
    channel.ClearWrite();
    return 0;
}

}  // namespace relay_open

TunnelChannel::TunnelChannel(const TunnelInfo& tunnel) : TunnelChannel(tunnel, RelaySettings::FromSettings()) {}

TunnelChannel::TunnelChannel(const TunnelInfo& tunnel, RelaySettings relay_settings)
    : Channel(kBuffer),
      tunnel_address(tunnel.tunnel_ip),
      tunnel_port(tunnel.tunnel_port),
      relay(std::move(relay_settings)) {}

int TunnelChannel::Open(const char* host, int port) {
    RelayKey key;
    std::string host_header;
    if (!IsClosed()) {
        NLOG_AT(L_ERR, kLog, "tunnel_channel.cpp", "Open: channel already open [%d]\n", GetFd());
        return ERR_IO;
    }
    if (!relay_open::Prepare(relay, tunnel_address, tunnel_port, host, port, false, &key, &host_header)) return ERR_IO;
    if (Channel::Open(tunnel_address.c_str(), tunnel_port) != 0 || IsClosed()) {
        NLOG_AT(L_ERR, kLog, "tunnel_channel.cpp", "Connect failed\n");
        return ERR_IO;
    }
    return relay_open::Handshake(
        *this, host, port, key, host_header, m_timeout, flag, [this] { return Aborted(); }, false);
}

int TunnelChannel::Close() { return Channel::Close(); }
