#include "sync/conflict_rename.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_ops.h"
#include "platform/scratch_dir.h"
#include "platform/session_root.h"

namespace {

class ConflictRenameTest : public ScratchDirTest {
protected:
    // Opened for each call: some cases make the scratch folder anew.
    std::shared_ptr<const SessionRoot> Root() const {
        std::shared_ptr<const SessionRoot> r;
        EXPECT_TRUE(SessionRoot::Open(root, r));
        return r;
    }
    static ustring Rel(const std::string& name) { return ustring(("/" + name).c_str()); }
    // Runs op with the time stamp it will use; runs it again if the minute
    // turned over meanwhile, so that expectations can name the stamp.
    template <typename Op>
    void with_stamp(Op op) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::string before = ConflictTimeStamp(time(nullptr)).str();
            if (op(before) && ConflictTimeStamp(time(nullptr)).str() == before) return;
            sleep(1);
        }
        ADD_FAILURE() << "time stamp kept changing";
    }
};

TEST(ConflictName, TimeStampAndExtensionRule) {
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ConflictTimeStamp(1796573040), "Dec-06-1604-2026");
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    EXPECT_EQ(InsertBeforeExtension("D:/s/report.txt", "_X", false), "D:/s/report_X.txt");
    EXPECT_EQ(InsertBeforeExtension("D:/s/notes", "_X", false), "D:/s/notes_X");
    EXPECT_EQ(InsertBeforeExtension("D:/s.d/notes", "_X", false), "D:/s.d/notes_X");
    EXPECT_EQ(InsertBeforeExtension("D:/s/a.tar.gz", "_X", false), "D:/s/a.tar_X.gz");
    EXPECT_EQ(InsertBeforeExtension("D:/s/name.", "_X", false), "D:/s/name._X");
    EXPECT_EQ(InsertBeforeExtension("D:/s/name.", "_X", true), "D:/s/name_X.");
    EXPECT_EQ(InsertBeforeExtension("noslash.txt", "_X", false), "noslash_X.txt");

    // The names ConflictRename makes are known again, and only those.
    for (const char* made : {"/a/r_PC1_Dec-06-1604-2026_Conflict.txt", "/r_PC1_Dec-06-1604-2026_Conflict_12.txt",
                             "/dir_PC1_Dec-06-1604-2026_Conflict"})
        EXPECT_TRUE(IsConflictName(made, "Conflict")) << made;
    for (const char* other : {"/a/r.txt", "/my_Conflict.txt", "/r_PC1_Dec-06-1604-2026_Conflict.d/x.txt"})
        EXPECT_FALSE(IsConflictName(other, "Conflict")) << other;
}

TEST_F(ConflictRenameTest, RenamesBesideTheFileAndCountsOnWhenTaken) {
    with_stamp([&](const std::string& ts) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root + "/s.d");
        write("report.txt", "v1");
        if (ConflictRename(*Root(), Rel("report.txt"), "PC1", "Conflict") != FsResult::kOk) return false;
        EXPECT_FALSE(exists("report.txt"));
        EXPECT_EQ(read("report_PC1_" + ts + "_Conflict.txt"), "v1");

        write("report.txt", "v2");
        EXPECT_EQ(ConflictRename(*Root(), Rel("report.txt"), "PC1", "Conflict"), FsResult::kOk);
        EXPECT_EQ(read("report_PC1_" + ts + "_Conflict_1.txt"), "v2");
        EXPECT_EQ(read("report_PC1_" + ts + "_Conflict.txt"), "v1");

        write("s.d/notes", "n");
        EXPECT_EQ(ConflictRename(*Root(), Rel("s.d/notes"), "PC1", "Conflict"), FsResult::kOk);
        EXPECT_EQ(read("s.d/notes_PC1_" + ts + "_Conflict"), "n");

        write("name.", "a");
        EXPECT_EQ(ConflictRename(*Root(), Rel("name."), "PC1", "TailCharacterConflict"), FsResult::kOk);
        EXPECT_EQ(read("name._PC1_" + ts + "_TailCharacterConflict"), "a");
        write("name.", "b");
        EXPECT_EQ(ConflictRename(*Root(), Rel("name."), "PC1", "TailCharacterConflict"), FsResult::kOk);
        EXPECT_EQ(read("name._PC1_" + ts + "_TailCharacterConflict_1"), "b");

        std::filesystem::create_directories(at("folder.d/inner"));
        EXPECT_EQ(ConflictRename(*Root(), Rel("folder.d"), "PC1", "Conflict"), FsResult::kOk);
        EXPECT_TRUE(exists("folder_PC1_" + ts + "_Conflict.d/inner"));
        return true;
    });
}

TEST_F(ConflictRenameTest, NeverReplacesAndGivesUpAfterTheLastCounter) {
    with_stamp([&](const std::string& ts) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        std::string base = "r_PC1_" + ts + "_Conflict";
        write(base + ".txt", "taken");
        for (int n = 1; n <= 98; ++n) write(base + "_" + std::to_string(n) + ".txt", std::to_string(n));
        write("r.txt", "mine");
        if (ConflictRename(*Root(), Rel("r.txt"), "PC1", "Conflict") != FsResult::kOk) return false;
        EXPECT_EQ(read(base + "_99.txt"), "mine");  // the last numbered name

        write("r.txt", "still mine");
        EXPECT_EQ(ConflictRename(*Root(), Rel("r.txt"), "PC1", "Conflict"), FsResult::kFailed);
        EXPECT_EQ(read("r.txt"), "still mine");  // left where it was
        EXPECT_EQ(read(base + ".txt"), "taken");
        EXPECT_EQ(read(base + "_50.txt"), "50");
        EXPECT_EQ(read(base + "_99.txt"), "mine");
        EXPECT_FALSE(exists(base + "_100.txt"));
        return true;
    });
}

TEST_F(ConflictRenameTest, FailuresAreReported) {
    EXPECT_EQ(ConflictRename(*Root(), Rel("missing.txt"), "PC1", "Conflict"), FsResult::kFailed);
    write("x.txt", "x");  // a client name that leaves no room for any name
    EXPECT_EQ(ConflictRename(*Root(), Rel("x.txt"), std::string(260, 'c').c_str(), "Conflict"), FsResult::kNameTooLong);
    EXPECT_EQ(read("x.txt"), "x");
    // A folder reached through a link is not renamed in.
    std::filesystem::create_directories(root + "-outside");
    std::ofstream(root + "-outside/f.txt") << "theirs";
    ASSERT_EQ(symlink((root + "-outside").c_str(), at("link").c_str()), 0);
    EXPECT_EQ(ConflictRename(*Root(), Rel("link/f.txt"), "PC1", "Conflict"), FsResult::kLink);
    EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel("link/f.txt"), "f.txt ", "PC1"), FsResult::kLink);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root + "-outside"), {}), 1);
    std::filesystem::remove_all(root + "-outside");
}

TEST_F(ConflictRenameTest, WhiteSpaceNamesAreTrimmedOrMarked) {
    with_stamp([&](const std::string& ts) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        write(" a.txt ", "spaced");
        if (WhiteSpaceConflictRename(*Root(), Rel(" a.txt "), " a.txt ", "PC1") != FsResult::kOk) return false;
        EXPECT_EQ(read("a.txt"), "spaced");

        write(" a.txt", "second");
        EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel(" a.txt"), " a.txt", "PC1"), FsResult::kOk);
        EXPECT_EQ(read("a_PC1_" + ts + "_WhiteSpaceConflict.txt"), "second");
        write(" a.txt", "third");
        EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel(" a.txt"), " a.txt", "PC1"), FsResult::kOk);
        EXPECT_EQ(read("a_PC1_" + ts + "_WhiteSpaceConflict_0.txt"), "third");
        EXPECT_EQ(read("a.txt"), "spaced");

        write("b.", "x");
        write("b. ", "y");
        EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel("b. "), "b. ", "PC1"), FsResult::kOk);
        EXPECT_EQ(read("b_PC1_" + ts + "_WhiteSpaceConflict."), "y");

        // Every name taken (plain and 0..99): nothing moves, nothing is replaced.
        std::string base = "c_PC1_" + ts + "_WhiteSpaceConflict";
        write("c", "c");
        write(base, "t");
        for (int n = 0; n <= 99; ++n) write(base + "_" + std::to_string(n), "t");
        write(" c", "mine");
        EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel(" c"), " c", "PC1"), FsResult::kFailed);
        EXPECT_EQ(read(" c"), "mine");
        EXPECT_EQ(read("c"), "c");
        return true;
    });
}

TEST_F(ConflictRenameTest, WhiteSpaceNameThatIsOnlyBlanksOrLeavesTheFolder) {
    with_stamp([&](const std::string& ts) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        write("   ", "blank");
        if (WhiteSpaceConflictRename(*Root(), Rel("   "), "   ", "PC1") != FsResult::kOk) return false;
        EXPECT_EQ(read("_PC1_" + ts + "_WhiteSpaceConflict"), "blank");
        return true;
    });
    write(" x", "x");
    EXPECT_EQ(WhiteSpaceConflictRename(*Root(), Rel(" x"), "../ x", "PC1"), FsResult::kFailed);
    EXPECT_EQ(read(" x"), "x");
}

}  // namespace
