#include "wire/connection_pool.h"

#include <algorithm>

#include "foundation/logger.h"
#include "wire/channel.h"
#include "wire/object.h"

PoolSlot g_pool;

ConnectionPool::ConnectionPool(ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel, unsigned n)
    : m_conn_id(info.conn_id),
      m_client_name(info.computer_name),
      m_server_ip(info.server_ip),
      m_session(info.session),
      m_server_port(info.server_port),
      m_use_ssl(info.use_ssl),
      m_ssl_fingerprint(info.ssl_fingerprint),
      m_size(n),
      m_avail_conn(n) {
    MutexLock l(mutex);
    Build(proxy, tunnel, info.use_ssl);
}

ConnectionPool::~ConnectionPool() {
    MutexLock l(mutex);
    for (Connection* c : pool) delete c;
    pool.clear();
}

void ConnectionPool::Build(const ProxyInfo& proxy, const TunnelInfo& tunnel, bool use_ssl) {
    ChannelMode mode = getChannelMode(proxy, tunnel);
    for (unsigned i = 0; i < m_size; ++i) pool.push_back(new Connection(mode, proxy, tunnel, use_ssl));
}

ChannelMode ConnectionPool::getChannelMode(const ProxyInfo& proxy, const TunnelInfo& tunnel) {
    bool use_proxy = proxy.use_proxy && !proxy.proxy_ip.empty();
    bool use_tunnel = tunnel.use_tunnel;
    if (!use_proxy && !use_tunnel) {
        NLOG(L_DEBUG, "connection_debug",
             "[DEBUG] connection.cpp(%d): ConnectionPool: Create CHANNEL_NORMAL connection pool\n");
        return CHANNEL_NORMAL;
    }
    if (use_proxy && !use_tunnel) {
        NLOG(L_DEBUG, "connection_debug",
             "[DEBUG] connection.cpp(%d): ConnectionPool: Create CHANNEL_PROXY connection pool\n");
        return CHANNEL_PROXY;
    }
    if (use_proxy && use_tunnel) {
        NLOG(L_DEBUG, "connection_debug",
             "[DEBUG] connection.cpp(%d): ConnectionPool: Create CHANNEL_PROXY_TUNNEL connection pool\n");
        return CHANNEL_PROXY_TUNNEL;
    }
    if (use_tunnel) {
        NLOG(L_DEBUG, "connection_debug",
             "[DEBUG] connection.cpp(%d): ConnectionPool: Create CHANNEL_TUNNEL connection pool\n");
        return CHANNEL_TUNNEL;
    }
    NLOG(L_WARNING, "connection_debug",
         "[WARNING] connection.cpp(%d): ConnectionPool: Undefined channel mode, create a normal "
         "connection pool\n");
    return CHANNEL_NORMAL;
}

Connection* ConnectionPool::GetAvailConn() {
    for (Connection* c : pool) {
        if (!c->IsUsed()) {
            c->SetUsed(true);
            return c;
        }
    }
    return nullptr;
}

Connection* ConnectionPool::pop(const std::atomic<int>* abort_flag) {
    MutexLock l(mutex);
    while (m_freeze) cond_leave_freeze.Wait(mutex);
    Connection* c;
    // A reload may start while this borrower waits for a free connection: the freeze
    // is honoured again after every wake-up so that no old connection is lent.
    while (m_freeze || (c = GetAvailConn()) == nullptr) {
        if (m_freeze)
            cond_leave_freeze.Wait(mutex);
        else
            cond.Wait(mutex);
    }
    --m_avail_conn;
    // Before anything is done with it: a previous borrower's flag must not abort this
    // borrower's connect, and this borrower's pause must stop its handshake.
    c->GetChannel()->SetFlag(abort_flag);
    return c;
}

void ConnectionPool::ReturnConn(Connection* conn) {
    bool found = false;
    for (auto it = pool.begin(); it != pool.end(); ++it) {
        if (*it == conn) {
            pool.erase(it);
            found = true;
            break;
        }
    }
    if (!found) return;
    // A connection that was not lent (a double push) must not inflate the count.
    bool was_used = conn->IsUsed();
    conn->SetUsed(false);
    // The borrower's flag may die with the borrower.
    conn->GetChannel()->SetFlag(nullptr);
    if (conn->IsAlive())
        pool.push_front(conn);
    else
        pool.push_back(conn);
    if (was_used) ++m_avail_conn;
}

void ConnectionPool::push(Connection* conn) {
    if (!conn) return;
    MutexLock l(mutex);
    ReturnConn(conn);
    cond.Signal();
    if (m_avail_conn == m_size) cond_all_conn_return.Signal();
}

bool ConnectionPool::isConnected() {
    MutexLock l(mutex);
    for (Connection* c : pool)
        if (c->GetConnectionState() == Connection::CONNECTED) return true;
    return false;
}

uint64_t ConnectionPool::getConnectionId() {
    MutexLock l(mutex);
    return m_conn_id;
}

ustring ConnectionPool::getServerIp() {
    MutexLock l(mutex);
    return m_server_ip;
}

int ConnectionPool::getServerPort() {
    MutexLock l(mutex);
    return m_server_port;
}

ustring ConnectionPool::getSession() {
    MutexLock l(mutex);
    return m_session;
}

ustring ConnectionPool::getClientName() {
    MutexLock l(mutex);
    return m_client_name;
}

bool ConnectionPool::useSSL() {
    MutexLock l(mutex);
    return m_use_ssl;
}

std::string ConnectionPool::getSSLFingerprint() {
    MutexLock l(mutex);
    return m_ssl_fingerprint;
}

unsigned ConnectionPool::size() {
    MutexLock l(mutex);
    return m_size;
}

unsigned ConnectionPool::available() {
    MutexLock l(mutex);
    return m_avail_conn;
}

unsigned ConnectionPool::NotRespondingSeconds() {
    MutexLock l(mutex);
    const int64_t now = Channel::MonotonicMs();
    int64_t last_received = 0;
    int64_t stalled_from = 0;  // earliest start of a wait past the limit
    // One server: what it announced on any connection holds for all of them.
    uint32_t announced = 0;
    for (Connection* c : pool) announced = std::max(announced, c->AnnouncedAlive());
    const int64_t limit = int64_t{announced != 0 ? announced : kDefaultAlive} * 1000;
    for (Connection* c : pool) {
        Channel* channel = c->GetChannel();
        if (!channel) continue;
        last_received = std::max(last_received, channel->LastReceivedMs());
        const int64_t since = channel->WaitingSinceMs();
        if (since != 0 && now - since > limit && (stalled_from == 0 || since < stalled_from)) stalled_from = since;
    }
    if (m_silent_since_ms != 0 && last_received > m_silent_since_ms) m_silent_since_ms = 0;
    if (m_silent_since_ms == 0 && stalled_from != 0) m_silent_since_ms = std::max(last_received, stalled_from);
    if (m_silent_since_ms == 0) return 0;
    // A stall seen once holds until a byte arrives: between a timed-out wait and the
    // next one nothing is waiting, yet nothing came either.
    const int64_t silent = std::max<int64_t>(now - std::max(last_received, m_silent_since_ms), 1000);
    return static_cast<unsigned>(silent / 1000);
}

void ConnectionPool::Replace(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel,
                             bool identity) {
    MutexLock l(mutex);
    // Two reloads at once would both wait for the same connections; the second one
    // waits until the first is over.
    while (m_freeze) cond_leave_freeze.Wait(mutex);
    m_freeze = true;
    while (m_avail_conn != m_size) cond_all_conn_return.Wait(mutex);
    for (Connection* c : pool) delete c;
    pool.clear();
    m_silent_since_ms = 0;  // new connections, perhaps another server
    Build(proxy, tunnel, info.use_ssl);
    m_server_ip = info.server_ip;
    m_server_port = info.server_port;
    m_use_ssl = info.use_ssl;
    m_ssl_fingerprint = info.ssl_fingerprint;
    if (identity) {
        m_conn_id = info.conn_id;
        m_client_name = info.computer_name;
        m_session = info.session;
    }
    m_freeze = false;
    cond_leave_freeze.Broadcast();
    // Borrowers that were waiting for a free connection before the freeze.
    cond.Broadcast();
}

void ConnectionPool::reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy,
                                      const TunnelInfo& tunnel) {
    Replace(info, proxy, tunnel, false);
}

void ConnectionPool::relinkConnection(const ConnectionInfo& info, const ProxyInfo& proxy,
                                      const TunnelInfo& tunnel) {
    Replace(info, proxy, tunnel, true);
}

namespace {

// "ab:CD..." or "abcd...": 32 bytes of hex, stored lower case without separators.
bool NormalizeFingerprint(const ustring& text, std::string* out) {
    std::string hex;
    for (uint32_t i = 0; i < text.length(); ++i) {
        char c = text[i];
        if (c == ':') continue;
        if (c >= 'A' && c <= 'F') c = (char)(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        hex.push_back(c);
    }
    if (hex.size() != 64) return false;
    *out = hex;
    return true;
}

void RefuseInvalid(PObject& reply, int rc, const std::string& why) {
    if (rc == kPinWithoutSsl) {
        NLOG(L_ERR, "client_debug", "[ERROR] app.cpp(%d): ssl_fingerprint given with use_ssl false.\n");
        reply["error"] = "ssl_fingerprint needs use_ssl: a pinned server is reached over SSL only";
        return;
    }
    NLOG(L_ERR, "client_debug", "[ERROR] app.cpp(%d): invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    if (!why.empty()) reply["reason"] = ustring(why);
}

}  // namespace

int prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel,
                            std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    for (const char* key : {"connection_id", "server_ip", "server_port", "session"}) {
        if (!request.hasMember(key)) {
            reason = std::string("the key \"") + key + "\" is missing";
            return -1;
        }
    }
    // A member of another kind would be read as something it does not say: a text
    // "use_ssl" of "no" as true, an empty array as false (plain text to the server),
    // a number as an address.
    static const char* const kIntegers[] = {"connection_id", "server_port", "connection_mode", "use_ssl",
                                            "use_proxy",     "use_sys_proxy", "proxy_port", "use_tunnel",
                                            "tunnel_port"};
    static const char* const kStrings[] = {"server_ip",      "session",        "username",     "computer_name",
                                           "proxy_ip",       "proxy_username", "proxy_password", "proxy_domain",
                                           "proxy_host",     "tunnel_ip"};
    for (const char* key : kIntegers) {
        if (request.hasMember(key) && !request[key].isInteger()) {
            reason = std::string("\"") + key + "\" must be a number";
            return -1;
        }
    }
    for (const char* key : kStrings) {
        if (request.hasMember(key) && !request[key].isString()) {
            reason = std::string("\"") + key + "\" must be a text";
            return -1;
        }
    }
    info = ConnectionInfo();
    proxy = ProxyInfo();
    tunnel = TunnelInfo();
    info.conn_id = request["connection_id"].asUInt64();
    info.server_ip = request["server_ip"].asString();
    info.server_port = request["server_port"].asInt32();
    info.session = request["session"].asString();
    info.c_mode = (ConnectionMode)request["connection_mode"].asInt32();
    info.username = request["username"].asString();
    info.computer_name = request["computer_name"].asString();
    // Absent reads as false, as for every optional key.
    info.use_ssl = request["use_ssl"].asBool();
    if (request.hasMember("ssl_fingerprint") && !request["ssl_fingerprint"].isEmpty()) {
        // A pin that cannot be a SHA-256 would silently accept any certificate.
        if (!NormalizeFingerprint(request["ssl_fingerprint"].asString(), &info.ssl_fingerprint)) {
            reason = "\"ssl_fingerprint\" is not a SHA-256 digest (64 hex digits)";
            return -1;
        }
        // A pin means SSL: an explicit "no SSL" beside it would send the token in clear.
        if (request.hasMember("use_ssl") && !info.use_ssl) {
            reason = "\"ssl_fingerprint\" needs SSL, but \"use_ssl\" is false";
            return kPinWithoutSsl;
        }
        info.use_ssl = true;
    }
    proxy.use_proxy = request["use_proxy"].asBool();
    proxy.use_sys_proxy = request["use_sys_proxy"].asBool();
    proxy.proxy_ip = request["proxy_ip"].asString().str();
    proxy.proxy_port = request["proxy_port"].asUInt16();
    proxy.user_name = request["proxy_username"].asString().str();
    proxy.password = request["proxy_password"].asString().str();
    proxy.domain = request["proxy_domain"].asString().str();
    proxy.host = request["proxy_host"].asString().str();
    tunnel.use_tunnel = request["use_tunnel"].asBool();
    tunnel.tunnel_ip = request["tunnel_ip"].asString().str();
    tunnel.tunnel_port = request["tunnel_port"].asUInt16();
    return 0;
}

int create_connections(const PObject& request, PObject& reply, unsigned pool_size) {
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    std::string why;
    if (const int rc = prepare_connection_info(request, info, proxy, tunnel, &why); rc != 0) {
        RefuseInvalid(reply, rc, why);
        return -1;
    }
    if (g_pool) {
        // A second link replaces the server and identity in place once every borrowed
        // connection is back, so no task is left holding a deleted pool.
        g_pool->relinkConnection(info, proxy, tunnel);
        return 0;
    }
    g_pool.set(new ConnectionPool(info, proxy, tunnel, pool_size));
    return 0;
}

int reload_connection(const PObject& request, PObject& reply) {
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    std::string why;
    if (const int rc = prepare_connection_info(request, info, proxy, tunnel, &why); rc != 0) {
        RefuseInvalid(reply, rc, why);
        return -1;
    }
    if (!g_pool) {
        NLOG(L_ERR, "client_debug", "[ERROR] app.cpp(%d): reload_connection: no connection is linked.\n");
        reply["error"] = "Connection not linked";
        return -1;
    }
    g_pool->reloadConnection(info, proxy, tunnel);
    return 0;
}

void destroy_connections() {
    ConnectionPool* pool = g_pool.get();
    g_pool.set(nullptr);
    delete pool;
}
