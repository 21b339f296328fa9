// The removal handlers on a worker that was never started, against the real
// refserver: server removals into the recycle folder (never of local work), local
// removals on the server with its refusals, and a session folder that went away.
#include <unistd.h>

#include "foundation/error_codes.h"
#include "sync/transfer_fixture.h"

namespace {

class RemoveTest : public TransferTest {
protected:
    // The content of the recycle folder's entry with that content's hash, or "(none)".
    std::string Recycled(const std::string& content) {
        ustring found;
        if (session.event_db->getFilePathByHashFromRecycle(Md4Of(content), "", found) != DbLookup::kFound)
            return "(none)";
        return Read(Recycle() + found.str());
    }
    // Passes over a pushed local event until nothing is pending; the actions taken.
    std::vector<int> RunLocal(const Event& e) {
        EventManager::getInstance().PushLocalEvent(e);
        std::vector<int> actions;
        for (int i = 0; i < 6 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
            actions.push_back(worker.RunOnce());
        return actions;
    }
};

// Records the expansions a removal hands on instead of running them.
class ExpansionRecorder : public TransferWorker {
public:
    std::vector<std::string> expanded;
    StepResult ExpandLocalDeleteEvent(const ustring& path) override {
        expanded.push_back("local " + path.str());
        return StepResult::kOk;
    }
    StepResult ExpandServerDeleteEvent(const ustring& path, uint64_t, uint64_t sync_id) override {
        expanded.push_back("server " + path.str() + " " + std::to_string(sync_id));
        return StepResult::kOk;
    }
    int ExpandDeleteEvent() override {
        expanded.push_back("subdir " + GetPath().str());
        return 0;
    }
};

Event RemovalEvent(const std::string& path, bool dir, bool server, uint64_t id = 0) {
    Event e;
    e.m_type = Event::EV_REMOVE;
    if (server) e.setServerEvent();
    if (dir) e.setDir();
    e.m_sess_id = 1;
    e.m_path = path;
    e.m_sync_id = id;
    e.m_max_id = id;
    return e;
}

TEST_F(RemoveTest, ServerRemovalRecyclesAKnownFileAndKeepsAnEditedOne) {
    Start();
    EXPECT_EQ(Sync("/a.txt", "alpha"), kDone);
    EXPECT_EQ(Sync("/b.txt", "beta"), kDone);
    Put("/b.txt", "beta, edited here");
    for (const char* name : {"/a.txt", "/b.txt"}) {
        const uint64_t id = AddServerChange(server.data_root().string(), kView, name, false, true);
        Run(RemovalEvent(name, false, true, id));
        EXPECT_FALSE(fs::exists(Local(name))) << name;
        EXPECT_EQ(Row(name).syncID, 0u) << name;
    }
    // The known file went to the recycle folder with its row's hash; the recycle
    // time started.
    EXPECT_EQ(Recycled("alpha"), "alpha");
    Registry::Entry now;
    ASSERT_EQ(Registry::getInstance().Find(1, now), 1);
    EXPECT_NE(now.recycle_time, 0u);
    // The edited one stays under a conflict name, goes up as a new item, and nothing
    // of it is in the recycle folder.
    const auto kept = Named(session.local_path.str(), "b_testbox_");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Read(kept[0]), "beta, edited here");
    EXPECT_EQ(Recycled("beta"), "(none)");
    EXPECT_EQ(server.CountLog("upload: /" + fs::path(kept[0]).filename().string() + ": stored as"), 1);
}

TEST_F(RemoveTest, ServerRemovalOfADirectoryKeepsWhatWasMadeOffline) {
    Start();
    for (const char* dir : {"/d", "/d/sub"}) EXPECT_EQ(Sync(dir, "", true), kDone);
    EXPECT_EQ(Sync("/d/known.txt", "known"), kDone);
    EXPECT_EQ(Sync("/d/sub/k2.txt", "k2"), kDone);
    Put("/d/new.txt", "made while offline");
    const uint64_t id = AddServerChange(server.data_root().string(), kView, "/d", true, true);
    EventManager::getInstance().PushServerEvent(RemovalEvent("/d", true, true, id));
    for (int i = 0; i < 12 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
        EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(1), 0u);
    // The directory's own creation merged into its removal: the tree hands it on as
    // a rescan of the directory, which puts it back on the server.
    EXPECT_GE(server.CountLog("upload: /d: stored as"), 1);
    // Known and unchanged: recycled, the emptied sub-folder with it.
    EXPECT_FALSE(fs::exists(Local("/d/known.txt")));
    EXPECT_FALSE(fs::exists(Local("/d/sub")));
    EXPECT_EQ(Recycled("known"), "known");
    EXPECT_EQ(Recycled("k2"), "k2");
    // The new file stayed and went up again with its folder.
    EXPECT_EQ(Read(Local("/d/new.txt")), "made while offline");
    EXPECT_EQ(server.CountLog("upload: /d/new.txt: stored as"), 1);
    std::string hash, blob;
    EXPECT_EQ(ServerFile(server.data_root().string(), kView, "/d/new.txt", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("made while offline"));
    // Folders alone hold nothing: an unknown empty one below (a cut download) goes too.
    for (const char* dir : {"/g", "/g/known"}) EXPECT_EQ(Sync(dir, "", true), kDone);
    fs::create_directories(Local("/g/known/empty/deeper"));
    EventManager::getInstance().PushServerEvent(
        RemovalEvent("/g", true, true, AddServerChange(server.data_root().string(), kView, "/g", true, true)));
    for (int i = 0; i < 12 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i) worker.RunOnce();
    EXPECT_FALSE(fs::exists(Local("/g")));
}

TEST_F(RemoveTest, StaleRemovalAndReappearedItemsHandOnToTheExpansions) {
    Start();
    ExpansionRecorder w;
    EXPECT_EQ(Sync("/s", "", true), kDone);
    EXPECT_EQ(Sync("/s/new.txt", "newer than the removal"), kDone);
    // The server removed a version of "/s" older than what the row holds.
    EventManager::getInstance().PushServerEvent(RemovalEvent("/s", true, true, Row("/s").syncID));
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_TRUE(fs::exists(Local("/s/new.txt")));
    // A local removal of a directory that is there again.
    EventManager::getInstance().PushLocalEvent(RemovalEvent("/s", true, false));
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(w.expanded, (std::vector<std::string>{"server /s " + std::to_string(Row("/s").syncID), "local /s"}));
    EXPECT_EQ(server.CountLog("remove:"), 0);
    // A file no row knows where a local removal finds it (its upload waited for it) goes up.
    std::ofstream(Local("/late.txt")) << "came late";
    EventManager::getInstance().PushLocalEvent(RemovalEvent("/late.txt", false, false));
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(w.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("upload: /late.txt: stored as"), 1);
}

TEST_F(RemoveTest, LocalRemovalRemovesOnTheServerAndHandlesItsRefusals) {
    Start();
    const std::string root = server.data_root().string();
    for (const char* name : {"/f.txt", "/gone.txt", "/newer.txt"}) EXPECT_EQ(Sync(name, name), kDone);
    for (const char* dir : {"/dd", "/dd/x"}) EXPECT_EQ(Sync(dir, "", true), kDone);
    AddServerChange(root, kView, "/gone.txt", false, true);  // another client removed it first
    ServerPut("/newer.txt", "a newer version");              // or changed it
    ServerPut("/dd/x/y.txt", "new below the directory");
    for (const char* name : {"/f.txt", "/gone.txt", "/newer.txt"}) {
        unlink(Local(name).c_str());
        EXPECT_EQ(RunLocal(RemovalEvent(name, false, false)), kDone) << name;
        EXPECT_EQ(Row(name).syncID, 0u) << name;
    }
    EXPECT_EQ(server.CountLog("remove: /f.txt: removed as"), 1);
    EXPECT_EQ(server.CountLog("remove: /gone.txt: no such item"), 1);
    EXPECT_EQ(server.CountLog("remove: /newer.txt: modified"), 1);
    std::string hash, blob;
    EXPECT_EQ(ServerFile(root, kView, "/f.txt", &hash, &blob), 1);
    EXPECT_EQ(hash, "");
    EXPECT_EQ(ServerFile(root, kView, "/newer.txt", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("a newer version"));  // it comes back by its own event

    // A directory goes with everything below it.
    for (const char* name : {"/e", "/e/k.txt"}) EXPECT_EQ(Sync(name, name, name[2] == 0), kDone);
    fs::remove_all(Local("/e"));
    EXPECT_EQ(RunLocal(RemovalEvent("/e", true, false)), kDone);
    EXPECT_EQ(server.CountLog("remove: /e: removed as"), 1);
    EXPECT_EQ(ServerFile(root, kView, "/e/k.txt", &hash, &blob), 1);
    EXPECT_EQ(hash, "");
    EXPECT_EQ(Row("/e/k.txt").syncID, 0u);

    // A directory changed below on the server: its row stays, and a merging rescan
    // brings back what the others still hold (the newer file comes by its own event).
    fs::remove_all(Local("/dd"));
    EventManager::getInstance().PushLocalEvent(RemovalEvent("/dd", true, false));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("remove: /dd: modified"), 1);
    EXPECT_NE(Row("/dd").syncID, 0u);
    EXPECT_NE(Row("/dd/x").syncID, 0u);
    for (int i = 0; i < 8 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i) worker.RunOnce();
    EXPECT_TRUE(fs::is_directory(Local("/dd/x")));
    EXPECT_EQ(server.CountLog("remove: /dd"), 1);
    EXPECT_EQ(ServerFile(root, kView, "/dd/x/y.txt", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("new below the directory"));
    // With no row below to fetch again, the folder itself comes back: the newer file
    // then has a place to come to, and the folder is not left on the others alone.
    EXPECT_EQ(Sync("/ee", "", true), kDone);
    ServerPut("/ee/z.txt", "new below an empty directory");
    fs::remove_all(Local("/ee"));
    EventManager::getInstance().PushLocalEvent(RemovalEvent("/ee", true, false));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(server.CountLog("remove: /ee: modified"), 1);
    EXPECT_TRUE(fs::is_directory(Local("/ee")));
    EXPECT_NE(Row("/ee").syncID, 0u);
}

TEST_F(RemoveTest, AServerFaultOnRemovalIsRetriedAndKeepsTheRow) {
    Start({"--fault", "remove=0x7000"});
    EXPECT_EQ(Sync("/r.txt", "r"), kDone);
    unlink(Local("/r.txt").c_str());
    EventManager::getInstance().PushLocalEvent(RemovalEvent("/r.txt", false, false));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_NE(Row("/r.txt").syncID, 0u);
    EXPECT_EQ(server.CountLog("remove: fault injected"), 1);
}

TEST_F(RemoveTest, AMissingSessionFolderRemovesNothingAndTellsTheUser) {
    Start();
    EXPECT_EQ(Sync("/m.txt", "m"), kDone);
    EXPECT_EQ(Sync("/n.txt", "n"), kDone);
    const std::string folder = session.local_path.str();
    struct Case {
        const char* what;
        bool replace;  // an empty folder takes the old one's place (an empty mount point)
    };
    for (const Case& c : {Case{"renamed away", false}, Case{"replaced by an empty folder", true}}) {
        SCOPED_TRACE(c.what);
        fs::rename(folder, folder + ".moved");
        if (c.replace) fs::create_directory(folder);
        const size_t notices = ErrorNotices().size();
        EventManager::getInstance().PushLocalEvent(RemovalEvent("/m.txt", false, false));
        const uint64_t id = AddServerChange(server.data_root().string(), kView, "/n.txt", false, true);
        EventManager::getInstance().PushServerEvent(RemovalEvent("/n.txt", false, true, id));
        EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
        EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
        EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(1), 2u);
        EXPECT_EQ(server.CountLog("remove:"), 0);
        EXPECT_NE(Row("/m.txt").syncID, 0u);
        EXPECT_NE(Row("/n.txt").syncID, 0u);
        EXPECT_EQ(Read(folder + ".moved/n.txt"), "n");
        const std::vector<PObject> now = ErrorNotices();
        ASSERT_EQ(now.size(), notices + 2);
        EXPECT_EQ(now.back()["error_type"].asInt32(), ERR_SYNCFOLDER_MISS);
        EXPECT_EQ(now.back()["session_id"].asUInt64(), 1u);
        EventManager::getInstance().Clear();
        if (c.replace) fs::remove(folder);
        fs::rename(folder + ".moved", folder);
    }
}

// A rescan and the handlers together, as a worker runs them: exactly the local
// changes reach the server, and a session folder that went away removes nothing.
TEST_F(RemoveTest, ARescanCarriesExactlyTheLocalChangesToTheServer) {
    Start();
    const std::string root = server.data_root().string();
    for (const char* dir : {"/Project", "/a[bx]", "/ab"}) EXPECT_EQ(Sync(dir, "", true), kDone);
    for (const char* name : {"/Project/x", "/Project.zip", "/a[bx]/f", "/ab/f"}) EXPECT_EQ(Sync(name, name), kDone);
    auto rescan = [&] {
        EventManager::getInstance().IssueRescan(1, "/", false);
        std::vector<int> actions;
        for (int i = 0; i < 12 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
            actions.push_back(worker.RunOnce());
        return actions;
    };
    std::string hash, blob;

    // The folder replaced by an empty one (an empty mount point): nothing is removed.
    const std::string folder = session.local_path.str();
    fs::rename(folder, folder + ".moved");
    fs::create_directory(folder);
    rescan();
    EXPECT_EQ(server.CountLog("remove:"), 0);
    EXPECT_EQ(ServerFile(root, kView, "/Project/x", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("/Project/x"));
    EventManager::getInstance().Clear();
    fs::remove(folder);
    fs::rename(folder + ".moved", folder);

    // "Project.zip" removed beside an edited "Project/x", and the folder "a[bx]"
    // removed beside "ab": exactly those changes arrive.
    unlink(Local("/Project.zip").c_str());
    fs::remove_all(Local("/a[bx]"));
    Put("/Project/x", "edited", 1700000100);
    rescan();
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(1), 0u);
    EXPECT_EQ(server.CountLog("remove: /Project.zip: removed as"), 1);
    EXPECT_EQ(server.CountLog("remove: /a[bx]: removed as"), 1);
    EXPECT_EQ(server.CountLog("remove: /ab"), 0);
    EXPECT_EQ(server.CountLog("remove: /Project/"), 0);
    for (const char* gone : {"/Project.zip", "/a[bx]/f"}) {
        EXPECT_EQ(ServerFile(root, kView, gone, &hash, &blob), 1);
        EXPECT_EQ(hash, "") << gone;
    }
    EXPECT_EQ(ServerFile(root, kView, "/Project/x", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("edited"));
    EXPECT_EQ(ServerFile(root, kView, "/ab/f", &hash, &blob), 1);
    EXPECT_EQ(hash, Md4Of("/ab/f"));
    EXPECT_NE(Row("/ab/f").syncID, 0u);
    EXPECT_EQ(Row("/a[bx]/f").syncID, 0u);
}

}  // namespace
