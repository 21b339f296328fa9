#include "platform/trash.h"

#include <sys/stat.h>

#include <cstdlib>

#include "platform/file_ops.h"
#include "platform/scratch_dir.h"

namespace {

class Trash : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        const char* old = getenv("XDG_DATA_HOME");
        had_xdg = old != nullptr;
        if (old) old_xdg = old;
        setenv("XDG_DATA_HOME", at("xdg").c_str(), 1);
    }
    void TearDown() override {
        if (had_xdg)
            setenv("XDG_DATA_HOME", old_xdg.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        ScratchDirTest::TearDown();
    }
    bool had_xdg = false;
    std::string old_xdg;
};

TEST_F(Trash, RemoveWithUndoMovesToTheHomeTrashWithItsRecord) {
    write("my file.txt", "one");
    EXPECT_EQ(FSRemove(at("my file.txt"), true), FsResult::kOk);
    EXPECT_FALSE(exists("my file.txt"));
    EXPECT_EQ(read("xdg/Trash/files/my file.txt"), "one");
    std::string record = read("xdg/Trash/info/my file.txt.trashinfo");
    EXPECT_EQ(record.rfind("[Trash Info]\nPath=/", 0), 0u) << record;
    EXPECT_NE(record.find("/my%20file.txt\nDeletionDate="), std::string::npos) << record;

    // The same name again gets its own entry; the first stays.
    write("my file.txt", "two");
    ustring where;
    EXPECT_TRUE(MoveToTrash(at("my file.txt").c_str(), &where));
    EXPECT_EQ(where, at("xdg/Trash/files/my file.txt.2").c_str());
    EXPECT_EQ(read("xdg/Trash/files/my file.txt"), "one");
    EXPECT_EQ(read("xdg/Trash/files/my file.txt.2"), "two");

    // Directories go whole; a link goes as a link.
    ASSERT_EQ(FSMKDir(at("dir/sub"), true), FsResult::kOk);
    write("dir/sub/f", "f");
    EXPECT_EQ(FSRemove(at("dir"), true), FsResult::kOk);
    EXPECT_EQ(read("xdg/Trash/files/dir/sub/f"), "f");
    ASSERT_EQ(symlink(at("xdg").c_str(), at("lnk").c_str()), 0);
    EXPECT_EQ(FSRemove(at("lnk"), true), FsResult::kOk);
    struct stat st;
    ASSERT_EQ(lstat(at("xdg/Trash/files/lnk").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(FSRemove(at("missing"), true), FsResult::kOk);
}

TEST_F(Trash, OtherVolumesUseTheirOwnTrashAndFailureKeepsTheFile) {
    std::string mnt = at("vol");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (system(("mount -t tmpfs -o size=1m nimbrel-test " + mnt + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root); per-volume trash not tested";
    std::ofstream(mnt + "/f") << "data";
    EXPECT_EQ(FSRemove((mnt + "/f").c_str(), true), FsResult::kOk);
    std::string trash = mnt + "/.Trash-" + std::to_string(getuid());
    struct stat st;
    EXPECT_EQ(lstat((trash + "/files/f").c_str(), &st), 0);
    EXPECT_EQ(lstat((trash + "/info/f.trashinfo").c_str(), &st), 0);

    // No usable trash on that volume: the file stays and the call says so.
    std::filesystem::remove_all(trash);
    std::ofstream(trash) << "in the way";
    std::ofstream(mnt + "/g") << "keep";
    EXPECT_EQ(FSRemove((mnt + "/g").c_str(), true), FsResult::kTrash);
    EXPECT_EQ(lstat((mnt + "/g").c_str(), &st), 0);
    EXPECT_EQ(system(("umount " + mnt).c_str()), 0);
}

}  // namespace
