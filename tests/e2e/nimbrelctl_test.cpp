// nimbrelctl against the real daemon and against a stand-in that checks what
// arrives on the wire.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "daemon/control_loop.h"
#include "daemon/ipc_listener.h"
#include "e2e/e2e_support.h"
#include "foundation/config.h"
#include "platform/socket.h"
#include "wire/channel.h"
#include "wire/stream.h"

using e2e::Daemon;

namespace {

std::string CtlPath() { return e2e::BinDir() + "/nimbrelctl"; }

// Every nimbrelctl run gets its own runtime and state directories, so tests never share
// a port file (nor find the user's own daemon).
struct CtlRunner {
    e2e::TempDir state;
    std::map<std::string, std::string> env() const {
        return {{"XDG_RUNTIME_DIR", state.path()}, {"NIMBREL_HOME", state.file("home")}};
    }
    int run(const std::vector<std::string>& args, std::string& out, std::string& err) const {
        std::vector<std::string> argv{CtlPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        return e2e::Run(argv, out, err, env());
    }
};

// Sends one value to a UI port the way the daemon does: open until the UI has read
// it (the UI checks who is connected). False when it could not be sent.
bool SendToUiPort(int port, const PObject& value) {
    Channel channel(81920);
    if (channel.Open("127.0.0.1", port) != 0) return false;
    PStream stream;
    if (stream.Send(channel, value) != StreamResult::kOk) return false;
    SockAwaitPeerClose(channel.GetFd(), 60000);
    return true;
}

int UiPortOf(e2e::Process& ui) {
    if (!ui.WaitForStderr("UI port ", 60)) return -1;
    const std::string err = ui.Stderr();
    return std::stoi(err.substr(err.find("UI port ") + 8));
}

// One exchange as a stand-in daemon: receive the request, answer with reply.
void ServeOnce(e2e::Listener& listener, PObject& request, const PObject& reply, bool& ok) {
    int fd = listener.Accept(120);
    if (fd < 0) return;
    Channel channel(81920);
    if (channel.Open(fd, true) != 0) return;
    channel.SetTimeout(60);
    PStream stream;
    ok = stream.Recv(channel, request) == StreamResult::kOk && stream.Send(channel, reply) == StreamResult::kOk;
}

}  // namespace

TEST(Nimbrelctl, SendAndShortcutsPrintTheDaemonsReply) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    CtlRunner ctl;
    const std::string port = std::to_string(d.control_port());
    std::string out, err;

    EXPECT_EQ(ctl.run({"send", "--port", port, R"({"action": "get_status"})"}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");
    EXPECT_EQ(ctl.run({"link", "--port", port}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");
    EXPECT_EQ(ctl.run({"link", "--port=" + port}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\",\"error\":\"Already linked.\",\"reason\":\"the daemon is linked already\"}\n");
    // A refusal is no success: the reply is shown and the exit status says so.
    EXPECT_EQ(ctl.run({"send", "--port", port, R"({"action": "remove_session", "session_id": 5})"}, out, err), 1);
    EXPECT_NE(err.find("no session 5"), std::string::npos) << err;
    EXPECT_EQ(ctl.run({"status", "--json", "--port", port}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");
    EXPECT_EQ(ctl.run({"status", "--port", port}, out, err), 0) << err;
    EXPECT_EQ(out, "no sessions\nno connection\n");
    EXPECT_EQ(ctl.run({"unlink", "--port", port, "--json"}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");

    EXPECT_EQ(ctl.run({"stop", "--port", port}, out, err), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(d.process->Wait(120), 0);
}

TEST(Nimbrelctl, ErrorsAreOneLineAndExitOne) {
    CtlRunner ctl;
    std::string out, err;
    const std::string dead = std::to_string(e2e::UnusedPort());

    EXPECT_EQ(ctl.run({"status", "--port", dead}, out, err), 1);
    EXPECT_NE(err.find("cannot reach the daemon"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    EXPECT_EQ(ctl.run({"send", "--port", dead, "{\"action\": "}, out, err), 1);
    EXPECT_NE(err.find("malformed JSON"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    EXPECT_EQ(ctl.run({"send", "--port", dead, R"({"session_id": -1})"}, out, err), 1);
    EXPECT_NE(err.find("negative"), std::string::npos) << err;
    EXPECT_EQ(ctl.run({"send", "--port", dead, R"({"size": 1.5})"}, out, err), 1);
    EXPECT_NE(err.find("not an integer"), std::string::npos) << err;
    EXPECT_EQ(ctl.run({"send", "--port", dead, "\"" + std::string(70000, 'x') + "\""}, out, err), 1);
    EXPECT_NE(err.find("65535"), std::string::npos) << err;

    EXPECT_EQ(ctl.run({"status", "--port", "70000"}, out, err), 1);
    EXPECT_NE(err.find("invalid port"), std::string::npos) << err;
    EXPECT_EQ(ctl.run({"status", "--port", "12x"}, out, err), 1);
    EXPECT_EQ(ctl.run({"frobnicate"}, out, err), 1);
    EXPECT_EQ(ctl.run({"send"}, out, err), 1);

    // No --port and no daemon announced in this state directory.
    EXPECT_EQ(ctl.run({"status"}, out, err), 1);
    EXPECT_NE(err.find("no daemon port known"), std::string::npos) << err;
    EXPECT_TRUE(out.empty());
}

TEST(Nimbrelctl, JsonTravelsAsTheDaemonsValueTypes) {
    e2e::Listener fake;
    PObject received, reply;
    reply["ack"] = "ok";
    reply["list"].asArray().push_back(PObject(static_cast<uint64_t>(18446744073709551615ULL)));
    reply["list"].asArray().push_back(PObject("t\xc3\xa9xt"));
    reply["list"].asArray().push_back(PObject());
    reply["nested"]["deep"]["n"] = static_cast<uint64_t>(0);
    bool ok = false;
    std::thread server(ServeOnce, std::ref(fake), std::ref(received), std::cref(reply), std::ref(ok));

    CtlRunner ctl;
    std::string out, err;
    int rc = ctl.run({"send", "--port", std::to_string(fake.port()),
                      R"({"action": "add_session", "session_id": 4294967296, "recursive": true,
                          "sync_mode": false, "arr": [1, "two", [], {}], "none": null, "_first": "u"})"},
                     out, err);
    server.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(rc, 0) << err;

    EXPECT_EQ(received["action"].asString(), "add_session");
    EXPECT_TRUE(received["session_id"].isInteger());
    EXPECT_EQ(received["session_id"].asUInt64(), 4294967296ULL);
    EXPECT_TRUE(received["recursive"].isInteger());
    EXPECT_EQ(received["recursive"].asUInt64(), 1u);
    EXPECT_EQ(received["sync_mode"].asUInt64(), 0u);
    ASSERT_TRUE(received["arr"].isArray());
    EXPECT_EQ(received["arr"].asArray().size(), 4u);
    EXPECT_EQ(received["arr"][1].asString(), "two");
    EXPECT_TRUE(received["arr"][2].isArray());
    EXPECT_TRUE(received["arr"][3].isMap());
    EXPECT_TRUE(received.hasMember("none"));
    EXPECT_TRUE(received["none"].isNull());
    // A leading "_" puts the key first on the wire and is dropped there.
    EXPECT_TRUE(received.hasMember("first"));

    EXPECT_EQ(out,
              "{\"ack\":\"ok\",\"list\":[18446744073709551615,\"t\xc3\xa9xt\",null],"
              "\"nested\":{\"deep\":{\"n\":0}}}\n");
}

// Off a terminal, watch prints one JSON line per change; the notification file is
// followed from its end, so only what the daemon says during the watch counts.
TEST(Nimbrelctl, WatchPrintsAJsonLinePerChange) {
    e2e::TempDir dir;
    const std::string notes = dir.file("notifications.jsonl");
    const std::string recent =
        R"({"notify":"recent_file","session_id":3,"path":"/done.txt","is_dir":0,"event_type":1})";
    e2e::WriteFile(notes, recent + "\n");  // from before the watch: not counted

    PObject session, worker, idle, busy;
    session["session_id"] = static_cast<uint64_t>(3);
    session["status"] = "uptodate";
    session["unfinished_files"] = static_cast<uint64_t>(0);
    idle["ack"] = "ok";
    idle["session_list"].asArray().push_back(session);
    session["status"] = "syncing";
    session["unfinished_files"] = static_cast<uint64_t>(2);
    worker["session_id"] = static_cast<uint64_t>(3);
    worker["path"] = "/big";
    worker["status"] = "downloading";
    worker["progress"] = static_cast<uint64_t>(100);
    worker["total_size"] = static_cast<uint64_t>(400);
    busy["ack"] = "ok";
    busy["session_list"].asArray().push_back(session);
    busy["worker_list"].asArray().push_back(worker);

    e2e::Listener fake;
    bool ok = true;
    std::thread server([&] {
        // Poll 2 is answered after a notification arrived: poll 3 shows it.
        const PObject* replies[] = {&idle, &idle, &busy};
        for (int i = 0; i < 3 && ok; ++i) {
            int fd = fake.Accept(120);
            Channel channel(81920);
            PObject request;
            PStream stream;
            ok = fd >= 0 && channel.Open(fd, true) == 0 && stream.Recv(channel, request) == StreamResult::kOk &&
                 request["action"].asString() == "get_status";
            if (ok && i == 1) {
                FILE* f = fopen(notes.c_str(), "a");
                fprintf(f, "%s\n", recent.c_str());
                fclose(f);
            }
            ok = ok && stream.Send(channel, *replies[i]) == StreamResult::kOk;
        }
    });
    CtlRunner ctl;
    std::string out, err;
    const int rc = ctl.run(
        {"watch", "--port", std::to_string(fake.port()), "--interval", "0.1", "--count", "3", "--notifications", notes},
        out, err);
    server.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(rc, 0) << err;
    std::vector<nlohmann::json> lines;
    size_t start = 0, end;
    while ((end = out.find('\n', start)) != std::string::npos) {
        lines.push_back(nlohmann::json::parse(out.substr(start, end - start)));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(lines[0]["sessions"][0]["status"], "uptodate") << out;
    EXPECT_EQ(lines[0]["sessions"][0]["files_done"], 0) << out;
    const nlohmann::json& s = lines[1]["sessions"][0];
    EXPECT_EQ(s["session_id"], 3);
    EXPECT_EQ(s["files_to_go"], 2);
    EXPECT_EQ(s["bytes_to_go"], 300);
    EXPECT_EQ(s["transfers"][0]["path"], "/big");
    EXPECT_EQ(s["files_done"], 1) << out;
    EXPECT_EQ(s["last_file"], "/done.txt");

    // A daemon that is not there: a clear error, not a hang.
    EXPECT_EQ(ctl.run({"watch", "--port", std::to_string(e2e::UnusedPort())}, out, err), 1);
    EXPECT_NE(err.find("watch: cannot reach the daemon"), std::string::npos) << err;
    EXPECT_EQ(ctl.run({"watch", "--port", "1", "--interval", "0"}, out, err), 1);
    EXPECT_NE(err.find("invalid --interval"), std::string::npos) << err;
}

TEST(Nimbrelctl, InvalidUtf8InARepliedStringIsReplacedNotFatal) {
    e2e::Listener fake;
    PObject received, reply;
    reply["path"] = "bad\xff";
    bool ok = false;
    std::thread server(ServeOnce, std::ref(fake), std::ref(received), std::cref(reply), std::ref(ok));
    CtlRunner ctl;
    std::string out, err;
    int rc = ctl.run({"status", "--json", "--port", std::to_string(fake.port())}, out, err);
    server.join();
    EXPECT_EQ(rc, 0) << err;
    EXPECT_EQ(out, "{\"path\":\"bad\xef\xbf\xbd\"}\n");
}

TEST(Nimbrelctl, DaemonModePlaysTheUiAndStopsTheDaemonOnInterrupt) {
    Daemon setup;  // only for its configuration and paths; never started
    CtlRunner ctl;
    e2e::Process ui({CtlPath(), "daemon", "--config", setup.config_path, "--ui-port", "0", "--nimbreld",
                     e2e::BinDir() + "/nimbreld"},
                    ctl.env());
    std::string line;
    ASSERT_TRUE(ui.ReadLine(line, 120)) << ui.Stderr();
    ASSERT_EQ(line.rfind("{\"daemon_port\":", 0), 0u) << line;

    // A notification arriving on the UI port comes out as one JSON line.
    const int ui_port = UiPortOf(ui);
    ASSERT_GT(ui_port, 0) << ui.Stderr();
    {
        PObject note;
        note["notify"] = "recent_file";
        note["session_id"] = 3;
        note["path"] = "/docs/a.txt";
        note["is_dir"] = false;
        note["event_type"] = 1;
        note["error_type"] = -6;
        ASSERT_TRUE(SendToUiPort(ui_port, note));
    }
    ASSERT_TRUE(ui.ReadLine(line, 60));
    EXPECT_EQ(line, R"({"error_type":-6,"event_type":1,"is_dir":0,"notify":"recent_file","path":"/docs/a.txt",)"
                    R"("session_id":3})");

    // File contents sent to the UI port are refused, not written anywhere, and the
    // UI keeps serving.
    {
        e2e::WriteFile(setup.dir.file("payload"), "0123456789");
        PObject junk;
        junk["data"] = PObject::binary_type(setup.dir.file("payload").c_str(), 0, 10);
        Channel channel(81920);
        ASSERT_EQ(channel.Open("127.0.0.1", ui_port), 0);
        PStream stream;
        (void)stream.Send(channel, junk);  // the UI reads what it can
        SockAwaitPeerClose(channel.GetFd(), 60000);
    }
    {
        PObject note;
        note["notify"] = "syncing_file";
        ASSERT_TRUE(SendToUiPort(ui_port, note));
    }
    ASSERT_TRUE(ui.ReadLine(line, 60));
    EXPECT_EQ(line, R"({"notify":"syncing_file"})");
    EXPECT_TRUE(ui.WaitForStderr("dropped a UI connection", 60)) << ui.Stderr();

    // Later commands find the daemon through the state file.
    std::string out, err;
    EXPECT_EQ(ctl.run({"status", "--json"}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");
    EXPECT_EQ(ctl.run({"link"}, out, err), 0) << err;
    EXPECT_EQ(out, "{\"ack\":\"ok\"}\n");

    ui.Signal(SIGINT);
    EXPECT_EQ(ui.Wait(120), 0) << ui.Stderr();
    EXPECT_NE(ui.Stderr().find("asked the daemon to stop"), std::string::npos) << ui.Stderr();
    EXPECT_NE(ui.Stderr().find("exited normally"), std::string::npos) << ui.Stderr();
    // The daemon went through its orderly stop, tasks included.
    const std::string log = setup.Log();
    EXPECT_EQ(e2e::CountLines(log, ") down"), 2) << log;
    EXPECT_EQ(e2e::CountLines(log, "main thread down"), 1) << log;
    // And the port file no longer points at it.
    EXPECT_EQ(ctl.run({"status"}, out, err), 1);
}

// Another user reaching the UI port first must not be taken for the daemon: its
// announcement would receive the next link_connection (token, proxy password). The
// port file never goes to a shared folder, and --state means that folder only.
TEST(Nimbrelctl, DaemonModeReadsNothingFromAnotherUserAndKeepsItsPortPrivate) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    CtlRunner ctl;
    e2e::WriteFile(ctl.state.file("idle"), "#!/bin/sh\nexec sleep 60\n");
    ASSERT_EQ(chmod(ctl.state.file("idle").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(ctl.state.file("shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod(ctl.state.file("shared").c_str(), 01777), 0);
    auto env = ctl.env();
    env["XDG_RUNTIME_DIR"] = ctl.state.file("shared");
    e2e::Process ui({CtlPath(), "daemon", "--ui-port", "0", "--nimbreld", ctl.state.file("idle")}, env);
    const int ui_port = UiPortOf(ui);
    ASSERT_GT(ui_port, 0) << ui.Stderr();
    PObject forged;
    forged["daemon_port"] = 1;
    EXPECT_EQ(e2e::AsOtherUser([&] { return SendToUiPort(ui_port, forged) ? 0 : 1; }), 0);
    ASSERT_TRUE(ui.WaitForStderr("refused 1 UI connection", 60)) << ui.Stderr();
    PObject real;
    real["daemon_port"] = 2;
    ASSERT_TRUE(SendToUiPort(ui_port, real));
    std::string line;
    ASSERT_TRUE(ui.ReadLine(line, 60));
    EXPECT_EQ(line, R"({"daemon_port":2})");
    ASSERT_TRUE(ui.WaitForStderr("daemon control port 2", 60)) << ui.Stderr();
    EXPECT_EQ(e2e::ReadFile(ctl.state.file("home/nimbrelctl.port")), "2\n");
    EXPECT_NE(access(ctl.state.file("shared/nimbrelctl.port").c_str(), F_OK), 0);
    std::string out, err;
    EXPECT_EQ(e2e::Run({CtlPath(), "status", "--state", ctl.state.path()}, out, err, env), 1);
    EXPECT_NE(err.find("no daemon runs with the state folder"), std::string::npos) << err;
    ui.Signal(SIGINT);
    ui.Signal(SIGINT);
    ui.Wait(60);
}

// A UI that dies (SIGKILL) takes its daemon along, stopped in order: a daemon left
// running would announce file names to whoever takes the UI port next.
TEST(Nimbrelctl, DaemonStopsInOrderWhenItsUiIsKilled) {
    Daemon setup;  // configuration and paths only
    CtlRunner ctl;
    e2e::Process ui({CtlPath(), "daemon", "--config", setup.config_path, "--ui-port", "0", "--nimbreld",
                     e2e::BinDir() + "/nimbreld"},
                    ctl.env());
    std::string line;
    ASSERT_TRUE(ui.ReadLine(line, 120)) << ui.Stderr();
    const std::string err = ui.Stderr();
    const size_t at = err.find("(pid ");
    ASSERT_NE(at, std::string::npos) << err;
    const pid_t daemon = std::stoi(err.substr(at + 5));
    ui.Signal(SIGKILL);
    ui.Wait(30);
    bool gone = false;
    for (int i = 0; i < 600 && !gone; ++i) {
        const std::string stat = e2e::ReadFile("/proc/" + std::to_string(daemon) + "/stat");
        gone = stat.empty() || stat.find(") Z") != std::string::npos;
        if (!gone) usleep(100000);
    }
    EXPECT_TRUE(gone) << "nimbreld " << daemon << " outlived its UI";
    EXPECT_EQ(e2e::CountLines(setup.Log(), "main thread down"), 1) << setup.Log();
}

TEST(Nimbrelctl, DaemonModeReportsADaemonThatCannotStart) {
    CtlRunner ctl;
    e2e::TempDir dir;
    e2e::WriteFile(dir.file("bad.conf"), "log_file_path = \"/nonexistent-dir/x/nimbreld.log\"\n");
    std::string out, err;
    int rc =
        e2e::Run({CtlPath(), "daemon", "--config", dir.file("bad.conf"), "--nimbreld", e2e::BinDir() + "/nimbreld"},
                 out, err, ctl.env());
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("before announcing"), std::string::npos) << err;

    rc = e2e::Run({CtlPath(), "daemon", "--config", dir.file("bad.conf"), "--nimbreld", dir.file("missing")}, out, err,
                  ctl.env());
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("cannot start"), std::string::npos) << err;

    rc = e2e::Run({CtlPath(), "daemon", "--config", dir.file("absent.conf")}, out, err, ctl.env());
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("cannot read the configuration"), std::string::npos) << err;
}

// The first-start files: written once with every path below the state folder, quoted
// so that the settings reader takes them back as they are; a user's edits are never
// overwritten; a folder no quoting can carry is refused before anything is written.
TEST(Nimbrelctl, InitConfigWritesTheSampleOnceWithItsPathsQuoted) {
    CtlRunner ctl;
    struct Case {
        const char* state;  // below the scratch folder
        bool accepted;
    };
    const Case cases[] = {{"plain", true}, {"with blank", true}, {"dq\"here", true}, {"both\"'", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        const std::string state = ctl.state.file(c.state);
        const std::string config = ctl.state.file(std::string("conf-") + c.state + "/sub/nimbreld.conf");
        std::string out, err;
        const int rc = ctl.run({"init-config", "--config", config, "--state", state}, out, err);
        if (!c.accepted) {
            EXPECT_EQ(rc, 1);
            EXPECT_NE(err.find("cannot be written into a configuration"), std::string::npos) << err;
            EXPECT_NE(access(state.c_str(), F_OK), 0);
            EXPECT_NE(access(config.c_str(), F_OK), 0);
            continue;
        }
        ASSERT_EQ(rc, 0) << err;
        EXPECT_NE(err.find("wrote a sample configuration to " + config), std::string::npos) << err;
        Config parsed;
        ASSERT_TRUE(parsed.read(config.c_str())) << e2e::ReadFile(config);
        EXPECT_EQ(std::string(parsed["fstat_db_path"].c_str_utf8()), state + "/file-status.sqlite");
        EXPECT_EQ(std::string(parsed["log_file_path"].c_str_utf8()), state + "/log/nimbreld.log");
        EXPECT_EQ(std::string(parsed["system_filter_path"].c_str_utf8()), state + "/system.filter");
        EXPECT_NE(e2e::ReadFile(state + "/system.filter").find("[Version]"), std::string::npos);
        EXPECT_FALSE(e2e::ReadFile(state + "/log/nimbreld.debug").empty());

        e2e::WriteFile(config, "worker_count = 5\n");
        e2e::WriteFile(state + "/system.filter", "# mine\n");
        ASSERT_EQ(ctl.run({"init-config", "--config", config, "--state", state}, out, err), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(e2e::ReadFile(config), "worker_count = 5\n");
        EXPECT_EQ(e2e::ReadFile(state + "/system.filter"), "# mine\n");
    }
}

namespace {
// Records the requests the control loop hands over.
class RecordingApp : public ControlApp {
public:
    AppResult run() override { return AppResult::kOk; }
    AppResult send_message(const PObject& request, PObject& reply) override {
        requests.push_back(request);
        reply["ack"] = "ok";
        return AppResult::kOk;
    }
    void kill() override {}
    std::vector<PObject> requests;
};
constexpr uid_t kNobody = 65534;
}  // namespace

// The daemon and nimbrelctl run as an ordinary user; the control loop is busy when
// "stop" is written. nimbrelctl keeps its end open until the daemon closes it, so the
// daemon can still tell its user and runs the request. A raw client that writes and
// closes at once can no longer be told from another user's and is refused as unknown
// (never taken for user 0), and the loop goes on.
TEST(Nimbrelctl, StopOfAnOrdinaryUserIsRunWhenTheLoopGetsToIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run both sides as the ordinary user 65534";
    const std::string ctl = CtlPath();
    e2e::TempDir state;
    ASSERT_EQ(chown(state.path().c_str(), kNobody, kNobody), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(70);
        if (access(ctl.c_str(), X_OK) != 0) _exit(77);  // the build is not reachable for that user
        IPCListener listener;
        const int port = listener.prepare(0);
        if (port <= 0) _exit(71);
        {
            SOCKET s = SockCreateTcp();
            if (SockConnectStart(s, "127.0.0.1", port) != 0) _exit(72);
            const unsigned char link[] = {0x42, 0x10, 0, 6, 'a', 'c', 't', 'i', 'o',
                                          'n',  0x10, 0, 4, 'l', 'i', 'n', 'k', 0x40};
            if (SockSend(s, link, sizeof link) != static_cast<ssize_t>(sizeof link)) _exit(73);
            CloseSocket(s);
        }
        pid_t c = fork();
        if (c == 0) {
            setenv("XDG_RUNTIME_DIR", state.path().c_str(), 1);
            const std::string p = std::to_string(port);
            execl(ctl.c_str(), "nimbrelctl", "stop", "--port", p.c_str(), static_cast<char*>(nullptr));
            _exit(74);
        }
        // Busy: nimbrelctl gets a second to write (a client that closes at once has
        // closed by then).
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 20 && !reaped; ++i) {
            reaped = waitpid(c, &status, WNOHANG) == c;
            if (!reaped) usleep(50000);
        }
        RecordingApp app;
        int ended = 0;
        for (int i = 0; i < 2 && ended == 0; ++i) ended = ServeOneControlRequest(listener, app);
        if (!reaped && waitpid(c, &status, 0) != c) _exit(75);
        if (app.requests.size() != 1 || app.requests[0]["action"].asString() != "stop" || ended != 1) _exit(1);
        _exit(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << ctl << " cannot be run by user 65534";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the stop request was not run; 2: nimbrelctl failed";
}
