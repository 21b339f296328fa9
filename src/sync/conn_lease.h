// ConnLease: a server connection borrowed from the pool for the length of a scope.
// It always goes back to the pool, whatever path the borrower takes out of the scope.
#pragma once

#include "wire/connection.h"
#include "wire/connection_pool.h"

// The pool the tasks borrow from; null before "link_connection". The one place where
// the tasks reach the process-wide pool.
ConnectionPool* TaskPool();

class ConnLease {
public:
    // Blocks until a connection is free (see ConnectionPool::pop). Without a pool the
    // lease holds nothing and get() is null.
    ConnLease();
    ~ConnLease();
    ConnLease(const ConnLease&) = delete;
    ConnLease& operator=(const ConnLease&) = delete;

    explicit operator bool() const { return conn != nullptr; }
    Connection* get() const { return conn; }
    ConnectionPool& pool() const { return *owner; }
    // After a broken exchange the stream position is unknown: close the channel and
    // forget the keep-alive, so the next borrower reconnects.
    void Fail();
    // After a reply: alive seconds from the reply; 0 closes the connection.
    void Update(unsigned alive);

private:
    ConnectionPool* owner = nullptr;
    Connection* conn = nullptr;
};
