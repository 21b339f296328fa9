#include "wire/connection.h"

#include <ctime>

#include "foundation/logger.h"
#include "wire/channel.h"
#include "wire/proxy_channel.h"
#include "wire/proxy_tunnel_channel.h"
#include "wire/tunnel_channel.h"

namespace {
constexpr unsigned kChannelBuffer = 81920;
}

Channel* CreateChannel(ChannelMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel) {
    switch (mode) {
        case CHANNEL_PROXY:
            return new ProxyChannel(proxy);
        case CHANNEL_TUNNEL:
            return new TunnelChannel(tunnel);
        case CHANNEL_PROXY_TUNNEL:
            return new ProxyTunnelChannel(proxy, tunnel);
        case CHANNEL_NORMAL:
        case CHANNEL_UNKNOWN:
        default:
            return new Channel(kChannelBuffer);
    }
}

Connection::Connection(ChannelMode mode, ProxyInfo proxy, TunnelInfo tunnel, bool use_ssl) {
    (void)use_ssl;  // the pool's useSSL() is asked instead
    channel = CreateChannel(mode, proxy, tunnel);
}

Connection::~Connection() {
    if (channel) {
        channel->Close();
        delete channel;
    }
}

void Connection::Update(unsigned alive) {
    alive_value = alive;
    if (alive != 0) {
        announced_alive.store(alive, std::memory_order_relaxed);
        last_access = (uint32_t)time(nullptr);
        SetConnectionState(CONNECTED);
    } else {
        last_access = 0;
        if (channel) channel->Close();
        SetConnectionState(DISCONNECTED);
    }
}

void Connection::Drop() {
    if (channel) channel->Close();
    last_access = 0;
    alive_value = 0;
    SetConnectionState(DISCONNECTED);
}

bool Connection::IsAlive() const {
    if (alive_value == 0) return false;
    uint32_t now = (uint32_t)time(nullptr);
    // A clock that went backwards tells nothing about the idle time: reconnect.
    if (now < last_access) return false;
    return now - last_access <= alive_value;
}

Connection::ConnectionState Connection::GetConnectionState() {
    MutexLock l(m_conn_state_lock);
    return m_conn_state;
}

void Connection::SetConnectionState(ConnectionState state) {
    MutexLock l(m_conn_state_lock);
    m_conn_state = state;
}
