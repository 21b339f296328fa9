// Rescan and expansion on workers that were never started: the events they queue
// are drained from the real event manager in the order workers would get them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <set>

#include "filter/black_list.h"
#include "filter/filter_codes.h"
#include "foundation/error_codes.h"
#include "store/filter_db.h"
#include "sync/sync_fixture.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kTime = 1700000000;

// Every handler that would reach the server only records its event (or runs body).
class StandInWorker : public Worker {
public:
    StandInWorker() : Worker(SyncServices::Process()) {}
    ~StandInWorker() override {
        Stop();
        Join();
    }
    std::function<int(StandInWorker&)> body;
    std::vector<std::string> seen;  // "<handler> <path>"
    int UploadLocal() override { return Record("upload"); }
    int DownloadRemote() override { return Record("download"); }
    int RemoveLocal() override { return Record("remove-local"); }
    int RemoveRemote() override { return Record("remove-remote"); }

private:
    int Record(const char* what) {
        seen.push_back(std::string(what) + " " + GetPath().str());
        return body ? body(*this) : 0;
    }
};

// An event as the tests compare it: "<local|server> <type> <path>".
std::string Describe(const Event& e) {
    static const char* const kTypes[] = {"empty", "create", "remove", "modify", "rename"};
    return std::string(e.isServerEvent() ? "server " : "local ") + kTypes[e.m_type] + " " + e.m_path.str();
}

class RescanTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        ASSERT_EQ(FilterDB::getInstance().initialize(at("filter.sqlite")), DbResult::kOk);
        session = AddSession(1, 7);
    }
    void TearDown() override {
        FilterDB::getInstance().destroy();
        SyncFixture::TearDown();
    }
    std::string Local(const std::string& rel) const { return session.local_path.str() + rel; }
    void Put(const std::string& rel, const std::string& bytes, time_t mtime = kTime) {
        fs::create_directories(fs::path(Local(rel)).parent_path());
        std::ofstream(Local(rel), std::ios::binary | std::ios::trunc) << bytes;
        utimbuf t{mtime, mtime};
        utime(Local(rel).c_str(), &t);
    }
    void Row(const std::string& path, bool dir, uint64_t size = 0, uint64_t sync_id = 1,
             const char* checksum = "0123456789abcdef0123456789abcdef") {
        ClientFileEventInfo r;
        r.path = path;
        r.fileType = dir ? 1 : 0;
        r.isExist = 1;
        r.syncID = r.maxSyncID = sync_id;
        r.fileSize = size;
        r.fileModTime = kTime;
        r.fileCheckSum = dir ? "" : checksum;
        r.baseName = LastComponent(path);
        r.updateClient = "testbox";
        ASSERT_EQ(session.event_db->setEventInfo(r), DbResult::kOk) << path;
    }
    // The row of rel keeps the stamp the file has now (it was synchronised as it is).
    void Synced(const std::string& rel) {
        ClientFileEventInfo r;
        struct stat st {};
        ASSERT_TRUE(session.event_db->getEventInfo(rel, r) == DbLookup::kFound && stat(Local(rel).c_str(), &st) == 0)
            << rel;
        r.stamp = {st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec,
                   st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec, st.st_ino};
        ASSERT_EQ(session.event_db->setEventInfo(r), DbResult::kOk) << rel;
    }
    // Hands out and finishes every queued event, as workers would get them.
    std::vector<Event> Drain() {
        std::vector<Event> out;
        Task taker;
        Event e;
        while (EventManager::getInstance().PullEvent(&taker, e) == 0) {
            out.push_back(e);
            Event done = e;
            EventManager::getInstance().DoneEvent(&taker, done);
        }
        return out;
    }
    std::set<std::string> DrainSet() {
        std::set<std::string> out;
        for (const Event& e : Drain()) out.insert(Describe(e));
        return out;
    }
    size_t Pending() { return EventManager::getInstance().GetAllPendingEventCount(1); }

    Registry::Entry session;
};

TEST_F(RescanTest, FindsNewRemovedAndChangedItemsWithAndWithoutMerge) {
    struct Case {
        bool merge;
        std::set<std::string> events;
    };
    const std::set<std::string> common = {
        "local modify /changed.txt",  // size differs
        "local modify /touched.txt",  // time differs
        "local modify /new.txt",
        "local modify /newdir",
        "local modify /newdir/inner.txt",
        // A file where the database knows a directory: it goes up alone, and its
        // upload removes the old tree; nothing below it is removed or fetched.
        "local modify /kind",
        // Size and time as the row has them, no stamp yet: read, and it differs (or
        // its execute bit does).
        "local modify /put-back.txt",
        "local modify /chmod.txt",
    };
    auto with = [&](std::set<std::string> extra) {
        extra.insert(common.begin(), common.end());
        return extra;
    };
    const Case cases[] = {
        // The directory's removal takes in the removal of its contents.
        {false, with({"local remove /gone.txt", "local remove /gonedir"})},
        {true, with({"server modify /gone.txt", "server modify /gonedir", "server modify /gonedir/g.txt"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.merge ? "merge" : "no merge");
        for (const auto& item : fs::directory_iterator(session.local_path.str())) fs::remove_all(item.path());
        ASSERT_EQ(session.event_db->rmEventInfo("/"), DbResult::kOk);
        for (const char* p : {"/same.txt", "/changed.txt", "/touched.txt", "/gone.txt", "/dir/kept.txt",
                              "/gonedir/g.txt", "/kind/in.txt"})
            Row(p, false, 4);
        Row("/dir", true);
        Put("/same.txt", "same");
        Put("/changed.txt", "longer");
        Put("/touched.txt", "same", kTime + 60);
        Put("/dir/kept.txt", "kept");
        Put("/new.txt", "new");
        Put("/newdir/inner.txt", "in");
        Put("/kind", "file");
        Synced("/same.txt");
        Synced("/dir/kept.txt");
        // Rows without a stamp (a download's, or from before stamps): a file that still
        // holds the row's version gets its stamp; an edit whose time went back goes up.
        const char* const kMd4OfSame = "ef775eca60e176e1aa7468dc67b82c59";
        Row("/unstamped.txt", false, 4, 1, kMd4OfSame);
        Row("/put-back.txt", false, 4, 1, kMd4OfSame);
        Row("/chmod.txt", false, 4, 1, kMd4OfSame);
        Put("/unstamped.txt", "same");
        Put("/put-back.txt", "edit");
        Put("/chmod.txt", "same");
        fs::permissions(Local("/chmod.txt"), fs::perms::owner_exec, fs::perm_options::add);
        usleep(50 * 1000);  // their change times a file-time tick old, as after a restart
        // The daemon's own scratch folder is never part of the comparison.
        Put("/.VarnelWorkingDirectory/scratch", "x");

        Worker worker{SyncServices::Process()};
        EventManager::getInstance().IssueRescan(1, "/", c.merge);
        EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
        std::vector<Event> events = Drain();
        std::set<std::string> got;
        for (const Event& e : events) {
            got.insert(Describe(e));
            if (e.isServerEvent()) {
                EXPECT_EQ(e.m_sync_id, 0x7FFFFFFFFFFFFFFFull) << e.m_path.str();
            }
            if (e.isServerEvent() && e.m_path == "/gone.txt") {
                EXPECT_EQ(e.m_data_hash.str().size(), 32u);
            }
        }
        EXPECT_EQ(got, c.events);
        ClientFileEventInfo row;
        ASSERT_EQ(session.event_db->getEventInfo("/unstamped.txt", row), DbLookup::kFound);
        EXPECT_TRUE(row.stamp.known());
        ASSERT_EQ(session.event_db->getEventInfo("/put-back.txt", row), DbLookup::kFound);
        EXPECT_FALSE(row.stamp.known());
    }
}

TEST_F(RescanTest, ComparesNameByNameInTheListsOrder) {
    // "Project.zip" sorts after "Project/x" name by name, though '.' < '/' as bytes.
    Row("/Project/x", false, 1);
    Row("/Project.zip", false, 4);
    Row("/Project", true);
    Put("/Project/x", "edited");
    Worker worker{SyncServices::Process()};
    EventManager::getInstance().IssueRescan(1, "/", false);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(DrainSet(), (std::set<std::string>{"local modify /Project/x", "local remove /Project.zip"}));
}

TEST_F(RescanTest, WhatCannotBeReadOrIsFilteredIsNeverRemoved) {
    // A folder replaced by a link, and a special file: their rows stay untouched.
    for (const char* p : {"/linked/a.txt", "/fifo", "/skip/f.txt"}) Row(p, false, 4);
    fs::create_directories(at("elsewhere"));
    fs::create_directory_symlink(at("elsewhere"), Local("/linked"));
    ASSERT_EQ(mkfifo(Local("/fifo").c_str(), 0600), 0);
    // A selective-sync prefix: recorded as filtered, no event.
    auto black = std::make_shared<BlackList2>();
    Filter* f = black->GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->version, 1, 0));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/skip"));
    black->ReturnFilter();
    session.black_list = black;
    Registry::getInstance().Set(session);

    Worker worker{SyncServices::Process()};
    EventManager::getInstance().IssueRescan(1, "/", false);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(DrainSet(), std::set<std::string>{});
    FilterLocalEvent rec;
    ASSERT_EQ(FilterDB::getInstance().getLocalFilteredEventByPath(1, "/skip/f.txt", rec), DbLookup::kFound);
    EXPECT_EQ(rec.filtered_type, FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(rec.base_name, ustring("f.txt"));

    // Rescanning or expanding the link itself finds nothing, and ends.
    EventManager::getInstance().IssueRescan(1, "/linked", false);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EventManager::getInstance().IssueExpand(1, "/linked");
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(DrainSet(), std::set<std::string>{});
}

TEST_F(RescanTest, AFolderThatCannotBeOpenedKeepsTheRowsBelowIt) {
    // A chain of folders deeper than a path can name: the deepest one is listed by
    // its parent but cannot be opened itself (as root nothing else refuses a folder).
    const std::string name(200, 'n');
    std::vector<int> fds{open(session.local_path.c_str_utf8(), O_RDONLY | O_DIRECTORY)};
    std::string rel;
    for (int i = 0; i < 22; ++i) {
        ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0755), 0);
        fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(fds.back(), 0);
        rel += "/" + name;
        Row(rel, true);
    }
    ASSERT_GT(rel.size(), size_t{PATH_MAX});
    Row(rel + "/f.txt", false, 4);
    ASSERT_EQ(close(openat(fds.back(), "f.txt", O_WRONLY | O_CREAT, 0644)), 0);

    Worker worker{SyncServices::Process()};
    EventManager::getInstance().IssueRescan(1, "/", false);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(DrainSet(), std::set<std::string>{});

    unlinkat(fds.back(), "f.txt", 0);
    for (size_t i = fds.size() - 1; i > 0; --i) {
        close(fds[i]);
        unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);
}

TEST_F(RescanTest, AMissingSessionFolderQueuesNothingAndReportsIt) {
    enum How { REMOVED, EMPTY_IN_ITS_PLACE, OTHER_DEVICE };
    for (How how : {REMOVED, EMPTY_IN_ITS_PLACE, OTHER_DEVICE}) {
        for (bool subdir_removal : {false, true}) {
            SCOPED_TRACE(std::to_string(how) + (subdir_removal ? " directory removal" : " rescan"));
            EventManager::getInstance().Clear();
            const std::string folder = session.local_path.str();
            fs::remove_all(folder);
            fs::remove_all(folder + ".away");
            fs::create_directories(folder);
            AddSession(1, 7);  // opens the fresh folder
            Registry::getInstance().Find(1, session);
            Row("/d", true);
            Row("/d/a.txt", false, 4);
            Row("/top.txt", false, 4);
            if (how == REMOVED || how == EMPTY_IN_ITS_PLACE) fs::rename(folder, folder + ".away");
            if (how == EMPTY_IN_ITS_PLACE) fs::create_directories(folder + "/d");
            if (how == OTHER_DEVICE) {
                fs::create_directories(folder + "/d");
                session.root_dev = session.root->device() + 1;
                Registry::getInstance().Set(session);
            }
            const size_t notices = ErrorNotices().size();

            if (subdir_removal) {
                // A local directory removal whose directory came back: one level compared.
                Event e;
                e.m_type = Event::EV_CREATE;
                e.m_path = "/d";
                e.m_mode = Event::F_DIR | Event::F_LOCAL_SUBDIR_RESCAN;
                e.m_sess_id = 1;
                EventManager::getInstance().PushLocalEvent(e);
            } else {
                EventManager::getInstance().IssueRescan(1, "/", true);
            }
            Worker worker{SyncServices::Process()};
            EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
            // Kept for later, and nothing else queued.
            EXPECT_EQ(Pending(), 1u);
            std::vector<Event> left = Drain();
            ASSERT_EQ(left.size(), 1u);
            EXPECT_EQ(left[0].m_path, ustring(subdir_removal ? "/d" : "/"));
            EXPECT_EQ(left[0].isRescan() && left[0].isMerge(), !subdir_removal);
            ASSERT_TRUE(ui.WaitForKind("error", notices + 1));
            const std::vector<PObject> now = ErrorNotices();
            ASSERT_GT(now.size(), notices);
            EXPECT_EQ(now.back()["error_type"].asInt32(), ERR_SYNCFOLDER_MISS);
            EXPECT_EQ(now.back()["session_id"].asUInt64(), 1u);
        }
    }
}

TEST_F(RescanTest, LocalDeleteExpansionComparesOneLevelAndThenQueuesTheDirectory) {
    Row("/d", true);
    Row("/d/a.txt", false, 4);  // removed locally
    Row("/d/b.txt", false, 4);
    Row("/d/sub/deep.txt", false, 4);  // a level below: not this expansion's business
    Put("/d/b.txt", "same");
    Synced("/d/b.txt");
    Put("/d/c.txt", "new");
    fs::create_directories(Local("/d/sub"));
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_path = "/d";
    e.m_mode = Event::F_DIR | Event::F_LOCAL_SUBDIR_RESCAN;
    e.m_sess_id = 1;
    EventManager::getInstance().PushLocalEvent(e);
    Worker worker{SyncServices::Process()};
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_EQ(DrainSet(), (std::set<std::string>{"local create /d", "local remove /d/a.txt", "local modify /d/c.txt"}));
}

TEST_F(RescanTest, ExpansionAnnouncesEachDirectoryBeforeItsContents) {
    Put("/new/a.txt", "a");
    Put("/new/sub/b.txt", "b");
    Put("/new/sub/deeper/c.txt", "c");
    Worker worker{SyncServices::Process()};
    EventManager::getInstance().IssueExpand(1, "/new");
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    std::vector<std::string> order;
    for (const Event& e : Drain()) order.push_back(Describe(e));
    EXPECT_EQ(order, (std::vector<std::string>{"local create /new/a.txt", "local create /new/sub",
                                               "local create /new/sub/b.txt", "local create /new/sub/deeper",
                                               "local create /new/sub/deeper/c.txt"}));
}

TEST_F(RescanTest, ServerDirectoryRemovalWithANewerChildEndsAndKeepsIt) {
    // With and without local work pending below the directory (which makes the tree
    // hand the removal out as a sub-directory rescan).
    for (bool local_work : {false, true}) {
        SCOPED_TRACE(local_work ? "local work below" : "plain");
        EventManager::getInstance().Clear();
        Row("/D", true);
        Row("/D/old.txt", false, 3, 1);
        Row("/D/new.txt", false, 3, 5);  // synchronised after the removal's sync id
        Put("/D/old.txt", "old");
        Put("/D/new.txt", "new");

        StandInWorker worker;
        // A stale directory removal expands as the removal handler does.
        worker.body = [](StandInWorker& w) {
            const Event& e = w.GetContext().current_event;
            if (e.isServerEvent() && e.m_type == Event::EV_REMOVE && e.isDir())
                return w.ExpandServerDeleteEvent(e.m_path, e.m_sess_id, e.m_sync_id) == StepResult::kOk ? 0 : ERR_INT;
            return 0;
        };
        if (local_work) {
            Event edit;
            edit.m_type = Event::EV_MODIFY;
            edit.m_path = "/D/new.txt";
            edit.m_sess_id = 1;
            EventManager::getInstance().PushLocalEvent(edit);
        }
        Event removal;
        removal.m_type = Event::EV_REMOVE;
        removal.m_path = "/D";
        removal.m_mode = Event::F_DIR;
        removal.m_sync_id = removal.m_max_id = 3;
        removal.m_sess_id = 1;
        EventManager::getInstance().PushServerEvent(removal);

        int rounds = 0;
        while (Pending() > 0 && rounds < 20) {
            worker.RunOnce();
            ++rounds;
        }
        EXPECT_EQ(Pending(), 0u);
        EXPECT_LT(rounds, 20);
        const std::vector<std::string> expected =
            local_work ? std::vector<std::string>{"upload /D", "upload /D/new.txt", "remove-local /D/old.txt"}
                       : std::vector<std::string>{"remove-local /D", "remove-local /D/old.txt"};
        EXPECT_EQ(worker.seen, expected);
        EXPECT_TRUE(fs::exists(Local("/D/new.txt")));
        ASSERT_EQ(session.event_db->rmEventInfo("/D"), DbResult::kOk);
    }
}

}  // namespace
