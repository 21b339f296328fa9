// A client against the real reference server over loopback: the connect handshake in
// plain and over SSL (both ways of asking for it), keep-alives before a reply, error
// replies through both mapping tables, keep-alive reuse, a stalled SSL handshake and
// a pinned certificate.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

#include "../../tools/refserver/storage.h"
#include "foundation/error_codes.h"
#include "refserver_harness.h"
#include "sync/proto_sites.h"
#include "wire/channel.h"
#include "wire/connection.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/protocol.h"
#include "wire/ssl_channel.h"

namespace {

struct IgnoreSigpipe {
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe;

class RefServerHandshake : public ::testing::Test {
protected:
    void StartServer(std::vector<std::string> opts) {
        opts.insert(opts.begin(), {"--port", "0"});
        ASSERT_TRUE(server.Start(opts)) << "refserver did not start from " << RefServer::BinDir();
    }
    // A pool of one connection to the server.
    void MakePool(bool ssl, const std::string& fingerprint = "", const std::string& session = "s3cret") {
        ConnectionInfo info;
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
        info.session = session.c_str();
        info.use_ssl = ssl;
        info.conn_id = 5;
        info.ssl_fingerprint = fingerprint;
        ProxyInfo proxy;
        TunnelInfo tunnel;
        pool = std::make_unique<ConnectionPool>(info, proxy, tunnel, 1);
    }
    // One exchange of an arbitrary request on a connected connection.
    int Exchange(Connection* c, const char* action, uint8_t command, PObject& reply) {
        PObject req;
        req["_action"] = action;
        AppendAgent(req);
        return RunProtocol(SyncerSite(), *c->GetChannel(), command, req, reply);
    }

    RefServer server;
    std::unique_ptr<ConnectionPool> pool;
};

TEST_F(RefServerHandshake, PlainConnectRecordsBuildAndKeepAlive) {
    StartServer({"--build", "3012", "--alive", "45"});
    MakePool(false);
    SetServerBuild(0);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 7), 0);
    EXPECT_EQ(GetServerBuild(), 3012u);
    EXPECT_EQ(c->alive_value, 45u);
    EXPECT_TRUE(c->IsConnected());
    EXPECT_FALSE(SSLChannelIsEncrypted(*c->GetChannel()));
    EXPECT_TRUE(pool->isConnected());
    // The view exists on the server from its first connect on.
    EXPECT_TRUE(std::filesystem::exists(server.data_root() / "index.sqlite"));
    EXPECT_EQ(server.CountLog("connect: view 7 ok"), 1);
    pool->push(c);
}

TEST_F(RefServerHandshake, SslRequestedBeforeConnect) {
    StartServer({});
    MakePool(true);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 3), 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*c->GetChannel()));
    ASSERT_TRUE(server.WaitLog("channel is now encrypted", 1));
    EXPECT_EQ(server.CountLog("encrypt_channel: ok"), 1);
    // The connect itself and later requests travel encrypted.
    PObject reply;
    ASSERT_EQ(Exchange(c, "no_such_action", SCMD_REQUEST, reply), 0);
    EXPECT_EQ(reply["error"]["code"].asUInt32(), 0x7000u);
    EXPECT_EQ(reply["alive"].asUInt32(), 30u);
    pool->push(c);
}

// Workers too: the token goes out only after the handshake.
TEST_F(RefServerHandshake, SslRequestedBeforeTheWorkersConnect) {
    StartServer({"--build", "2999"});
    MakePool(true);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(WorkerSite(1), c, *pool, 9), 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*c->GetChannel()));
    EXPECT_EQ(GetServerBuild(), 2999u);
    EXPECT_EQ(server.CountLog("encrypt_channel"), 1);
    EXPECT_EQ(server.CountLog("connect: view 9 ok"), 1);
    EXPECT_EQ(server.CountLog("do_ssl"), 0);
    PObject reply;
    ASSERT_EQ(Exchange(c, "no_such_action", SCMD_REQUEST, reply), 0);
    EXPECT_EQ(reply["error"]["code"].asUInt32(), 0x7000u);
    pool->push(c);
}

TEST_F(RefServerHandshake, ReplyAfterThreeKeepAlives) {
    StartServer({"--keepalive", "3", "--build", "3100"});
    MakePool(true);
    Connection* c = pool->pop();
    // Both the SSL request and the connect reply come after three keep-alives.
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    EXPECT_EQ(GetServerBuild(), 3100u);
    PObject reply;
    ASSERT_EQ(Exchange(c, "no_such_action", SCMD_REQUEST, reply), 0);
    EXPECT_FALSE(reply.hasMember("type"));
    EXPECT_EQ(reply["error"]["code"].asUInt32(), 0x7000u);
    pool->push(c);
}

// A pull with "wait" that finds nothing new holds its reply until the view changes
// (here from another process, as test helpers write) or the wait ends.
TEST_F(RefServerHandshake, PullWaitEndsWithAChangeOrItsTime) {
    StartServer({});
    MakePool(false);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    auto pull = [&](uint64_t wait, PObject& reply) {
        PObject req;
        req["_action"] = "pull_event";
        req["view_id"] = (uint64_t)1;
        req["sync_id"] = (uint64_t)0;
        req["path"] = "/";
        req["recursive"] = (uint64_t)1;
        req["wait"] = wait;
        AppendAgent(req);
        return RunProtocol(SyncerSite(), *c->GetChannel(), SCMD_EVT_PULL, req, reply);
    };
    PObject reply;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(pull(1, reply), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    EXPECT_EQ(reply["next_sync_id"].asUInt64(), 0u);
    EXPECT_TRUE(reply["event_list"].asArray().empty());

    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Storage other;
        ASSERT_EQ(other.Open(server.data_root().string()), 0) << other.error();
        ChangeRow row;
        row.view_id = 1;
        row.path = "/new.txt";
        row.hash = std::string(32, 'a');
        uint64_t id = 0;
        EXPECT_EQ(other.AddChange(row, &id), 0);
    });
    t0 = std::chrono::steady_clock::now();
    PObject changed;
    ASSERT_EQ(pull(120, changed), 0);
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
    ASSERT_EQ(changed["event_list"].asArray().size(), 1u);
    EXPECT_EQ(changed["event_list"][0]["path"].asString().str(), "/new.txt");
    EXPECT_EQ(changed["next_sync_id"].asUInt64(), changed["event_list"][0]["sync_id"].asUInt64());
    pool->push(c);
}

TEST_F(RefServerHandshake, ErrorRepliesMapThroughBothTables) {
    StartServer({"--fault", "connect=0x8003"});
    MakePool(false);
    Connection* c = pool->pop();
    // The pullers have no meaning for class 0x8000; a refused connect is still a failure.
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), ERR_IO);
    EXPECT_FALSE(c->IsConnected());
    EXPECT_EQ(c->alive_value, 0u);
    // The workers' table maps it to an interruption.
    EXPECT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), ERR_INT);
    EXPECT_FALSE(c->IsConnected());
    pool->push(c);
}

TEST_F(RefServerHandshake, WrongSessionIsAnAuthenticationError) {
    StartServer({"--token", "right"});
    MakePool(false, "", "wrong");
    Connection* c = pool->pop();
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), ERR_AUTH);
    EXPECT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), ERR_AUTH);
    pool->push(c);
    MakePool(false, "", "right");
    c = pool->pop();
    EXPECT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), 0);
    pool->push(c);
}

TEST_F(RefServerHandshake, ZeroAliveIsARefusedConnection) {
    StartServer({"--alive", "0"});
    MakePool(false);
    Connection* c = pool->pop();
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), ERR_IO);
    EXPECT_FALSE(c->IsConnected());
    pool->push(c);
}

TEST_F(RefServerHandshake, ReusedWithinKeepAliveReopenedAfter) {
    StartServer({"--alive", "30"});
    MakePool(false);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    SOCKET first = c->GetChannel()->GetFd();
    // Used ten seconds ago with a keep-alive of 30: reused without any traffic.
    c->last_access = (uint32_t)time(nullptr) - 10;
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    EXPECT_EQ(c->GetChannel()->GetFd(), first);
    EXPECT_EQ(server.CountLog("connect: view 1 ok"), 1);
    pool->push(c);
    // 31 seconds ago: the next borrower reconnects from scratch.
    c->last_access = (uint32_t)time(nullptr) - 31;
    c = pool->pop();
    ASSERT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), 0);
    EXPECT_TRUE(server.WaitLog("connect: view 1 ok", 2));
    EXPECT_EQ(server.CountLog("conn 2: connect"), 1);
    EXPECT_TRUE(c->IsAlive());
    pool->push(c);
}

TEST_F(RefServerHandshake, StalledSslHandshakeFailsWithinChannelTimeout) {
    StartServer({"--fault", "ssl-stall"});
    MakePool(true);
    Connection* c = pool->pop();
    ASSERT_EQ(EstablishConnection(SyncerSite(), c, *pool), 0);
    PObject reply;
    ASSERT_EQ(Exchange(c, "encrypt_channel", SCMD_REQUEST_SSL_2, reply), 0);
    ASSERT_FALSE(reply.hasMember("error"));
    Channel* ch = c->GetChannel();
    ch->SetTimeout(3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ch->ConvertToSSLChannel(false), ERR_IO);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(secs, 2.0);
    EXPECT_LT(secs, 30.0);
    // The socket stays open and plain; the caller closes it.
    EXPECT_FALSE(ch->IsClosed());
    EXPECT_FALSE(SSLChannelIsEncrypted(*ch));
    c->Drop();
    EXPECT_TRUE(ch->IsClosed());
    pool->push(c);
}

TEST_F(RefServerHandshake, PinnedCertificate) {
    StartServer({});
    ASSERT_EQ(server.fingerprint().size(), 64u);
    MakePool(true, std::string(64, '0'));
    Connection* c = pool->pop();
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), ERR_AUTH);
    EXPECT_FALSE(c->IsConnected());
    EXPECT_TRUE(c->GetChannel()->IsClosed());
    EXPECT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), ERR_AUTH);
    EXPECT_TRUE(c->GetChannel()->IsClosed());
    pool->push(c);

    MakePool(true, server.fingerprint());
    c = pool->pop();
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    c->Drop();
    EXPECT_EQ(RequestChannel(WorkerSite(1), c, *pool, 1), 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*c->GetChannel()));
    pool->push(c);
}

TEST_F(RefServerHandshake, KilledServerComesBackOnItsPortWithItsCertificate) {
    StartServer({});
    MakePool(true, server.fingerprint());
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    const int port = server.port();
    // Killed with the connection open: its socket still holds the port.
    server.Kill();
    ASSERT_TRUE(server.StartAgain()) << server.Log();
    EXPECT_EQ(server.port(), port);
    c->Drop();
    EXPECT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    EXPECT_TRUE(SSLChannelIsEncrypted(*c->GetChannel()));
    pool->push(c);
}

TEST_F(RefServerHandshake, UnknownActionAndWrongCommand) {
    StartServer({});
    MakePool(false);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(SyncerSite(), c, *pool, 1), 0);
    PObject reply;
    ASSERT_EQ(Exchange(c, "frobnicate", SCMD_REQUEST, reply), 0);
    EXPECT_EQ(reply["error"]["code"].asUInt32(), 0x7000u);
    EXPECT_EQ(ProtoResp2ErrorCode(reply["error"]["code"].asUInt32()), 0);
    PObject r2;
    ASSERT_EQ(Exchange(c, "connect", SCMD_EVT_PULL, r2), 0);
    EXPECT_EQ(r2["error"]["code"].asUInt32(), 0x7000u);
    pool->push(c);
}

TEST_F(RefServerHandshake, BadCommandLineIsRefused) {
    for (const char* args : {"--fault bogus /tmp/x", "--port", "--fault cut-after=random:0-5 /tmp/x",
                             "--fault cut-after=random:9-5 /tmp/x", "--fault cut-after=random:5 /tmp/x",
                             "--fault cut-after=random:5- /tmp/x", "--fault-seed x /tmp/x"}) {
        const std::string cmd = RefServer::BinDir() + "/nimbrel-refserver " + args + " 2>/dev/null";
        const int st = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(st)) << args;
        EXPECT_EQ(WEXITSTATUS(st), 2) << args;
    }
}

}  // namespace
