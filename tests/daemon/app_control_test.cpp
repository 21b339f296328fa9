// The application object in-process: the message hand-off, the link/unlink life
// cycle with its task table, and the "get_status" lists.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/app.h"
#include "daemon/daemon_test_util.h"
#include "events/event_manager.h"
#include "events/registry.h"
#include "foundation/settings.h"
#include "sync/detector.h"
#include "sync/progress_syncer.h"
#include "sync/recycle_cleaner.h"
#include "sync/syncer.h"
#include "sync/worker.h"
#include "wire/channel.h"
#include "wire/stream.h"

namespace {

using Strings = std::vector<std::string>;

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
}

PObject Action(const char* action) {
    PObject o;
    o["action"] = action;
    return o;
}

Strings Keys(const PObject& map) {
    Strings keys;
    for (const auto& kv : map.asMap()) keys.push_back(kv.first.str());
    return keys;
}

bool OnlyAck(const PObject& reply) { return Keys(reply) == Strings{"ack"} && reply["ack"].asString() == "ok"; }

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nimbrel-app-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        system_filter = dir + "/system.filter";
        WriteFile(system_filter, "[Version]\nmajor = 1\nminor = 0\n");
        Configure(3);
        ASSERT_EQ(app.run(), AppResult::kOk);
    }

    void TearDown() override {
        app.kill();
        Settings::getInstance().reset();
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    void Configure(unsigned workers) {
        const std::string conf = dir + "/nimbreld.conf";
        WriteFile(conf, "fstat_db_path = \"" + dir + "/fstat.sqlite\"\nfilter_db_path = \"" + dir +
                            "/filter.sqlite\"\nsystem_filter_path = \"" + system_filter + "\"\nworker_count = " +
                            std::to_string(workers) + "\nui_port = " + std::to_string(UnusedPort()) + "\n");
        Settings::getInstance().reset();
        ASSERT_TRUE(Settings::getInstance().loadConfigSettings(conf.c_str()));
    }

    PObject Send(const PObject& request) {
        PObject reply;
        EXPECT_EQ(app.send_message(request, reply), AppResult::kOk);
        return reply;
    }
    PObject Send(const char* action) { return Send(Action(action)); }

    Worker* WorkerAt(unsigned index) { return dynamic_cast<Worker*>(app.get_task(index)); }

    std::string dir;
    std::string system_filter;
    Nimbrel app;
};

}  // namespace

TEST_F(AppTest, IdleDaemonAnswersEveryRequestWithAckOnly) {
    EXPECT_TRUE(OnlyAck(Send("get_status")));
    EXPECT_TRUE(OnlyAck(Send("reload_setting")));
    EXPECT_TRUE(OnlyAck(Send("unlink")));
    EXPECT_TRUE(OnlyAck(Send("Link")));  // actions compare exactly
    PObject no_action;
    no_action["session_id"] = 1;
    EXPECT_TRUE(OnlyAck(Send(no_action)));
    EXPECT_TRUE(OnlyAck(Send(PObject())));
    // A reply slot that already holds something keeps it; "ack" is added.
    PObject reply;
    reply["seen"] = 1;
    ASSERT_EQ(app.send_message(Action("get_status"), reply), AppResult::kOk);
    EXPECT_EQ(Keys(reply), (Strings{"ack", "seen"}));
    EXPECT_FALSE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 0u);
}

TEST_F(AppTest, ConcurrentSendersAllGetTheirOwnReplies) {
    // Many senders at once exercise the hand-off: no reply may be lost or mixed up.
    std::atomic<int> good{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                PObject request = Action((t + i) % 3 == 0 ? "reload_setting" : "get_status");
                request["tag"] = t * 100 + i;
                PObject reply;
                reply["tag"] = t * 100 + i;
                if (app.send_message(request, reply) == AppResult::kOk && reply["ack"].asString() == "ok" &&
                    reply["tag"].asUInt64() == static_cast<uint64_t>(t * 100 + i)) {
                    ++good;
                }
            }
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(good.load(), 200);
}

TEST_F(AppTest, LinkBuildsTheTaskTableInIndexOrderAndStartsIt) {
    EXPECT_TRUE(OnlyAck(Send("link")));
    ASSERT_TRUE(app.is_linked());
    ASSERT_EQ(app.get_task_count(), 6u);
    EXPECT_NE(dynamic_cast<Detector*>(app.get_task(0)), nullptr);
    EXPECT_NE(dynamic_cast<RecycleCleaner*>(app.get_task(1)), nullptr);
    EXPECT_NE(dynamic_cast<Syncer*>(app.get_task(2)), nullptr);
    EXPECT_NE(dynamic_cast<ProgressSyncer*>(app.get_task(3)), nullptr);
    EXPECT_NE(WorkerAt(4), nullptr);
    EXPECT_NE(WorkerAt(5), nullptr);
    EXPECT_EQ(app.get_task(6), nullptr);
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(app.get_task(i)->GetState(), Task::RUN) << i;
        EXPECT_GE(app.get_task(i)->GetId(), 0) << i;
    }

    // A second link is refused and leaves the running table alone.
    Task* first = app.get_task(0);
    PObject reply = Send("link");
    EXPECT_EQ(reply["error"].asString(), "Already linked.");
    EXPECT_EQ(app.get_task_count(), 6u);
    EXPECT_EQ(app.get_task(0), first);

    EXPECT_TRUE(OnlyAck(Send("get_status")));
}

TEST_F(AppTest, WorkerCountSetsTheNumberOfWorkers) {
    Configure(2);
    ASSERT_TRUE(OnlyAck(Send("link")));
    EXPECT_EQ(app.get_task_count(), 5u);
    EXPECT_NE(WorkerAt(4), nullptr);
    EXPECT_EQ(WorkerAt(5), nullptr);
    ASSERT_TRUE(OnlyAck(Send("unlink")));

    // A count that would leave no worker keeps the default of three (two workers).
    Configure(1);
    ASSERT_TRUE(OnlyAck(Send("link")));
    EXPECT_EQ(app.get_task_count(), 6u);
    ASSERT_TRUE(OnlyAck(Send("unlink")));

    Configure(5);
    ASSERT_TRUE(OnlyAck(Send("link")));
    EXPECT_EQ(app.get_task_count(), 8u);
    for (unsigned i = 4; i < 8; ++i) EXPECT_NE(WorkerAt(i), nullptr) << i;
}

TEST_F(AppTest, UnlinkStopsEverythingAndMayBeRepeated) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    EXPECT_TRUE(OnlyAck(Send("unlink")));
    EXPECT_FALSE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_TRUE(OnlyAck(Send("unlink")));
    EXPECT_EQ(Send("add_session")["error"].asString(), "Not linked.");
    // And linking again works.
    EXPECT_TRUE(OnlyAck(Send("link")));
    EXPECT_EQ(app.get_task_count(), 6u);
}

TEST_F(AppTest, ActionsThatNeedTheEnvironmentAreRefusedWhileUnlinked) {
    for (const char* action : {"add_session", "reload_session", "remove_session", "link_connection",
                               "reload_connection", "unlink_connection"}) {
        PObject reply = Send(action);
        EXPECT_EQ(Keys(reply), (Strings{"ack", "error", "reason"})) << action;
        EXPECT_EQ(reply["error"].asString(), "Not linked.") << action;
    }
}

TEST_F(AppTest, LinkFailsCleanlyWithoutTheSystemFilter) {
    ASSERT_EQ(unlink(system_filter.c_str()), 0);
    PObject reply = Send("link");
    EXPECT_EQ(reply["error"].asString(), "Failed to initialize environment");
    EXPECT_FALSE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_TRUE(OnlyAck(Send("unlink")));

    // A malformed system filter is no better than a missing one.
    WriteFile(system_filter, "[Version\nmajor = 1\n");
    EXPECT_EQ(Send("link")["error"].asString(), "Failed to initialize environment");
    EXPECT_EQ(app.get_task_count(), 0u);
}

TEST_F(AppTest, StopEndsTheMessageThreadAfterUnlinking) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    PObject reply;
    ASSERT_EQ(app.send_message(Action("stop"), reply), AppResult::kOk);
    EXPECT_EQ(reply["ack"].asString(), "ok");
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_FALSE(app.is_linked());
    // Nobody takes requests any more: the sender is told at once instead of hanging.
    PObject late;
    EXPECT_EQ(app.send_message(Action("get_status"), late), AppResult::kNotRunning);
    app.kill();  // returns at once; the thread is already gone
    app.kill();
}

TEST_F(AppTest, KillStopsALinkedApplication) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    app.kill();
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_EQ(app.send_message(Action("get_status")), AppResult::kNotRunning);
}

TEST(AppLifecycle, NeverStartedApplicationRefusesRequestsAndDiesQuietly) {
    Nimbrel app;
    PObject reply;
    EXPECT_EQ(app.send_message(Action("get_status"), reply), AppResult::kNotRunning);
    app.kill();
    EXPECT_EQ(app.run(), AppResult::kOk);
    EXPECT_EQ(app.run(), AppResult::kAlreadyRunning);  // one message thread only
    EXPECT_EQ(app.send_message(Action("get_status"), reply), AppResult::kOk);
    EXPECT_TRUE(OnlyAck(reply));
    // The destructor ends the thread when the owner forgot kill().
}

TEST_F(AppTest, WorkerListShowsBusyWorkersOnly) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    Worker* w4 = WorkerAt(4);
    Worker* w5 = WorkerAt(5);
    ASSERT_NE(w4, nullptr);
    ASSERT_NE(w5, nullptr);

    // The placeholder loop clears the published event every second; pause neither,
    // but publish again right before each request.
    w5->SetCurrentProcessEventInfo(12, "/docs/b.txt", Worker::W_TYPE_DOWNLOAD);
    w4->SetCurrentProcessEventInfo(7, "/a.txt", Worker::W_TYPE_UPLOAD);
    PObject reply = Send("get_status");
    // Either worker may have cleared its status in between; retry until both show.
    for (int i = 0; i < 50 && reply["worker_list"].asArray().size() != 2; ++i) {
        w5->SetCurrentProcessEventInfo(12, "/docs/b.txt", Worker::W_TYPE_DOWNLOAD);
        w4->SetCurrentProcessEventInfo(7, "/a.txt", Worker::W_TYPE_UPLOAD);
        reply = Send("get_status");
    }
    ASSERT_EQ(reply["worker_list"].asArray().size(), 2u) << reply.toString().c_str_utf8();
    EXPECT_EQ(Keys(reply), (Strings{"ack", "worker_list"}));
    const PObject& first = reply["worker_list"][0];
    EXPECT_EQ(Keys(first), (Strings{"path", "progress", "session_id", "status", "total_size"}));
    EXPECT_EQ(first["session_id"].asUInt64(), 7u);
    EXPECT_EQ(first["path"].asString(), "/a.txt");
    EXPECT_EQ(first["status"].asString(), "uploading");
    EXPECT_EQ(first["progress"].asUInt64(), 0u);
    EXPECT_EQ(first["total_size"].asUInt64(), 0u);
    const PObject& second = reply["worker_list"][1];
    EXPECT_EQ(second["session_id"].asUInt64(), 12u);
    EXPECT_EQ(second["status"].asString(), "downloading");

    // A paused worker reports nothing, so it is left out.
    w4->Pause();
    w5->Pause();
    w4->SetCurrentProcessEventInfo(7, "/a.txt", Worker::W_TYPE_UPLOAD);
    EXPECT_TRUE(OnlyAck(Send("get_status")));
}

TEST_F(AppTest, WorkerProgressCountsOnlyAFileBodyInTransfer) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    Worker* worker = WorkerAt(4);
    ASSERT_NE(worker, nullptr);

    const std::string body = dir + "/body.bin";
    const uint64_t size = 8u << 20;
    {
        std::ofstream f(body, std::ios::binary);
        std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 8; ++i) f << chunk;
    }
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    PObject request;
    request["file"]["data"] = PObject::binary_type(body.c_str(), 0, size);
    request["_action"] = "upload";
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        Channel channel(81920);
        channel.Open(fds[0], false);
        channel.SetTimeout(120);
        (void)worker->GetTransStream().Send(channel, request);
        sent = true;
    });

    // The reader does not read, so the sender stalls inside the file body.
    PObject busy;
    bool seen = false;
    for (int i = 0; i < 600 && !seen; ++i) {
        worker->SetCurrentProcessEventInfo(3, "/big.bin", Worker::W_TYPE_UPLOAD);
        busy = Send("get_status");
        const PObject& item = busy["worker_list"][0];
        seen = item["total_size"].asUInt64() == size && item["progress"].asUInt64() > 0 &&
               item["progress"].asUInt64() < size;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(seen) << busy.toString().c_str_utf8();
    EXPECT_EQ(busy["worker_list"][0]["path"].asString(), "/big.bin");

    // Drain the socket so that the sender finishes.
    std::thread drain([&] {
        char buf[65536];
        while (read(fds[1], buf, sizeof buf) > 0) {
        }
    });
    sender.join();
    shutdown(fds[1], SHUT_RDWR);
    drain.join();
    close(fds[1]);
    EXPECT_TRUE(sent.load());
}

TEST_F(AppTest, SessionListFollowsTheRegistryAndThePendingEvents) {
    ASSERT_TRUE(OnlyAck(Send("link")));
    const std::string folder = dir + "/sync";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    Registry::Entry entry;
    entry.local_path = folder.c_str();
    entry.pause = true;
    entry.sess_id = 9;
    Registry::getInstance().Set(entry);
    entry.sess_id = 4;
    Registry::getInstance().Set(entry);

    PObject reply = Send("get_status");
    EXPECT_EQ(Keys(reply), (Strings{"ack", "session_list"}));
    ASSERT_EQ(reply["session_list"].asArray().size(), 2u);
    // Ascending session ids.
    EXPECT_EQ(reply["session_list"][0]["session_id"].asUInt64(), 4u);
    EXPECT_EQ(reply["session_list"][1]["session_id"].asUInt64(), 9u);
    // The specified members keep their values; beside them the honest state: a paused
    // session is never "uptodate" there.
    EXPECT_EQ(Keys(reply["session_list"][0]),
              (Strings{"bytes_per_second", "bytes_to_go", "local_path", "paused", "remote_path", "session_id", "state",
                       "status", "unfinished_files", "view_id"}));
    EXPECT_EQ(reply["session_list"][0]["status"].asString(), "uptodate");
    EXPECT_EQ(reply["session_list"][0]["state"].asString(), "paused");
    EXPECT_EQ(reply["session_list"][0]["unfinished_files"].asUInt64(), 0u);

    for (const char* path : {"/a.txt", "/b.txt"}) {
        Event e;
        e.m_type = Event::EV_CREATE;
        e.m_sess_id = 9;
        e.m_path = path;
        e.m_data_size = 1000;
        EventManager::getInstance().PushLocalEvent(e);
    }
    reply = Send("get_status");
    ASSERT_EQ(reply["session_list"].asArray().size(), 2u);
    EXPECT_EQ(reply["session_list"][0]["status"].asString(), "uptodate");
    EXPECT_EQ(reply["session_list"][1]["status"].asString(), "syncing");
    EXPECT_EQ(reply["session_list"][1]["unfinished_files"].asUInt64(), 2u);
    EXPECT_EQ(reply["session_list"][1]["bytes_to_go"].asUInt64(), 2000u);

    // Unlinking empties the registry and the event manager.
    ASSERT_TRUE(OnlyAck(Send("unlink")));
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
    EXPECT_EQ(EventManager::getInstance().GetReadyQueueSize(), 0u);
    EXPECT_TRUE(OnlyAck(Send("get_status")));
}
