// ProxyChannel: reaches the server through an HTTP proxy (CONNECT); the socket it gets
// belongs to the proxy layer and goes back to it on close.
#pragma once

#include <cstdint>
#include <string>

#include "wire/channel.h"
#include "wire/connection.h"

class ProxyChannel : public Channel {
public:
    explicit ProxyChannel(const ProxyInfo& proxy);
    ~ProxyChannel() override;

    using Channel::Open;
    // 0 when the socket is connected to host:port through the proxy, -2 otherwise.
    int Open(const char* host, int port) override;
    // Sends what is buffered, detaches the socket from the channel and hands it back
    // to the proxy layer, which closes it: the descriptor is closed exactly once. 0.
    int Close() override;

    std::string proxy_address;
    uint16_t proxy_port = 0;
    std::string user_name;
    std::string user_password;
    std::string user_domain;
    std::string user_host;
};
