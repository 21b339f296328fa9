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
        NLOG_AT(L_DEBUG, "connection_debug", "connection.cpp",
                "ConnectionPool: Create CHANNEL_NORMAL connection pool\n");
        return CHANNEL_NORMAL;
    }
    if (use_proxy && !use_tunnel) {
        NLOG_AT(L_DEBUG, "connection_debug", "connection.cpp",
                "ConnectionPool: Create CHANNEL_PROXY connection pool\n");
        return CHANNEL_PROXY;
    }
    if (use_proxy && use_tunnel) {
        NLOG_AT(L_DEBUG, "connection_debug", "connection.cpp",
                "ConnectionPool: Create CHANNEL_PROXY_TUNNEL connection pool\n");
        return CHANNEL_PROXY_TUNNEL;
    }
    if (use_tunnel) {
        NLOG_AT(L_DEBUG, "connection_debug", "connection.cpp",
                "ConnectionPool: Create CHANNEL_TUNNEL connection pool\n");
        return CHANNEL_TUNNEL;
    }
    NLOG_AT(L_WARNING, "connection_debug", "connection.cpp",
            "ConnectionPool: Undefined channel mode, create a normal "
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

void ConnectionPool::reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel) {
    Replace(info, proxy, tunnel, false);
}

void ConnectionPool::relinkConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel) {
    Replace(info, proxy, tunnel, true);
}
