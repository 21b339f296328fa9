// The real nimbreld, driven over its control port by a test that plays the UI.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/e2e_support.h"

using e2e::Daemon;

namespace {

using Strings = std::vector<std::string>;

bool OnlyAck(const PObject& reply) {
    return reply.isMap() && e2e::Keys(reply) == Strings{"ack"} && reply["ack"].asString() == "ok";
}

}  // namespace

TEST(DaemonControl, IdleRequestsAreAnsweredWithAckOnly) {
    Daemon d;
    ASSERT_TRUE(d.Start());

    EXPECT_TRUE(OnlyAck(d.Send("get_status"))) << d.Send("get_status").toString().c_str_utf8();
    // Listed in the usage text, but not an action: nothing happens.
    EXPECT_TRUE(OnlyAck(d.Send("reload_setting")));
    EXPECT_TRUE(OnlyAck(d.Send("no_such_action")));

    PObject no_action;
    no_action["session_id"] = static_cast<uint64_t>(3);
    EXPECT_TRUE(OnlyAck(d.Send(no_action)));
    // Not even a map.
    EXPECT_TRUE(OnlyAck(d.Send(PObject(static_cast<uint64_t>(42)))));

    EXPECT_EQ(d.Stop(), 0);
}

TEST(DaemonControl, LinkStartsTheTasksAndStatusStaysEmptyWithoutSessions) {
    Daemon d(3);
    ASSERT_TRUE(d.Start());

    EXPECT_TRUE(OnlyAck(d.Send("link")));
    EXPECT_TRUE(OnlyAck(d.Send("get_status")));

    PObject again = d.Send("link");
    EXPECT_EQ(again["error"].asString(), "Already linked.");
    EXPECT_EQ(again["ack"].asString(), "ok");

    EXPECT_EQ(d.Stop(), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, "totally 6 tasks"), 1) << log;
    // Worker count 3 means two workers; each came up and went down once.
    EXPECT_EQ(e2e::CountLines(log, ") up"), 2);
    EXPECT_EQ(e2e::CountLines(log, ") down"), 2);
    EXPECT_EQ(e2e::CountLines(log, "detector stop"), 1);
    EXPECT_EQ(e2e::CountLines(log, "RecycleCleaner : stop working"), 1);
    EXPECT_EQ(e2e::CountLines(log, "Syncer: stop working"), 1);
    EXPECT_EQ(e2e::CountLines(log, "ProgressSyncer : stop working"), 1);
    EXPECT_EQ(e2e::CountLines(log, "main thread down"), 1);
}

// With every debug line on: the token and the proxy password never reach the log,
// a pin without SSL is refused, and the daemon's files are its user's alone.
TEST(DaemonControl, SecretsStayOutOfTheLogAndStateIsPrivate) {
    const mode_t old_umask = umask(022);
    Daemon d(3);
    ASSERT_TRUE(d.Start());
    EXPECT_TRUE(OnlyAck(d.Send("link")));
    PObject link = e2e::Action("link_connection");
    link["connection_id"] = 1;
    link["server_ip"] = "127.0.0.1";
    link["server_port"] = e2e::UnusedPort();
    link["session"] = "tok-Leak-Check";
    link["use_proxy"] = true;
    link["proxy_ip"] = "127.0.0.1";
    link["proxy_password"] = "pw-Leak-Check";
    link["ssl_fingerprint"] = std::string(64, 'a').c_str();
    link["use_ssl"] = false;
    PObject refused = d.Send(link);
    EXPECT_NE(refused["error"].asString().str().find("use_ssl"), std::string::npos) << refused.toString().str();
    link["use_ssl"] = true;
    EXPECT_TRUE(OnlyAck(d.Send(link)));
    EXPECT_EQ(d.Stop(), 0);
    umask(old_umask);
    const std::string log = d.Log();
    EXPECT_NE(log.find("link_connection"), std::string::npos);
    EXPECT_EQ(log.find("Leak-Check"), std::string::npos) << log;
    for (const char* file : {"nimbreld.log", "fstat.sqlite", "filter.sqlite"}) {
        struct stat st {};
        ASSERT_EQ(stat(d.dir.file(file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
}

TEST(DaemonControl, LinkFailsWhenTheSystemFilterCannotBeRead) {
    Daemon d;
    ASSERT_EQ(unlink(d.system_filter.c_str()), 0);
    ASSERT_TRUE(d.Start());

    PObject reply = d.Send("link");
    EXPECT_EQ(reply["error"].asString(), "Failed to initialize environment");
    EXPECT_EQ(reply["ack"].asString(), "ok");
    // Not linked: the actions that need the environment are refused.
    EXPECT_EQ(d.Send("add_session")["error"].asString(), "Not linked.");

    // Once the file is there, linking works (what the failed attempt opened is reused).
    e2e::WriteFile(d.system_filter, "[Version]\nmajor = 1\nminor = 0\n");
    EXPECT_TRUE(OnlyAck(d.Send("link")));
    EXPECT_EQ(d.Stop(), 0);
    EXPECT_EQ(e2e::CountLines(d.Log(), "Failed to load system filter from"), 1);
}

TEST(DaemonControl, LinkFailsWhenTheFilterDatabaseCannotBeOpened) {
    Daemon d(3, "filter_db_path = \"/nonexistent-dir/sub/filter.sqlite\"\n");
    ASSERT_TRUE(d.Start());
    EXPECT_EQ(d.Send("link")["error"].asString(), "Failed to initialize environment");
    EXPECT_TRUE(OnlyAck(d.Send("get_status")));
    EXPECT_EQ(d.Stop(), 0);
}

TEST(DaemonControl, UnlinkIsHarmlessWhenRepeatedOrIdle) {
    Daemon d(2);
    ASSERT_TRUE(d.Start());

    EXPECT_TRUE(OnlyAck(d.Send("unlink")));
    EXPECT_TRUE(OnlyAck(d.Send("link")));
    EXPECT_TRUE(OnlyAck(d.Send("unlink")));
    EXPECT_TRUE(OnlyAck(d.Send("unlink")));
    EXPECT_TRUE(OnlyAck(d.Send("get_status")));

    const Strings needs_link = {"add_session",     "reload_session",    "remove_session",
                                "link_connection", "reload_connection", "unlink_connection"};
    for (const auto& action : needs_link) {
        PObject reply = d.Send(action.c_str());
        EXPECT_EQ(reply["error"].asString(), "Not linked.") << action;
        EXPECT_EQ(reply["ack"].asString(), "ok") << action;
    }

    // Linking again after an unlink builds a fresh table.
    EXPECT_TRUE(OnlyAck(d.Send("link")));
    EXPECT_EQ(d.Stop(), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, "totally 5 tasks"), 2) << log;
    EXPECT_EQ(e2e::CountLines(log, "unlink daemon"), 4);
}

TEST(DaemonControl, StopGetsNoReplyAndTheProcessExitsZero) {
    Daemon d(4);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));

    PObject reply;
    // No reply: the daemon closes the connection.
    EXPECT_NE(e2e::Request(d.control_port(), e2e::Action("stop"), reply), 0);
    EXPECT_EQ(d.process->Wait(120), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, ") down"), 3) << log;
    // The control port is gone with the process.
    EXPECT_NE(e2e::Request(d.control_port(), e2e::Action("get_status"), reply, 5), 0);
}

TEST(DaemonControl, RequestsFromSeveralClientsAreServedOneAfterAnother) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    std::vector<std::thread> clients;
    std::vector<int> ok(6, 0);
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            PObject reply;
            if (e2e::Request(d.control_port(), e2e::Action(i % 2 ? "get_status" : "link"), reply) == 0 &&
                reply["ack"].asString() == "ok") {
                ok[i] = 1;
            }
        });
    }
    for (auto& t : clients) t.join();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ok[i], 1) << i;
    EXPECT_EQ(d.Stop(), 0);
    EXPECT_EQ(e2e::CountLines(d.Log(), "totally 6 tasks"), 1);
}
