#include "platform/volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/file_ops.h"
#include "platform/scratch_dir.h"

namespace {

class Volume : public ScratchDirTest {
protected:
    void TearDown() override {
        FSSetTwoSecondTime(false);
        ScratchDirTest::TearDown();
    }
};

TEST_F(Volume, InitNeedsAnAbsolutePathAndLeavesOrdinaryVolumesAlone) {
    EXPECT_FALSE(FSInit("relative/path"));
    EXPECT_FALSE(FSInit(""));
    EXPECT_FALSE(IsMSDOS("relative"));
    EXPECT_TRUE(FSInit(root.c_str()));
    EXPECT_TRUE(FSInit(at("not/yet/made").c_str()));  // asks the nearest existing ancestor
    EXPECT_FALSE(FSTwoSecondTime());
    EXPECT_FALSE(IsMSDOS(root.c_str()));
}

TEST_F(Volume, FatFamilyMeansTwoSecondTimes) {
    EXPECT_TRUE(IsTwoSecondTimeFsType(MSDOS_SUPER_MAGIC));
    EXPECT_TRUE(IsTwoSecondTimeFsType(0x2011BAB0UL));  // exFAT
    EXPECT_FALSE(IsTwoSecondTimeFsType(EXT4_SUPER_MAGIC));
    EXPECT_FALSE(IsTwoSecondTimeFsType(TMPFS_MAGIC));

    EXPECT_TRUE(FSTimeEqual(100, 100));
    EXPECT_FALSE(FSTimeEqual(100, 101));
    FSSetTwoSecondTime(true);
    EXPECT_TRUE(FSTimeEqual(100, 101));
    EXPECT_TRUE(FSTimeEqual(101, 100));
    EXPECT_FALSE(FSTimeEqual(100, 102));
    EXPECT_FALSE(FSTimeEqual(0, 0xFFFFFFFFu));
}

// The remembered per-volume answer is the one the directory itself gives, for a file
// and for a directory (asked through its holder), by descriptor and by path.
TEST_F(Volume, HolderAnswerIsTheDirectoryAnswer) {
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    ASSERT_EQ(close(open(at("f").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    const int dir = open(root.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    const bool want = IsCaseFoldingDirFd(dir);
    for (const char* name : {"f", "sub", "f"}) {
        struct stat st {};
        ASSERT_EQ(lstat(at(name).c_str(), &st), 0);
        EXPECT_EQ(IsCaseFoldingHolder(dir, nullptr, st), want) << name;
        EXPECT_EQ(IsCaseFoldingHolder(-1, root.c_str(), st), want) << name;
    }
    close(dir);
}

// A case-folding directory on a tmpfs mounted for the test (kernels with Unicode
// support only).
TEST_F(Volume, CaseFoldingDirectoryStillNeedsTheExactName) {
    std::string mnt = at("cf");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (system(("mount -t tmpfs -o size=1m,casefold nimbrel-test " + mnt + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a case-folding tmpfs here; case-folding lookup not tested";
    std::string dir = mnt + "/d";
    bool folding = false;
    if (mkdir(dir.c_str(), 0755) == 0) {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= 0x40000000;  // FS_CASEFOLD_FL
            folding = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) close(fd);
    }
    if (folding) {
        std::ofstream(dir + "/readme.txt") << "x";
        EXPECT_TRUE(IsCaseFoldingDir(dir.c_str()));
        EXPECT_TRUE(IsFileExist((dir + "/readme.txt").c_str()));
        EXPECT_FALSE(IsFileExist((dir + "/README.txt").c_str()));
        FILE_INFO info;
        EXPECT_EQ(FSStat((dir + "/README.txt").c_str(), info), FsResult::kOk);
        EXPECT_FALSE(info.isExist);
    }
    EXPECT_EQ(system(("umount " + mnt).c_str()), 0);
    if (!folding) GTEST_SKIP() << "tmpfs here cannot mark a directory case-folding";
}

}  // namespace
