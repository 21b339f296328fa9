// Server connections through a real tinyproxy (with and without Basic authentication),
// through the reference server's relay, and through both: the connect handshake and
// the SSL upgrade run unchanged on top; refusals by the proxy or the relay fail with
// clear errors and reach nothing; tunnels open and close without leaking descriptors.
#include <dirent.h>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "e2e/e2e_support.h"
#include "e2e/refserver_harness.h"
#include "e2e/tinyproxy_harness.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/proxy_channel.h"
#include "wire/proxy_tunnel_channel.h"
#include "wire/ssl_channel.h"
#include "wire/tunnel_channel.h"

namespace {

struct IgnoreSigpipe {
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe;

const char* kMult = "0x41C64E6D";
const char* kInc = "12345";
const char* kIV = "0123456789abcdef";

int OpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

RelaySettings Relay() {
    RelaySettings r;
    r.key_multiplier = kMult;
    r.key_increment = kInc;
    r.iv = kIV;
    return r;
}

class ProxyTunnel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start({"--port", "0"})) << "refserver did not start from " << RefServer::BinDir();
        // The pool's channels read the relay key from the settings.
        e2e::WriteFile(conf.file("nimbreld.conf"), std::string("relay_key_multiplier = ") + kMult +
                                                       "\nrelay_key_increment = " + kInc + "\nrelay_iv = " + kIV +
                                                       "\n");
        ASSERT_TRUE(Settings::getInstance().loadConfigSettings(conf.file("nimbreld.conf").c_str()));
    }
    void TearDown() override { Settings::getInstance().reset(); }

    bool NeedProxy(const std::string& user = "", const std::string& password = "") {
        if (TinyProxy::Binary().empty()) return false;
        proxy = std::make_unique<TinyProxy>();
        return proxy->Start(user, password);
    }
    void StartRelay(std::vector<std::string> faults = {}) {
        std::vector<std::string> opts{"--port",     "0", "--relay", "--relay-key", std::string(kMult) + ":" + kInc,
                                      "--relay-iv", kIV};
        for (auto& f : faults) {
            opts.push_back("--fault");
            opts.push_back(f);
        }
        ASSERT_TRUE(relay.Start(opts)) << "relay did not start";
    }
    ProxyInfo Proxy(const std::string& user = "", const std::string& password = "") {
        ProxyInfo p;
        p.use_proxy = true;
        p.proxy_ip = "127.0.0.1";
        p.proxy_port = static_cast<uint16_t>(proxy->port());
        p.user_name = user;
        p.password = password;
        return p;
    }
    TunnelInfo Tunnel() {
        TunnelInfo t;
        t.use_tunnel = true;
        t.tunnel_ip = "127.0.0.1";
        t.tunnel_port = static_cast<uint16_t>(relay.port());
        return t;
    }
    // A pool of one connection to `port` over the given transport; RequestChannel's result.
    int Connect(ProxyInfo p, TunnelInfo t, bool ssl, int port) {
        ConnectionInfo info;
        info.server_ip = "127.0.0.1";
        info.server_port = port;
        info.session = "s3cret";
        info.use_ssl = ssl;
        info.conn_id = 5;
        pool = std::make_unique<ConnectionPool>(info, p, t, 1);
        ProtoSite site;
        Connection* c = pool->pop(&abort_flag);
        int rc = RequestChannel(site, c, *pool, 7);
        if (rc == 0) {
            // A second exchange on the same tunnel.
            PObject req, reply;
            req["_action"] = "no_such_action";
            AppendAgent(req);
            EXPECT_EQ(RunProtocol(site, *c->GetChannel(), SCMD_REQUEST, req, reply), 0);
            EXPECT_TRUE(reply.hasMember("error"));
            EXPECT_EQ(SSLChannelIsEncrypted(*c->GetChannel()), ssl);
        }
        pool->push(c);
        return rc;
    }

    RefServer server, relay;
    std::unique_ptr<TinyProxy> proxy;
    std::unique_ptr<ConnectionPool> pool;
    e2e::TempDir conf;
    std::atomic<int> abort_flag{0};
};

#define SKIP_WITHOUT_TINYPROXY(...) \
    if (!NeedProxy(__VA_ARGS__))    \
    GTEST_SKIP() << "tinyproxy is not installed or did not start (scripts/setup installs it)"

TEST_F(ProxyTunnel, RequestsThroughEachTransport) {
    SKIP_WITHOUT_TINYPROXY("alice", "s3cret.pw");
    TinyProxy open_proxy;
    ASSERT_TRUE(open_proxy.Start());
    StartRelay();
    ProxyInfo plain = Proxy();
    plain.proxy_port = static_cast<uint16_t>(open_proxy.port());
    struct Case {
        const char* name;
        ProxyInfo proxy;
        TunnelInfo tunnel;
    } cases[] = {
        {"proxy", plain, TunnelInfo()},
        {"proxy with Basic authentication", Proxy("alice", "s3cret.pw"), TunnelInfo()},
        {"relay", ProxyInfo(), Tunnel()},
        {"proxy and relay", Proxy("alice", "s3cret.pw"), Tunnel()},
    };
    int expected = 0;
    for (const Case& c : cases) {
        for (bool ssl : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (ssl ? ", SSL" : ", plain"));
            EXPECT_EQ(Connect(c.proxy, c.tunnel, ssl, server.port()), 0);
            ++expected;
            EXPECT_TRUE(server.WaitLog("connect: view 7 ok", expected));
        }
    }
    EXPECT_EQ(relay.CountLog("tunnel to 127.0.0.1:" + std::to_string(server.port()) + " open"), 4);
}

TEST_F(ProxyTunnel, RefusalsFailClearlyAndReachNothing) {
    SKIP_WITHOUT_TINYPROXY("alice", "secret");
    e2e::Listener target;  // stands for the server: nothing may connect to it
    struct Case {
        const char* name;
        std::vector<std::string> relay_faults;  // empty: no relay
        ProxyInfo proxy;
        const char* log;
        int port = 0;  // the target when not the listener
    } cases[] = {
        {"407 without credentials", {}, Proxy(), "requires authentication (407) and no proxy user name is configured"},
        {"407 with wrong credentials", {}, Proxy("alice", "Wr0ngPw"), "refused the credentials of user alice"},
        {"relay x-target-status: 401",
         {"relay-status=401"},
         ProxyInfo(),
         "VARNELTunnelClientHandshake: failed, code: 401"},
        {"relay 502 without header",
         {"relay-no-header=502"},
         ProxyInfo(),
         "VARNELTunnelClientHandshake: failed, code: 502"},
        {"proxy cannot reach the target",
         {},
         Proxy("alice", "secret"),
         "refused the tunnel to 127.0.0.1:",
         e2e::UnusedPort()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TunnelInfo tunnel;
        if (!c.relay_faults.empty()) {
            relay.Stop();
            StartRelay(c.relay_faults);
            tunnel = Tunnel();
        }
        // Everything the channels log, so that a logged password would show.
        Logger::SetLevel("channel_debug", Logger::L_DEBUG);
        testing::internal::CaptureStderr();
        int rc = Connect(c.proxy, tunnel, false, c.port ? c.port : target.port());
        std::string log = testing::internal::GetCapturedStderr();
        Logger::SetLevel("channel_debug", Logger::L_WARNING);
        EXPECT_NE(rc, 0);
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        EXPECT_EQ(log.find("Wr0ngPw"), std::string::npos) << "a password was logged";
        EXPECT_EQ(target.Accept(0.3), -1) << "the refused tunnel reached the server";
    }
}

TEST_F(ProxyTunnel, StalledRelayHandshakeTimesOut) {
    StartRelay({"relay-stall"});
    e2e::Listener target;
    TunnelChannel ch(Tunnel(), Relay());
    ch.SetTimeout(2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ch.Open("127.0.0.1", target.port()), -2);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("code: -403"), std::string::npos) << log;
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_EQ(target.Accept(0.1), -1);
}

TEST_F(ProxyTunnel, OpenCloseCyclesKeepDescriptorsFlat) {
    bool with_proxy = NeedProxy();
    StartRelay();
    ProxyInfo p = with_proxy ? Proxy() : ProxyInfo();
    auto cycle = [&](int i) {
        std::unique_ptr<Channel> ch;
        // One in five goes through tinyproxy as well (slower: it forwards with Nagle).
        if (with_proxy && i % 5 == 0)
            ch = std::make_unique<ProxyTunnelChannel>(p, Tunnel(), Relay());
        else
            ch = std::make_unique<TunnelChannel>(Tunnel(), Relay());
        if (ch->Open("127.0.0.1", server.port()) != 0) return false;
        // Closed explicitly and then destroyed: the descriptor must go exactly once.
        ch->Close();
        return ch->IsClosed();
    };
    ASSERT_TRUE(cycle(0));
    ASSERT_TRUE(cycle(1));  // warmed up: the logger's and the SSL library's own descriptors
    int before = OpenDescriptors();
    int failures = 0;
    for (int i = 0; i < 500; ++i)
        if (!cycle(i)) ++failures;
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(OpenDescriptors(), before);
    if (!with_proxy) GTEST_SKIP() << "tinyproxy is missing: only the relay channel was cycled";
}

}  // namespace
