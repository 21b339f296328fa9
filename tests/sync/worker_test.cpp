// The worker frame, driven on workers that were never started (their waits return at
// once) against the real refserver: error table, retries, hand-backs, the status the
// control plane sees, and handlers that cannot carry an event out.
#include "sync/worker.h"

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "filter/white_list.h"
#include "foundation/error_codes.h"
#include "sync/sync_fixture.h"
#include "wire/protocol.h"

namespace {

class WorkerTest : public SyncFixture {
protected:
    Event ServerEvent(uint64_t sess, const char* path, Event::Type type = Event::EV_CREATE) {
        Event e;
        e.m_type = type;
        e.m_path = path;
        e.m_sess_id = sess;
        e.m_sync_id = 1;
        return e;
    }
    static PObject PullRequest(uint64_t view) {
        PObject r;
        r["_action"] = "pull_event";
        r["sync_id"] = (uint64_t)0;
        r["session"] = "token";
        r["path"] = "/";
        r["view_id"] = view;
        r["recursive"] = (uint64_t)1;
        AppendAgent(r);
        return r;
    }
    void WriteFileAt(const std::string& rel, const std::string& text) { write(rel, text); }
    size_t Pending(uint64_t sess) { return EventManager::getInstance().GetAllPendingEventCount(sess); }
};

TEST_F(WorkerTest, ExchangeAnsweredWithAnInternalErrorOnceIsRetriedNotDone) {
    StartServer({"--fault", "pull_event=0x7005*1"});
    AddSession(1, 7);
    RecordingWorker worker;
    worker.body = [](RecordingWorker& w) {
        PObject reply;
        return w.Exchange(SCMD_EVT_PULL, PullRequest(w.GetViewId()), reply);
    };
    EventManager::getInstance().PushServerEvent(ServerEvent(1, "/f.txt"));

    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_EQ(worker.GetContext().current_event.m_path, ustring("/f.txt"));  // kept
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 1u);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 0u);
    EXPECT_FALSE(worker.GetContext().current_event.isValid());
    EXPECT_EQ(worker.Seen().size(), 2u);
    EXPECT_EQ(server.CountLog("pull_event: fault injected, error 0x7005"), 1);
}

// The session token goes out only after the handshake: SSL is asked for first.
TEST_F(WorkerTest, ExchangeEncryptsBeforeItsConnect) {
    StartServer({}, 2, true);
    AddSession(1, 7);
    RecordingWorker worker;
    worker.body = [](RecordingWorker& w) {
        PObject reply;
        int rc = w.Exchange(SCMD_EVT_PULL, PullRequest(w.GetViewId()), reply);
        return rc == 0 && static_cast<const PObject&>(reply)["event_list"].isArray() ? 0 : ERR_IO;
    };
    EventManager::getInstance().PushServerEvent(ServerEvent(1, "/f.txt"));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("encrypt_channel"), 1);
    EXPECT_EQ(server.CountLog("connect: view 7 ok"), 1);
    EXPECT_EQ(server.CountLog("do_ssl"), 0);
}

TEST_F(WorkerTest, FilterTestsUseTheSessionsLists) {
    Registry::Entry s = AddSession(1, 7);
    WriteFileAt("white.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"txt\", \"mkv\"\n");
    WriteFileAt("black.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"mkv\"\n");
    s.white_list = std::make_shared<WhiteListCpp>();
    s.black_list = std::make_shared<BlackList2>();
    ASSERT_TRUE(s.white_list->Load(at("white.filter")));
    ASSERT_TRUE(s.black_list->Load(at("black.filter")));
    Registry::getInstance().Set(s);

    RecordingWorker worker;
    std::map<std::string, int> result;
    worker.body = [&](RecordingWorker& w) {
        result[w.GetPath().str()] = w.TestCommonFilter();
        return 0;
    };
    for (const char* p : {"/notes.txt", "/film.mkv", "/tool.bin"})
        EventManager::getInstance().PushServerEvent(ServerEvent(1, p));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(result["/notes.txt"], 0);
    EXPECT_NE(result["/film.mkv"], 0);
    EXPECT_NE(result["/film.mkv"], FILTER_EXT_SELECTIVE_SYNC);  // the black list's own code
    EXPECT_EQ(result["/tool.bin"], FILTER_EXT_SELECTIVE_SYNC);  // not in the white list
}

TEST_F(WorkerTest, ClearCacheDeletesOnlyScratchFilesOfTheWorkingDirectory) {
    struct CacheWorker : Worker {
        CacheWorker() : Worker(SyncServices::Process()) {}
        using Worker::context;
        using Worker::download_;
        using Worker::upload_;
    } worker;
    const std::string wd = at("wd");
    std::filesystem::create_directories(wd);
    worker.context.working_directory = wd;
    write("wd/received", "x");
    write("outside", "x");
    write("escape", "x");
    worker.download_.State().response["file"]["data"] = PObject::binary_type(wd + "/received", 0, 1);
    worker.upload_.State().request["file"]["data"] = PObject::binary_type(at("outside"), 0, 1);
    worker.upload_.State().request["mac_attribute"]["data"] = PObject::binary_type(wd + "/../escape", 0, 1);
    worker.ClearCache();
    EXPECT_FALSE(exists("wd/received"));
    EXPECT_TRUE(exists("outside"));
    EXPECT_TRUE(exists("escape"));
    EXPECT_TRUE(worker.upload_.State().request.isEmpty() && worker.download_.State().response.isEmpty());
}

TEST_F(WorkerTest, ReplyErrorsNeverReadAsSuccess) {
    struct Case {
        uint64_t code;
        int result;
    };
    for (const Case& c : {Case{0x7005, ERR_SERVER}, Case{0x6001, ERR_SERVER}, Case{0xB001, ERR_SERVER},
                          Case{0x1ull << 40 | 0x3002, ERR_SERVER}, Case{0x3003, ERR_VIEW_PATH}, Case{0x9002, ERR_INT},
                          Case{0x4001, ERR_QUOTA}}) {
        PObject reply;
        reply["error"]["code"] = c.code;
        EXPECT_EQ(Worker::ReplyError(reply), c.result) << std::hex << c.code;
    }
    EXPECT_EQ(Worker::ReplyError(PObject()), 0);
}

TEST_F(WorkerTest, ErrorTableNeverPinsAnEvent) {
    AddSession(1, 7);
    Worker worker{SyncServices::Process()};
    struct Case {
        int code;
        int action;
    };
    // ERR_SYS three times retries, the fourth hands back.
    for (const Case& c :
         {Case{ERR_OK, Worker::ACTION_DONE}, Case{ERR_IO, Worker::ACTION_RETRY}, Case{ERR_SYS, Worker::ACTION_RETRY},
          Case{ERR_SYS, Worker::ACTION_RETRY}, Case{ERR_SYS, Worker::ACTION_RETRY},
          Case{ERR_SYS, Worker::ACTION_RETURN_EVENT}, Case{ERR_CH_CONNECTION_ABORT, Worker::ACTION_RETRY},
          Case{ERR_VIEW_PATH, Worker::ACTION_RETURN_EVENT}, Case{ERR_CONFLICT, Worker::ACTION_RETURN_EVENT},
          Case{ERR_NOENT, Worker::ACTION_RETURN_EVENT}, Case{-30, Worker::ACTION_RETURN_EVENT},
          Case{5, Worker::ACTION_RETURN_EVENT}, Case{ERR_LOCKED_FILE, Worker::ACTION_RETURN_EVENT}})
        EXPECT_EQ(worker.HandleError(c.code), c.action) << c.code;
    EXPECT_EQ(Worker::ReportOf(ERR_VIEW_PATH), Worker::ERR_SESSION);
    EXPECT_EQ(Worker::ReportOf(ERR_LOCKED_FILE), Worker::ERR_FILE);
    EXPECT_EQ(Worker::ReportOf(ERR_AUTH), Worker::ERR_CONNECTION);
}

TEST_F(WorkerTest, AHandlerThatKeepsFailingNeverFinishesItsEvent) {
    AddSession(1, 7);
    RecordingWorker worker;  // a handler that cannot carry its event out
    worker.body = [](RecordingWorker&) { return ERR_SYS; };
    EventManager::getInstance().PushServerEvent(ServerEvent(1, "/gone.txt"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY) << i;
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_EQ(Pending(1), 1u);
}

TEST_F(WorkerTest, SessionStateDecidesBeforeAnyHandlerRuns) {
    AddSession(1, 7);
    AddSession(2, 8, "/", false);
    RecordingWorker worker;
    auto& em = EventManager::getInstance();

    // Paused: handed back, not run.
    SetPause(1, true);
    em.PushServerEvent(ServerEvent(1, "/p.txt"));
    EXPECT_EQ(worker.RunOnce(), -1);
    EXPECT_EQ(Pending(1), 1u);
    SetPause(1, false);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/p.txt"}));

    // Not recursive: only top-level files are worked on.
    for (const char* p : {"/top.txt", "/deep/x.txt"}) em.PushServerEvent(ServerEvent(2, p));
    Event dir = ServerEvent(2, "/folder");
    dir.m_mode = Event::F_DIR;
    em.PushServerEvent(dir);
    for (int i = 0; i < 6; ++i) worker.RunOnce();
    EXPECT_EQ(Paths(worker.Seen()), (std::vector<std::string>{"/p.txt", "/top.txt"}));
    EXPECT_EQ(Pending(2), 0u);

    // Removed: finished without work.
    em.PushServerEvent(ServerEvent(1, "/late.txt"));
    Registry::getInstance().Clear(1);
    EXPECT_EQ(worker.RunOnce(), -1);
    EXPECT_EQ(em.GetPendingServerEvent(1), 0u);
    EXPECT_EQ(worker.Seen().size(), 2u);
}

TEST_F(WorkerTest, StatusShowsThePathWhileTheWorkerWorks) {
    AddSession(1, 7);
    RecordingWorker worker;
    std::mutex mu;
    std::condition_variable cv;
    bool inside = false, release = false;
    worker.body = [&](RecordingWorker&) {
        std::unique_lock<std::mutex> l(mu);
        inside = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
        return 0;
    };
    ASSERT_TRUE(worker.Run());
    EventManager::getInstance().PushServerEvent(ServerEvent(1, "/busy.bin"));
    {
        std::unique_lock<std::mutex> l(mu);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(60), [&] { return inside; }));
    }
    uint64_t sess = 0, sent = 0, total = 0;
    ustring path;
    Worker::WorkingType type = Worker::W_TYPE_UPLOAD;
    worker.GetWorkingStatus(sess, path, type, sent, total);
    EXPECT_EQ(sess, 1u);
    EXPECT_EQ(path, ustring("/busy.bin"));
    EXPECT_EQ(type, Worker::W_TYPE_NONE);
    EXPECT_EQ(total, 0u);  // no file body in transfer
    {
        std::lock_guard<std::mutex> l(mu);
        release = true;
    }
    cv.notify_all();
    for (int i = 0; i < 600 && EventManager::getInstance().GetPendingServerEvent(1) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(1), 0u);
    Worker::ProcessEvent_T now;
    for (int i = 0; i < 600; ++i) {
        worker.GetCurrentProcessEventInfo(now);
        if (now.session_id == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(now.session_id, 0u);
    EXPECT_TRUE(now.path.empty());
}

}  // namespace
