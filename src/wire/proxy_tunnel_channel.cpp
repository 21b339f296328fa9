#include "wire/proxy_tunnel_channel.h"

#include "foundation/error_codes.h"
#include "foundation/logger.h"

namespace {
const char* kLog = "channel_debug";
}  // namespace

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel)
    : ProxyTunnelChannel(proxy, tunnel, RelaySettings::FromSettings()) {}

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel, RelaySettings relay_settings)
    : ProxyChannel(proxy),
      tunnel_address(tunnel.tunnel_ip),
      tunnel_port(tunnel.tunnel_port),
      relay(std::move(relay_settings)) {}

int ProxyTunnelChannel::Open(const char* host, int port) {
    int ret = ERR_IO;
    RelayKey key;
    std::string host_header;
    if (!IsClosed()) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel_channel.cpp", "Open: channel already open [%d]\n", GetFd());
    } else if (!relay_open::Prepare(relay, tunnel_address, tunnel_port, host, port, true, &key, &host_header)) {
        // logged
    } else if (ProxyChannel::Open(tunnel_address.c_str(), tunnel_port) != 0 || IsClosed()) {
        NLOG_AT(L_ERR, kLog, "proxy_tunnel_channel.cpp", "Open proxy failed\n");
    } else {
        ret = relay_open::Handshake(
            *this, host, port, key, host_header, m_timeout, flag, [this] { return Aborted(); }, true);
    }
    if (ret != 0)
        NLOG_AT(L_ERR, kLog, "proxy_tunnel_channel.cpp", "ProxyTunnelChannel[%d]: ret = %d\n", port, ret);
    else
        NLOG_AT(L_DEBUG, kLog, "proxy_tunnel_channel.cpp", "ProxyTunnelChannel[%d]: ret = %d\n", port, ret);
    return ret;
}
