// Connection: one pooled server connection, its channel and its keep-alive state;
// plus the records that describe how to reach the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

class Channel;

// How the UI reached the server; kept, not acted on.
enum ConnectionMode { CM_UNKNOW = 0, CM_IP = 1, CM_DDNS = 2, CM_QUILLO = 3 };

enum ChannelMode {
    CHANNEL_NORMAL = 0,
    CHANNEL_PROXY = 1,
    CHANNEL_TUNNEL = 2,
    CHANNEL_PROXY_TUNNEL = 3,
    CHANNEL_UNKNOWN = 4,
};

struct ConnectionInfo {
    ConnectionMode c_mode = CM_UNKNOW;
    ustring server_name;
    ustring server_ip;
    int32_t server_port = 0;
    ustring username;
    ustring password;
    ustring session;
    ustring service_name;  // names the server for the UI's connection service; never filled
    ustring service_id;    // likewise
    int32_t protocol_version = 0;
    uint64_t conn_id = 0;
    ustring computer_name;
    bool use_ssl = true;
    // SHA-256 of the server certificate, 64 lower-case hex digits; empty accepts any
    // certificate (servers with self-signed certificates rely on that).
    std::string ssl_fingerprint;
};

struct ProxyInfo {
    bool use_proxy = false;
    bool use_sys_proxy = false;
    std::string proxy_ip;
    uint16_t proxy_port = 0;
    std::string user_name;
    std::string password;
    std::string domain;
    std::string host;
};

struct TunnelInfo {
    bool use_tunnel = false;
    std::string tunnel_ip;
    uint16_t tunnel_port = 0;
};

// Builds the channel a connection of this mode owns (not connected yet).
Channel* CreateChannel(ChannelMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel);

class Connection {
public:
    enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1 };

    Connection(ChannelMode mode, ProxyInfo proxy, TunnelInfo tunnel, bool use_ssl);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // alive != 0: confirmed now, CONNECTED. alive == 0: channel closed, DISCONNECTED.
    void Update(unsigned alive);
    // Closes the channel and forgets the keep-alive.
    void Drop();
    // Usable without a new handshake: confirmed no more than alive_value seconds ago.
    bool IsAlive() const;

    Channel* GetChannel() { return channel; }
    // The last non-zero keep-alive the server announced on this connection (0: none
    // yet); kept across Drop, readable from any thread.
    uint32_t AnnouncedAlive() const { return announced_alive.load(std::memory_order_relaxed); }
    void SetUsed(bool used) { m_used = used; }
    bool IsUsed() const { return m_used; }
    bool IsConnected() { return GetConnectionState() == CONNECTED; }
    ConnectionState GetConnectionState();
    void SetConnectionState(ConnectionState state);

    uint32_t last_access = 0;  // seconds since the epoch; 0 when not connected
    uint32_t alive_value = 0;  // seconds a confirmed connection may stay idle

private:
    bool m_used = false;
    std::atomic<uint32_t> announced_alive{0};
    Mutex m_conn_state_lock;
    ConnectionState m_conn_state GUARDED_BY(m_conn_state_lock) = DISCONNECTED;
    Channel* channel = nullptr;
};
