// The recycle folder as the user meets it: readable entry names, the folder kept and
// reconciled when a session starts again, and restores that never overwrite.
#include "sync/recycle.h"

#include <filesystem>
#include <fstream>

#include "store/session_folders.h"
#include "sync/sync_fixture.h"

namespace {

namespace fs = std::filesystem;
using recycle::RestoreResult;

TEST(RecycleNames, KeepTheNameAndExtensionWithinTheLimit) {
    EXPECT_EQ(recycle::EntryName("report.txt", "Ab3dEf9k"), "/report~Ab3dEf9k.txt");
    EXPECT_EQ(recycle::EntryName("photos", "Ab3dEf9k"), "/photos~Ab3dEf9k");
    EXPECT_EQ(recycle::EntryName(".bashrc", "Ab3dEf9k"), "/.bashrc~Ab3dEf9k");
    // 200 two-byte characters: cut on a character boundary, the extension kept.
    std::string long_name;
    for (int i = 0; i < 200; ++i) long_name += "\xc3\xa9";
    const std::string got = recycle::EntryName(ustring(long_name + ".jpeg"), "Ab3dEf9k").str();
    EXPECT_LE(got.size(), 256u);
    EXPECT_EQ(got.substr(got.size() - 14), "~Ab3dEf9k.jpeg");
    EXPECT_NE(static_cast<unsigned char>(got[got.size() - 15]), 0xc3);  // no half character before "~"
}

class RecycleTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        session = AddSession(1, 9);
        sync = session.local_path.str();
        bin = session_folders::RecycleFolder(session.local_path).str();
        fs::create_directories(bin);
    }
    void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    std::string Read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    Registry::Entry session;
    std::string sync, bin;
};

TEST_F(RecycleTest, RestoreNeverOverwritesAndReachesIntoRecycledFolders) {
    fs::create_directories(bin + "/photos~AAAA/trip");
    Write(bin + "/photos~AAAA/trip/a.jpg", "A");
    ASSERT_EQ(session.event_db->addRecycleEntry("/photos~AAAA", "/photos", recycle::kRemoved, 0, "", "", 10),
              DbResult::kOk);
    Write(bin + "/note~BBBB.txt", "old note");
    ASSERT_EQ(session.event_db->addRecycleEntry("/note~BBBB.txt", "/note.txt", recycle::kReplaced, 8, "h", "", 20),
              DbResult::kOk);
    Write(sync + "/note.txt", "new note");
    FileEventDB& db = *session.event_db;
    const SessionRoot& root = *session.root;
    ustring from;

    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/note.txt", from), RestoreResult::kTargetExists);
    EXPECT_EQ(Read(sync + "/note.txt"), "new note");
    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/.VarnelWorkingDirectory/x", from), RestoreResult::kBadTarget);
    fs::create_directory_symlink(bin, sync + "/link");  // never followed
    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/link/n.txt", from), RestoreResult::kBadTarget);
    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/link/sub/n.txt", from), RestoreResult::kBadTarget);
    EXPECT_FALSE(fs::exists(bin + "/n.txt") || fs::exists(bin + "/sub"));
    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/old/note.txt", from), RestoreResult::kOk);
    EXPECT_EQ(Read(sync + "/old/note.txt"), "old note");
    EXPECT_EQ(recycle::Restore(root, db, "/note.txt", "/again.txt", from), RestoreResult::kNothing);

    // One file out of a recycled folder, the older removal that holds it; the folder
    // keeps the rest.
    fs::create_directories(bin + "/photos~NEWR");
    ASSERT_EQ(session.event_db->addRecycleEntry("/photos~NEWR", "/photos", recycle::kRemoved, 0, "", "", 30),
              DbResult::kOk);
    EXPECT_EQ(recycle::Restore(root, db, "/photos/trip/a.jpg", "/photos/trip/a.jpg", from), RestoreResult::kOk);
    EXPECT_EQ(from, "/photos~AAAA/trip/a.jpg");
    EXPECT_EQ(Read(sync + "/photos/trip/a.jpg"), "A");
    EXPECT_EQ(recycle::Restore(root, db, "/photos/trip/a.jpg", "/b.jpg", from), RestoreResult::kGone);
    EXPECT_TRUE(fs::exists(bin + "/photos~AAAA/trip"));
}

TEST_F(RecycleTest, AStartKeepsTheFolderAndReconcilesItsTable) {
    const std::string working = session_folders::WorkingDirectory(session.local_path).str();
    Write(working + "/partial-download", "scratch");
    Write(bin + "/kept~CCCC.txt", "kept");
    Write(bin + "/orphan", "moved before a crash recorded it");
    ASSERT_EQ(session.event_db->addRecycleEntry("/kept~CCCC.txt", "/kept.txt", recycle::kRemoved, 4, "", "", 50),
              DbResult::kOk);
    ASSERT_EQ(session.event_db->addRecycleEntry("/gone~DDDD", "/gone", recycle::kRemoved, 4, "", "", 40),
              DbResult::kOk);

    ASSERT_EQ(recycle::ClearWorkingDirectory(*session.root), 0);
    EXPECT_FALSE(fs::exists(working + "/partial-download"));
    uint32_t oldest = 0;
    ASSERT_EQ(recycle::Reconcile(*session.root, *session.event_db, 100, oldest), 0);
    EXPECT_EQ(oldest, 50u);  // the row of the missing entry went
    std::vector<FileEventDB::RecycleItem> items;
    ASSERT_EQ(session.event_db->listRecycle(items), DbResult::kOk);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].name, "/kept~CCCC.txt");
    EXPECT_EQ(items[1].name, "/orphan");
    EXPECT_EQ(items[1].reason, recycle::kFound);
    EXPECT_EQ(items[1].time, 100u);
}

}  // namespace
