#include "wire/protocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "foundation/error_codes.h"
#include "protocol_loopback.h"
#include "wire/abort_later.h"
#include "wire/connection.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/stream.h"

namespace {

// Reads what the peer sent until it closes.
std::vector<uint8_t> Drain(Channel& ch) {
    std::vector<uint8_t> out;
    ch.SetTimeout(30);
    uint8_t b;
    while (ch.ReadByte(&b) == 0) out.push_back(b);
    return out;
}

TEST(ProtoHeader, CommandFourteenOnTheWire) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    ASSERT_EQ(ProtoWriteHeader(*p.client, 0, SCMD_REQUEST_CONNECT), 0);
    ASSERT_EQ(p.client->FlushWrite(0), 0);
    p.client->Close();
    std::vector<uint8_t> want{0x25, 0x52, 0x18, 0x14, 0x3C, 0x0E, 0x00, 0x00};
    EXPECT_EQ(Drain(*p.server), want);
}

TEST(ProtoHeader, ReadBackAndBadMagic) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    ASSERT_EQ(ProtoWriteHeader(*p.client, 0x1234, SCMD_EVT_PULL), 0);
    ASSERT_EQ(p.client->WriteInt32(0x25521815), 0);  // one bit off
    ASSERT_EQ(p.client->FlushWrite(0), 0);
    uint16_t len = 0;
    uint8_t cmd = 0, ver = 0;
    ASSERT_EQ(ProtoReadHeader(*p.server, len, cmd, ver), 0);
    EXPECT_EQ(len, 0x1234);
    EXPECT_EQ(cmd, SCMD_EVT_PULL);
    EXPECT_EQ(ver, 60);
    EXPECT_EQ(ProtoReadHeader(*p.server, len, cmd, ver), -5);
}

TEST(ProtoHeader, CommandNames) {
    EXPECT_STREQ(ProtoCmd2String(SCMD_REQUEST_CONNECT), "SCMD_REQUEST_CONNECT");
    EXPECT_STREQ(ProtoCmd2String(SCMD_REQUEST_SSL_2), "SCMD_REQUEST_SSL_2");
    EXPECT_STREQ(ProtoCmd2String(23), "SCMD_PKG_VER_QUERY");
    EXPECT_STREQ(ProtoCmd2String(24), "SCMD_GET_FOLDER_LIST");
    EXPECT_STREQ(ProtoCmd2String(0), "Unknown command");
    EXPECT_STREQ(ProtoCmd2String(25), "Unknown command");
    EXPECT_STREQ(ProtoCmd2String(-3), "Unknown command");
}

TEST(ProtoRequest, ConnectKeysGoOutActionAgentSessionView) {
    ChannelPair p;
    ASSERT_TRUE(p.Connect());
    PObject req;
    req["_action"] = "connect";
    req["session"] = "s";
    req["view_id"] = 7;
    AppendAgent(req);
    PStream out;
    ASSERT_EQ(out.Send(*p.client, req), StreamResult::kOk);
    p.client->Close();
    std::vector<uint8_t> bytes = Drain(*p.server);
    std::string text(bytes.begin(), bytes.end());
    auto key = [&](const char* k) {
        std::string w;
        w.push_back(0x10);
        w.push_back(0);
        w.push_back((char)strlen(k));
        w += k;
        return text.find(w);
    };
    ASSERT_EQ(bytes[0], 0x42);
    EXPECT_EQ(key("action"), 1u);  // first key, spelled without "_"
    EXPECT_LT(key("action"), key("agent"));
    EXPECT_LT(key("agent"), key("session"));
    EXPECT_LT(key("session"), key("view_id"));
    EXPECT_EQ(text.find("_action"), std::string::npos);

    const PObject& agent = req["_agent"];
    EXPECT_EQ(agent["platform"].asString(), "Windows");
    EXPECT_EQ(agent["version"]["major"].asUInt32(), 2u);
    EXPECT_EQ(agent["version"]["minor"].asUInt32(), 1u);
    EXPECT_EQ(agent["version"]["build"].asUInt32(), 2561u);
}

TEST(ProtoErrors, PullerAndWorkerTables) {
    struct Case {
        uint32_t code;
        int puller;
        int worker;
    } cases[] = {
        {0x3002, ERR_PERMISS, ERR_PERMISS},
        {0x3003, ERR_VIEW_PATH, ERR_VIEW_PATH},
        {0x4001, ERR_QUOTA, ERR_QUOTA},
        {0x4002, ERR_DISKFULL, ERR_DISKFULL},
        {0x1005, ERR_AUTH, ERR_AUTH},
        {0x2001, ERR_AUTH, ERR_AUTH},
        {0x3001, ERR_VIEW, ERR_VIEW},
        {0x5003, ERR_VERSION, ERR_VERSION},
        {0x7003, 0, 0},
        {0x7000, 0, 0},
        {0x0001, 0, 0},
        {0x4003, 0, 0},
        {0x6002, 0, 0},
        {0x8001, 0, ERR_INT},
        {0x9002, 0, ERR_INT},
        {0xA001, 0, ERR_INT},
        {0xB000, 0, 0},
        {0xF123, 0, 0},
        {0x17003, 0, 0},  // wider than 16 bits: no class we know
    };
    ProtoSite interrupting;
    interrupting.transfer_errors_interrupt = true;
    for (const Case& c : cases) {
        EXPECT_EQ(ProtoResp2ErrorCode(c.code), c.puller) << std::hex << c.code;
        EXPECT_EQ(ProtoResp2ErrorCode(ProtoSite(), c.code), c.puller) << std::hex << c.code;
        EXPECT_EQ(ProtoResp2ErrorCode(interrupting, c.code), c.worker) << std::hex << c.code;
    }
}

// A one-exchange server: reads a header and a request, then sends the given values.
struct FakeServer {
    LoopbackListener listener;
    std::thread thread;
    PObject request;
    uint8_t command = 0;
    bool close_without_reply = false;
    bool close_after_reply = false;

    void Run(std::vector<PObject> replies, int exchanges = 1) {
        thread = std::thread([this, replies, exchanges] {
            auto ch = listener.Accept();
            if (!ch) return;
            for (int i = 0; i < exchanges; ++i) {
                uint16_t len;
                uint8_t ver;
                if (ProtoReadHeader(*ch, len, command, ver) != 0) return;
                ch->SetTimeout(30);
                PStream in;
                request.clear();
                if (in.Recv(*ch, request) != StreamResult::kOk) return;
                if (close_without_reply) return;
                PStream out;
                for (const PObject& r : replies)
                    if (out.Send(*ch, r) != StreamResult::kOk) return;
            }
            if (close_after_reply) return;
            // Wait for the client to go away.
            uint8_t b;
            ch->SetTimeout(30);
            while (ch->ReadByte(&b) == 0) {
            }
        });
    }
    ~FakeServer() {
        if (thread.joinable()) thread.join();
    }
};

PObject KeepAlive() {
    PObject k;
    k["type"] = "keep_alive";
    return k;
}

enum Kind { PULLER, WORKER };

// A puller-like site, or a worker's.
ProtoSite Site(Kind kind) {
    ProtoSite s;
    if (kind == WORKER) {
        s.who = "Worker (3)";
        s.transfer_errors_interrupt = true;
    }
    return s;
}

TEST(ProtoRunProtocol, FourthValueAfterThreeKeepAlives) {
    FakeServer srv;
    PObject reply;
    reply["x"] = 2;
    srv.Run({KeepAlive(), KeepAlive(), KeepAlive(), reply});
    Channel ch(81920);
    ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
    PObject req, resp;
    req["_action"] = "ping";
    // What the caller prepared survives the keep-alives; nothing of them remains.
    resp["prepared"] = 1;
    ASSERT_EQ(RunProtocol(Site(PULLER), ch, SCMD_EVT_PULL, req, resp), 0);
    EXPECT_EQ(resp["x"].asUInt32(), 2u);
    EXPECT_EQ(resp["prepared"].asUInt32(), 1u);
    EXPECT_FALSE(resp.hasMember("type"));
    EXPECT_EQ(ch.GetChannelTimeout(), 60u);
    ch.Close();
    srv.thread.join();
    EXPECT_EQ(srv.command, SCMD_EVT_PULL);
    EXPECT_EQ(srv.request["action"].asString(), "ping");
}

// Only the body the caller takes over stays; a reply's extra binaries (and those of a
// keep-alive) are removed when the exchange ends.
TEST(ProtoRunProtocol, UnclaimedReceivedFilesAreRemoved) {
    const std::string dir = testing::TempDir() + "proto-scratch-" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir + "/in").c_str()), 0);
    { std::ofstream(dir + "/body") << "0123456789"; }
    const PObject::binary_type body(ustring((dir + "/body").c_str()), 0, 10);
    PObject noise = KeepAlive(), reply;
    noise["junk"] = body;
    reply["file"]["data"] = body;
    reply["extra"] = body;
    reply["more"].asArray().push_back(PObject(body));
    FakeServer srv;
    srv.Run({noise, reply});
    Channel ch(81920);
    ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
    ProtoSite site = Site(WORKER);
    site.recv_location = ustring((dir + "/in").c_str());
    site.reply_files = {"file.data"};
    PObject req, resp;
    req["_action"] = "download";
    ASSERT_EQ(RunProtocol(site, ch, SCMD_EVT_SEND_2, req, resp), 0);
    ch.Close();
    srv.thread.join();
    int left = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/in")) {
        ++left;
        EXPECT_EQ(e.path().string(), resp["file"]["data"].asBinary().path.str());
    }
    EXPECT_EQ(left, 1);
    std::filesystem::remove_all(dir);
}

TEST(ProtoRunProtocol, BrokenExchangeIsIoErrorOrTheWorkersMapping) {
    {
        FakeServer srv;
        srv.close_without_reply = true;
        srv.Run({});
        Channel ch(81920);
        ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
        PObject req, resp;
        req["_action"] = "ping";
        EXPECT_EQ(RunProtocol(Site(PULLER), ch, SCMD_EVT_PULL, req, resp), ERR_IO);
    }
    {
        FakeServer srv;
        srv.close_without_reply = true;
        srv.Run({});
        Channel ch(81920);
        ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
        PObject req, resp;
        req["_action"] = "ping";
        ProtoSite s = Site(WORKER);
        StreamResult seen = StreamResult::kOk;
        s.map_stream_error = [&](StreamResult code) {
            seen = code;
            return ERR_SYS;
        };
        EXPECT_EQ(RunProtocol(s, ch, SCMD_EVT_PULL, req, resp), ERR_SYS);
        EXPECT_EQ(seen, StreamResult::kIo);
    }
}

TEST(ProtoRunProtocol, AbortFlagEndsTheWait) {
    FakeServer srv;
    srv.Run({}, 1);  // reads the request, never answers
    Channel ch(81920);
    ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
    std::atomic<int> flag{0};
    ch.SetFlag(&flag);
    AbortLater stopper(flag);
    PObject req, resp;
    req["_action"] = "pull_event";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProtocol(Site(PULLER), ch, SCMD_EVT_PULL, req, resp), ERR_IO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    stopper.join();
    ch.Close();
}

std::unique_ptr<ConnectionPool> PoolFor(int port, bool ssl = false, unsigned n = 2) {
    ConnectionInfo info;
    info.server_ip = "127.0.0.1";
    info.server_port = port;
    info.session = "tok";
    info.use_ssl = ssl;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    return std::make_unique<ConnectionPool>(info, proxy, tunnel, n);
}

TEST(ProtoRequestChannel, ReplyWithoutServerMeansOldBuild) {
    FakeServer srv;
    PObject reply;
    reply["alive"] = 30;
    srv.Run({reply});
    auto pool = PoolFor(srv.listener.port);
    SetServerBuild(9999);
    Connection* c = pool->pop();
    ASSERT_EQ(RequestChannel(Site(PULLER), c, *pool, 42), 0);
    EXPECT_EQ(GetServerBuild(), 2402u);
    EXPECT_EQ(c->alive_value, 30u);
    EXPECT_TRUE(c->IsConnected());
    c->Drop();
    pool->push(c);
    srv.thread.join();
    EXPECT_EQ(srv.command, SCMD_REQUEST_CONNECT);
    EXPECT_EQ(srv.request["action"].asString(), "connect");
    EXPECT_EQ(srv.request["session"].asString(), "tok");
    EXPECT_EQ(srv.request["view_id"].asUInt64(), 42u);
    EXPECT_TRUE(srv.request["agent"].isMap());
    EXPECT_FALSE(srv.request.hasMember("do_ssl"));
}

// With SSL, the first thing on the wire is "encrypt_channel", never the token; a
// server that then does not speak TLS gets nothing more.
TEST(ProtoRequestChannel, SslComesBeforeTheTokenForEverySite) {
    for (Kind kind : {PULLER, WORKER}) {
        FakeServer srv;
        srv.close_after_reply = true;  // and no TLS after it
        srv.Run({PObject(PObject::map_type())});
        auto pool = PoolFor(srv.listener.port, true);
        Connection* c = pool->pop();
        EXPECT_EQ(RequestChannel(Site(kind), c, *pool, 1), ERR_IO);
        pool->push(c);
        srv.thread.join();
        EXPECT_EQ(srv.command, SCMD_REQUEST_SSL_2);
        EXPECT_EQ(srv.request["action"].asString(), "encrypt_channel");
        EXPECT_FALSE(srv.request.hasMember("session"));
    }
}

TEST(ProtoRequestChannel, AliveConnectionIsReusedWithoutTraffic) {
    // Nothing listens on this port: any attempt to connect fails.
    int dead_port;
    {
        LoopbackListener l;
        dead_port = l.port;
    }
    auto pool = PoolFor(dead_port);
    Connection* c = pool->pop();
    c->alive_value = 30;
    c->last_access = (uint32_t)time(nullptr) - 10;
    EXPECT_EQ(RequestChannel(Site(PULLER), c, *pool, 1), 0);
    EXPECT_EQ(RequestChannel(Site(WORKER), c, *pool, 1), 0);
    c->last_access = (uint32_t)time(nullptr) - 31;
    EXPECT_LT(RequestChannel(Site(PULLER), c, *pool, 1), 0);
    EXPECT_LT(RequestChannel(Site(WORKER), c, *pool, 1), 0);
    pool->push(c);
}

TEST(ProtoRequestChannel, UnusablePortIsRefusedBeforeConnecting) {
    for (int port : {0, -1, 70000}) {
        auto pool = PoolFor(port);
        Connection* c = pool->pop();
        EXPECT_EQ(EstablishConnection(Site(PULLER), c, *pool), ERR_INVAL) << port;
        EXPECT_EQ(RequestChannel(Site(WORKER), c, *pool, 1), ERR_INVAL) << port;
        EXPECT_TRUE(c->GetChannel()->IsClosed());
        pool->push(c);
    }
}

TEST(ProtoRequestChannel, ErrorReplyWithoutMeaningStillFailsTheConnect) {
    FakeServer srv;
    PObject reply;
    reply["error"]["code"] = 0x7003;
    reply["alive"] = 30;
    srv.Run({reply});
    auto pool = PoolFor(srv.listener.port);
    Connection* c = pool->pop();
    EXPECT_EQ(RequestChannel(Site(PULLER), c, *pool, 1), ERR_IO);
    EXPECT_FALSE(c->IsConnected());
    c->Drop();
    pool->push(c);
}

// A server that answers each request with keep-alives, one every 50 ms, until
// `replies_after` of them were sent (then the replies), or for ever (-1) while the
// client stays.
struct KeepAliveServer {
    LoopbackListener listener;
    std::thread thread;
    int replies_after = -1;
    std::vector<PObject> replies;
    // Raised once the whole request is in: the client waits for the reply from then on.
    std::atomic<int>* pause = nullptr;

    void Run() {
        thread = std::thread([this] {
            auto ch = listener.Accept();
            if (!ch) return;
            uint16_t len;
            uint8_t cmd, ver;
            if (ProtoReadHeader(*ch, len, cmd, ver) != 0) return;
            ch->SetTimeout(30);
            PStream in;
            PObject request;
            if (in.Recv(*ch, request) != StreamResult::kOk) return;
            if (pause) *pause = 1;
            PStream out;
            for (int sent = 0; replies_after < 0 || sent < replies_after; ++sent) {
                if (out.Send(*ch, KeepAlive()) != StreamResult::kOk) return;  // the client is gone
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            for (const PObject& r : replies)
                if (out.Send(*ch, r) != StreamResult::kOk) return;
            uint8_t b;
            while (ch->ReadByte(&b) == 0) {
            }
        });
    }
    ~KeepAliveServer() {
        if (thread.joinable()) thread.join();
    }
};

TEST(ProtoReplyWait, AReplyThatMayCommitIsAwaitedAfterTheAbortButNotForEver) {
    ProtoReplyWait commit;
    commit.may_commit = true;
    {
        // The server answers within the bound: the reply counts, the abort does not.
        KeepAliveServer srv;
        PObject reply;
        reply["sync_id"] = 8;
        srv.replies = {reply};
        srv.replies_after = 20;
        std::atomic<int> flag{0};
        srv.pause = &flag;  // paused before the reply came
        srv.Run();
        Channel ch(81920);
        ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
        ch.SetFlag(&flag);
        PObject req, resp;
        req["_action"] = "upload";
        EXPECT_EQ(RunProtocol(Site(WORKER), ch, SCMD_EVT_RECV_4, req, resp, commit), 0);
        EXPECT_EQ(resp["sync_id"].asUInt32(), 8u);
        ch.Close();
    }
    {
        // Keep-alives for ever: the pause is answered once the bound is over, and the
        // channel, whose position nobody knows, is closed.
        KeepAliveServer srv;
        std::atomic<int> flag{0};
        srv.pause = &flag;
        srv.Run();
        Channel ch(81920);
        ASSERT_EQ(ch.Open("127.0.0.1", srv.listener.port), 0);
        ch.SetFlag(&flag);
        commit.commit_wait = 1;
        PObject req, resp;
        req["_action"] = "upload";
        EXPECT_EQ(RunProtocol(Site(WORKER), ch, SCMD_EVT_RECV_4, req, resp, commit), ERR_INT);
        EXPECT_TRUE(ch.IsClosed());
    }
}

TEST(ConnectionLease, ABorrowedConnectionAbortsOnItsBorrowersFlagAndNoOther) {
    // Two servers that never answer "connect"; each borrower connects to one.
    FakeServer a, b;
    a.Run({});
    b.Run({});
    auto pool = PoolFor(a.listener.port);
    std::atomic<int> flag_a{0}, flag_b{0};
    std::atomic<int> result_a{1};
    std::thread borrower_a([&] {
        ConnectionLease lease(*pool, &flag_a);
        result_a = RequestChannel(Site(PULLER), lease.get(), *pool, 1);
    });
    {
        ConnectionLease lease(*pool, &flag_b);
        EXPECT_EQ(lease->GetChannel()->GetFlag(), &flag_b);
        ASSERT_EQ(lease->GetChannel()->Open("127.0.0.1", b.listener.port), 0);
        std::atomic<int> result_b{1};
        std::thread exchange_b([&] {
            PObject req, resp;
            req["_action"] = "pull_event";
            result_b = RunProtocol(Site(PULLER), *lease->GetChannel(), SCMD_EVT_PULL, req, resp);
        });
        // A's pause ends A's handshake; B goes on waiting for its reply.
        flag_a = 1;
        borrower_a.join();
        EXPECT_LT(result_a.load(), 0);
        EXPECT_EQ(result_b.load(), 1);
        flag_b = 1;
        exchange_b.join();
        EXPECT_EQ(result_b.load(), ERR_IO);
        lease->Drop();
    }
    // Back in the pool, no channel keeps a borrower's flag.
    Connection* c1 = pool->pop();
    Connection* c2 = pool->pop();
    EXPECT_EQ(c1->GetChannel()->GetFlag(), nullptr);
    EXPECT_EQ(c2->GetChannel()->GetFlag(), nullptr);
    pool->push(c1);
    pool->push(c2);
    EXPECT_EQ(pool->available(), 2u);
}

}  // namespace
