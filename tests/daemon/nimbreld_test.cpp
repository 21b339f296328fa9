// Starts the real nimbreld and plays the UI: listens for the announcement, sends
// control requests and "stop", and checks the exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon/ui_exchange.h"
#include "wire/channel.h"
#include "wire/loopback_pair.h"
#include "wire/stream.h"

extern char** environ;

namespace {

std::string BinDir() {
    const char* env = std::getenv("NIMBREL_BIN_DIR");
    return env && *env ? env : NIMBREL_BIN_DIR;
}

class Nimbreld : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/nimbreld-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        binary = BinDir() + "/nimbreld";
        ASSERT_EQ(access(binary.c_str(), X_OK), 0) << binary << " is not built";
        std::ofstream(dir + "/levels") << "ipc = 7\nclient_debug = 7\n";
        WriteConfig(dir + "/log");
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(dir);
    }
    void WriteConfig(const std::string& log_path) {
        std::ofstream(dir + "/nimbrel.conf") << "log_file_path = " << log_path << "\n"
                                             << "log_level_file_path = " << dir << "/levels\n";
    }
    void Start(std::vector<std::string> args) {
        args.insert(args.begin(), binary);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, (dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
    }
    // The exit code (as the shell shows it), or -1000 if the process did not end in time.
    int WaitExit(int seconds = 60) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1000;
    }
    std::string Read(const std::string& name) {
        std::ifstream in(dir + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string Config() const { return dir + "/nimbrel.conf"; }
    // A loopback port nobody listens on: the daemon's announcement finds no UI there.
    static int FreePort() {
        SOCKET probe = SockCreateTcp();
        if (SockBindLoopback(probe, 0) != 0) return -1;
        int port = SockLocalPort(probe);
        ::close(probe);
        return port;
    }

    std::string dir, binary;
    pid_t pid = -1;
};

}  // namespace

TEST_F(Nimbreld, ServesTheUIUntilStop) {
    SOCKET ui = SockCreateTcp();
    ASSERT_EQ(SockBindLoopback(ui, 0), 0);
    ASSERT_EQ(SockListen(ui, 4), 0);
    int ui_port = SockLocalPort(ui);
    Start({Config(), std::to_string(ui_port)});

    ASSERT_EQ(SockWaitReady(ui, false, timeval{60, 0}), 1) << Read("stderr");
    Channel announce(81920);
    ASSERT_EQ(announce.Open(SockAccept(ui), true), 0);
    ::close(ui);
    announce.SetTimeout(60);
    PStream in;
    PObject hello;
    ASSERT_EQ(in.Recv(announce, hello), StreamResult::kOk);
    ASSERT_EQ(hello.asMap().size(), 1u);
    int daemon_port = hello["daemon_port"].asInt32();
    EXPECT_GT(daemon_port, ui_port);

    PObject request, reply;
    request["_action"] = "get_status";
    ASSERT_EQ(Exchange(daemon_port, request, reply), 0);
    PObject ack;
    ack["ack"] = "ok";
    EXPECT_EQ(reply, ack);

    PObject unknown, reply2;
    unknown["action"] = "reload_setting";
    unknown["extra"].asArray() = {PObject(1), PObject("two")};
    ASSERT_EQ(Exchange(daemon_port, unknown, reply2), 0);
    EXPECT_EQ(reply2, ack);

    PObject stop, none;
    stop["action"] = "stop";
    EXPECT_NE(Exchange(daemon_port, stop, none), 0);  // no reply to "stop"
    EXPECT_EQ(WaitExit(), 0);

    // The announcement connection stayed open until shutdown.
    uint8_t b;
    EXPECT_NE(announce.ReadByte(&b), 0);
    std::string log = Read("log");
    EXPECT_NE(log.find("listening on port " + std::to_string(daemon_port)), std::string::npos) << log;
    EXPECT_NE(log.find("recieve msg >>> {\"action\": \"stop\"}"), std::string::npos) << log;
    EXPECT_NE(Read("stdout").find("* Controling application: \n    Control <action>\n\n"), std::string::npos);
}

TEST_F(Nimbreld, ExitsWithZeroWhenNoUIListens) {
    int ui_port = FreePort();
    ASSERT_GT(ui_port, 0);
    Start({Config(), std::to_string(ui_port)});
    EXPECT_EQ(WaitExit(), 0);
    std::string log = Read("log");
    EXPECT_NE(log.find("listening on port"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to connect to port : " + std::to_string(ui_port)), std::string::npos) << log;
}

TEST_F(Nimbreld, ExitsWithZeroWhenNoPortIsLeft) {
    Start({Config(), "65535"});
    EXPECT_EQ(WaitExit(), 0);
    std::string log = Read("log");
    EXPECT_NE(log.find("Try to bind port: 65536"), std::string::npos) << log;
    EXPECT_NE(log.find("Port number exceeds 65536"), std::string::npos) << log;
    EXPECT_NE(log.find("failed to listen on port local_port."), std::string::npos) << log;
}

TEST_F(Nimbreld, CommandLineAndLoggingFailuresExitWithMinusOne) {
    Start({Config(), "1024", "extra"});
    EXPECT_EQ(WaitExit(), 255);
    EXPECT_EQ(Read("stdout"), "");  // refused before anything else

    Start({"", "1024"});
    EXPECT_EQ(WaitExit(), 255);

    WriteConfig(dir + "/no/such/dir/log");
    Start({Config(), "1024"});
    EXPECT_EQ(WaitExit(), 255);
    EXPECT_NE(Read("stderr").find("Nimbrel: client is not enabled " + dir + "/no/such/dir/log " + dir + "/levels"),
              std::string::npos)
        << Read("stderr");
}

TEST_F(Nimbreld, WarnsAboutAWorkerCountItCannotUse) {
    std::ofstream(Config(), std::ios::app) << "worker_count = 1\n";
    int ui_port = FreePort();
    ASSERT_GT(ui_port, 0);
    Start({Config(), std::to_string(ui_port)});
    EXPECT_EQ(WaitExit(), 0);
    std::string log = Read("log");
    EXPECT_NE(log.find("[WARNING] main.cpp("), std::string::npos) << log;
    EXPECT_NE(log.find("worker_count '1' is outside 2..64; using 3"), std::string::npos) << log;
}
