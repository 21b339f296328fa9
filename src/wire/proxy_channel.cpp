#include "wire/proxy_channel.h"

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "wire/proxy_tunnel.h"

namespace {
const char* kLog = "channel_debug";
constexpr unsigned kBuffer = 81920;
}  // namespace

ProxyChannel::ProxyChannel(const ProxyInfo& proxy)
    : Channel(kBuffer),
      proxy_address(proxy.proxy_ip),
      proxy_port(proxy.proxy_port),
      user_name(proxy.user_name),
      user_password(proxy.password),
      user_domain(proxy.domain),
      user_host(proxy.host) {}

ProxyChannel::~ProxyChannel() { ProxyChannel::Close(); }

int ProxyChannel::Open(const char* host, int port) {
    if (!IsClosed()) {
        NLOG_AT(L_ERR, kLog, "proxy_channel.cpp", "ProxyChannel::Open: channel already open [%d]\n", GetFd());
        return ERR_IO;
    }
    PROXY_SERVER_INFO server;
    server.szProxyAddress = proxy_address.c_str();
    server.ProxyPort = proxy_port;
    PROXY_TARGET_INFO target;
    target.szTargetAddress = host;
    target.TargetPort = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
    PROXY_AUTH_INFO auth;
    auth.szUserName = user_name.c_str();
    auth.szUserPasswd = user_password.c_str();
    auth.szUserDomain = user_domain.c_str();
    auth.szUserHost = user_host.c_str();
    auth.AuthType = PROXY_AUTO_AUTH;
    PROXY_WAIT_INFO wait;
    wait.wait = m_timeout;
    wait.timeout_seconds = channel_timeout;
    wait.aborted = [this] { return Aborted(); };

    int sock = VARNELProxyTunnelOpen(server, target, auth, &wait);
    if (sock < 0) {
        NLOG_AT(L_ERR, kLog, "proxy_channel.cpp", "ProxyChannel::Open: fail to connect to proxy server (%s:%d)\n",
                proxy_address.c_str(), proxy_port);
        return ERR_IO;
    }
    ClearRead();
    ClearWrite();
    NLOG_AT(L_WARNING, kLog, "proxy_channel.cpp", "ProxyChannel::Open: socket %d has been connect to proxy (%s:%d)\n",
            sock, proxy_address.c_str(), proxy_port);
    if (Channel::Open(sock, true) != 0) {
        VARNELProxyTunnelClose(sock);
        return ERR_IO;
    }
    return ERR_OK;
}

int ProxyChannel::Close() {
    if (!IsClosed()) {
        int r = FlushWrite(0);
        if (r != 0) NLOG_AT(L_WARNING, kLog, "proxy_channel.cpp", "FlushWrite: %s\n", GetErrorString(r));
    }
    SOCKET fd = DetachSocket();
    if (fd != INVALID_SOCKET) VARNELProxyTunnelClose(fd);
    return ERR_OK;
}
