// The local change detector on real folders: a detector that was never started is
// driven round by round (Poll), its results recorded instead of reaching the event
// manager; deleted items are typed from a real event database in the registry.
#include "sync/detector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/registry.h"
#include "foundation/error_codes.h"
#include "platform/scratch_dir.h"
#include "store/file_event_db.h"

namespace fs = std::filesystem;

namespace {

struct Seen {
    Event::Type type;
    std::string path;
    bool dir;
    bool operator==(const Seen& o) const { return type == o.type && path == o.path && dir == o.dir; }
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "{" << s.type << " " << s.path << (s.dir ? " dir" : "") << "}";
}

class RecordingSink : public DetectorSink {
public:
    void PushLocalEvent(const Event& e) override {
        std::lock_guard<std::mutex> g(mu);
        events.push_back(e);
    }
    void IssueRescan(uint64_t sess_id, const ustring& path, bool merge) override {
        std::lock_guard<std::mutex> g(mu);
        rescans.push_back({sess_id, path.str(), merge});
    }
    void ReportSessionError(uint64_t sess_id, int error) override {
        std::lock_guard<std::mutex> g(mu);
        errors.emplace_back(sess_id, error);
    }
    void Warning(uint64_t, const std::string& line) override {
        std::lock_guard<std::mutex> g(mu);
        warnings.push_back(line);
    }
    void ReplaceRoot(uint64_t, std::shared_ptr<const SessionRoot> root) override {
        std::lock_guard<std::mutex> g(mu);
        roots.push_back(std::move(root));
    }

    struct Rescan {
        uint64_t sess_id;
        std::string path;
        bool merge;
    };
    std::vector<Seen> Events(uint64_t sess_id) {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Seen> out;
        for (const Event& e : events)
            if (e.m_sess_id == sess_id) out.push_back({e.m_type, e.m_path.str(), e.isDir()});
        return out;
    }
    bool Has(uint64_t sess_id, Event::Type type, const std::string& path) {
        for (const ::Seen& s : Events(sess_id))
            if (s.type == type && s.path == path) return true;
        return false;
    }
    template <class T>
    T Get(T RecordingSink::*member) {
        std::lock_guard<std::mutex> g(mu);
        return this->*member;
    }
    void Reset() {
        std::lock_guard<std::mutex> g(mu);
        events.clear();
        rescans.clear();
        errors.clear();
        warnings.clear();
    }

    std::mutex mu;
    std::vector<Event> events;
    std::vector<Rescan> rescans;
    std::vector<std::pair<uint64_t, int>> errors;
    std::vector<std::string> warnings;
    std::vector<std::shared_ptr<const SessionRoot>> roots;
};

class DetectorTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        static uint64_t next_id = 7000;
        sess = ++next_id;
        folder = at("folder");
        fs::create_directories(folder);
        fs::create_directories(at("outside"));
        fs::create_directories(at("config"));
        entry.sess_id = sess;
        entry.local_path = folder;
        entry.event_db = Registry::MakeEventDB();
        ASSERT_EQ(entry.event_db->initialize(at("config/event-db.sqlite")), DbResult::kOk);
        Registry::getInstance().Set(entry);
        sink = std::make_shared<RecordingSink>();
        detector = std::make_unique<Detector>(SyncServices::Process(), nullptr, sink);
    }
    void TearDown() override {
        detector.reset();
        Registry::getInstance().Clear(sess);
        entry.event_db.reset();
        ScratchDirTest::TearDown();
    }

public:
    std::string outside(const std::string& name) const { return at("outside/" + name); }
    std::string in(const std::string& rel) const { return folder + rel; }
    void Write(const std::string& rel, const std::string& text = "x") const { std::ofstream(in(rel)) << text; }
    // A row in the event database: the path was synchronised before.
    void Known(const std::string& rel, bool dir) {
        ClientFileEventInfo i;
        i.fileType = dir ? 1 : 0;
        i.isExist = 1;
        i.syncID = i.maxSyncID = 1;
        i.path = rel;
        i.baseName = rel.substr(rel.rfind('/') + 1);
        ASSERT_EQ(entry.event_db->setEventInfo(i), DbResult::kOk) << rel;
    }
    void Watch() { ASSERT_EQ(detector->AddWatch(folder, sess), 0); }
    // Runs rounds until done() holds (at most 5 s), then a few more so that late or
    // stray results show too.
    bool PollUntil(const std::function<bool()>& done) {
        bool ok = false;
        for (int i = 0; i < 100 && !(ok = done()); ++i) detector->Poll(50);
        for (int i = 0; i < 3; ++i) detector->Poll(30);
        return ok;
    }
    bool PollFor(size_t n) {
        return PollUntil([&] { return sink->Events(sess).size() >= n; });
    }

    uint64_t sess = 0;
    std::string folder;
    Registry::Entry entry;
    std::shared_ptr<RecordingSink> sink;
    std::unique_ptr<Detector> detector;
};

using S = Seen;
constexpr auto C = Event::EV_CREATE;
constexpr auto M = Event::EV_MODIFY;
constexpr auto R = Event::EV_REMOVE;

struct ChangeCase {
    const char* name;
    std::function<void(DetectorTest&)> before;  // folder contents and database rows
    std::function<void(DetectorTest&)> change;
    std::vector<Seen> expected;  // exactly these, in this order
};

class DetectorChangeTest : public DetectorTest, public ::testing::WithParamInterface<ChangeCase> {};

}  // namespace

TEST_P(DetectorChangeTest, ChangeBecomesItsEvents) {
    const ChangeCase& c = GetParam();
    if (c.before) c.before(*this);
    Watch();
    c.change(*this);
    EXPECT_TRUE(PollFor(c.expected.size()));
    EXPECT_EQ(sink->Events(sess), c.expected);
    EXPECT_TRUE(sink->Get(&RecordingSink::rescans).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Detector, DetectorChangeTest,
    ::testing::Values(
        ChangeCase{"Create", nullptr, [](DetectorTest& t) { t.Write("/a.txt"); }, {S{C, "/a.txt", false}}},
        // A thousand writes in one go make one event.
        ChangeCase{"ModifyCoalesced", [](DetectorTest& t) { t.Write("/m.txt"); },
                   [](DetectorTest& t) {
                       std::ofstream f(t.in("/m.txt"), std::ios::app);
                       for (int i = 0; i < 1000; ++i) f << "more" << std::flush;
                   },
                   {S{M, "/m.txt", false}}},
        ChangeCase{"DeleteKnownFileAndDir",
                   [](DetectorTest& t) {
                       t.Write("/k.txt");
                       fs::create_directory(t.in("/kd"));
                       t.Known("/k.txt", false);
                       t.Known("/kd", true);
                   },
                   [](DetectorTest& t) {
                       fs::remove(t.in("/k.txt"));
                       fs::remove(t.in("/kd"));
                   },
                   {S{R, "/k.txt", false}, S{R, "/kd", true}}},
        // Never synchronised: nothing to remove anywhere.
        ChangeCase{"DeleteUnknown", [](DetectorTest& t) { t.Write("/u.txt"); },
                   [](DetectorTest& t) { fs::remove(t.in("/u.txt")); }, {}},
        ChangeCase{"RenameInPlace", [](DetectorTest& t) { t.Write("/a.txt"); },
                   [](DetectorTest& t) { fs::rename(t.in("/a.txt"), t.in("/b.txt")); },
                   {S{R, "/a.txt", false}, S{C, "/b.txt", false}}},
        ChangeCase{"RenameAcrossDirectories",
                   [](DetectorTest& t) {
                       fs::create_directories(t.in("/d1"));
                       fs::create_directories(t.in("/d2/deep"));
                       t.Write("/d1/x");
                   },
                   [](DetectorTest& t) { fs::rename(t.in("/d1/x"), t.in("/d2/deep/y")); },
                   {S{R, "/d1/x", false}, S{C, "/d2/deep/y", false}}},
        ChangeCase{"RenameDirectoryAnnouncesItsContents",
                   [](DetectorTest& t) {
                       fs::create_directories(t.in("/old/sub"));
                       t.Write("/old/sub/f");
                   },
                   [](DetectorTest& t) { fs::rename(t.in("/old"), t.in("/new")); },
                   {S{R, "/old", true}, S{C, "/new", true}, S{C, "/new/sub", true}, S{C, "/new/sub/f", false}}},
        ChangeCase{"MovedOutKnownIsRemoval",
                   [](DetectorTest& t) {
                       t.Write("/gone.txt");
                       t.Known("/gone.txt", false);
                   },
                   [](DetectorTest& t) { fs::rename(t.in("/gone.txt"), t.outside("gone.txt")); },
                   {S{R, "/gone.txt", false}}},
        ChangeCase{"MovedIntoWorkingDirectoryIsRemoval",
                   [](DetectorTest& t) {
                       t.Write("/w.txt");
                       t.Known("/w.txt", false);
                   },
                   [](DetectorTest& t) { fs::rename(t.in("/w.txt"), t.in("/.VarnelWorkingDirectory/w.txt")); },
                   {S{R, "/w.txt", false}}},
        ChangeCase{"MovedOutUnknown", [](DetectorTest& t) { t.Write("/n.txt"); },
                   [](DetectorTest& t) { fs::rename(t.in("/n.txt"), t.outside("n.txt")); }, {}},
        // Moving a finished file out of the working directory into place is a creation.
        ChangeCase{"MovedInFromOutsideAndWorkingDirectory",
                   [](DetectorTest& t) {
                       fs::create_directories(t.in("/.VarnelWorkingDirectory"));
                       t.Write("/.VarnelWorkingDirectory/dl");
                       std::ofstream(t.outside("in.txt")) << "x";
                   },
                   [](DetectorTest& t) {
                       fs::rename(t.outside("in.txt"), t.in("/in.txt"));
                       fs::rename(t.in("/.VarnelWorkingDirectory/dl"), t.in("/dl"));
                   },
                   {S{C, "/in.txt", false}, S{C, "/dl", false}}},
        ChangeCase{"WorkingDirectoryIgnored", nullptr,
                   [](DetectorTest& t) {
                       t.Write("/.VarnelWorkingDirectory/tmp");
                       fs::remove(t.in("/.VarnelWorkingDirectory/tmp"));
                   },
                   {}},
        // Changing a directory's times or mode or its contents is no change of its own.
        ChangeCase{"DirectoryModificationIgnored", [](DetectorTest& t) { fs::create_directories(t.in("/d")); },
                   [](DetectorTest& t) {
                       chmod(t.in("/d").c_str(), 0700);
                       fs::last_write_time(t.in("/d"), fs::file_time_type::clock::now());
                       t.Write("/d/f");
                   },
                   {S{C, "/d/f", false}}},
        // Only the exact working directory name is special; a name the server refuses
        // (a backslash in it) makes no event.
        ChangeCase{"NamesKeptAsTheyAre", nullptr,
                   [](DetectorTest& t) {
                       t.Write("/a\\b");
                       fs::create_directories(t.in("/.varnelworkingdirectory"));
                       t.Write("/.varnelworkingdirectory/f");
                   },
                   {S{C, "/.varnelworkingdirectory", true}, S{C, "/.varnelworkingdirectory/f", false}}},
        ChangeCase{"LinksNotSynchronised", nullptr,
                   [](DetectorTest& t) { fs::create_symlink(t.outside(""), t.in("/link")); }, {}}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

TEST_F(DetectorTest, TreeMovedInArrivesWholeAndIsWatched) {
    Watch();
    fs::create_directories(at("outside/tree/sub/deeper"));
    std::ofstream(at("outside/tree/a")) << "a";
    std::ofstream(at("outside/tree/sub/deeper/c")) << "c";
    fs::rename(at("outside/tree"), in("/tree"));
    const std::vector<Seen> tree = {S{C, "/tree", true}, S{C, "/tree/a", false}, S{C, "/tree/sub", true},
                                    S{C, "/tree/sub/deeper", true}, S{C, "/tree/sub/deeper/c", false}};
    ASSERT_TRUE(PollFor(tree.size()));
    EXPECT_EQ(sink->Events(sess), tree);

    // Every directory of it is watched now.
    Write("/tree/sub/deeper/later");
    EXPECT_TRUE(PollUntil([&] { return sink->Has(sess, C, "/tree/sub/deeper/later"); }));
}

TEST_F(DetectorTest, WorkingDirectoryIsRecreatedSilently) {
    Watch();
    for (const char* rel : {"/.VarnelWorkingDirectory/#VarnelRecycle", "/.VarnelWorkingDirectory"}) {
        fs::remove_all(in(rel));
        EXPECT_TRUE(PollUntil([&] { return fs::is_directory(in("/.VarnelWorkingDirectory/#VarnelRecycle")); })) << rel;
    }
    // Still watched after its return: what is moved into it leaves the folder.
    Write("/k");
    Known("/k", false);
    fs::rename(in("/k"), in("/.VarnelWorkingDirectory/k"));
    EXPECT_TRUE(PollFor(1));
    EXPECT_EQ(sink->Events(sess), (std::vector<Seen>{S{R, "/k", false}}));
}

TEST_F(DetectorTest, OverflowBecomesOneRescanAndWatchesAreRenewed) {
    Watch();
    detector->SetQueueLimit(4);
    for (int i = 0; i < 20; ++i) Write("/f" + std::to_string(i));
    // Made among the lost records: no one saw it appear.
    fs::create_directories(in("/unseen/sub"));
    ASSERT_TRUE(PollUntil([&] { return !sink->Get(&RecordingSink::rescans).empty(); }));
    const auto rescans = sink->Get(&RecordingSink::rescans);
    ASSERT_EQ(rescans.size(), 1u);
    EXPECT_EQ(rescans[0].sess_id, sess);
    EXPECT_EQ(rescans[0].path, "/");
    EXPECT_FALSE(rescans[0].merge);
    const auto warnings = sink->Get(&RecordingSink::warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("fs.inotify.max_queued_events"), std::string::npos);

    detector->SetQueueLimit(0);
    Write("/unseen/sub/after");
    EXPECT_TRUE(PollUntil([&] { return sink->Has(sess, C, "/unseen/sub/after"); }));
}

TEST_F(DetectorTest, WatchLimitDegradesToRescans) {
    fs::create_directories(in("/watched"));
    Watch();
    const size_t watched = detector->GetWatchedDirCount(sess);
    EXPECT_EQ(watched, 3u);  // the folder, its working directory, /watched
    detector->SetWatchLimit(watched);

    fs::create_directories(in("/over/deep"));
    Write("/over/deep/f");
    ASSERT_TRUE(PollUntil([&] { return !sink->Get(&RecordingSink::rescans).empty(); }));
    // Announced all the same, once; one rescan and one warning that says what to do.
    EXPECT_TRUE(sink->Has(sess, C, "/over/deep/f"));
    EXPECT_EQ(sink->Get(&RecordingSink::rescans).size(), 1u);
    const auto warnings = sink->Get(&RecordingSink::warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("fs.inotify.max_user_watches"), std::string::npos);
    EXPECT_NE(warnings[0].find("sysctl"), std::string::npos);
    fs::create_directories(in("/over2"));
    PollUntil([] { return false; });
    EXPECT_EQ(sink->Get(&RecordingSink::rescans).size(), 1u);

    // Unwatched directories are rescanned now and then, without new warnings.
    detector->SetDegradedRescanInterval(std::chrono::milliseconds(0));
    ASSERT_TRUE(PollUntil([&] { return sink->Get(&RecordingSink::rescans).size() >= 2; }));
    EXPECT_EQ(sink->Get(&RecordingSink::warnings).size(), 1u);

    // Once the limit allows it, they are watched again.
    detector->SetWatchLimit(0);
    ASSERT_TRUE(PollUntil([&] { return detector->GetWatchedDirCount(sess) == watched + 3; }));
    Write("/over/deep/g");
    EXPECT_TRUE(PollUntil([&] { return sink->Has(sess, C, "/over/deep/g"); }));
}

TEST_F(DetectorTest, LostFolderIsReportedRewatchedAndRescanned) {
    Watch();
    fs::remove_all(folder);
    ASSERT_TRUE(PollUntil([&] { return !sink->Get(&RecordingSink::errors).empty(); }));
    EXPECT_EQ(sink->Get(&RecordingSink::errors), (std::vector<std::pair<uint64_t, int>>{{sess, ERR_SYNCFOLDER_MISS}}));
    EXPECT_TRUE(sink->Get(&RecordingSink::rescans).empty());

    fs::create_directories(folder + "/sub");
    ASSERT_TRUE(PollUntil([&] { return !sink->Get(&RecordingSink::rescans).empty(); }));
    const auto rescans = sink->Get(&RecordingSink::rescans);
    ASSERT_EQ(rescans.size(), 1u);
    // What went missing is fetched again, never removed on the server.
    EXPECT_TRUE(rescans[0].merge);
    // The tasks get the new folder: the old root names the deleted directory.
    const auto roots = sink->Get(&RecordingSink::roots);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_TRUE(roots[0]->CheckPresent());
    EXPECT_TRUE(fs::is_directory(in("/.VarnelWorkingDirectory/#VarnelRecycle")));
    sink->Reset();
    Write("/sub/back");
    EXPECT_TRUE(PollFor(1));
    EXPECT_EQ(sink->Events(sess), (std::vector<Seen>{S{C, "/sub/back", false}}));
    EXPECT_TRUE(sink->Get(&RecordingSink::errors).empty());
}

TEST_F(DetectorTest, MoveBetweenSessionsAndRunningTask) {
    const std::string other = at("other");
    fs::create_directories(other);
    Write("/moving");
    Known("/moving", false);
    Watch();
    ASSERT_EQ(detector->AddWatch(other, sess + 1000), 0);
    ASSERT_TRUE(detector->Run());
    fs::rename(in("/moving"), other + "/moved");
    for (int i = 0; i < 500 && (sink->Events(sess).empty() || sink->Events(sess + 1000).empty()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    detector->Stop();
    detector->Join();
    EXPECT_EQ(sink->Events(sess), (std::vector<Seen>{S{R, "/moving", false}}));
    EXPECT_EQ(sink->Events(sess + 1000), (std::vector<Seen>{S{C, "/moved", false}}));
}

TEST_F(DetectorTest, LongWriteIsReportedWithoutItsClose) {
    Write("/log");
    Watch();
    std::ofstream log(in("/log"), std::ios::app);
    log << "line\n" << std::flush;
    EXPECT_TRUE(PollFor(1));
    EXPECT_EQ(sink->Events(sess), (std::vector<Seen>{S{M, "/log", false}}));
}
