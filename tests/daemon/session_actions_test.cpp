// The session and connection actions in-process, where the registry, the detector,
// the event manager, the progress cache and the connection pool can be looked at
// directly.
#include <arpa/inet.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon/app.h"
#include "daemon/daemon_test_util.h"
#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "filter/black_list.h"
#include "filter/white_list.h"
#include "foundation/settings.h"
#include "foundation/task.h"
#include "store/file_event_db.h"
#include "store/filter_db.h"
#include "sync/detector.h"
#include "sync/proto_sites.h"
#include "sync/worker.h"
#include "wire/connection_pool.h"
#include "wire/protocol.h"

namespace {

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
}

PObject Action(const char* action) {
    PObject o;
    o["action"] = action;
    return o;
}

PObject WithId(const char* action, uint64_t id) {
    PObject o = Action(action);
    o["session_id"] = id;
    return o;
}

const char* const kBlackList = "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"mkv\"\n";

class SessionActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nimbrel-sess-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        WriteFile(dir + "/system.filter", "[Version]\nmajor = 1\nminor = 0\n");
        const std::string conf = dir + "/nimbreld.conf";
        WriteFile(conf, "fstat_db_path = \"" + dir + "/fstat.sqlite\"\nfilter_db_path = \"" + dir +
                            "/filter.sqlite\"\nsystem_filter_path = \"" + dir + "/system.filter\"\nworker_count = 3\n" +
                            "ui_port = " + std::to_string(UnusedPort()) + "\n");
        Settings::getInstance().reset();
        ASSERT_TRUE(Settings::getInstance().loadConfigSettings(conf.c_str()));
        ProgressCache::getInstance().clear();
        ASSERT_EQ(app.run(), AppResult::kOk);
        ASSERT_EQ(Send(Action("link")).hasMember("error"), false);
        // These tests take the events themselves (Drain); running workers would race
        // them for each event. Paused workers still meet a pause rendezvous.
        for (unsigned i = Nimbrel::kFirstWorker; i < app.get_task_count(); ++i) app.get_task(i)->Pause();
        // The detector's events of the files the tests write would mix in: it is
        // stopped (its watches stay), and waited for, so none is on its way.
        app.get_task(Nimbrel::kDetector)->Stop();
        app.get_task(Nimbrel::kDetector)->Join();
    }

    void TearDown() override {
        app.kill();
        ProgressCache::getInstance().clear();
        Settings::getInstance().reset();
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    PObject Send(const PObject& request) {
        PObject reply;
        EXPECT_EQ(app.send_message(request, reply), AppResult::kOk);
        return reply;
    }

    // Folders and filter files of a session; returns its "add_session" request.
    PObject Prepare(uint64_t id, const std::string& black = kBlackList) {
        const std::string root = dir + "/s" + std::to_string(id);
        mkdir(root.c_str(), 0755);
        mkdir((root + "/sync").c_str(), 0755);
        mkdir((root + "/config").c_str(), 0755);
        mkdir((root + "/config/conf").c_str(), 0755);
        WriteFile(root + "/config/conf/blacklist.filter", black);
        WriteFile(root + "/config/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n");
        PObject r = Action("add_session");
        r["connection_id"] = 1;
        r["session_id"] = id;
        r["view_id"] = 500 + id;
        r["config_path"] = root + "/config";
        r["sync_folder"] = root + "/sync";
        return r;
    }
    std::string Sync(uint64_t id) { return dir + "/s" + std::to_string(id) + "/sync"; }
    std::string Config(uint64_t id) { return dir + "/s" + std::to_string(id) + "/config"; }

    // Everything the event manager hands out, each marked done at once.
    std::vector<Event> Drain() {
        std::vector<Event> events;
        Task puller;
        Event e;
        for (int i = 0; i < 100 && EventManager::getInstance().PullEvent(&puller, e) == 0; ++i) {
            events.push_back(e);
            EventManager::getInstance().DoneEvent(&puller, e);
        }
        return events;
    }

    Detector* TheDetector() { return dynamic_cast<Detector*>(app.get_task(Nimbrel::kDetector)); }

    std::string dir;
    Nimbrel app;
};

PObject ConnectionRequest(const char* action, uint64_t id, const char* ip = "127.0.0.1") {
    PObject r = Action(action);
    r["connection_id"] = id;
    r["server_ip"] = ip;
    r["server_port"] = 1;
    r["session"] = "s";
    return r;
}

}  // namespace

TEST_F(SessionActionsTest, RegistryEntryFollowsTheRequestAndStartsPaused) {
    PObject r = Prepare(3);
    ASSERT_FALSE(Send(r).hasMember("error"));
    Registry::Entry entry;
    ASSERT_EQ(Registry::getInstance().Find(3, entry), 1);
    EXPECT_EQ(entry.view_id, 503u);
    EXPECT_EQ(entry.node_id, 503u);  // the view id when not given
    EXPECT_TRUE(entry.recursive);
    EXPECT_TRUE(entry.pause);
    EXPECT_FALSE(entry.isMSDOS);
    EXPECT_EQ(entry.recycle_time, 0u);
    EXPECT_EQ(entry.local_path, ustring(Sync(3)));
    EXPECT_EQ(entry.config_path, ustring(Config(3)));
    EXPECT_TRUE(entry.remote_path.empty());
    ASSERT_NE(entry.black_list, nullptr);
    ASSERT_NE(entry.white_list, nullptr);
    ASSERT_NE(entry.event_db, nullptr);
    EXPECT_NE(entry.black_list->TestFilePath("/film.mkv"), 0);
    EXPECT_TRUE(TheDetector()->HasWatch(3));
    BlackList2* const black_list3 = entry.black_list.get();

    PObject s = Prepare(4);
    s["node_id"] = 77;
    s["recursive"] = false;
    s["remote_path"] = "/team/docs";
    s["create_time"] = 1234;
    s["sync_mode"] = true;
    ASSERT_FALSE(Send(s).hasMember("error"));
    ASSERT_EQ(Registry::getInstance().Find(4, entry), 1);
    EXPECT_EQ(entry.node_id, 77u);
    EXPECT_FALSE(entry.recursive);
    EXPECT_EQ(entry.remote_path, ustring("/team/docs"));

    // The first rescan of each: with merge by default, without for "sync_mode" true.
    std::map<uint64_t, Event> rescans;
    for (const Event& e : Drain())
        if (e.isRescan()) rescans[e.m_sess_id] = e;
    ASSERT_EQ(rescans.size(), 2u);
    EXPECT_EQ(rescans[3].m_path, ustring("/"));
    EXPECT_TRUE(rescans[3].isMerge());
    EXPECT_FALSE(rescans[4].isMerge());

    // Pause and resume change only the flag; the objects stay the same.
    ASSERT_FALSE(Send(WithId("resume", 3)).hasMember("error"));
    Registry::Entry after;
    ASSERT_EQ(Registry::getInstance().Find(3, after), 1);
    EXPECT_FALSE(after.pause);
    ASSERT_EQ(Registry::getInstance().Find(4, after), 1);
    EXPECT_TRUE(after.pause);
    ASSERT_FALSE(Send(Action("resume")).hasMember("error"));
    ASSERT_EQ(Registry::getInstance().Find(4, after), 1);
    EXPECT_FALSE(after.pause);
    ASSERT_FALSE(Send(Action("pause")).hasMember("error"));
    ASSERT_EQ(Registry::getInstance().Find(3, after), 1);
    EXPECT_TRUE(after.pause);
    EXPECT_EQ(after.black_list.get(), black_list3);

    // Removal releases the watch.
    ASSERT_FALSE(Send(WithId("remove_session", 3)).hasMember("error"));
    EXPECT_FALSE(TheDetector()->HasWatch(3));
    EXPECT_TRUE(TheDetector()->HasWatch(4));
    EXPECT_EQ(Registry::getInstance().Size(), 1u);
}

TEST_F(SessionActionsTest, FailedAddLeavesNoWatchAndNoEntry) {
    PObject r = Prepare(6);
    unlink((Config(6) + "/conf/blacklist.filter").c_str());
    EXPECT_EQ(Send(r)["error"].asString(), "Failed to create registry entry.");
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
    EXPECT_EQ(TheDetector()->GetWatchCount(), 0u);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(SessionActionsTest, FailedReloadKeepsTheSessionsLists) {
    ASSERT_FALSE(Send(Prepare(2)).hasMember("error"));
    Registry::Entry entry;
    ASSERT_EQ(Registry::getInstance().Find(2, entry), 1);
    ASSERT_NE(entry.black_list->TestFilePath("/a.mkv"), 0);

    WriteFile(Config(2) + "/conf/blacklist.filter", "[File]\nblack_ext = ");
    EXPECT_EQ(Send(WithId("reload_session", 2))["error"].asString(), "Failed to load black list.");
    // Still filtering as before: a broken file must not open the gates.
    EXPECT_NE(entry.black_list->TestFilePath("/a.mkv"), 0);

    WriteFile(Config(2) + "/conf/blacklist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"avi\"\n");
    unlink((Config(2) + "/conf/whitelist.filter").c_str());
    EXPECT_EQ(Send(WithId("reload_session", 2))["error"].asString(), "Failed to load white list.");
    EXPECT_NE(entry.black_list->TestFilePath("/a.mkv"), 0);

    WriteFile(Config(2) + "/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n");
    EXPECT_FALSE(Send(WithId("reload_session", 2)).hasMember("error"));
    // Reloaded in place: the registered objects are the same ones, with new content.
    Registry::Entry now;
    ASSERT_EQ(Registry::getInstance().Find(2, now), 1);
    EXPECT_EQ(now.black_list, entry.black_list);
    EXPECT_EQ(entry.black_list->TestFilePath("/a.mkv"), 0);
    EXPECT_NE(entry.black_list->TestFilePath("/a.avi"), 0);
}

TEST_F(SessionActionsTest, ReloadReplaysLocallyFilteredItems) {
    ASSERT_FALSE(Send(Prepare(9)).hasMember("error"));
    Drain();
    WriteFile(Sync(9) + "/here.txt", "x");
    mkdir((Sync(9) + "/folder").c_str(), 0755);
    auto item = [](const char* path, int type) {
        FilterLocalEvent e;
        e.sess_id = 9;
        e.path = path;
        e.file_type = type;
        e.file_size = 11;
        e.file_checksum = "sum";
        e.is_exist = 1;
        e.filtered_type = FILTER_EXT_SELECTIVE_SYNC;
        return e;
    };
    FilterDB& db = FilterDB::getInstance();
    ASSERT_EQ(db.setLocalFilteredEvent(item("/here.txt", 0)), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(item("/gone.txt", 0)), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(item("/folder", 1)), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(item("/../escape", 0)), DbResult::kOk);
    // Links, and items reached through one, are neither uploaded nor fetched.
    ASSERT_EQ(symlink(dir.c_str(), (Sync(9) + "/link").c_str()), 0);
    ASSERT_EQ(db.setLocalFilteredEvent(item("/link", 0)), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(item("/link/s9", 1)), DbResult::kOk);

    ASSERT_FALSE(Send(WithId("reload_session", 9)).hasMember("error"));
    std::map<std::string, Event> seen;
    for (const Event& e : Drain()) seen[e.m_path.str()] = e;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen.count("/../escape"), 0u);
    EXPECT_EQ(seen.count("/link"), 0u);

    const Event& here = seen["/here.txt"];
    EXPECT_EQ(here.m_type, Event::EV_CREATE);
    EXPECT_TRUE(here.isLocalEvent());
    EXPECT_EQ(here.m_data_hash, ustring("sum"));
    EXPECT_EQ(here.m_data_size, 11u);
    EXPECT_EQ(here.m_sess_id, 9u);

    const Event& gone = seen["/gone.txt"];
    EXPECT_TRUE(gone.isServerEvent());
    EXPECT_EQ(gone.m_sync_id, 0x7FFFFFFFFFFFFFFFULL);

    EXPECT_TRUE(seen["/folder"].isDir());
    EXPECT_TRUE(seen["/folder"].isLocalEvent());
}

TEST_F(SessionActionsTest, ResumeConditionsAreQueuedOnceAcrossRemoveAndAdd) {
    FilterDB& db = FilterDB::getInstance();
    ResumeCondition stored;
    stored.sess_id = 5;
    stored.sync_id = 12;
    stored.filter_type = FILTER_NAME_SELECTIVE_SYNC;
    stored.filter_desc = "core";
    uint64_t row = 0;
    ASSERT_EQ(db.setResumeCondition(stored, row), DbResult::kOk);
    // A rule that the session's file no longer has: the add stores one more condition.
    ASSERT_EQ(db.setFilter(5, 30, FILTER_EXT_SELECTIVE_SYNC, "iso"), DbResult::kOk);

    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 2u);
    ProgressCache::Entry front;
    ASSERT_TRUE(ProgressCache::getInstance().getProgressEntry(front));

    ASSERT_FALSE(Send(WithId("remove_session", 5)).hasMember("error"));
    EXPECT_FALSE(ProgressCache::getInstance().isInProgrssCache(5));
    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 2u);

    // A queued condition whose stored row is gone goes with its session as well.
    ResumeCondition orphan = stored;
    orphan.filter_desc = "gone";
    ProgressCache::getInstance().addProgressEntry(row + 100, orphan);
    ASSERT_FALSE(Send(WithId("pause", 5)).hasMember("error"));
    ASSERT_FALSE(Send(WithId("remove_session", 5)).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);

    // Unlink, link and the same session again: each stored condition queued once.
    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 2u);
    ASSERT_FALSE(Send(Action("unlink")).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);
    ASSERT_FALSE(Send(Action("link")).hasMember("error"));
    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 2u);
}

TEST_F(SessionActionsTest, PoolHasOneConnectionPerWorkerAndPuller) {
    ASSERT_FALSE(Send(ConnectionRequest("link_connection", 1)).hasMember("error"));
    ASSERT_NE(g_pool, nullptr);
    EXPECT_EQ(g_pool->size(), 4u);  // worker_count 3: two workers, two pullers
    EXPECT_EQ(g_pool->getConnectionId(), 1u);
    EXPECT_EQ(g_pool->getServerIp(), ustring("127.0.0.1"));

    // Alive connections are lent first; one that needs a new handshake goes last.
    Connection* a = g_pool->pop();
    Connection* b = g_pool->pop();
    a->last_access = static_cast<uint32_t>(time(nullptr));
    a->alive_value = 600;
    g_pool->push(b);
    g_pool->push(a);
    EXPECT_EQ(g_pool->pop(), a);
    g_pool->push(a);
}

TEST_F(SessionActionsTest, ReloadWaitsForLentConnectionsAndBorrowersWaitForTheReload) {
    ASSERT_FALSE(Send(ConnectionRequest("link_connection", 1)).hasMember("error"));
    ConnectionPool* pool = g_pool;
    // Old connections are told apart by a mark, not by address: the allocator may hand
    // a freed address to a new one. A new connection was never confirmed.
    std::vector<Connection*> all;
    for (unsigned i = 0; i < pool->size(); ++i) all.push_back(pool->pop());
    for (Connection* c : all) c->alive_value = 600;
    for (size_t i = 1; i < all.size(); ++i) pool->push(all[i]);
    Connection* held = all[0];  // a task in the middle of a request

    std::atomic<bool> reloaded{false};
    std::thread reloader([&] {
        PObject reply = Send(ConnectionRequest("reload_connection", 1, "127.0.0.2"));
        EXPECT_FALSE(reply.hasMember("error"));
        reloaded = true;
    });
    // Give the reload time to freeze the pool, then come as another borrower.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::atomic<Connection*> borrowed{nullptr};
    std::thread borrower([&] { borrowed = pool->pop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(reloaded.load());
    EXPECT_EQ(borrowed.load(), nullptr);

    pool->push(held);
    reloader.join();
    borrower.join();
    EXPECT_TRUE(reloaded.load());
    ASSERT_NE(borrowed.load(), nullptr);
    EXPECT_EQ(borrowed.load()->alive_value, 0u);  // one of the new connections
    EXPECT_EQ(pool->getServerIp(), ustring("127.0.0.2"));
    EXPECT_EQ(g_pool, pool);
    pool->push(borrowed.load());
    EXPECT_EQ(pool->available(), pool->size());
}

TEST_F(SessionActionsTest, SecondLinkWaitsForLentConnectionsAndTakesTheNewIdentity) {
    ASSERT_FALSE(Send(ConnectionRequest("link_connection", 1)).hasMember("error"));
    Connection* held = g_pool->pop();
    std::atomic<bool> linked{false};
    std::thread linker([&] {
        EXPECT_FALSE(Send(ConnectionRequest("link_connection", 2)).hasMember("error"));
        linked = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(linked.load());
    EXPECT_EQ(g_pool->getConnectionId(), 1u);
    g_pool->push(held);
    linker.join();
    EXPECT_EQ(g_pool->getConnectionId(), 2u);
    EXPECT_EQ(g_pool->available(), g_pool->size());
}

TEST_F(SessionActionsTest, UnlinkDeletesThePool) {
    ASSERT_FALSE(Send(ConnectionRequest("link_connection", 1)).hasMember("error"));
    ASSERT_FALSE(Send(Prepare(1)).hasMember("error"));
    ASSERT_FALSE(Send(Action("unlink_connection")).hasMember("error"));
    EXPECT_EQ(Registry::getInstance().Size(), 0u);
    EXPECT_NE(g_pool, nullptr);
    Send(Action("unlink"));
    EXPECT_EQ(g_pool, nullptr);
}

TEST_F(SessionActionsTest, PauseMeetsTheDaemonsOwnWorkers) {
    ASSERT_FALSE(Send(Prepare(7)).hasMember("error"));
    auto* worker = dynamic_cast<Worker*>(app.get_task(Nimbrel::kFirstWorker));
    ASSERT_NE(worker, nullptr);
    // A paused task keeps what it published, so the event stays visible to "pause".
    worker->Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    worker->SetCurrentProcessEventInfo(7, "/big.bin", Worker::W_TYPE_UPLOAD);

    // Another session's pause does not wait for it.
    ASSERT_FALSE(Send(WithId("pause", 8)).hasMember("error"));
    EXPECT_EQ(worker->GetAbortFlag(), 1);  // still the task's own pause

    // This session's pause hands the worker the rendezvous, which its loop meets.
    ASSERT_FALSE(Send(WithId("pause", 7)).hasMember("error"));
    EXPECT_EQ(worker->GetAbortFlag(), 0);  // withdrawn once the worker dropped
    worker->ClearCurrentProcessEventInfo();
    worker->Resume();
}

namespace {
// Every entry below `root`, relative to it, so that "nothing changed" can be checked.
std::set<std::string> Tree(const std::string& root) {
    static std::set<std::string>* out;
    static size_t prefix;
    std::set<std::string> entries;
    out = &entries;
    prefix = root.size();
    nftw(
        root.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            out->insert(std::string(p).substr(prefix));
            return 0;
        },
        16, FTW_PHYS);
    return entries;
}
}  // namespace

TEST_F(SessionActionsTest, FolderPathsThatAreNotPlainAbsoluteFoldersAreRefusedAndChangeNothing) {
    PObject good = Prepare(5);
    WriteFile(dir + "/s5/plain-file", "x");
    const std::string cwd = dir + "/s5/sync";  // relative paths would land here
    char* saved = getcwd(nullptr, 0);
    ASSERT_NE(saved, nullptr);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    const std::set<std::string> before = Tree(dir);

    struct Case {
        const char* key;
        std::string value;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"sync_folder", "", "Invalid parameters."},
        {"config_path", "", "Invalid parameters."},
        {"sync_folder", ".", "Invalid parameters."},
        {"config_path", ".", "Invalid parameters."},
        {"sync_folder", "s5/sync", "Invalid parameters."},
        {"sync_folder", Sync(5) + "/..", "Invalid parameters."},
        {"config_path", dir + "/s5/sync/../config", "Invalid parameters."},
        {"sync_folder", dir + "/../" + dir.substr(5) + "/s5/sync", "Invalid parameters."},
        // The configuration folder inside the synchronised one, or the other way round.
        {"sync_folder", dir + "/s5/config", "Invalid parameters."},
        {"sync_folder", dir + "/s5", "Invalid parameters."},
        {"config_path", dir + "/s5/sync", "Invalid parameters."},
        {"config_path", dir + "/s5/sync/", "Invalid parameters."},
        {"sync_folder", dir + "/s5/config/conf", "Invalid parameters."},
        // A file, or a folder that does not exist, is refused before anything is made.
        {"sync_folder", dir + "/s5/plain-file", "Failed to create registry entry."},
        {"config_path", dir + "/s5/plain-file", "Failed to create registry entry."},
        {"sync_folder", dir + "/s5/missing", "Failed to create registry entry."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = '" + c.value + "'");
        PObject r = good;
        r[c.key] = ustring(c.value);
        EXPECT_EQ(Send(r)["error"].asString(), c.error);
        EXPECT_EQ(Registry::getInstance().Size(), 0u);
        EXPECT_EQ(TheDetector()->GetWatchCount(), 0u);
        EXPECT_EQ(Tree(dir), before);
    }
    EXPECT_TRUE(Drain().empty());
    ASSERT_EQ(chdir(saved), 0);
    free(saved);

    // "." parts and a trailing slash are harmless and still accepted.
    good["sync_folder"] = ustring(dir + "/s5/./sync/");
    EXPECT_FALSE(Send(good).hasMember("error"));
    EXPECT_EQ(Registry::getInstance().Size(), 1u);
}

TEST_F(SessionActionsTest, IdsOfAnotherKindAreRefused) {
    ASSERT_FALSE(Send(Prepare(1)).hasMember("error"));
    ASSERT_FALSE(Send(Prepare(2)).hasMember("error"));
    ASSERT_FALSE(Send(WithId("resume", 1)).hasMember("error"));

    // A text id read as 0 would pause or resume every session.
    for (const char* action : {"pause", "resume"}) {
        for (const PObject& id : {PObject("2"), PObject(), PObject(PObject::array_type{PObject(2)})}) {
            SCOPED_TRACE(std::string(action) + " " + id.toString().str());
            PObject r = Action(action);
            r["session_id"] = id;
            EXPECT_EQ(Send(r)["error"].asString(), "Invalid parameters");
            Registry::Entry one, two;
            ASSERT_EQ(Registry::getInstance().Find(1, one), 1);
            ASSERT_EQ(Registry::getInstance().Find(2, two), 1);
            EXPECT_FALSE(one.pause);
            EXPECT_TRUE(two.pause);
        }
    }

    // A text flag "false" read as true would turn the merge off; a number is no path.
    const std::vector<std::pair<const char*, PObject>> wrong = {
        {"session_id", PObject("3")},    {"view_id", PObject("503")},     {"node_id", PObject()},
        {"recursive", PObject("false")}, {"sync_mode", PObject("false")}, {"create_time", PObject("1")},
        {"remote_path", PObject(7)},
    };
    for (const auto& [key, value] : wrong) {
        SCOPED_TRACE(key);
        PObject r = Prepare(3);
        r[key] = value;
        EXPECT_EQ(Send(r)["error"].asString(), "Invalid parameters.");
        EXPECT_EQ(Registry::getInstance().Size(), 2u);
        EXPECT_FALSE(TheDetector()->HasWatch(3));
    }
}

TEST_F(SessionActionsTest, FoldersInsideOrAroundAnotherSessionsFoldersAreRefused) {
    ASSERT_FALSE(Send(Prepare(1)).hasMember("error"));
    WriteFile(Sync(1) + "/.VarnelWorkingDirectory/#VarnelRecycle/KEEP", "recycled");
    PObject second = Prepare(2);
    mkdir((Sync(1) + "/inner").c_str(), 0755);
    mkdir((Config(1) + "/inner").c_str(), 0755);

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"sync_folder", Sync(1) + "/inner"},  // inside the other's local folder
        {"sync_folder", dir + "/s1"},         // around it
        {"sync_folder", Config(1)},           // the other's database would be synchronised
        {"config_path", Sync(1) + "/inner"},  // this one's database inside the other's folder
        {"config_path", Config(1) + "/inner"},
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(std::string(key) + " = " + value);
        PObject r = second;
        r[key] = ustring(value);
        EXPECT_EQ(Send(r)["error"].asString(), "Failed to create registry entry.");
        EXPECT_EQ(Registry::getInstance().Size(), 1u);
    }
    std::ifstream kept(Sync(1) + "/.VarnelWorkingDirectory/#VarnelRecycle/KEEP");
    EXPECT_TRUE(kept.good());
    EXPECT_FALSE(Send(second).hasMember("error"));  // side by side is fine
    EXPECT_EQ(Registry::getInstance().Size(), 2u);
}

TEST_F(SessionActionsTest, AFolderGivenAsALinkIsResolvedOnceAndLinksInsideAreNotFollowed) {
    PObject r = Prepare(8);
    // ~/Sync as a link to the real folder.
    ASSERT_EQ(symlink(Sync(8).c_str(), (dir + "/Sync-link").c_str()), 0);
    r["sync_folder"] = ustring(dir + "/Sync-link");
    // A working directory that is a link to a folder outside: it is removed as the
    // link it is, and what it names is never emptied or written.
    const std::string outside = dir + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    WriteFile(outside + "/keep", "x");
    ASSERT_EQ(symlink(outside.c_str(), (Sync(8) + "/.VarnelWorkingDirectory").c_str()), 0);

    ASSERT_FALSE(Send(r).hasMember("error"));
    Registry::Entry entry;
    ASSERT_EQ(Registry::getInstance().Find(8, entry), 1);
    EXPECT_EQ(entry.local_path, ustring(Sync(8)));
    ASSERT_NE(entry.root, nullptr);
    EXPECT_EQ(entry.root->path(), ustring(Sync(8)));
    EXPECT_EQ(TheDetector()->GetWatchPath(8), ustring(Sync(8)));
    struct stat st;
    ASSERT_EQ(lstat((Sync(8) + "/.VarnelWorkingDirectory/#VarnelRecycle").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(lstat((Sync(8) + "/.VarnelWorkingDirectory").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(Tree(outside), (std::set<std::string>{"", "/keep"}));
}

namespace {

// A stand-in for a puller or a worker: walks the sessions through registry copies,
// uses each copy's lists and database, and borrows a connection for a (failing)
// connect, as the tasks will.
class StandInTask : public Task {
public:
    void DoTask() override {
        RunLoop([this] {
            Registry::Entry entry;
            if (Registry::getInstance().FindNext(last, entry) == 1) {
                last = entry.sess_id;
                uint64_t sync_id = 0;
                if (entry.event_db) static_cast<void>(entry.event_db->getSyncId(sync_id));
                if (entry.black_list) entry.black_list->TestFilePath("/film.mkv");
                if (entry.white_list) static_cast<void>(entry.white_list->Test("a.pdf"));
                Registry::getInstance().InitRecycleTime(entry, 1000);
            }
            if (ConnectionPool* pool = g_pool.get()) {
                ConnectionLease lease(*pool, &abort_flag);
                RequestChannel(SyncerSite(), lease.get(), *pool, entry.view_id);
                ++rounds;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0u;
        });
    }
    int Pause() override {
        abort_flag = 1;
        return Task::Pause();
    }
    int Resume() override {
        abort_flag = 0;
        return Task::Resume();
    }
    int Stop() override {
        abort_flag = 1;
        return Task::Stop();
    }
    std::atomic<int> abort_flag{0};
    std::atomic<int> rounds{0};

private:
    uint64_t last = 0;
};

}  // namespace

TEST_F(SessionActionsTest, ControlActionsBesideBorrowingTasksForTenSeconds) {
    ASSERT_FALSE(Send(ConnectionRequest("link_connection", 1)).hasMember("error"));
    for (uint64_t id : {1, 2, 3}) ASSERT_FALSE(Send(Prepare(id)).hasMember("error"));
    StandInTask tasks[3];
    for (StandInTask& t : tasks) ASSERT_TRUE(t.Run());

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (unsigned round = 0; std::chrono::steady_clock::now() < end; ++round) {
        const uint64_t id = 1 + round % 3;
        Send(WithId("resume", id));
        Send(Action("resume"));
        Send(Action("pause"));
        Send(WithId("remove_session", id));
        Send(Prepare(id));
        if (round % 4 == 0) Send(ConnectionRequest("reload_connection", 1, round % 8 ? "127.0.0.1" : "127.0.0.2"));
        if (round % 5 == 0) tasks[round % 3].Pause();
        if (round % 5 == 2) tasks[round % 3].Resume();
        Send(Action("get_status"));
    }
    for (StandInTask& t : tasks) t.Resume();
    for (StandInTask& t : tasks) {
        t.Stop();
        t.Join();
        EXPECT_GT(t.rounds.load(), 0);
    }
    EXPECT_EQ(Registry::getInstance().Size(), 3u);
    EXPECT_EQ(g_pool->available(), g_pool->size());
}

TEST_F(SessionActionsTest, TheFoldersDeviceIsRecordedAtTheFirstAddAndKept) {
    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    Registry::Entry entry;
    ASSERT_EQ(Registry::getInstance().Find(5, entry), 1);
    struct stat st;
    ASSERT_EQ(stat(Sync(5).c_str(), &st), 0);
    EXPECT_EQ(entry.root_dev, static_cast<uint64_t>(st.st_dev));

    // Added again later (a restart), the first add's device holds, not the one the
    // path lies on now: an empty mount point must not pass for the folder.
    ASSERT_FALSE(Send(WithId("remove_session", 5)).hasMember("error"));
    WriteFile(Config(5) + "/db/root-device", "12345\n");
    ASSERT_FALSE(Send(Prepare(5)).hasMember("error"));
    ASSERT_EQ(Registry::getInstance().Find(5, entry), 1);
    EXPECT_EQ(entry.root_dev, 12345u);
}
