// A server that stops answering (frozen with SIGSTOP, the socket still open) shows as
// not responding within its keep-alive period, and as responding again once it thaws.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "e2e/two_clients.h"

namespace {

// Polls get_status until the connection's "responding" is want (and, with state, the
// session's state is that); false after seconds.
bool WaitResponding(e2e::Client& c, bool want, double seconds, PObject& status, const char* state = nullptr) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        status = c.daemon->Send("get_status");
        if (status.hasMember("connection_list") && status["connection_list"].asArray().size() == 1 &&
            status["connection_list"].asArray()[0]["responding"].asBool() == want &&
            (!state ||
             (status.hasMember("session_list") && status["session_list"].asArray()[0]["state"].asString() == state)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

}  // namespace

TEST(ServerSilence, AFrozenServerShowsAsNotRespondingWithinItsKeepAlive) {
    RefServer server;
    ASSERT_TRUE(server.Start({"--alive", "3"})) << "nimbrel-refserver did not start";
    e2e::Client a("a");
    ASSERT_EQ(a.Start(server), "");
    PObject status;
    // The server has announced its keep-alive once the first pull is through.
    ASSERT_TRUE(WaitResponding(a, true, 30, status, "uptodate")) << status.toString().c_str_utf8();

    ASSERT_TRUE(server.Signal(SIGSTOP));
    // Thawed however the test ends: a stopped server would never take its SIGTERM.
    struct Thaw {
        RefServer& s;
        ~Thaw() { s.Signal(SIGCONT); }
    } thaw{server};
    e2e::WriteFile(a.path("new.txt"), "ask the server something");
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitResponding(a, false, 30, status)) << status.toString().c_str_utf8();
    // The keep-alive (3 s), the one-second waits and the upload's start: well within 15 s.
    EXPECT_LT(std::chrono::steady_clock::now() - frozen, std::chrono::seconds(15));
    EXPECT_GE(status["connection_list"].asArray()[0]["silent_seconds"].asUInt64(), 3u);
    EXPECT_EQ(status["session_list"].asArray()[0]["state"].asString(), "not_responding");
    // The file the detector met counts with its size while it waits.
    EXPECT_EQ(status["session_list"].asArray()[0]["bytes_to_go"].asUInt64(), 24u);

    ASSERT_TRUE(server.Signal(SIGCONT));
    ASSERT_TRUE(WaitResponding(a, true, 120, status)) << status.toString().c_str_utf8();
    EXPECT_NE(status["session_list"].asArray()[0]["state"].asString(), "not_responding");
}
