// The selective-sync progress puller against the real refserver: a loosened filter
// brings down what it had skipped and nothing else, conditions are advanced and
// retired, pauses and removed sessions block nothing, and the server event puller
// leaves a session alone while it has a condition queued.
#include "sync/progress_syncer.h"

#include <algorithm>
#include <fstream>

#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "store/filter_db.h"
#include "sync/sync_fixture.h"
#include "sync/syncer.h"
#include "wire/protocol.h"

namespace {

class OpenProgressSyncer : public ProgressSyncer {
public:
    OpenProgressSyncer() : ProgressSyncer(SyncServices::Process()) {}
    using ProgressSyncer::context;
    using ProgressSyncer::ProcessEvents;
    using ProgressSyncer::UpdateContext;
};

// A worker whose download stand-in writes the file and its database row, as a
// download would, unless the session's selective-sync rule of the moment skips it.
class DownloadingWorker : public RecordingWorker {
public:
    std::function<bool(const Event&)> skips = [](const Event&) { return false; };  // set while idle

    // The thread stops before this class's vtable goes: it calls virtual handlers.
    ~DownloadingWorker() override {
        Stop();
        Join();
    }
    DownloadingWorker() {
        body = [this](RecordingWorker& w) {
            const Event& e = w.GetContext().current_event;
            if (skips(e)) return 0;
            const std::string full = w.GetFullPath().str();
            if (e.isDir()) {
                std::filesystem::create_directories(full);
            } else {
                std::filesystem::create_directories(std::filesystem::path(full).parent_path());
                std::ofstream(full) << "content of " << e.m_path.str();
            }
            ClientFileEventInfo row;
            row.path = e.m_path;
            row.fileType = e.isDir() ? 1 : 0;
            row.isExist = 1;
            row.syncID = e.m_sync_id;
            row.fileSize = e.m_data_size;
            return w.GetEventDatabase()->setEventInfo(row) == DbResult::kOk ? 0 : ERR_SYS;
        };
    }
};

class ProgressSyncerTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        ASSERT_EQ(FilterDB::getInstance().initialize(at("filter.sqlite")), DbResult::kOk);
    }
    void TearDown() override {
        ProgressCache::getInstance().clear();
        FilterDB::getInstance().destroy();
        SyncFixture::TearDown();
    }

    uint64_t File(uint64_t view, const std::string& path, uint64_t size = 100) {
        return AddServerChange(server.data_root().string(), view, path, false, false, "hash-of" + path, size,
                               1700000000);
    }

    // Stores and queues a condition, as the reconciliation does for a loosened rule.
    uint64_t Loosen(uint64_t sess, uint64_t sync_id, int type, const std::string& desc) {
        ResumeCondition c;
        c.sess_id = sess;
        c.sync_id = sync_id;
        c.filter_type = type;
        c.filter_desc = desc;
        uint64_t row = 0;
        EXPECT_EQ(FilterDB::getInstance().setResumeCondition(c, row), DbResult::kOk);
        ProgressCache::getInstance().addProgressEntry(row, c);
        return row;
    }

    // The stored conditions of a session: row id -> sync id.
    std::map<uint64_t, uint64_t> Stored(uint64_t sess) {
        std::list<std::pair<uint64_t, ResumeCondition>> list;
        EXPECT_EQ(FilterDB::getInstance().getResumeConditionsBySession(sess, list), DbResult::kOk);
        std::map<uint64_t, uint64_t> out;
        for (const auto& [row, c] : list) out[row] = c.sync_id;
        return out;
    }

    static std::vector<std::string> Sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    void WaitUntilNoPending(uint64_t sess) {
        for (int i = 0; i < 600 && EventManager::getInstance().GetPendingServerEvent(sess) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(EventManager::getInstance().GetPendingServerEvent(sess), 0u);
    }
};

bool IsFile(const Event& e) { return !e.isDir(); }

std::string Ext(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = (char)tolower((unsigned char)c);
    return ext;
}

std::string Name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST_F(ProgressSyncerTest, LooseningAFilterBringsDownExactlyTheFilesItHadSkipped) {
    struct Case {
        const char* what;
        int type;
        std::string desc;
        bool since_zero;  // a path-prefix rule takes effect at sync id 0
        std::function<bool(const Event&)> old_rule;
        std::vector<std::string> expected;
        const char* answered;  // the server's log: matching paths, whatever their age
    };
    const std::vector<Case> cases{
        {"extension",
         FILTER_EXT_SELECTIVE_SYNC,
         "mp4",
         false,
         [](const Event& e) { return IsFile(e) && Ext(e.m_path.str()) == "mp4"; },
         {"/clip.mp4", "/m/Clip.MP4"},
         "with extension mp4: 3 events"},
        {"prefix",
         FILTER_PATH_PREFIX_SELECTIVE_SYNC,
         "/photos",
         true,
         [](const Event& e) { return e.m_path.str() == "/photos" || e.m_path.str().rfind("/photos/", 0) == 0; },
         {"/photos", "/photos/p1.jpg", "/photos/sub", "/photos/sub/p2.jpg"},
         "with prefix /photos: 4 events"},
        {"name",
         FILTER_NAME_SELECTIVE_SYNC,
         "secret.txt",
         false,
         [](const Event& e) { return IsFile(e) && Name(e.m_path.str()) == "secret.txt"; },
         {"/docs/secret.txt", "/secret.txt"},
         "with name secret.txt: 2 events"},
        {"size",
         FILTER_FILE_SIZE_SELECTIVE_SYNC,
         "from=1000,to=5000",
         false,
         [](const Event& e) { return IsFile(e) && e.m_data_size > 1000; },
         {"/big.bin"},
         "with size 1000..5000: 2 events"},
    };
    uint64_t sess = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ++sess;  // a fresh folder and database each
        StartServer();
        AddSession(sess, 7);
        DownloadingWorker worker;
        ASSERT_TRUE(worker.Run());
        Syncer syncer{SyncServices::Process()};
        syncer.SetState(Task::RUN);

        // Before the rule: everything comes down.
        File(7, "/old.mp4");
        File(7, "/docs/secret.txt");
        const uint64_t rule_sync_id = File(7, "/mid.bin", 3000);
        EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
        ASSERT_EQ(StoredSyncId(sess), rule_sync_id);

        // Under the rule: what it names is skipped.
        worker.skips = c.old_rule;
        for (const char* dir : {"/photos", "/photos/sub"}) Change(7, dir, true);
        for (const char* f :
             {"/a.txt", "/photos/p1.jpg", "/photos/sub/p2.jpg", "/photosx.txt", "/clip.mp4", "/m/Clip.MP4",
              "/x.mp4.txt", "/.mp4", "/secret.txt", "/secret.txt.bak", "/docs/secret.txt"})
            File(7, f);
        File(7, "/big.bin", 3000);
        File(7, "/huge.bin", 9000);
        const uint64_t last = File(7, "/small.bin", 500);
        EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
        ASSERT_EQ(StoredSyncId(sess), last);
        const size_t before = worker.Seen().size();

        // Loosened: the new limit of the size rule still skips /huge.bin.
        worker.skips = [](const Event& e) { return IsFile(e) && e.m_data_size > 5000; };
        const uint64_t row = Loosen(sess, c.since_zero ? 0 : rule_sync_id, c.type, c.desc);
        ProgressSyncer progress{SyncServices::Process()};
        progress.SetState(Task::RUN);
        EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
        std::vector<Event> seen = worker.Seen();
        EXPECT_EQ(Sorted(Paths(std::vector<Event>(seen.begin() + before, seen.end()))), c.expected);
        EXPECT_EQ(Stored(sess), (std::map<uint64_t, uint64_t>{{row, last}}));
        EXPECT_TRUE(ProgressCache::getInstance().isInProgrssCache(sess));
        EXPECT_TRUE(server.WaitLog(c.answered, 1));  // written after the reply
        EXPECT_EQ(server.CountLog(c.answered), 1);

        // Nothing newer: the condition is retired, and nothing else comes down.
        EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
        EXPECT_TRUE(Stored(sess).empty());
        EXPECT_EQ(ProgressCache::getInstance().size(), 0u);
        syncer.SetState(Task::STOP);  // no rest once up to date
        EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
        EXPECT_EQ(worker.Seen().size(), seen.size());
        for (const std::string& path : c.expected)
            EXPECT_TRUE(exists("s" + std::to_string(sess) + "/sync" + path)) << path;

        Registry::getInstance().Clear();
        server.Stop();
    }
}

TEST_F(ProgressSyncerTest, TheServerEventPullerSkipsTheSessionWhileItsConditionIsQueued) {
    StartServer({"--keepalive", "2"});  // skipped before every reply
    AddSession(1, 7);
    File(7, "/clip.mp4");
    DownloadingWorker worker;
    ASSERT_TRUE(worker.Run());
    Loosen(1, 0, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    Syncer syncer{SyncServices::Process()};
    EXPECT_EQ(syncer.RunOnce(), -1);
    EXPECT_EQ(server.CountLog("pull_event: view 7 since 0:"), 0);

    ProgressSyncer progress{SyncServices::Process()};
    progress.SetState(Task::RUN);
    EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
    const uint64_t late = File(7, "/late.txt");
    EXPECT_EQ(syncer.RunOnce(), -1);  // still queued: the pull above only advanced it
    // The view changed meanwhile: the next pass answers /clip.mp4 again, an echo now,
    // and advances the condition; the one after retires it.
    EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
    EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);

    syncer.SetState(Task::RUN);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);
    EXPECT_EQ(StoredSyncId(1), late);
    // /clip.mp4 came with the condition; the ordinary pull's copy is an echo.
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/clip.mp4", "/late.txt"}));
}

TEST_F(ProgressSyncerTest, PausedMidWayKeepsTheConditionsSyncIdAndThePullCompletesAfterResume) {
    StartServer();
    AddSession(1, 7);
    File(7, "/x.mp4");
    const uint64_t last = File(7, "/y.mp4");
    const uint64_t row = Loosen(1, 0, FILTER_EXT_SELECTIVE_SYNC, "mp4");

    ProgressSyncer progress{SyncServices::Process()};
    progress.SetState(Task::RUN);
    std::atomic<int> action{-9};
    std::thread pull([&] { action = progress.RunOnce(); });
    // No worker yet: the events wait in the manager while the session is paused.
    for (int i = 0; i < 600 && EventManager::getInstance().GetPendingServerEvent(1) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 2u);
    SetPause(1, true);
    progress.SetState(Task::PAUSE);  // ends the long wait that follows
    pull.join();
    EXPECT_EQ(action.load(), ProgressSyncer::ACTION_RETRY_LONG_WAIT);
    EXPECT_EQ(Stored(1), (std::map<uint64_t, uint64_t>{{row, 0}}));
    ProgressCache::Entry head;
    ASSERT_TRUE(ProgressCache::getInstance().getProgressEntry(head));
    EXPECT_EQ(head.condition.sync_id, 0u);
    // Paused: skipped, not dropped.
    progress.SetState(Task::RUN);
    EXPECT_EQ(progress.RunOnce(), -1);
    EXPECT_EQ(ProgressCache::getInstance().size(), 1u);

    SetPause(1, false);
    DownloadingWorker worker;
    ASSERT_TRUE(worker.Run());
    WaitUntilNoPending(1);
    EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
    EXPECT_EQ(Stored(1), (std::map<uint64_t, uint64_t>{{row, last}}));
    EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE);
    EXPECT_TRUE(Stored(1).empty());
    EXPECT_TRUE(server.WaitLog("since 0 with extension mp4: 2 events", 2));
    EXPECT_EQ(server.CountLog("since 0 with extension mp4: 2 events"), 2);
    std::vector<std::string> paths = Paths(worker.Seen());
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), (std::set<std::string>{"/x.mp4", "/y.mp4"}));
}

TEST_F(ProgressSyncerTest, ARemovedOrPausedSessionLetsAnotherSessionsConditionsFinishAndItsSyncGoOn) {
    StartServer();
    AddSession(1, 7);
    AddSession(2, 8);
    AddSession(3, 9);
    File(7, "/a.mp4");
    File(8, "/b.mp4");
    File(8, "/photos/c.jpg");
    const uint64_t last8 = File(8, "/d.txt");
    File(9, "/e.mp4");
    const uint64_t removed_row = Loosen(1, 0, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    const uint64_t paused_row = Loosen(3, 0, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    Loosen(2, 0, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    Loosen(2, 0, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/photos");
    Registry::getInstance().Clear(1);
    SetPause(3, true);

    DownloadingWorker worker;
    ASSERT_TRUE(worker.Run());
    ProgressSyncer progress{SyncServices::Process()};
    progress.SetState(Task::RUN);
    for (int pass = 0; pass < 4; ++pass) EXPECT_EQ(progress.RunOnce(), ProgressSyncer::ACTION_DONE) << pass;
    EXPECT_EQ(progress.RunOnce(), -1);  // only the paused session's condition is left
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/b.mp4", "/photos/c.jpg"}));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(1));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(2));
    EXPECT_TRUE(ProgressCache::getInstance().isInProgrssCache(3));
    // The removed session's condition stays stored for a later add.
    EXPECT_EQ(Stored(1), (std::map<uint64_t, uint64_t>{{removed_row, 0}}));
    EXPECT_EQ(Stored(3), (std::map<uint64_t, uint64_t>{{paused_row, 0}}));
    EXPECT_TRUE(Stored(2).empty());

    Syncer syncer{SyncServices::Process()};
    syncer.SetState(Task::RUN);
    EXPECT_EQ(syncer.RunOnce(), Syncer::ACTION_DONE);  // session 2
    EXPECT_EQ(StoredSyncId(2), last8);
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/b.mp4", "/photos/c.jpg", "/d.txt"}));
}

TEST_F(ProgressSyncerTest, TheRequestCarriesTheConditionOfItsType) {
    struct Case {
        int type;
        const char* desc;
        const char* condition;  // text form of the "condition" member, "" for none
    };
    for (const Case& c :
         {Case{FILTER_EXT_SELECTIVE_SYNC, "mp4", "{\"extension\": \"mp4\"}"},
          Case{FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/a b", "{\"prefix\": \"/a b\"}"},
          Case{FILTER_NAME_SELECTIVE_SYNC, "x.txt", "{\"name\": \"x.txt\"}"},
          Case{FILTER_FILE_SIZE_SELECTIVE_SYNC, "from=10,to=20", "{\"max_size\": 20, \"min_size\": 10}"},
          Case{FILTER_FILE_SIZE_SELECTIVE_SYNC, "from=ten", ""}, Case{-3, "x", ""}}) {
        SCOPED_TRACE(c.desc);
        OpenProgressSyncer progress;
        progress.context.reg_entry.view_id = 7;
        progress.context.reg_entry.remote_path = "/r";
        progress.context.progress_entry.condition.sync_id = 42;
        progress.context.progress_entry.condition.filter_type = c.type;
        progress.context.progress_entry.condition.filter_desc = c.desc;
        PObject request;
        progress.PrepareRequest("token", request);
        EXPECT_EQ(request["_action"].asString(), ustring("pull_event"));
        EXPECT_EQ(request["sync_id"].asUInt64(), 42u);
        EXPECT_EQ(request["path"].asString(), ustring("/r"));
        EXPECT_EQ(request["view_id"].asUInt64(), 7u);
        EXPECT_EQ(request.hasMember("condition"), *c.condition != 0);
        if (*c.condition) {
            EXPECT_EQ(request["condition"].toString(), ustring(c.condition));
        }
    }
}

TEST_F(ProgressSyncerTest, TheServerRefusesConditionsItDoesNotUnderstand) {
    StartServer();
    AddSession(1, 7);
    PObject not_map = "mp4", empty = PObject::map_type(), blank, two, equal, outside, slash;
    blank["extension"] = "";
    two["extension"] = "mp4";
    two["name"] = "a";
    equal["min_size"] = (uint64_t)5;
    equal["max_size"] = (uint64_t)5;
    outside["prefix"] = "/../x";
    slash["prefix"] = "/";
    const std::vector<PObject> bad{not_map, empty, blank, two, equal, outside, slash};
    std::vector<int> results;
    RecordingWorker worker;
    worker.body = [&](RecordingWorker& w) {
        for (const PObject& condition : bad) {
            PObject request, reply;
            request["_action"] = "pull_event";
            request["session"] = "token";
            request["sync_id"] = (uint64_t)0;
            request["path"] = "/";
            request["view_id"] = w.GetViewId();
            request["condition"] = condition;
            AppendAgent(request);
            results.push_back(w.Exchange(SCMD_EVT_PULL, request, reply));
        }
        return 0;
    };
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_mode = Event::F_SERVER;
    e.m_path = "/f";
    e.m_sess_id = 1;
    EventManager::getInstance().PushServerEvent(e);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(results, std::vector<int>(bad.size(), ERR_SERVER));
    EXPECT_EQ(server.CountLog("pull_event: condition refused"), (int)bad.size());
}

TEST_F(ProgressSyncerTest, RepliesThatCannotBeTrustedChangeNothingAndAnUpToDateReplyRetires) {
    AddSession(1, 7);
    const uint64_t row = Loosen(1, 5, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    PObject no_next, below, no_list, same;
    no_next["event_list"] = PObject::array_type();
    below["next_sync_id"] = (uint64_t)4;
    below["event_list"] = PObject::array_type();
    no_list["next_sync_id"] = (uint64_t)9;
    same["next_sync_id"] = (uint64_t)5;
    same["event_list"] = PObject::array_type();
    PObject event;
    event["path"] = "/a.mp4";
    event["sync_id"] = (uint64_t)6;
    same["event_list"].asArray().push_back(event);
    OpenProgressSyncer progress;
    ASSERT_EQ(progress.UpdateContext(), Loaded::kReady);
    EXPECT_EQ(progress.context.row_id, row);
    for (const PObject& reply : {no_next, below, no_list}) {
        EXPECT_EQ(progress.ProcessEvents(reply), ERR_SERVER) << reply.toString().c_str_utf8();
        EXPECT_EQ(Stored(1), (std::map<uint64_t, uint64_t>{{row, 5}}));
        EXPECT_EQ(ProgressCache::getInstance().size(), 1u);
    }
    // Equal sync ids retire the condition, whatever the list holds.
    EXPECT_EQ(progress.ProcessEvents(same), 0);
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 0u);
    EXPECT_TRUE(Stored(1).empty());
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);

    // Echo test: a row at the event's sync id or newer drops the event only while the
    // local item exists; a removal of an unknown path is dropped, a creation pushed.
    Loosen(1, 5, FILTER_EXT_SELECTIVE_SYNC, "mp4");
    ASSERT_EQ(progress.UpdateContext(), Loaded::kReady);
    for (const char* path : {"/here.txt", "/lost.txt"}) {
        ClientFileEventInfo row;
        row.path = path;
        row.syncID = 8;
        ASSERT_EQ(progress.context.reg_entry.event_db->setEventInfo(row), DbResult::kOk);
    }
    write("s1/sync/here.txt", "x");
    PObject newer;
    newer["next_sync_id"] = (uint64_t)9;
    newer["event_list"] = PObject::array_type();
    for (const char* path : {"/here.txt", "/lost.txt", "/gone.txt", "/new.txt"}) {
        PObject item;
        item["path"] = path;
        item["sync_id"] = (uint64_t)8;
        item["is_removed"] = (uint64_t)(std::string(path) == "/gone.txt");
        newer["event_list"].asArray().push_back(item);
    }
    // The task was never started: the wait for the workers ends at once, and the
    // condition keeps its sync id.
    EXPECT_EQ(progress.ProcessEvents(newer), ERR_INT);
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 2u);
    EXPECT_EQ(progress.context.progress_entry.condition.sync_id, 5u);
    EXPECT_EQ(Stored(1).begin()->second, 5u);

    // The policy: as the server event puller for the codes without a row in the
    // original table; unknown codes are unexpected.
    EXPECT_EQ(ProgressSyncer::ActionOf(ERR_CH_CONNECTION_ABORT), ProgressSyncer::ACTION_RETRY);
    EXPECT_EQ(ProgressSyncer::ActionOf(ERR_LOCAL_DISKFULL), ProgressSyncer::ACTION_RETRY_LONG_WAIT);
    EXPECT_EQ(ProgressSyncer::ActionOf(ERR_LOCKED_FILE), ProgressSyncer::ACTION_RETRY);
    EXPECT_EQ(ProgressSyncer::ActionOf(ERR_INT), ProgressSyncer::ACTION_RETRY_LONG_WAIT);
    EXPECT_EQ(progress.HandleError(ERR_MAX), -1);
    EXPECT_EQ(progress.HandleError(ERR_QUOTA), -1);
}

}  // namespace
