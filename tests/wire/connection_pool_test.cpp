#include "wire/connection_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <set>
#include <thread>

#include "wire/channel.h"
#include "wire/connection.h"
#include "wire/object.h"

namespace {

using namespace std::chrono_literals;

ConnectionInfo Info() {
    ConnectionInfo i;
    i.server_ip = "127.0.0.1";
    i.server_port = 5000;
    i.session = "sess";
    i.conn_id = 77;
    i.computer_name = "desk";
    i.use_ssl = false;
    return i;
}

std::unique_ptr<ConnectionPool> MakePool(unsigned n) {
    ConnectionInfo i = Info();
    ProxyInfo p;
    TunnelInfo t;
    return std::make_unique<ConnectionPool>(i, p, t, n);
}

void MarkAlive(Connection* c) {
    c->alive_value = 30;
    c->last_access = (uint32_t)time(nullptr);
    c->SetConnectionState(Connection::CONNECTED);
}

TEST(ConnectionChannelMode, ProxyAndTunnelCombinations) {
    ProxyInfo p;
    TunnelInfo t;
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_NORMAL);
    p.use_proxy = true;  // no address: the proxy does not count
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_NORMAL);
    p.proxy_ip = "10.0.0.1";
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_PROXY);
    t.use_tunnel = true;
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_PROXY_TUNNEL);
    p.proxy_ip.clear();
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_TUNNEL);
    p.use_proxy = false;
    p.proxy_ip = "10.0.0.1";
    EXPECT_EQ(ConnectionPool::getChannelMode(p, t), CHANNEL_TUNNEL);
}

TEST(ConnectionChannelMode, UnavailableModesStillGiveAPlainChannel) {
    ProxyInfo p;
    p.use_proxy = true;
    p.proxy_ip = "10.0.0.1";
    TunnelInfo t;
    ConnectionInfo i = Info();
    ConnectionPool pool(i, p, t, 2);
    Connection* c = pool.pop();
    ASSERT_NE(c->GetChannel(), nullptr);
    EXPECT_TRUE(c->GetChannel()->IsClosed());
    pool.push(c);
}

TEST(ConnectionState, UpdateAndDrop) {
    Connection c(CHANNEL_NORMAL, ProxyInfo(), TunnelInfo(), true);
    EXPECT_EQ(c.GetConnectionState(), Connection::DISCONNECTED);
    EXPECT_FALSE(c.IsAlive());
    c.Update(30);
    EXPECT_TRUE(c.IsConnected());
    EXPECT_EQ(c.alive_value, 30u);
    EXPECT_NEAR((double)c.last_access, (double)time(nullptr), 2.0);
    EXPECT_TRUE(c.IsAlive());
    c.last_access -= 31;
    EXPECT_FALSE(c.IsAlive());
    c.last_access += 21;  // ten seconds ago
    EXPECT_TRUE(c.IsAlive());
    c.last_access = (uint32_t)time(nullptr) + 3600;  // the clock went back: reconnect
    EXPECT_FALSE(c.IsAlive());
    c.Update(0);
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(c.last_access, 0u);
    c.Update(10);
    c.Drop();
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(c.alive_value, 0u);
    EXPECT_EQ(c.last_access, 0u);
}

TEST(ConnectionPoolLending, AliveFirstExpiredLast) {
    auto pool = MakePool(4);
    EXPECT_EQ(pool->size(), 4u);
    Connection* c[4];
    for (auto& x : c) x = pool->pop();
    EXPECT_EQ(pool->available(), 0u);
    std::set<Connection*> distinct(c, c + 4);
    EXPECT_EQ(distinct.size(), 4u);
    EXPECT_TRUE(c[0]->IsUsed());

    MarkAlive(c[2]);
    c[3]->alive_value = 30;
    c[3]->last_access = (uint32_t)time(nullptr) - 31;  // expired
    pool->push(c[0]);
    pool->push(c[3]);
    pool->push(c[2]);
    pool->push(c[1]);
    EXPECT_EQ(pool->available(), 4u);
    // Alive ones are at the front; the rest keep their return order at the back.
    EXPECT_EQ(pool->pop(), c[2]);
    EXPECT_EQ(pool->pop(), c[0]);
    EXPECT_EQ(pool->pop(), c[3]);
    EXPECT_EQ(pool->pop(), c[1]);
    for (auto& x : c) pool->push(x);
}

TEST(ConnectionPoolLending, StrayPushesChangeNothing) {
    auto pool = MakePool(2);
    Connection* a = pool->pop();
    pool->push(nullptr);
    Connection stranger(CHANNEL_NORMAL, ProxyInfo(), TunnelInfo(), false);
    stranger.SetUsed(true);
    pool->push(&stranger);
    EXPECT_EQ(pool->available(), 1u);
    pool->push(a);
    pool->push(a);  // twice
    EXPECT_EQ(pool->available(), 2u);
    Connection* x = pool->pop();
    Connection* y = pool->pop();
    EXPECT_NE(x, y);
    EXPECT_EQ(pool->available(), 0u);
    pool->push(x);
    pool->push(y);
}

TEST(ConnectionPoolLending, PopWaitsForAReturn) {
    auto pool = MakePool(1);
    Connection* a = pool->pop();
    std::atomic<Connection*> got{nullptr};
    std::thread t([&] { got = pool->pop(); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(got.load(), nullptr);
    pool->push(a);
    t.join();
    EXPECT_EQ(got.load(), a);
    pool->push(a);
}

TEST(ConnectionPoolLending, ConnectedWhileAnyConnectionIs) {
    auto pool = MakePool(3);
    EXPECT_FALSE(pool->isConnected());
    Connection* a = pool->pop();
    a->Update(30);
    EXPECT_TRUE(pool->isConnected());  // also while it is lent
    pool->push(a);
    EXPECT_TRUE(pool->isConnected());
    a = pool->pop();
    a->Drop();
    pool->push(a);
    EXPECT_FALSE(pool->isConnected());
}

TEST(ConnectionPoolReload, WaitsForBorrowersAndReplacesConnections) {
    auto pool = MakePool(2);
    Connection* held = pool->pop();
    held->Update(30);
    std::atomic<bool> reloaded{false};
    ConnectionInfo next = Info();
    next.server_ip = "127.0.0.2";
    next.server_port = 6000;
    next.use_ssl = true;
    next.session = "other";
    next.conn_id = 99;
    std::thread reloader([&] {
        pool->reloadConnection(next, ProxyInfo(), TunnelInfo());
        reloaded = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(reloaded.load());
    // A borrower arriving during the freeze gets one of the new connections.
    std::atomic<Connection*> late{nullptr};
    std::thread borrower([&] { late = pool->pop(); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(late.load(), nullptr);
    pool->push(held);
    reloader.join();
    borrower.join();
    EXPECT_TRUE(reloaded.load());
    ASSERT_NE(late.load(), nullptr);
    EXPECT_FALSE(late.load()->IsConnected());  // fresh, not the confirmed old one
    EXPECT_EQ(pool->getServerIp(), "127.0.0.2");
    EXPECT_EQ(pool->getServerPort(), 6000);
    EXPECT_TRUE(pool->useSSL());
    // Identity stays over a reload.
    EXPECT_EQ(pool->getSession(), "sess");
    EXPECT_EQ(pool->getConnectionId(), 77u);
    EXPECT_EQ(pool->getClientName(), "desk");
    EXPECT_EQ(pool->size(), 2u);
    EXPECT_EQ(pool->available(), 1u);
    pool->push(late.load());
    EXPECT_FALSE(pool->isConnected());
}

TEST(ConnectionPoolReload, WaiterForAFreeConnectionSurvivesAReload) {
    auto pool = MakePool(1);
    Connection* held = pool->pop();
    std::atomic<Connection*> waiter{nullptr};
    std::thread t([&] { waiter = pool->pop(); });
    std::this_thread::sleep_for(200ms);
    std::thread reloader([&] { pool->reloadConnection(Info(), ProxyInfo(), TunnelInfo()); });
    std::this_thread::sleep_for(200ms);
    pool->push(held);
    reloader.join();
    t.join();
    ASSERT_NE(waiter.load(), nullptr);
    EXPECT_EQ(pool->available(), 0u);
    pool->push(waiter.load());
    EXPECT_EQ(pool->available(), 1u);
}

}  // namespace
