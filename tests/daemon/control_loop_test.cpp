#include "daemon/control_loop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "daemon/ack_only_app.h"
#include "daemon/ipc_listener.h"
#include "daemon/ipc_sender.h"
#include "daemon/ui_exchange.h"
#include "wire/loopback_pair.h"
#include "wire/stream.h"

namespace {

// Records what the loop hands over, and answers like the stand-in application.
class RecordingApp : public ControlApp {
public:
    AppResult run() override { return AppResult::kOk; }
    AppResult send_message(const PObject& request, PObject& reply) override {
        requests.push_back(request);
        reply["ack"] = "ok";
        reply["echo"] = request["action"];
        return AppResult::kOk;
    }
    void kill() override {}
    std::vector<PObject> requests;
};

}  // namespace

TEST(IPCListener, FindsTheNextFreePort) {
    IPCListener first;
    int p1 = first.prepare(0);
    ASSERT_GT(p1, 0);
    IPCListener second;
    int p2 = second.prepare(p1);  // p1 is taken
    ASSERT_GT(p2, p1);
    IPCListener none;
    EXPECT_EQ(none.prepare(65536), -1);
    EXPECT_FALSE(none.isReady());
    EXPECT_EQ(none.accept(), INVALID_SOCKET);

    timeval short_wait{0, 100000};
    first.setTimeout(short_wait);
    EXPECT_FALSE(first.isReady());

    IPCSender sender;
    ASSERT_EQ(sender.connect(p1), 0);
    first.setTimeout(timeval{10, 0});
    ASSERT_TRUE(first.isReady());
    SOCKET s = first.accept();
    ASSERT_GE(s, 0);
    PObject hello;
    hello["daemon_port"] = p2;
    ASSERT_EQ(sender.send(hello), 0);
    Channel ch(81920);
    ASSERT_EQ(ch.Open(s, true), 0);
    PStream in;
    PObject got;
    ASSERT_EQ(in.Recv(ch, got), StreamResult::kOk);
    EXPECT_EQ(got["daemon_port"].asInt32(), p2);
    PObject answer;
    answer["ack"] = "ok";
    PStream out;
    ASSERT_EQ(out.Send(ch, answer), StreamResult::kOk);
    PObject back;
    ASSERT_EQ(sender.recv(back), 0);
    EXPECT_EQ(back, answer);
    first.close();
    EXPECT_FALSE(first.isReady());
}

TEST(ControlLoop, AnswersRequestsAndEndsOnStop) {
    IPCListener listener;
    int port = listener.prepare(0);
    ASSERT_GT(port, 0);
    RecordingApp app;
    std::thread loop([&] { RunControlLoop(listener, app); });

    PObject request, reply;
    request["_action"] = "get_status";
    ASSERT_EQ(Exchange(port, request, reply), 0);
    EXPECT_EQ(reply["ack"].asString(), "ok");
    EXPECT_EQ(reply["echo"].asString(), "get_status");

    // A connection that sends garbage gets no reply; the loop goes on.
    {
        Channel ch(81920);
        ASSERT_EQ(ch.Open("127.0.0.1", port), 0);
        ASSERT_EQ(ch.WriteByte(0x99), 0);
        ASSERT_EQ(ch.FlushWrite(0), 0);
        uint8_t b;
        ch.SetTimeout(30);
        EXPECT_NE(ch.ReadByte(&b), 0);
    }
    // A binary in a request is never written anywhere.
    {
        PObject bin;
        bin["action"] = "link";
        bin["data"] = PObject::binary_type("/proc/self/exe", 0, 16);
        PObject none;
        EXPECT_NE(Exchange(port, bin, none), 0);
    }

    PObject stop;
    stop["action"] = "stop";
    PObject no_reply;
    EXPECT_NE(Exchange(port, stop, no_reply), 0);  // closed without an answer
    loop.join();
    ASSERT_EQ(app.requests.size(), 2u);
    EXPECT_EQ(app.requests[0]["action"].asString(), "get_status");
    EXPECT_EQ(app.requests[1]["action"].asString(), "stop");
}

TEST(ControlLoop, StandInApplicationAcknowledgesEverything) {
    AckOnlyApp app;
    PObject request, reply;
    request["action"] = "no_such_action";
    EXPECT_EQ(app.send_message(request, reply), AppResult::kOk);
    PObject expect;
    expect["ack"] = "ok";
    EXPECT_EQ(reply, expect);
}

// The loop still answers: "get_status" gets its acknowledgement, then "stop" ends it.
static void StatusThenStop(int port, std::thread& loop) {
    PObject request, reply;
    request["action"] = "get_status";
    EXPECT_EQ(Exchange(port, request, reply), 0);
    EXPECT_EQ(reply["ack"].asString(), "ok");
    PObject stop, none;
    stop["action"] = "stop";
    Exchange(port, stop, none);
    loop.join();
}

TEST(ControlLoop, RefusesConnectionsOfOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    IPCListener listener;
    int port = listener.prepare(0);
    ASSERT_GT(port, 0);
    RecordingApp app;
    std::thread loop([&] { RunControlLoop(listener, app); });

    // A stop request from another user: it must get no answer and change nothing.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        SOCKET s = SockCreateTcp();
        if (SockConnectStart(s, "127.0.0.1", port) != 0) _exit(4);
        const unsigned char stop[] = {0x42, 0x10, 0, 6, 'a', 'c', 't', 'i', 'o',
                                      'n',  0x10, 0, 4, 's', 't', 'o', 'p', 0x40};
        if (SockSend(s, stop, sizeof stop) != static_cast<ssize_t>(sizeof stop)) _exit(5);
        char b;
        ssize_t n = SockRecv(s, &b, 1);  // blocks until the daemon closes
        _exit(n == 0 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    StatusThenStop(port, loop);
    ASSERT_EQ(app.requests.size(), 2u);  // the other user's request never arrived
    EXPECT_EQ(app.requests[0]["action"].asString(), "get_status");
}

// A byte every half second keeps each wait short, but the request as a whole is cut
// off at its time limit and the next client is served.
TEST(ControlLoop, TricklingClientIsCutOffAtTheRequestDeadline) {
    IPCListener listener;
    int port = listener.prepare(0);
    ASSERT_GT(port, 0);
    RecordingApp app;
    std::thread loop([&] { RunControlLoop(listener, app); });
    SOCKET s = SockCreateTcp();
    ASSERT_EQ(SockConnectStart(s, "127.0.0.1", port), 0);
    ASSERT_TRUE(RawSend(s, {0x41}));
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::seconds(3 * kControlRequestSeconds);
    while (std::chrono::steady_clock::now() - start < limit && RawSend(s, {0x00, 0x00})) usleep(500000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, limit) << "never cut off";
    CloseSocket(s);
    StatusThenStop(port, loop);
    ASSERT_EQ(app.requests.size(), 2u);
    EXPECT_EQ(app.requests[0]["action"].asString(), "get_status");
}

// A client that opens an array and streams members for ever is cut off at the value
// bound (so the daemon's memory stops growing there), and the next request is
// answered as usual.
TEST(ControlLoop, EndlessRequestIsCutOffAndTheNextOneAnswered) {
    IPCListener listener;
    int port = listener.prepare(0);
    ASSERT_GT(port, 0);
    RecordingApp app;
    std::thread loop([&] { RunControlLoop(listener, app); });

    uint64_t sent = 0;
    {
        SOCKET s = SockCreateTcp();
        ASSERT_EQ(SockConnectStart(s, "127.0.0.1", port), 0);
        std::vector<unsigned char> nulls(1 << 16, 0x00);  // null members: tag 0x00, length 0
        ASSERT_TRUE(RawSend(s, {0x41}));
        const uint64_t give_up = 4 * PStream::kMaxRecvElements;
        while (sent < give_up && RawSend(s, nulls)) sent += nulls.size() / 2;  // until the daemon hangs up
        CloseSocket(s);
        EXPECT_LT(sent, give_up) << "never cut off";
    }
    // It did read up to about the bound, which counts what the members cost in memory.
    EXPECT_GE(sent, PStream::kSmallRecvBytes / PStream::kElementCharge / 2);
    StatusThenStop(port, loop);
    ASSERT_EQ(app.requests.size(), 2u);  // the endless one never reached the application
    EXPECT_EQ(app.requests[0]["action"].asString(), "get_status");
}
