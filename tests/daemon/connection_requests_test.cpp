#include "daemon/connection_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "wire/object.h"

namespace {

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
        EXPECT_FALSE(create_connections(r, reply, 4)) << missing;
        EXPECT_EQ(reply["error"].asString(), "Invalid parameters");
        EXPECT_EQ(g_pool, nullptr);
    }
    ConnectionInfo i;
    ProxyInfo p;
    TunnelInfo t;
    ASSERT_EQ(prepare_connection_info(LinkRequest(), i, p, t), LinkRequestResult::kOk);
    EXPECT_EQ(i.conn_id, 12u);
    EXPECT_EQ(i.server_port, 8443);
    EXPECT_FALSE(i.use_ssl);  // absent reads as false
    EXPECT_TRUE(i.ssl_fingerprint.empty());
    EXPECT_FALSE(p.use_proxy);
    EXPECT_FALSE(t.use_tunnel);
}

TEST_F(ConnectionControl, MembersOfAnotherKindAreRefused) {
    const std::vector<std::pair<const char*, PObject>> wrong = {
        {"connection_id", PObject("12")},
        {"server_ip", PObject(2130706433)},
        {"server_port", PObject("8443")},
        {"session", PObject()},
        {"use_ssl", PObject("no")},
        {"use_ssl", PObject(PObject::array_type{})},
        {"use_proxy", PObject("yes")},
        {"proxy_ip", PObject(7)},
        {"proxy_port", PObject("3128")},
        {"use_tunnel", PObject()},
        {"tunnel_ip", PObject(PObject::map_type{})},
        {"username", PObject(1)},
        {"connection_mode", PObject("2")},
    };
    for (const auto& [key, value] : wrong) {
        PObject r = LinkRequest();
        r[key] = value;
        PObject reply;
        EXPECT_FALSE(create_connections(r, reply, 4)) << key << " " << value.toString().c_str_utf8();
        EXPECT_EQ(reply["error"].asString(), "Invalid parameters");
        EXPECT_EQ(g_pool, nullptr);
    }
    // Nor does a reload change an existing pool with one.
    PObject reply;
    ASSERT_TRUE(create_connections(LinkRequest(), reply, 4));
    PObject r = LinkRequest();
    r["server_ip"] = 1;
    EXPECT_FALSE(reload_connection(r, reply));
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
    ASSERT_EQ(prepare_connection_info(r, i, p, t), LinkRequestResult::kOk);
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
        EXPECT_FALSE(create_connections(r, reply, 2)) << bad;
        EXPECT_EQ(g_pool, nullptr);
    }
}

TEST_F(ConnectionControl, LinkReloadRelink) {
    PObject reply;
    PObject reload = LinkRequest();
    EXPECT_FALSE(reload_connection(reload, reply));  // nothing linked yet
    EXPECT_TRUE(reply.hasMember("error"));

    reply.clear();
    ASSERT_TRUE(create_connections(LinkRequest(), reply, 4));
    EXPECT_FALSE(reply.hasMember("error"));
    ASSERT_NE(g_pool, nullptr);
    EXPECT_EQ(g_pool->size(), 4u);
    EXPECT_EQ(g_pool->getSession(), "tok");

    reload["server_ip"] = "127.0.0.9";
    reload["session"] = "ignored-on-reload";
    ConnectionPool* before = g_pool;
    ASSERT_TRUE(reload_connection(reload, reply));
    EXPECT_EQ(g_pool, before);
    EXPECT_EQ(g_pool->getServerIp(), "127.0.0.9");
    EXPECT_EQ(g_pool->getSession(), "tok");

    // A second link keeps the pool object (tasks may hold it) and takes the new identity.
    PObject relink = LinkRequest();
    relink["session"] = "new";
    relink["connection_id"] = (uint64_t)13;
    ASSERT_TRUE(create_connections(relink, reply, 4));
    EXPECT_EQ(g_pool, before);
    EXPECT_EQ(g_pool->getSession(), "new");
    EXPECT_EQ(g_pool->getConnectionId(), 13u);

    destroy_connections();
    EXPECT_EQ(g_pool, nullptr);
}

}  // namespace
