// The detector's watch bookkeeping as sessions come and go: one watch per session,
// released on removal, and no descriptor left behind.
#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "sync/detector.h"

namespace {

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

bool IsDir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class DetectorWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nimbrel-detector-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        a = dir + "/a";
        b = dir + "/b";
        ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    }
    void TearDown() override { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

    std::string dir, a, b;
};

}  // namespace

TEST_F(DetectorWatchTest, OneWatchPerSessionReleasedOnRemoval) {
    const int before = OpenDescriptors();
    {
        Detector detector{SyncServices::Process()};
        ASSERT_EQ(detector.AddWatch(a, 1), 0);
        ASSERT_EQ(detector.AddWatch(b, 2), 0);
        EXPECT_EQ(detector.GetWatchCount(), 2u);
        EXPECT_TRUE(detector.HasWatch(1));
        EXPECT_EQ(detector.GetWatchPath(2), ustring(b));
        // The working directory and recycle folder are made with the watch.
        EXPECT_TRUE(IsDir(a + "/.VarnelWorkingDirectory/#VarnelRecycle"));

        // Watching the same id again replaces the watch and frees the first. One
        // inotify instance serves all; each session holds its folder open.
        ASSERT_EQ(detector.AddWatch(b, 1), 0);
        EXPECT_EQ(detector.GetWatchCount(), 2u);
        EXPECT_EQ(detector.GetWatchPath(1), ustring(b));
        EXPECT_EQ(OpenDescriptors(), before + 3);

        detector.RemoveWatch(1);
        EXPECT_FALSE(detector.HasWatch(1));
        EXPECT_EQ(detector.GetWatchPath(1), ustring());
        EXPECT_EQ(OpenDescriptors(), before + 2);
        detector.RemoveWatch(1);  // harmless
        detector.RemoveWatch(77);
        EXPECT_EQ(detector.GetWatchCount(), 1u);

        detector.Clear();
        EXPECT_EQ(detector.GetWatchCount(), 0u);
        EXPECT_EQ(OpenDescriptors(), before + 1);
        ASSERT_EQ(detector.AddWatch(a, 3), 0);
    }
    // The destructor releases what is left.
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DetectorWatchTest, OnlyRealFoldersCanBeWatched) {
    const int before = OpenDescriptors();
    Detector detector{SyncServices::Process()};
    const std::string file = dir + "/file";
    std::ofstream(file) << "x";
    const std::string link = dir + "/link";
    ASSERT_EQ(symlink(a.c_str(), link.c_str()), 0);

    EXPECT_EQ(detector.AddWatch(dir + "/missing", 1), -1);
    EXPECT_EQ(detector.AddWatch(file, 1), -1);
    // A link is not followed: the watch would end up elsewhere.
    EXPECT_EQ(detector.AddWatch(link, 1), -1);
    EXPECT_EQ(detector.AddWatch("", 1), -1);
    EXPECT_EQ(detector.GetWatchCount(), 0u);
    EXPECT_EQ(OpenDescriptors(), before + 1);  // the instance
    EXPECT_FALSE(IsDir(dir + "/missing"));

    // A failed replacement keeps the existing watch.
    ASSERT_EQ(detector.AddWatch(a, 1), 0);
    EXPECT_EQ(detector.AddWatch(file, 1), -1);
    EXPECT_EQ(detector.GetWatchPath(1), ustring(a));
}

TEST_F(DetectorWatchTest, WatchesAreKeptWhileTheTaskRunsAndStops) {
    Detector detector{SyncServices::Process()};
    ASSERT_TRUE(detector.Run());
    ASSERT_EQ(detector.AddWatch(a, 1), 0);
    ASSERT_EQ(detector.AddWatch(b, 2), 0);
    detector.RemoveWatch(2);
    detector.Stop();
    detector.Join();
    EXPECT_EQ(detector.GetWatchCount(), 1u);
}
