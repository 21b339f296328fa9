// ConnectionPool: the fixed set of server connections that the tasks borrow for one
// exchange at a time. Alive connections are lent first; a reload freezes lending
// until every connection is back and has been replaced.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <list>
#include <string>

#include "foundation/ustring.h"
#include "wire/connection.h"

class PObject;

class ConnectionPool {
public:
    ConnectionPool(ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel, unsigned n);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Blocks while a reload runs, then until a connection is free. Never null.
    Connection* pop();
    // Gives a connection back; null and unknown pointers change nothing.
    void push(Connection* conn);

    bool isConnected();
    uint64_t getConnectionId();
    ustring getServerIp();
    int getServerPort();
    ustring getSession();
    ustring getClientName();
    bool useSSL();
    std::string getSSLFingerprint();
    unsigned size();
    unsigned available();

    // Waits until every connection is back, then replaces them all for the new
    // server address, SSL setting and transport. Identity (connection id, client
    // name, session) stays.
    void reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel);
    // The same, but the identity is taken from info as well (a second link).
    void relinkConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel);

    static ChannelMode getChannelMode(const ProxyInfo& proxy, const TunnelInfo& tunnel);

private:
    Connection* GetAvailConn();
    void ReturnConn(Connection* conn);
    void Replace(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel, bool identity);
    void Build(const ProxyInfo& proxy, const TunnelInfo& tunnel, bool use_ssl);

    std::list<Connection*> pool;
    uint64_t m_conn_id = 0;
    ustring m_client_name;
    ustring m_server_ip;
    ustring m_session;
    int m_server_port = 0;
    bool m_use_ssl = true;
    std::string m_ssl_fingerprint;
    bool m_freeze = false;
    unsigned m_size = 0;
    unsigned m_avail_conn = 0;
    pthread_cond_t cond;
    pthread_cond_t cond_all_conn_return;
    pthread_cond_t cond_leave_freeze;
    pthread_mutex_t mutex;
};

// The process-wide pool; null until "link_connection".
extern ConnectionPool* g_pool;

// Entry points for the control actions. Each fills reply["error"] on refusal and
// returns 0 or -1; they run on the one thread that serves control requests.
//
// Reads the request keys of "link_connection"/"reload_connection"; -1 when a
// required key is missing or a value is unusable.
int prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel);
// "link_connection": a pool of pool_size connections in g_pool ("worker_count" + 1).
int create_connections(const PObject& request, PObject& reply, unsigned pool_size);
// "reload_connection": replaces the connections of g_pool.
int reload_connection(const PObject& request, PObject& reply);
// "unlink"/"stop": deletes g_pool after every task has been stopped and joined.
void destroy_connections();
