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

class ConnectionControl : public ::testing::Test {
protected:
    void TearDown() override { destroy_connections(); }
    static PObject LinkRequest() {
        PObject r;
        r["action"] = "link_connection";
        r["connection_id"] = (uint64_t)12;
        r["server_ip"] = "127.0.0.1";
        r["server_port"] = 8443;
        r["session"] = "tok";
        return r;
    }
};

TEST_F(ConnectionControl, RequiredKeysAndDefaults) {
    for (const char* missing : {"connection_id", "server_ip", "server_port", "session"}) {
        PObject r = LinkRequest();
        r.asMap().erase(missing);
        PObject reply;
        EXPECT_EQ(create_connections(r, reply, 4), -1) << missing;
        EXPECT_EQ(reply["error"].asString(), "Invalid parameters");
        EXPECT_EQ(g_pool, nullptr);
    }
    ConnectionInfo i;
    ProxyInfo p;
    TunnelInfo t;
    ASSERT_EQ(prepare_connection_info(LinkRequest(), i, p, t), 0);
    EXPECT_EQ(i.conn_id, 12u);
    EXPECT_EQ(i.server_port, 8443);
    EXPECT_FALSE(i.use_ssl);  // absent reads as false
    EXPECT_TRUE(i.ssl_fingerprint.empty());
    EXPECT_FALSE(p.use_proxy);
    EXPECT_FALSE(t.use_tunnel);
}

TEST_F(ConnectionControl, MembersOfAnotherKindAreRefused) {
    const std::vector<std::pair<const char*, PObject>> wrong = {
        {"connection_id", PObject("12")}, {"server_ip", PObject(2130706433)},
        {"server_port", PObject("8443")}, {"session", PObject()},
        {"use_ssl", PObject("no")},       {"use_ssl", PObject(PObject::array_type{})},
        {"use_proxy", PObject("yes")},    {"proxy_ip", PObject(7)},
        {"proxy_port", PObject("3128")},  {"use_tunnel", PObject()},
        {"tunnel_ip", PObject(PObject::map_type{})}, {"username", PObject(1)},
        {"connection_mode", PObject("2")},
    };
    for (const auto& [key, value] : wrong) {
        PObject r = LinkRequest();
        r[key] = value;
        PObject reply;
        EXPECT_EQ(create_connections(r, reply, 4), -1) << key << " " << value.toString().c_str_utf8();
        EXPECT_EQ(reply["error"].asString(), "Invalid parameters");
        EXPECT_EQ(g_pool, nullptr);
    }
    // Nor does a reload change an existing pool with one.
    PObject reply;
    ASSERT_EQ(create_connections(LinkRequest(), reply, 4), 0);
    PObject r = LinkRequest();
    r["server_ip"] = 1;
    EXPECT_EQ(reload_connection(r, reply), -1);
    EXPECT_EQ(reply["error"].asString(), "Invalid parameters");
}

TEST_F(ConnectionControl, AllKeysAreRead) {
    PObject r = LinkRequest();
    r["connection_mode"] = 2;
    r["username"] = "ann";
    r["computer_name"] = "laptop";
    r["use_ssl"] = true;
    r["use_proxy"] = true;
    r["use_sys_proxy"] = true;
    r["proxy_ip"] = "10.1.1.1";
    r["proxy_port"] = 3128;
    r["proxy_username"] = "pu";
    r["proxy_password"] = "pp";
    r["proxy_domain"] = "pd";
    r["proxy_host"] = "ph";
    r["use_tunnel"] = true;
    r["tunnel_ip"] = "10.2.2.2";
    r["tunnel_port"] = 443;
    r["ssl_fingerprint"] = "AB:cd" + std::string(60, 'e');
    ConnectionInfo i;
    ProxyInfo p;
    TunnelInfo t;
    ASSERT_EQ(prepare_connection_info(r, i, p, t), 0);
    EXPECT_EQ(i.c_mode, CM_DDNS);
    EXPECT_EQ(i.username, "ann");
    EXPECT_EQ(i.computer_name, "laptop");
    EXPECT_TRUE(i.use_ssl);
    EXPECT_EQ(i.ssl_fingerprint, "abcd" + std::string(60, 'e'));
    EXPECT_TRUE(p.use_proxy);
    EXPECT_TRUE(p.use_sys_proxy);
    EXPECT_EQ(p.proxy_ip, "10.1.1.1");
    EXPECT_EQ(p.proxy_port, 3128);
    EXPECT_EQ(p.user_name, "pu");
    EXPECT_EQ(p.password, "pp");
    EXPECT_EQ(p.domain, "pd");
    EXPECT_EQ(p.host, "ph");
    EXPECT_TRUE(t.use_tunnel);
    EXPECT_EQ(t.tunnel_ip, "10.2.2.2");
    EXPECT_EQ(t.tunnel_port, 443);
}

TEST_F(ConnectionControl, UnusableFingerprintIsRefused) {
    for (const char* bad : {"abc", "zz", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg"}) {
        PObject r = LinkRequest();
        r["ssl_fingerprint"] = bad;
        PObject reply;
        EXPECT_EQ(create_connections(r, reply, 2), -1) << bad;
        EXPECT_EQ(g_pool, nullptr);
    }
}

TEST_F(ConnectionControl, LinkReloadRelink) {
    PObject reply;
    PObject reload = LinkRequest();
    EXPECT_EQ(reload_connection(reload, reply), -1);  // nothing linked yet
    EXPECT_TRUE(reply.hasMember("error"));

    reply.clear();
    ASSERT_EQ(create_connections(LinkRequest(), reply, 4), 0);
    EXPECT_FALSE(reply.hasMember("error"));
    ASSERT_NE(g_pool, nullptr);
    EXPECT_EQ(g_pool->size(), 4u);
    EXPECT_EQ(g_pool->getSession(), "tok");

    reload["server_ip"] = "127.0.0.9";
    reload["session"] = "ignored-on-reload";
    ConnectionPool* before = g_pool;
    ASSERT_EQ(reload_connection(reload, reply), 0);
    EXPECT_EQ(g_pool, before);
    EXPECT_EQ(g_pool->getServerIp(), "127.0.0.9");
    EXPECT_EQ(g_pool->getSession(), "tok");

    // A second link keeps the pool object (tasks may hold it) and takes the new identity.
    PObject relink = LinkRequest();
    relink["session"] = "new";
    relink["connection_id"] = (uint64_t)13;
    ASSERT_EQ(create_connections(relink, reply, 4), 0);
    EXPECT_EQ(g_pool, before);
    EXPECT_EQ(g_pool->getSession(), "new");
    EXPECT_EQ(g_pool->getConnectionId(), 13u);

    destroy_connections();
    EXPECT_EQ(g_pool, nullptr);
}

}  // namespace
