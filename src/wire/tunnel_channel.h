// TunnelChannel: reaches the server through the relay. Open connects to the relay,
// speaks SSL to it only for the relay handshake (which names the real server and
// carries the token), then releases the SSL session and carries the daemon's own
// protocol over the bare socket; the in-band upgrade may encrypt it end to end later.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "wire/channel.h"
#include "wire/connection.h"
#include "wire/tunnel_token.h"

// What the relay handshake needs besides the relay's address: the texts of the settings
// "relay_host", "relay_key_multiplier", "relay_key_increment" and "relay_iv".
struct RelaySettings {
    std::string host;  // names the relay in the Host header; empty: its "address:port"
    std::string key_multiplier;
    std::string key_increment;
    std::string iv;
    // The process-wide settings.
    static RelaySettings FromSettings();
};

class TunnelChannel : public Channel {
public:
    explicit TunnelChannel(const TunnelInfo& tunnel);
    TunnelChannel(const TunnelInfo& tunnel, RelaySettings relay);

    using Channel::Open;
    // 0 when the relay accepted host:port, -2 otherwise (every failure is logged).
    int Open(const char* host, int port) override;
    int Close() override;

    std::string tunnel_address;
    uint16_t tunnel_port = 0;

private:
    RelaySettings relay;
};

// Shared by the tunnel and the proxy-tunnel channel; `proxied` picks the file name in
// the log lines.
namespace relay_open {
// Checks the target and the relay settings before anything is sent. True with *key and
// *host_header filled, or false (logged).
[[nodiscard]] bool Prepare(const RelaySettings& relay, const std::string& relay_address, uint16_t relay_port,
                           const char* host, int port, bool proxied, RelayKey* key, std::string* host_header);
// On a channel connected to the relay: SSL, the handshake, SSL released with the
// socket kept. 0, or -2 after closing the channel (logged).
int Handshake(Channel& channel, const char* host, int port, const RelayKey& key, const std::string& host_header,
              const timeval& wait, const std::atomic<int>* abort_flag, std::function<bool()> aborted, bool proxied);
}  // namespace relay_open
