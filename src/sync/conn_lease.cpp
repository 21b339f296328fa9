#include "sync/conn_lease.h"

ConnectionPool* TaskPool() { return g_pool; }

ConnLease::ConnLease() : owner(TaskPool()) {
    if (owner) conn = owner->pop();
}

ConnLease::~ConnLease() {
    if (owner && conn) owner->push(conn);
}

void ConnLease::Fail() {
    if (conn) conn->Drop();
}

void ConnLease::Update(unsigned alive) {
    if (conn) conn->Update(alive);
}
