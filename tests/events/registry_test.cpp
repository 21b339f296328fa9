#include "events/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "filter/black_list.h"
#include "filter/white_list.h"
#include "store/file_event_db.h"

namespace {

Registry::Entry E(uint64_t id, const char* local = "/tmp/x") {
    Registry::Entry e;
    e.sess_id = id;
    e.view_id = id * 10;
    e.node_id = id * 10;
    e.local_path = local;
    return e;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { Registry::getInstance().Clear(); }
    void TearDown() override { Registry::getInstance().Clear(); }
    Registry& reg = Registry::getInstance();
};

}  // namespace

TEST_F(RegistryTest, FindCopiesOrLeavesOutputAlone) {
    reg.Set(E(5, "/tmp/five"));
    Registry::Entry out;
    out.sess_id = 99;
    out.local_path = "untouched";
    EXPECT_EQ(0, reg.Find(6, out));
    EXPECT_EQ(99u, out.sess_id);
    EXPECT_EQ("untouched", out.local_path.str());
    ASSERT_EQ(1, reg.Find(5, out));
    EXPECT_EQ("/tmp/five", out.local_path.str());
    EXPECT_EQ(50u, out.view_id);
    // a copy: changing it does not change the registry
    out.pause = true;
    Registry::Entry again;
    ASSERT_EQ(1, reg.Find(5, again));
    EXPECT_FALSE(again.pause);
}

TEST_F(RegistryTest, FindNextWalksInIdOrderAndWraps) {
    Registry::Entry out;
    EXPECT_EQ(0, reg.FindNext(0, out));
    reg.Set(E(30));
    reg.Set(E(10));
    reg.Set(E(20));
    ASSERT_EQ(1, reg.FindNext(0, out));
    EXPECT_EQ(10u, out.sess_id);
    ASSERT_EQ(1, reg.FindNext(10, out));
    EXPECT_EQ(20u, out.sess_id);
    ASSERT_EQ(1, reg.FindNext(20, out));
    EXPECT_EQ(30u, out.sess_id);
    ASSERT_EQ(1, reg.FindNext(30, out));
    EXPECT_EQ(10u, out.sess_id);
    ASSERT_EQ(1, reg.FindNext(25, out));  // not registered: the first
    EXPECT_EQ(10u, out.sess_id);
    EXPECT_EQ(3u, reg.Size());
}

TEST_F(RegistryTest, SetReplacesWholeEntry) {
    Registry::Entry e = E(1);
    e.recycle_time = 77;
    e.remote_path = "/remote";
    reg.Set(e);
    Registry::Entry r = E(1, "/tmp/other");
    reg.Set(r);
    Registry::Entry out;
    ASSERT_EQ(1, reg.Find(1, out));
    EXPECT_EQ(0u, out.recycle_time);
    EXPECT_TRUE(out.remote_path.empty());
    EXPECT_EQ("/tmp/other", out.local_path.str());
    EXPECT_EQ(1u, reg.Size());
}

TEST_F(RegistryTest, ACopyKeepsItsObjectsUsableAfterTheSessionIsRemoved) {
    // A task may still hold a copy when the control thread removes the session: its
    // lists and database must stay valid until the copy goes (ASan sees a use after
    // free), and be freed then (ASan sees a leak).
    const std::string dir = "/tmp/nimbrel-registry-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Registry::Entry e = E(4);
    e.black_list = std::make_shared<BlackList2>();
    e.white_list = std::make_shared<WhiteListCpp>();
    e.event_db = Registry::MakeEventDB();
    ASSERT_EQ(e.event_db->initialize(ustring((dir + "/event-db.sqlite").c_str())), DbResult::kOk);
    std::weak_ptr<FileEventDB> db = e.event_db;
    reg.Set(e);
    e = Registry::Entry();

    Registry::Entry held;
    ASSERT_EQ(1, reg.Find(4, held));
    reg.Clear(4);
    EXPECT_EQ(0u, reg.Size());
    uint64_t sync_id = 1;
    EXPECT_EQ(held.event_db->getSyncId(sync_id), DbResult::kOk);
    EXPECT_EQ(sync_id, 0u);
    EXPECT_EQ(held.black_list->TestFilePath("/a.txt"), 0);
    EXPECT_FALSE(db.expired());
    held = Registry::Entry();
    EXPECT_TRUE(db.expired());

    // Set releases what it replaces; Clear() what it empties.
    Registry::Entry f = E(9);
    f.event_db = Registry::MakeEventDB();
    db = f.event_db;
    reg.Set(f);
    f.event_db.reset();
    reg.Set(E(9));
    EXPECT_TRUE(db.expired());
    f.event_db = Registry::MakeEventDB();
    db = f.event_db;
    reg.Set(f);
    f.event_db.reset();
    reg.Clear();
    EXPECT_EQ(0u, reg.Size());
    EXPECT_TRUE(db.expired());
    std::filesystem::remove_all(dir);
}

TEST_F(RegistryTest, PauseChangesOnlyTheFlag) {
    EXPECT_EQ(0, reg.SetPause(7, true));  // not registered
    reg.Set(E(7));
    // A task moves recycle_time while the control thread pauses and resumes: no
    // pause may write back an older copy of the entry.
    std::atomic<bool> done{false};
    std::thread pauser([&] {
        bool pause = true;
        while (!done.load()) {
            EXPECT_EQ(1, reg.SetPause(7, pause));
            pause = !pause;
        }
    });
    Registry::Entry probe = E(7);
    for (uint32_t t = 1; t <= 20000; ++t) reg.UpdateRecycleTime(probe, t - 1, t);
    done = true;
    pauser.join();
    Registry::Entry out;
    ASSERT_EQ(1, reg.Find(7, out));
    EXPECT_EQ(20000u, out.recycle_time);
    ASSERT_EQ(1, reg.SetPause(7, true));
    ASSERT_EQ(1, reg.Find(7, out));
    EXPECT_TRUE(out.pause);
    EXPECT_EQ(20000u, out.recycle_time);
}

TEST_F(RegistryTest, RecycleTimeUpdates) {
    reg.Set(E(2));
    Registry::Entry probe = E(2);
    Registry::Entry out;
    reg.InitRecycleTime(probe, 500);
    ASSERT_EQ(1, reg.Find(2, out));
    EXPECT_EQ(500u, out.recycle_time);
    reg.InitRecycleTime(probe, 900);  // never raises
    ASSERT_EQ(1, reg.Find(2, out));
    EXPECT_EQ(500u, out.recycle_time);
    reg.InitRecycleTime(probe, 300);  // lowers
    ASSERT_EQ(1, reg.Find(2, out));
    EXPECT_EQ(300u, out.recycle_time);
    reg.UpdateRecycleTime(probe, 300, 1000);  // may raise
    ASSERT_EQ(1, reg.Find(2, out));
    EXPECT_EQ(1000u, out.recycle_time);
    // A pass that began from another value (a worker parked something meanwhile)
    // never wipes it and keeps the older time.
    struct Case {
        uint32_t start, t, want;
    };
    for (const Case& c :
         {Case{999, 0, 1000}, Case{999, 1200, 1000}, Case{999, 800, 800}, Case{800, 0, 0}, Case{5, 700, 700}}) {
        reg.UpdateRecycleTime(probe, c.start, c.t);
        ASSERT_EQ(1, reg.Find(2, out));
        EXPECT_EQ(c.want, out.recycle_time) << c.start << " " << c.t;
    }
    reg.UpdateRecycleTime(E(3), 0, 5);  // not registered: nothing
    EXPECT_EQ(0, reg.Find(3, out));
}
