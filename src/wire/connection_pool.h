// ConnectionPool: the fixed set of server connections that the tasks borrow for one
// exchange at a time. Alive connections are lent first; a reload freezes lending
// until every connection is back and has been replaced.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "foundation/mutex.h"
#include "foundation/ustring.h"
#include "wire/connection.h"

class PObject;

class ConnectionPool {
public:
    ConnectionPool(ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel, unsigned n);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Blocks while a reload runs, then until a connection is free. Never null. The
    // connection's channel polls abort_flag (the borrower's; null: nothing aborts) from
    // now on, connect and handshake included. Tasks borrow through ConnectionLease.
    Connection* pop(const std::atomic<int>* abort_flag = nullptr) EXCLUDES(mutex);
    // Gives a connection back and detaches the borrower's abort flag from it; null and
    // unknown pointers change nothing.
    void push(Connection* conn) EXCLUDES(mutex);

    bool isConnected() EXCLUDES(mutex);
    uint64_t getConnectionId() EXCLUDES(mutex);
    ustring getServerIp() EXCLUDES(mutex);
    int getServerPort() EXCLUDES(mutex);
    ustring getSession() EXCLUDES(mutex);
    ustring getClientName() EXCLUDES(mutex);
    bool useSSL() EXCLUDES(mutex);
    std::string getSSLFingerprint() EXCLUDES(mutex);
    unsigned size() EXCLUDES(mutex);
    unsigned available() EXCLUDES(mutex);
    // 0 while the server responds; otherwise the seconds since it last sent a byte (or,
    // when it never did, since the wait began). It stops responding once a connection
    // waits on it, with nothing moving, for longer than the keep-alive the server
    // announced (kDefaultAlive before any), and responds again when a byte arrives.
    unsigned NotRespondingSeconds() EXCLUDES(mutex);
    static constexpr unsigned kDefaultAlive = 30;

    // Waits until every connection is back, then replaces them all for the new
    // server address, SSL setting and transport. Identity (connection id, client
    // name, session) stays.
    void reloadConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel) EXCLUDES(mutex);
    // The same, but the identity is taken from info as well (a second link).
    void relinkConnection(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel) EXCLUDES(mutex);

    static ChannelMode getChannelMode(const ProxyInfo& proxy, const TunnelInfo& tunnel);

private:
    Connection* GetAvailConn() REQUIRES(mutex);
    void ReturnConn(Connection* conn) REQUIRES(mutex);
    void Replace(const ConnectionInfo& info, const ProxyInfo& proxy, const TunnelInfo& tunnel, bool identity)
        EXCLUDES(mutex);
    void Build(const ProxyInfo& proxy, const TunnelInfo& tunnel, bool use_ssl) REQUIRES(mutex);

    Mutex mutex;
    std::list<Connection*> pool GUARDED_BY(mutex);
    uint64_t m_conn_id GUARDED_BY(mutex) = 0;
    ustring m_client_name GUARDED_BY(mutex);
    ustring m_server_ip GUARDED_BY(mutex);
    ustring m_session GUARDED_BY(mutex);
    int m_server_port GUARDED_BY(mutex) = 0;
    bool m_use_ssl GUARDED_BY(mutex) = true;
    std::string m_ssl_fingerprint GUARDED_BY(mutex);
    bool m_freeze GUARDED_BY(mutex) = false;
    unsigned m_size GUARDED_BY(mutex) = 0;
    unsigned m_avail_conn GUARDED_BY(mutex) = 0;
    // Set when a stall was seen: the latest byte received then (or the stall's start).
    // Cleared once a later byte arrives; 0 while the server responds.
    int64_t m_silent_since_ms GUARDED_BY(mutex) = 0;
    CondVar cond;                  // a connection came back
    CondVar cond_all_conn_return;  // every connection is back
    CondVar cond_leave_freeze;     // the reload is over
};

// A connection borrowed for one task's exchanges: lent with the borrower's abort flag
// (so its pause or stop ends a connect, a handshake or a transfer on this connection,
// and no other borrower's does), and always given back when the lease ends.
class ConnectionLease {
public:
    // Blocks as ConnectionPool::pop does.
    ConnectionLease(ConnectionPool& pool, const std::atomic<int>* abort_flag)
        : pool(pool), conn(pool.pop(abort_flag)) {}
    ~ConnectionLease() { pool.push(conn); }

    Connection* get() const { return conn; }
    Connection* operator->() const { return conn; }
    Connection& operator*() const { return *conn; }

    ConnectionLease(const ConnectionLease&) = delete;
    ConnectionLease& operator=(const ConnectionLease&) = delete;

private:
    ConnectionPool& pool;
    Connection* const conn;
};

// Where the tasks find the pool: the tasks are given the slot when they are made (at
// "link"), the pool arrives later ("link_connection"). Set and cleared by the control
// thread only; cleared (and the pool deleted) only after every task is joined.
class PoolSlot {
public:
    ConnectionPool* get() const { return pool.load(); }
    void set(ConnectionPool* p) { pool.store(p); }
    ConnectionPool* operator->() const { return get(); }
    operator ConnectionPool*() const { return get(); }

private:
    std::atomic<ConnectionPool*> pool{nullptr};
};

// The process-wide pool; empty until "link_connection".
extern PoolSlot g_pool;
