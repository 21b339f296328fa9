// nimbrelctl as the UI people use, against the reference server: the folders it was
// given survive a restart of "nimbrelctl daemon", what the user removed meanwhile is
// removed on the server, ids are never reused, and the status tells the truth.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/refserver_harness.h"

namespace {

using json = nlohmann::json;

struct Ui {
    e2e::TempDir dir;
    std::string home = dir.file("home");
    std::map<std::string, std::string> env() const {
        return {{"XDG_RUNTIME_DIR", dir.path()}, {"NIMBREL_HOME", home}, {"NIMBREL_SESSION", "demo"}};
    }
    int ctl(const std::vector<std::string>& args, std::string& out, std::string& err) const {
        std::vector<std::string> argv{e2e::BinDir() + "/nimbrelctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return e2e::Run(argv, out, err, env());
    }
    std::unique_ptr<e2e::Process> Start() {
        std::string out, err;
        EXPECT_EQ(ctl({"init-config", "--config", home + "/nimbreld.conf"}, out, err), 0) << err;
        auto p = std::make_unique<e2e::Process>(
            std::vector<std::string>{e2e::BinDir() + "/nimbrelctl", "--state", home, "daemon", "--config",
                                     home + "/nimbreld.conf", "--nimbreld", e2e::BinDir() + "/nimbreld"},
            env());
        EXPECT_TRUE(p->WaitForStderr("daemon control port", 120)) << p->Stderr();
        return p;
    }
    // The state of a folder in "status --json" once it equals want (or the last seen).
    std::string WaitState(const std::string& folder, const std::string& want, double seconds = 60) {
        std::string state;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
            std::string out, err;
            if (ctl({"status", "--json"}, out, err) != 0) continue;
            for (const json& s : json::parse(out).value("session_list", json::array())) {
                if (s.value("local_path", "") == folder) state = s.value("state", "");
            }
            if (state == want) break;
        }
        return state;
    }
};

}  // namespace

TEST(RememberedFolders, SurviveARestartAndCarryWhatWasRemovedMeanwhile) {
    RefServer server;
    ASSERT_TRUE(server.Start({}));
    Ui ui;
    const std::string a = ui.dir.file("A"), b = ui.dir.file("B"), c = ui.dir.file("C");
    for (const std::string& d : {a, b, c}) std::filesystem::create_directories(d);
    std::filesystem::create_directories(a + "/node_modules/x");
    e2e::WriteFile(a + "/keep.txt", "keep");
    e2e::WriteFile(a + "/small.pdf", "pdf");
    e2e::WriteFile(a + "/node_modules/x/m.js", "m");

    std::string out, err;
    {
        auto daemon = ui.Start();
        ASSERT_EQ(ui.ctl({"link", "127.0.0.1:" + std::to_string(server.port()), "--fingerprint", server.fingerprint()},
                         out, err),
                  0)
            << err;
        ASSERT_EQ(ui.ctl({"add", a}, out, err), 0) << err;
        EXPECT_EQ(ui.WaitState(a, "uptodate"), "uptodate");
        // Overlapping folders are refused with the cause, by nimbrelctl and by the daemon.
        EXPECT_EQ(ui.ctl({"add", a + "/node_modules"}, out, err), 1);
        EXPECT_NE(err.find("overlaps " + a), std::string::npos) << err;
        EXPECT_EQ(ui.ctl({"send", R"({"action": "add_session", "connection_id": 1, "session_id": 9, "view_id": 1,
                                     "config_path": ")" +
                                      ui.home + R"(/sessions/1", "sync_folder": ")" + a + R"("})"},
                         out, err),
                  1);
        EXPECT_NE(out.find("\"error\":\"Failed to create registry entry.\""), std::string::npos) << out;
        EXPECT_NE(err.find("overlaps the folder " + a + " of session 1"), std::string::npos) << err;
        // The first pass is remembered before the daemon goes.
        ASSERT_TRUE(daemon->WaitForStderr("first synchronisation of " + a + " completed", 60)) << daemon->Stderr();
        daemon->Signal(SIGTERM);
        ASSERT_EQ(daemon->Wait(120), 0) << daemon->Stderr();
    }

    // Removed while nothing ran: gone from the server after the restart, not back here.
    std::filesystem::remove(a + "/small.pdf");
    std::filesystem::remove_all(a + "/node_modules");
    auto daemon = ui.Start();
    EXPECT_EQ(ui.WaitState(a, "uptodate"), "uptodate");
    ASSERT_EQ(ui.ctl({"add", b}, out, err), 0) << err;
    EXPECT_EQ(ui.WaitState(b, "uptodate"), "uptodate");
    EXPECT_TRUE(std::filesystem::exists(b + "/keep.txt"));
    EXPECT_FALSE(std::filesystem::exists(b + "/small.pdf"));
    EXPECT_FALSE(std::filesystem::exists(b + "/node_modules"));
    EXPECT_FALSE(std::filesystem::exists(a + "/small.pdf"));

    // A third folder after removing the second gets a new id and a fresh session folder.
    ASSERT_EQ(ui.ctl({"remove", b}, out, err), 0) << err;
    ASSERT_EQ(ui.ctl({"add", c, "--json"}, out, err), 0) << err;
    EXPECT_EQ(json::parse(out).value("session_id", 0), 3) << out;

    // Another server would be sent removals made from this one's sync ids: refused.
    EXPECT_EQ(ui.ctl({"link", "127.0.0.2:" + std::to_string(server.port())}, out, err), 1);
    EXPECT_NE(err.find("remove them first"), std::string::npos) << err;

    // Paused, and moved away: each shown for what it is.
    ASSERT_EQ(ui.ctl({"pause", c}, out, err), 0) << err;
    EXPECT_EQ(ui.WaitState(c, "paused"), "paused");
    std::filesystem::rename(a, ui.dir.file("A-moved"));
    EXPECT_EQ(ui.WaitState(a, "waiting"), "waiting");
    ASSERT_EQ(ui.ctl({"status"}, out, err), 0) << err;
    EXPECT_NE(out.find(a + ": waiting for its folder"), std::string::npos) << out;

    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->Wait(120), 0) << daemon->Stderr();
}
