// The recycle-bin rotation on a task that was never started: entries due after
// 1,800 seconds go with their rows, younger ones stay, and one entry that cannot be
// removed does not keep the others.
#include "sync/recycle_cleaner.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "store/session_folders.h"
#include "sync/sync_fixture.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kNow = 2000000000;

class RecycleCleanerTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        session = AddSession(1, 9);
        recycle = session_folders::RecycleFolder(session.local_path).str();
        fs::create_directories(recycle);
    }
    // A top-level entry (a file, or a folder holding one file) parked at time t.
    void Park(const std::string& name, bool dir, uint32_t t) {
        if (dir) {
            fs::create_directory(recycle + name);
            std::ofstream(recycle + name + "/in.txt") << name;
            ASSERT_EQ(session.event_db->addFileToRecycleBin(name + "/in.txt", 1, "h" + name + "/in.txt", ""),
                      DbResult::kOk);
        } else {
            std::ofstream(recycle + name) << name;
        }
        ASSERT_EQ(session.event_db->addFileToRecycleBin(name, 1, dir ? "" : "h" + name, ""), DbResult::kOk);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(session_folders::EventDBFile(session.config_path).c_str_utf8(), &db), SQLITE_OK);
        char* sql = sqlite3_mprintf("UPDATE recycle_bin_table SET time = %u WHERE path = %Q OR path LIKE '%q/%%';", t,
                                    name.c_str(), name.c_str());
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_free(sql);
        sqlite3_close(db);
        Registry::getInstance().InitRecycleTime(session, t);
    }
    uint32_t RecycleTime() {
        Registry::Entry e;
        EXPECT_EQ(Registry::getInstance().Find(1, e), 1);
        return e.recycle_time;
    }
    bool HasRow(const std::string& hash) {
        ustring found;
        return session.event_db->getFilePathByHashFromRecycle(hash, "", found) == DbLookup::kFound;
    }

    Registry::Entry session;
    std::string recycle;
    RecycleCleaner cleaner{SyncServices::Process()};
};

TEST_F(RecycleCleanerTest, EntriesGoAfter1800SecondsWithTheirRows) {
    Park("/Rold0001", false, kNow - 1800);
    Park("/Rold0002", true, kNow - 1800);
    Park("/Ryoung01", false, kNow - 1799);
    ASSERT_EQ(cleaner.UpdateContext(), Loaded::kReady);
    EXPECT_EQ(cleaner.GetContext().sess_id, 1u);
    EXPECT_EQ(cleaner.GetRecycleBinDir().str(), recycle);

    EXPECT_EQ(cleaner.Rotate(kNow - 1), StepResult::kOk);  // 1799 seconds: nothing is due yet
    EXPECT_TRUE(fs::exists(recycle + "/Rold0001"));
    EXPECT_TRUE(HasRow("h/Rold0002/in.txt"));
    cleaner.Pause();  // a pause ends the pass before it removes anything
    EXPECT_EQ(cleaner.Rotate(kNow), StepResult::kFailed);
    EXPECT_TRUE(fs::exists(recycle + "/Rold0001"));
    cleaner.Resume();

    EXPECT_EQ(cleaner.Rotate(kNow), StepResult::kOk);
    EXPECT_FALSE(fs::exists(recycle + "/Rold0001"));
    EXPECT_FALSE(fs::exists(recycle + "/Rold0002"));
    EXPECT_FALSE(HasRow("h/Rold0001") || HasRow("h/Rold0002/in.txt"));
    EXPECT_TRUE(fs::exists(recycle + "/Ryoung01"));
    EXPECT_TRUE(HasRow("h/Ryoung01"));
    EXPECT_EQ(RecycleTime(), kNow - 1799);

    // The last one goes; an empty recycle folder has no time.
    ASSERT_EQ(cleaner.UpdateContext(), Loaded::kReady);
    EXPECT_EQ(cleaner.Rotate(kNow + 1), StepResult::kOk);
    EXPECT_FALSE(fs::exists(recycle + "/Ryoung01"));
    EXPECT_EQ(RecycleTime(), 0u);
    Registry::getInstance().Clear();
    EXPECT_EQ(cleaner.UpdateContext(), Loaded::kNothing);
}

TEST_F(RecycleCleanerTest, AnEntryThatCannotBeRemovedDoesNotStopTheRotation) {
    Park("/Ra_stuck", true, kNow - 2000);
    Park("/Rb_fine1", false, kNow - 1900);
    Park("/Rc_young", false, kNow - 10);
    const std::string stuck = recycle + "/Ra_stuck/in.txt";
    if (std::system(("chattr +i '" + stuck + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    ASSERT_EQ(cleaner.UpdateContext(), Loaded::kReady);
    const StepResult rc = cleaner.Rotate(kNow);
    std::system(("chattr -i '" + stuck + "'").c_str());
    EXPECT_EQ(rc, StepResult::kFailed);
    EXPECT_FALSE(fs::exists(recycle + "/Rb_fine1"));
    EXPECT_FALSE(HasRow("h/Rb_fine1"));
    EXPECT_TRUE(HasRow("h/Ra_stuck/in.txt"));  // its rows stay for the next pass
    EXPECT_TRUE(fs::exists(recycle + "/Rc_young"));
    EXPECT_EQ(RecycleTime(), kNow - 2000);

    ASSERT_EQ(cleaner.UpdateContext(), Loaded::kReady);
    EXPECT_EQ(cleaner.Rotate(kNow), StepResult::kOk);
    EXPECT_FALSE(fs::exists(recycle + "/Ra_stuck"));
    EXPECT_FALSE(HasRow("h/Ra_stuck/in.txt"));
    EXPECT_EQ(RecycleTime(), kNow - 10);
}

TEST_F(RecycleCleanerTest, KeepTimeAndSizeCapComeFromThePolicy) {
    RecycleCleaner capped(SyncServices::Process(), nullptr, nullptr, RecyclePolicy{60, 2});
    Park("/Ra_aged", false, kNow - 61);  // past the keep time
    Park("/Rb_old1", false, kNow - 30);  // within it, but the oldest over the cap
    Park("/Rc_dir1", true, kNow - 20);   // a folder: its row and its file, 2 bytes
    Park("/Rd_new1", false, kNow - 10);
    ASSERT_EQ(capped.UpdateContext(), Loaded::kReady);
    EXPECT_EQ(capped.Rotate(kNow), StepResult::kOk);
    EXPECT_FALSE(fs::exists(recycle + "/Ra_aged"));
    EXPECT_FALSE(fs::exists(recycle + "/Rb_old1"));
    EXPECT_FALSE(fs::exists(recycle + "/Rc_dir1"));
    EXPECT_FALSE(HasRow("h/Rc_dir1/in.txt"));
    EXPECT_TRUE(fs::exists(recycle + "/Rd_new1"));
    EXPECT_EQ(RecycleTime(), kNow - 10);
}

}  // namespace
