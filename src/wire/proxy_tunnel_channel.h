// ProxyTunnelChannel: a tunnel through the HTTP proxy to the relay, then the relay
// handshake as TunnelChannel does it.
#pragma once

#include <cstdint>
#include <string>

#include "wire/proxy_channel.h"
#include "wire/tunnel_channel.h"

class ProxyTunnelChannel : public ProxyChannel {
public:
    ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel);
    ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel, RelaySettings relay);

    using Channel::Open;
    // 0 when the relay accepted host:port, -2 otherwise (every failure is logged).
    int Open(const char* host, int port) override;

    std::string tunnel_address;
    uint16_t tunnel_port = 0;

private:
    RelaySettings relay;
};
