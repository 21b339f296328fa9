#include "events/event_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "events/registry.h"
#include "events/ui_ipc.h"
#include "events_test_util.h"
#include "foundation/task.h"
#include "store/file_status_db.h"
#include "ui_listener.h"

using events_test::Ev;

namespace {

constexpr uint32_t D = Event::F_DIR;
constexpr uint32_t S = Event::F_SERVER;

class FakeWorker : public Task {
public:
    int SetAbort(bool abort) override {
        if (abort) ++aborts;
        return 0;
    }
    std::atomic<int> aborts{0};
};

class EventManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        mgr.Clear();
        Registry::getInstance().Clear();
        for (uint64_t id : {1, 2}) {
            Registry::Entry e;
            e.sess_id = id;
            e.local_path = ("/tmp/sess" + std::to_string(id)).c_str();
            Registry::getInstance().Set(e);
        }
        db = "/tmp/nimbrel_evmgr_" + std::to_string(getpid()) + ".sqlite";
        std::remove(db.c_str());
        ASSERT_EQ(DbResult::kOk, FileStatusDB::initialize(db.c_str()));
        events_test::SetUIPort(events_test::DeadPort());
    }
    void TearDown() override {
        mgr.Clear();
        Registry::getInstance().Clear();
        FileStatusDB::destroy();
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
        Settings::getInstance().reset();
    }

    static int SyncStatus(const char* full_path) {
        FileStatusInfo info;
        if (FileStatusDB::getFileSyncStat(full_path, &info) != DbLookup::kFound) return -1;
        return info.syncStatus;
    }

    EventManager& mgr = EventManager::getInstance();
    std::string db;
};

}  // namespace

TEST_F(EventManagerTest, SessionsAreServedInTurn) {
    for (int i = 0; i < 3; ++i) {
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, ("/a" + std::to_string(i)).c_str(), 0, 0, 1));
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, ("/b" + std::to_string(i)).c_str(), 0, 0, 2));
    }
    EXPECT_EQ(3u, mgr.GetAllPendingEventCount(1));
    FakeWorker w;
    std::vector<uint64_t> order;
    Event e;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(0, mgr.PullEvent(&w, e));
        order.push_back(e.m_sess_id);
        ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    }
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 1, 2, 1, 2}), order);
    EXPECT_EQ(-1, mgr.PullEvent(&w, e));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
}

// A rescan handed to a worker leaves the queue empty, yet the session has work until
// the worker is done with it.
TEST_F(EventManagerTest, RescanInProgressIsWorkWhileTheQueueIsEmpty) {
    mgr.IssueRescan(1, "/", false);
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
    EXPECT_TRUE(mgr.IsExpanding(1));
    EXPECT_FALSE(mgr.IsExpanding(2));
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    EXPECT_FALSE(mgr.IsExpanding(1));
}

TEST_F(EventManagerTest, BusySessionsAlternateAndEachIsQueuedOnce) {
    FakeWorker w;
    Event e;
    // A pool that empties and refills before a worker asks is still queued once.
    for (int i = 0; i < 10; ++i) {
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, ("/a" + std::to_string(i)).c_str(), 0, 0, 1));
        ASSERT_EQ(0, mgr.PullEvent(&w, e));
        ASSERT_EQ(0, mgr.DoneEvent(&w, e));
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, ("/n" + std::to_string(i)).c_str(), 0, 0, 1));
        EXPECT_EQ(1u, mgr.GetReadyQueueSize());
    }
    // Two sessions that stay busy (each event done is followed by a new one) take turns.
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/b", 0, 0, 2));
    std::vector<uint64_t> order;
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(0, mgr.PullEvent(&w, e));
        order.push_back(e.m_sess_id);
        ASSERT_EQ(0, mgr.DoneEvent(&w, e));
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, ("/busy" + std::to_string(i)).c_str(), 0, 0, e.m_sess_id));
        EXPECT_LE(mgr.GetReadyQueueSize(), 2u);
    }
    for (size_t i = 1; i < order.size(); ++i) EXPECT_NE(order[i], order[i - 1]) << "pull " << i;
}

TEST_F(EventManagerTest, ModificationDuringUploadIsHandedToTheSameWorker) {
    FakeWorker w;
    mgr.PushLocalEvent(Ev(Event::EV_CREATE, "/f", 0, 0, 1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/f", 0, 0, 1));
    EXPECT_EQ(0, w.aborts.load());
    Event other;
    FakeWorker w2;
    EXPECT_EQ(-1, mgr.PullEvent(&w2, other));  // the merged node is not handed to anyone else
    ASSERT_EQ(-1, mgr.DoneEvent(&w, e));
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EXPECT_EQ("/f", e.m_path.str());
    EventManager::registry_entry_t reg;
    ASSERT_TRUE(mgr.GetRegistryEntry(&w, reg));
    EXPECT_FALSE(reg.is_dirty());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    EXPECT_FALSE(mgr.GetRegistryEntry(&w, reg));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, MergeUnderAnotherSpellingOfThePathIsNotLost) {
    FakeWorker w;
    mgr.PushLocalEvent(Ev(Event::EV_CREATE, "/d/f", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_CREATE, "/d/g", 0, 0, 1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/d/f", e.m_path.str());
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/d//f", 0, 0, 1));  // same node, other text
    ASSERT_EQ(-1, mgr.DoneEvent(&w, e));
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/d/g", e.m_path.str());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, LocalRemovalAbortsUpload) {
    FakeWorker w;
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/up", 0, 0, 1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    mgr.PushServerEvent(Ev(Event::EV_REMOVE, "/up", 0, 5, 1));  // server events never abort
    EXPECT_EQ(0, w.aborts.load());
    mgr.PushLocalEvent(Ev(Event::EV_REMOVE, "/other", 0, 0, 1));
    EXPECT_EQ(0, w.aborts.load());
    mgr.PushLocalEvent(Ev(Event::EV_REMOVE, "/up", 0, 0, 2));  // another session
    EXPECT_EQ(0, w.aborts.load());
    mgr.PushLocalEvent(Ev(Event::EV_REMOVE, "/up", 0, 0, 1));
    EXPECT_EQ(1, w.aborts.load());
}

TEST_F(EventManagerTest, RepeatedExpansionInterruptsTheExpander) {
    FakeWorker w;
    mgr.IssueExpand(1, "/d");
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_TRUE(e.isExpand());
    mgr.IssueRescan(1, "/d", false);  // other mode: no interruption
    EXPECT_EQ(0, w.aborts.load());
    mgr.IssueExpand(1, "/d");
    EXPECT_EQ(1, w.aborts.load());
}

TEST_F(EventManagerTest, RescanOfRootReplacesQueuedExpansions) {
    mgr.IssueExpand(1, "/a");
    mgr.IssueExpand(1, "/b");
    mgr.IssueRescan(1, "/c", false);
    EXPECT_EQ(3u, mgr.GetAllPendingEventCount(1));
    mgr.IssueRescan(1, "/", true);
    EXPECT_EQ(1u, mgr.GetAllPendingEventCount(1));
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/", e.m_path.str());
    EXPECT_EQ(static_cast<uint32_t>(D | Event::F_EXPAND | Event::F_RESCAN | Event::F_MERGE), e.m_mode);
    EXPECT_EQ(Event::EV_CREATE, e.m_type);
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    EXPECT_EQ(-1, mgr.PullEvent(&w, e));
}

TEST_F(EventManagerTest, TreeEventsBeforeExpansions) {
    mgr.IssueExpand(1, "/x");
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/f", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/g", 0, 0, 1));  // a file expansion is ignored
    Event fexp = Ev(Event::EV_CREATE, "/h", Event::F_EXPAND, 0, 1);
    mgr.PushLocalEvent(fexp);
    EXPECT_EQ(3u, mgr.GetAllPendingEventCount(1));
    FakeWorker w;
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/f", e.m_path.str());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/g", e.m_path.str());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/x", e.m_path.str());
    EXPECT_TRUE(e.isExpand());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, UnregisteredSessionIsDropped) {
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/f", 0, 0, 77));
    mgr.PushServerEvent(Ev(Event::EV_MODIFY, "/f", 0, 3, 77));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(77));
    EXPECT_EQ(0u, mgr.GetPendingServerEvent(77));
    EXPECT_EQ(0u, mgr.GetReadyQueueSize());
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess77\\f"));
}

TEST_F(EventManagerTest, InvalidPathIsDropped) {
    Event bad = Ev(Event::EV_MODIFY, "/ok", 0, 0, 1);
    bad.m_path = ustring("/\xff\xfe", 3);
    mgr.PushLocalEvent(bad);
    EXPECT_EQ(0u, mgr.GetReadyQueueSize());
}

TEST_F(EventManagerTest, OnlyProcessingLeftKeepsPoolQueued) {
    FakeWorker w1, w2;
    mgr.PushServerEvent(Ev(Event::EV_MODIFY, "/s", 0, 4, 1));
    EXPECT_EQ(1u, mgr.GetPendingServerEvent(1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w1, e));
    EXPECT_TRUE(e.isServerEvent());  // F_SERVER is forced on
    EXPECT_EQ(1u, mgr.GetReadyQueueSize());
    Event none;
    EXPECT_EQ(-1, mgr.PullEvent(&w2, none));
    EXPECT_EQ(1u, mgr.GetReadyQueueSize());
    ASSERT_EQ(0, mgr.DoneEvent(&w1, e));
    EXPECT_EQ(0u, mgr.GetPendingServerEvent(1));
    EXPECT_EQ(-1, mgr.PullEvent(&w2, none));
    EXPECT_EQ(0u, mgr.GetReadyQueueSize());
    // a new event brings the pool back
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/t", 0, 0, 1));
    EXPECT_EQ(1u, mgr.GetReadyQueueSize());
    ASSERT_EQ(0, mgr.PullEvent(&w2, e));
}

TEST_F(EventManagerTest, BlockedSessionDoesNotStallOthers) {
    FakeWorker w1, w2;
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/only", 0, 0, 1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w1, e));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/other", 0, 0, 2));
    // session 1 (in front) has nothing to hand out; session 2 is served anyway
    ASSERT_EQ(0, mgr.PullEvent(&w2, e));
    EXPECT_EQ(2u, e.m_sess_id);
}

TEST_F(EventManagerTest, RedoPutsEventBack) {
    FakeWorker w;
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/a", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/b", 0, 0, 1));
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/a", e.m_path.str());
    ASSERT_EQ(0, mgr.RedoEvent(&w, e));
    EventManager::registry_entry_t reg;
    EXPECT_FALSE(mgr.GetRegistryEntry(&w, reg));
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/b", e.m_path.str());
    ASSERT_EQ(0, mgr.DoneEvent(&w, e));
    ASSERT_EQ(0, mgr.PullEvent(&w, e));
    EXPECT_EQ("/a", e.m_path.str());
    EXPECT_EQ(-1, mgr.RedoEvent(&w, Ev(Event::EV_MODIFY, "/a", 0, 0, 55)));  // no pool
    EXPECT_EQ(-1, mgr.RedoEvent(&w, Ev(Event::EV_MODIFY, "/zz", 0, 0, 1)));  // no node
    EXPECT_TRUE(mgr.GetRegistryEntry(&w, reg));
}

TEST_F(EventManagerTest, DoneWithoutRegistrationIsFine) {
    FakeWorker w;
    Event e = Ev(Event::EV_MODIFY, "/a", 0, 0, 1);
    EXPECT_EQ(0, mgr.DoneEvent(&w, e));
}

TEST_F(EventManagerTest, ChangeDuringExpansionIsLeftToTheTree) {
    FakeWorker w1, w2;
    mgr.IssueExpand(1, "/d");
    Event e;
    ASSERT_EQ(0, mgr.PullEvent(&w1, e));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/d", D, 0, 1));
    EventManager::registry_entry_t reg;
    ASSERT_TRUE(mgr.GetRegistryEntry(&w1, reg));
    EXPECT_TRUE(reg.is_dirty());
    Event next;
    ASSERT_EQ(0, mgr.PullEvent(&w2, next));
    EXPECT_EQ("/d", next.m_path.str());
    EXPECT_FALSE(next.isExpand());
    // the expander finishes: it must not get the same event that w2 is carrying out
    EXPECT_EQ(0, mgr.DoneEvent(&w1, e));
    ASSERT_EQ(0, mgr.DoneEvent(&w2, next));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, FileStatusMarks) {
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/dir/f.txt", 0, 0, 1));
    mgr.PushServerEvent(Ev(Event::EV_CREATE, "/sdir", D, 3, 2));
    mgr.IssueExpand(1, "/exp");
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\dir\\f.txt"));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess2\\sdir"));
    FileStatusInfo info;
    ASSERT_EQ(DbLookup::kFound, FileStatusDB::getFileSyncStat("\\tmp\\sess2\\sdir", &info));
    EXPECT_EQ(SFT_DIR, info.fileType);
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\exp"));  // local expansions are not marked
    EXPECT_EQ(DbResult::kOk, mgr.SyncedEvent2FStatDB("/tmp/sess1/dir/f.txt"));
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\dir\\f.txt"));
}

TEST_F(EventManagerTest, PruningClearsMarksOfDroppedWork) {
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/d/a", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/d/s/b", 0, 0, 1));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\d\\a"));
    mgr.PushLocalEvent(Ev(Event::EV_REMOVE, "/d", D, 0, 1));
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\d\\a"));
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\d\\s\\b"));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\d"));
    EXPECT_EQ(1u, mgr.GetAllPendingEventCount(1));
}

TEST_F(EventManagerTest, SyncingNotificationsReachTheUI) {
    events_test::UIListener ui;
    events_test::SetUIPort(ui.Port());
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/n1", 0, 0, 1));
    mgr.IssueExpand(1, "/n2");                                                    // no notification
    mgr.PushServerEvent(Ev(Event::EV_CREATE, "/n3", D | Event::F_EXPAND, 7, 1));  // server: notified
    ASSERT_TRUE(ui.WaitFor(2));
    auto v = ui.Values();
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ("syncing_file", v[0]["notify"].asString().str());
    EXPECT_EQ("/n1", v[0]["path"].asString().str());
    EXPECT_EQ(3, v[0]["event_type"].asInt32());
    EXPECT_EQ("/n3", v[1]["path"].asString().str());
    EXPECT_TRUE(v[1]["is_dir"].asBool());
}

TEST_F(EventManagerTest, ConcurrentProducersAndWorkers) {
    FileStatusDB::destroy();  // keep the sqlite file out of this one: speed
    constexpr int kPerProducer = 300;
    std::atomic<bool> producing{true};
    std::atomic<int> done{0};
    std::thread producers[2];
    for (int p = 0; p < 2; ++p) {
        producers[p] = std::thread([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                std::string path = "/p" + std::to_string(p) + "/d" + std::to_string(i % 7) + "/f" + std::to_string(i);
                if (p == 0)
                    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, path.c_str(), 0, 0, 1 + (i % 2)));
                else
                    mgr.PushServerEvent(Ev(Event::EV_MODIFY, path.c_str(), 0, i + 1, 1 + (i % 2)));
            }
        });
    }
    std::vector<std::thread> workers;
    std::vector<std::unique_ptr<FakeWorker>> tasks;
    for (int w = 0; w < 3; ++w) tasks.push_back(std::make_unique<FakeWorker>());
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            Event e;
            int idle = 0;
            while (idle < 2000) {
                if (mgr.PullEvent(tasks[w].get(), e) != 0) {
                    if (!producing) ++idle;
                    std::this_thread::yield();
                    continue;
                }
                idle = 0;
                while (mgr.DoneEvent(tasks[w].get(), e) != 0) {
                }
                ++done;
            }
        });
    }
    for (auto& t : producers) t.join();
    producing = false;
    for (auto& t : workers) t.join();
    EXPECT_EQ(2 * kPerProducer, done.load());
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(2));
}

TEST_F(EventManagerTest, RefusedEventsLeaveNoMarkAndNoNotice) {
    events_test::UIListener ui;
    events_test::SetUIPort(ui.Port());
    std::string deep;
    for (int i = 0; i < 2049; ++i) deep += "/d";
    const std::vector<std::string> refused = {"/ends/in/", "/" + std::string(1024, 'n'), deep};
    for (const std::string& path : refused) {
        mgr.PushLocalEvent(Ev(Event::EV_MODIFY, path.c_str(), 0, 0, 1));
        mgr.PushServerEvent(Ev(Event::EV_CREATE, path.c_str(), 0, 5, 1));
        std::string key = "\\tmp\\sess1" + path;
        for (char& c : key)
            if (c == '/') c = '\\';
        EXPECT_EQ(-1, SyncStatus(key.c_str())) << path.substr(0, 40);
    }
    EXPECT_EQ(0u, mgr.GetAllPendingEventCount(1));
    EXPECT_EQ(0u, mgr.GetReadyQueueSize());
    // The one accepted event afterwards is the only notice.
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/fine", 0, 0, 1));
    ASSERT_TRUE(ui.WaitFor(1));
    auto v = ui.Values();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ("/fine", v[0]["path"].asString().str());
}

TEST_F(EventManagerTest, ABackslashInANameNeverSharesAFileStatusKey) {
    EXPECT_EQ(FileStatusKey("/s/a/b"), "\\s\\a\\b");  // the form other programs read
    EXPECT_EQ(FileStatusKey("/s/a\\b"), "\\s\\a/b");
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/a\\b", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/a/b", 0, 0, 1));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\a/b"));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\a\\b"));
    // Finishing one, or pruning it under a removed folder, leaves the other's mark.
    EXPECT_EQ(DbResult::kOk, mgr.SyncedEvent2FStatDB("/tmp/sess1/a/b"));
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\a\\b"));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\a/b"));
    mgr.PushLocalEvent(Ev(Event::EV_MODIFY, "/a/c", 0, 0, 1));
    mgr.PushLocalEvent(Ev(Event::EV_REMOVE, "/a", D, 0, 1));
    EXPECT_EQ(-1, SyncStatus("\\tmp\\sess1\\a\\c"));
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\a/b"));
}

// The manager's lock is a no-I/O zone: every push above ran its database and UI work
// outside it, or this check would have aborted the test. Here it fires on purpose.
TEST_F(EventManagerTest, DatabaseOrUiWorkInsideTheNoIoZoneAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            NoIoZone zone;
            static_cast<void>(FileStatusDB::flush());
        },
        "FileStatusDB::flush called while a no-I/O lock is held");
    EXPECT_DEATH(
        {
            NoIoZone zone;
            UI_IPC::ReportFileEventToUI(Ev(Event::EV_MODIFY, "/x", 0, 0, 1));
        },
        "called while a no-I/O lock is held");
    // Queuing a mark is memory only and allowed there.
    {
        NoIoZone zone;
        EXPECT_EQ(DbResult::kOk, mgr.SyncingEvent2FStatDB("/tmp/sess1/q", false));
    }
    ASSERT_EQ(DbResult::kOk, FileStatusDB::flush());
    EXPECT_EQ(2, SyncStatus("\\tmp\\sess1\\q"));
}
