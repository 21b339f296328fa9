// The server event puller against the real refserver: up-to-date rests, echoes,
// the sync id stored only after the workers, error replies and hostile paths.
#include "sync/syncer.h"

#include "foundation/error_codes.h"
#include "sync/event_spool.h"
#include "sync/server_path.h"
#include "sync/sync_fixture.h"

namespace {

// Exposes the reply processing, for replies the refserver would never send.
class OpenSyncer : public Syncer {
public:
    OpenSyncer() : Syncer(SyncServices::Process()) {}
    using Syncer::context;
    using Syncer::ProcessEvents;
    using Syncer::UpdateContext;
};

class SyncerTest : public SyncFixture {};

TEST_F(SyncerTest, UpToDateSessionsPushNothingAndRestOnceThenStartOver) {
    StartServer();
    AddSession(1, 101);
    AddSession(2, 102);
    Syncer syncer{SyncServices::Process()};  // never started: its waits return at once
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(syncer.GetUptodateSet(), (std::set<uint64_t>{1}));
    EXPECT_EQ(syncer.GetRestCount(), 0u);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(syncer.GetRestCount(), 1u);
    EXPECT_TRUE(syncer.GetUptodateSet().empty());
    // Starts over with an empty set.
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(syncer.GetUptodateSet(), (std::set<uint64_t>{1}));
    EXPECT_EQ(syncer.GetRestCount(), 1u);
    EXPECT_EQ(EventManager::getInstance().GetReadyQueueSize(), 0u);
    EXPECT_TRUE(server.WaitLog("pull_event: view 101 since 0: 0 events, next 0", 2));
    EXPECT_EQ(server.CountLog("pull_event: view 101 since 0: 0 events, next 0"), 2);
}

TEST_F(SyncerTest, EchoesAreDroppedAndTheSyncIdIsStoredAfterTheWorkers) {
    StartServer();
    Registry::Entry s = AddSession(1, 7);
    const uint64_t a = Change(7, "/a.txt");
    Change(7, "/b.txt");
    Change(7, "/gone.txt", false, true);
    const uint64_t known = Change(7, "/known.txt", false, true);
    Change(7, "/d", true);
    const uint64_t last = Change(7, "/d/e.txt");
    Change(8, "/other-view.txt");
    // The client has /a.txt at exactly that sync id, and knows /known.txt.
    for (auto [path, id] : {std::pair<const char*, uint64_t>{"/a.txt", a}, {"/known.txt", known - 1}}) {
        ClientFileEventInfo row;
        row.path = path;
        row.syncID = id;
        ASSERT_EQ(s.event_db->setEventInfo(row), DbResult::kOk);
    }

    RecordingWorker worker;
    ASSERT_TRUE(worker.Run());
    OpenSyncer syncer;
    syncer.SetState(Task::RUN);  // a live task's waits, on the test's thread
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(StoredSyncId(1), last);  // the view's highest; other views do not count
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 0u);

    std::vector<Event> seen = worker.Seen();
    EXPECT_EQ(Paths(seen), (std::vector<std::string>{"/b.txt", "/known.txt", "/d", "/d/e.txt"}));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].m_type, Event::EV_CREATE);
    EXPECT_EQ(seen[0].m_data_hash, ustring("hash-of/b.txt"));
    EXPECT_EQ(seen[0].m_data_size, 6u);
    EXPECT_EQ(seen[0].m_time, 1700000000u);
    EXPECT_EQ(seen[0].m_max_id, seen[0].m_sync_id);  // no max_id in the reply
    EXPECT_EQ(seen[1].m_type, Event::EV_REMOVE);
    EXPECT_TRUE(seen[2].isDir() && seen[2].isServerEvent());
    EXPECT_EQ(seen[2].m_max_id, last);

    // Nothing new: up to date, nothing pushed again.
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(worker.Seen().size(), 4u);
    EXPECT_TRUE(server.WaitLog("since " + std::to_string(last) + ": 0 events", 1));
    EXPECT_EQ(server.CountLog("since " + std::to_string(last) + ": 0 events"), 1);
}

TEST_F(SyncerTest, PathsAreRelativeToTheRemoteFolderAndHonourRecursion) {
    StartServer();
    AddSession(1, 7, "/team", false);
    Change(7, "/team/a.txt");
    Change(7, "/team/sub", true);
    Change(7, "/team/sub/c.txt");
    Change(7, "/teamx/b.txt");
    const uint64_t last = Change(7, "/other.txt");

    RecordingWorker worker;
    ASSERT_TRUE(worker.Run());
    Syncer syncer{SyncServices::Process()};
    syncer.SetState(Task::RUN);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(StoredSyncId(1), last);
    EXPECT_TRUE(server.WaitLog("since 0: 2 events", 1));  // /a.txt and /sub
    EXPECT_EQ(server.CountLog("since 0: 2 events"), 1);
    // The worker leaves out directories of a session that is not recursive.
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/a.txt"}));
}

TEST_F(SyncerTest, PausedMidWayKeepsTheSyncIdAndTheSameEventsComeAgain) {
    StartServer();
    AddSession(1, 7);
    Change(7, "/x.txt");
    const uint64_t last = Change(7, "/y.txt");

    Syncer syncer{SyncServices::Process()};
    syncer.SetState(Task::RUN);
    std::atomic<int> action{-9};
    std::thread pull([&] { action = syncer.RunOnce(); });
    // No worker yet: the events wait in the manager while the session is paused.
    for (int i = 0; i < 600 && EventManager::getInstance().GetPendingServerEvent(1) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 2u);
    SetPause(1, true);
    pull.join();
    EXPECT_EQ(action.load(), Syncer::ACTION_RETRY);
    EXPECT_EQ(StoredSyncId(1), 0u);

    SetPause(1, false);
    RecordingWorker worker;
    ASSERT_TRUE(worker.Run());
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(StoredSyncId(1), last);
    EXPECT_TRUE(server.WaitLog("since 0: 2 events", 2));
    EXPECT_EQ(server.CountLog("since 0: 2 events"), 2);
    std::vector<std::string> paths = Paths(worker.Seen());
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), (std::set<std::string>{"/x.txt", "/y.txt"}));
}

TEST_F(SyncerTest, ErrorRepliesBecomeRetriesAndNeverMoveTheSyncId) {
    struct Case {
        std::vector<std::string> options;
        int code;
        const char* notice;  // "session_id", "connection_id" or none
    };
    for (const Case& c : {Case{{"--fault", "pull_event=0x3003"}, ERR_VIEW_PATH, "session_id"},
                          Case{{"--fault", "pull_event=0x7005"}, ERR_SERVER, nullptr},
                          Case{{"--fault", "pull_event=0xB001"}, ERR_SERVER, nullptr},
                          Case{{"--token", "another"}, ERR_AUTH, "connection_id"}}) {
        SCOPED_TRACE(c.options.back());
        StartServer(c.options);
        Registry::Entry s = AddSession(1, 7);
        ASSERT_EQ(s.event_db->setSyncId(5), DbResult::kOk);
        Change(7, "/a.txt");
        ui.Reset();
        OpenSyncer syncer;
        ASSERT_EQ(syncer.UpdateContext(), Loaded::kReady);
        EXPECT_EQ(syncer.PullEvent(), c.code);
        EXPECT_EQ(syncer.HandleError(c.code), Syncer::ACTION_RETRY);
        EXPECT_EQ(Syncer::WaitOf(Syncer::ACTION_RETRY), 3u);
        EXPECT_EQ(StoredSyncId(1), 5u);
        if (c.notice) {
            ASSERT_TRUE(ui.WaitForKind("error", 1));
            std::vector<PObject> notices = ErrorNotices();
            ASSERT_EQ(notices.size(), 1u);
            EXPECT_EQ(notices[0][c.notice].asUInt64(), 1u);
            EXPECT_EQ(notices[0]["error_type"].asInt32(), c.code);
        } else {
            EXPECT_TRUE(ErrorNotices().empty());
        }
        Registry::getInstance().Clear();
        server.Stop();
    }
}

TEST_F(SyncerTest, UntrustworthyRepliesAreServerErrors) {
    AddSession(1, 7);
    Registry::Entry s;
    ASSERT_EQ(Registry::getInstance().Find(1, s), 1);
    ASSERT_EQ(s.event_db->setSyncId(5), DbResult::kOk);
    PObject no_next, below, no_list;
    no_next["event_list"] = PObject::array_type();
    below["next_sync_id"] = (uint64_t)4;
    below["event_list"] = PObject::array_type();
    no_list["next_sync_id"] = (uint64_t)9;
    for (const PObject& reply : {no_next, below, no_list}) {
        OpenSyncer syncer;
        syncer.context.entry = s;
        syncer.context.sync_id = 5;
        EXPECT_EQ(syncer.ProcessEvents(reply), ERR_SERVER) << reply.toString().c_str_utf8();
        EXPECT_EQ(StoredSyncId(1), 5u);
    }
    // The policy for the codes without a row in the original table.
    EXPECT_EQ(Syncer::ActionOf(ERR_CH_CONNECTION_ABORT), Syncer::ACTION_RETRY);
    EXPECT_EQ(Syncer::ReportOf(ERR_CH_CONNECTION_ABORT), Syncer::REPORT_NONE);
    EXPECT_EQ(Syncer::ActionOf(ERR_LOCAL_DISKFULL), Syncer::ACTION_RETRY_LONG_WAIT);
    EXPECT_EQ(Syncer::ReportOf(ERR_LOCAL_DISKFULL), Syncer::REPORT_SESSION);
    EXPECT_EQ(Syncer::WaitOf(Syncer::ACTION_RETRY_LONG_WAIT), 120u);
    EXPECT_EQ(Syncer::ActionOf(ERR_LOCKED_FILE), Syncer::ACTION_RETRY);
}

TEST_F(SyncerTest, HostileEventListIsDroppedWhileTheValidEventsAreProcessed) {
    StartServer();
    AddSession(1, 7);
    Change(7, "/fine.txt");
    for (const std::string& bad : {std::string("/../x"), std::string("/a/./b"), std::string("a"), std::string("/a//b"),
                                   std::string("/ok\0bad", 7), std::string("/trail/"), "/" + std::string(256, 'n')})
        Change(7, bad);
    const uint64_t last = Change(7, "/dir", true);
    const auto before = std::distance(std::filesystem::directory_iterator(root), {});

    RecordingWorker worker;
    ASSERT_TRUE(worker.Run());
    Syncer syncer{SyncServices::Process()};
    syncer.SetState(Task::RUN);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/fine.txt", "/dir"}));
    EXPECT_EQ(StoredSyncId(1), last);
    // Nothing appeared beside or above the session folders.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), before);
    EXPECT_FALSE(exists("s1/x"));
}

TEST(ServerPath, OnlyPathsBeneathTheSessionRootPass) {
    for (const char* ok : {"/", "/a", "/a/b.txt", "/.hidden", "/a/..b", "/a b/c"})
        EXPECT_TRUE(IsSafeServerPath(ok)) << ok;
    // (A zero byte never reaches a ustring: the wire reports cut texts instead.)
    for (const std::string& bad :
         {std::string(""), std::string("a"), std::string("/.."), std::string("/a/../b"), std::string("/./a"),
          std::string("//a"), std::string("/a/"), "/" + std::string(256, 'x')}) {
        const char* why = nullptr;
        EXPECT_FALSE(IsSafeServerPath(bad, &why)) << EscapeForLog(bad);
        EXPECT_NE(why, nullptr);
    }
    EXPECT_TRUE(IsSafeServerPath("/" + std::string(255, 'x')));
    EXPECT_EQ(EscapeForLog("/a\x01\n\\"), "/a\\x01\\x0a\\x5c");
}

}  // namespace

// Once every session is up to date the next pull carries "wait": a server that knows
// it holds the pull, and a change stored meanwhile comes across without a rest.
TEST_F(SyncerTest, UpToDatePullIsHeldUntilAChangeArrives) {
    StartServer();
    AddSession(1, 7);
    RecordingWorker worker;
    ASSERT_TRUE(worker.Run());
    OpenSyncer syncer;
    syncer.SetState(Task::RUN);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);  // up to date: no rest, the next pull is held
    EXPECT_EQ(server.CountLog("(waited)"), 0);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Change(7, "/late.txt");
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    later.join();
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/late.txt"}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));  // the hold is 10 s
    EXPECT_TRUE(server.WaitLog("(waited)", 1));
    EXPECT_EQ(server.CountLog("(waited)"), 1);
}

// The spool gives back what it was given, in order, texts and numbers alike, and is
// empty after a reset.
TEST(EventSpool, GivesBackWhatItKeptInOrder) {
    EventSpool spool;
    for (uint64_t i = 1; i <= 3; ++i) {
        Event e;
        e.m_type = i == 2 ? Event::EV_REMOVE : Event::EV_CREATE;
        e.m_mode = Event::F_SERVER;
        e.m_sync_id = i;
        e.m_max_id = 10 * i;
        e.m_path = ustring(("/dir/ä" + std::to_string(i)).c_str());
        e.m_data_hash = i == 3 ? ustring() : ustring("hash");
        e.m_data_size = uint64_t{1} << (30 + i);
        e.m_sess_id = 7;
        ASSERT_EQ(spool.Append(e), 0);
    }
    EXPECT_EQ(spool.Count(), 3u);
    ASSERT_EQ(spool.Rewind(), 0);
    Event e;
    for (uint64_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(spool.Next(e), 1);
        EXPECT_EQ(e.m_sync_id, i);
        EXPECT_EQ(e.m_max_id, 10 * i);
        EXPECT_EQ(e.m_type, i == 2 ? Event::EV_REMOVE : Event::EV_CREATE);
        EXPECT_EQ(e.m_path.str(), "/dir/ä" + std::to_string(i));
        EXPECT_EQ(e.m_data_hash.str(), i == 3 ? "" : "hash");
        EXPECT_EQ(e.m_data_size, uint64_t{1} << (30 + i));
    }
    EXPECT_EQ(spool.Next(e), 0);
    ASSERT_EQ(spool.Reset(), 0);
    ASSERT_EQ(spool.Rewind(), 0);
    EXPECT_EQ(spool.Next(e), 0);
}
