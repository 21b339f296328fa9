#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/scratch_dir.h"
#include "platform/volume.h"

namespace {

using FileOps = ScratchDirTest;

TEST_F(FileOps, ExistenceIsExactAboutTheName) {
    write("readme.txt", "x");
    EXPECT_TRUE(IsFileExist(at("readme.txt")));
    EXPECT_FALSE(IsFileExist(at("readme.TXT")));
    EXPECT_FALSE(IsFileExist(""));
    EXPECT_FALSE(IsFileExist(at("readme.txt/inside")));  // through a file
    EXPECT_TRUE(IsFileExist(root));
    EXPECT_TRUE(IsFileExist(root + "/"));
    ASSERT_EQ(symlink("/nonexistent/target", at("dangling").c_str()), 0);
    EXPECT_TRUE(IsFileExist(at("dangling")));  // the link itself is there

    FILE_INFO info;
    info.isExist = true;
    EXPECT_EQ(FSStat(at("readme.TXT"), info), FsResult::kOk);
    EXPECT_FALSE(info.isExist);
}

TEST_F(FileOps, StatReportsTheEntryItselfNeverTheLinkTarget) {
    write("f", "hello");
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink(at("f").c_str(), at("lf").c_str()), 0);
    ASSERT_EQ(symlink(at("d").c_str(), at("ld").c_str()), 0);
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);

    FILE_INFO f;
    f.name = "kept";
    ASSERT_EQ(FSStat(at("f"), f), FsResult::kOk);
    EXPECT_TRUE(f.isExist);
    EXPECT_EQ(f.type, FT_FILE);
    EXPECT_EQ(f.size, 5u);
    EXPECT_EQ(f.path, at("f").c_str());
    EXPECT_EQ(f.name, "kept");
    struct stat st;
    ASSERT_EQ(stat(at("f").c_str(), &st), 0);
    EXPECT_EQ(f.mtime, static_cast<uint32_t>(st.st_mtime));

    FILE_INFO d, lf, ld, fifo;
    ASSERT_EQ(FSStat(at("d"), d), FsResult::kOk);
    EXPECT_EQ(d.type, FT_DIR);
    EXPECT_EQ(d.size, 0u);
    ASSERT_EQ(FSStat(at("lf"), lf), FsResult::kOk);
    EXPECT_EQ(lf.type, FT_SLINK);
    EXPECT_EQ(lf.size, 0u);
    ASSERT_EQ(FSStat(at("ld"), ld), FsResult::kOk);
    EXPECT_EQ(ld.type, FT_SLINK);
    ASSERT_EQ(FSStat(at("fifo"), fifo), FsResult::kOk);
    EXPECT_EQ(fifo.type, FT_ERR);  // never to be read like a file

    FILE_INFO copy = f;
    EXPECT_TRUE(copy == f);
    copy.mtime++;
    EXPECT_TRUE(copy != f);
}

TEST_F(FileOps, StatFailsWhenItCannotTellRatherThanReportingMissing) {
    ASSERT_EQ(symlink("loop", at("loop").c_str()), 0);
    FILE_INFO info;
    info.isExist = true;
    EXPECT_EQ(FSStat(at("loop/child"), info), FsResult::kFailed);  // ELOOP: unknown, not "removed"
    EXPECT_FALSE(IsFileExist(at("loop/child")));
}

TEST_F(FileOps, ReadDirListsEverythingWithOptionalSizes) {
    write("a.txt", "12345");
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    write("sub/x", "x");
    ASSERT_EQ(symlink("a.txt", at("link").c_str()), 0);

    for (int flag : {0, static_cast<int>(FS_DIR_STAT)}) {
        DIR_HANDLE dh;
        FSOpenDir(root, flag, dh);
        std::vector<std::string> names;
        DIR_ENTRY e;
        int rc;
        while ((rc = FSReadDir(dh, e)) == 1) {
            names.push_back(e.name.str());
            if (e.name == "a.txt") {
                EXPECT_EQ(e.type, FT_FILE);
                EXPECT_EQ(e.size, flag ? 5u : 0u);
                EXPECT_EQ(e.mtime != 0, flag != 0);
            } else if (e.name == "sub") {
                EXPECT_EQ(e.type, FT_DIR);
                EXPECT_EQ(e.size, 0u);
            } else if (e.name == "link") {
                EXPECT_EQ(e.type, FT_SLINK);
            }
        }
        EXPECT_EQ(rc, 0);
        FSCloseDir(dh);
        EXPECT_TRUE(dh.path.empty());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.txt", "link", "sub"}));
    }
    DIR_HANDLE missing;
    FSOpenDir(at("nope"), 0, missing);
    DIR_ENTRY e;
    EXPECT_EQ(FSReadDir(missing, e), -1);
}

TEST_F(FileOps, MakeDirectories) {
    EXPECT_EQ(FSMKDir(at("one"), false), FsResult::kOk);
    EXPECT_EQ(FSMKDir(at("one"), false), FsResult::kOk);  // already there
    EXPECT_EQ(FSMKDir(at("x/y/z"), false), FsResult::kFailed);
    EXPECT_EQ(FSMKDir(at("x/y/z"), true), FsResult::kOk);
    EXPECT_TRUE(std::filesystem::is_directory(at("x/y/z")));
    EXPECT_EQ(FSMKDirP(at("p//q/"), nullptr, false), FsResult::kOk);
    EXPECT_TRUE(std::filesystem::is_directory(at("p/q")));
    EXPECT_EQ(FSMKDirP("", nullptr, false), FsResult::kFailed);
}

TEST_F(FileOps, MakeDirectoriesOverAnExistingFile) {
    write("a", "user data");
    errno = 0;
    EXPECT_EQ(FSMKDirP(at("a/b/c"), nullptr, false), FsResult::kFailed);
    EXPECT_EQ(read("a"), "user data");  // untouched without force
    EXPECT_FALSE(exists("a/b"));
    errno = 0;
    EXPECT_EQ(FSMKDirP(at("a"), nullptr, false), FsResult::kFailed);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(FSMKDirP(at("a/b"), nullptr, false), FsResult::kFailed);
    EXPECT_TRUE(errno == ENOTDIR || errno == EEXIST);

    EXPECT_EQ(FSMKDirP(at("a/b/c"), nullptr, true), FsResult::kOk);
    EXPECT_TRUE(std::filesystem::is_directory(at("a/b/c")));

    // A link in the way is replaced as a link: its target stays.
    write("target", "keep");
    ASSERT_EQ(symlink(at("target").c_str(), at("l").c_str()), 0);
    EXPECT_EQ(FSMKDirP(at("l/m"), nullptr, true), FsResult::kOk);
    EXPECT_TRUE(std::filesystem::is_directory(at("l/m")));
    EXPECT_EQ(read("target"), "keep");
}

TEST_F(FileOps, RemoveFilesDirectoriesAndLinks) {
    EXPECT_EQ(FSRemove(at("missing"), false), FsResult::kOk);
    EXPECT_EQ(FSRemove("", false), FsResult::kFailed);
    write("f", "x");
    EXPECT_EQ(FSRemove(at("f"), false), FsResult::kOk);
    EXPECT_FALSE(exists("f"));

    write("keep", "x");
    ASSERT_EQ(symlink(at("keep").c_str(), at("lnk").c_str()), 0);
    EXPECT_EQ(FSRemove(at("lnk"), false), FsResult::kOk);
    EXPECT_FALSE(exists("lnk"));
    EXPECT_TRUE(exists("keep"));

    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    EXPECT_EQ(FSRemove(at("fifo"), false), FsResult::kFailed);
}

TEST_F(FileOps, RemovalNeverFollowsALinkOutOfTheTree) {
    // outside/ holds data that must survive; tree/ links to it at several depths.
    ASSERT_EQ(FSMKDir(at("outside/deep"), true), FsResult::kOk);
    write("outside/precious", "p");
    write("outside/deep/precious2", "q");
    ASSERT_EQ(FSMKDir(at("tree/a/b/c"), true), FsResult::kOk);
    write("tree/f", "1");
    write("tree/a/f", "2");
    write("tree/a/b/c/f", "3");
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/link_top").c_str()), 0);
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/a/b/link_deep").c_str()), 0);
    ASSERT_EQ(symlink("../../../outside/precious", at("tree/a/b/rel").c_str()), 0);

    EXPECT_EQ(FSRemove(at("tree"), false), FsResult::kOk);
    EXPECT_FALSE(exists("tree"));
    EXPECT_EQ(read("outside/precious"), "p");
    EXPECT_EQ(read("outside/deep/precious2"), "q");

    // A link given as the tree itself is unlinked, its target kept.
    ASSERT_EQ(symlink(at("outside").c_str(), at("top_link").c_str()), 0);
    EXPECT_EQ(RemoveDirectoryRecursive(at("top_link")), FsResult::kOk);
    EXPECT_FALSE(exists("top_link"));
    EXPECT_EQ(read("outside/precious"), "p");
    EXPECT_EQ(RemoveDirectoryRecursive(at("missing")), FsResult::kFailed);
}

TEST_F(FileOps, RenameReplacesButNoReplaceDoesNot) {
    write("a", "new");
    write("b", "old");
    EXPECT_EQ(FSRename(at("a"), at("b")), FsResult::kOk);
    EXPECT_EQ(read("b"), "new");
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(FSRename(at("a"), at("c")), FsResult::kFailed);
    EXPECT_EQ(FSRename(at("b"), at(std::string(300, 'n'))), FsResult::kNameTooLong);
    EXPECT_EQ(read("b"), "new");

    write("c", "mine");
    EXPECT_EQ(FSRenameNoReplace(at("b"), at("c")), FsResult::kExist);
    EXPECT_EQ(read("c"), "mine");
    EXPECT_EQ(read("b"), "new");
    EXPECT_EQ(FSRenameNoReplace(at("b"), at("d")), FsResult::kOk);
    EXPECT_EQ(read("d"), "new");
    EXPECT_EQ(FSRenameNoReplace(at("d"), at(std::string(300, 'n'))), FsResult::kNameTooLong);
}

TEST_F(FileOps, CopyFiles) {
    std::string big(3 * 1024 * 1024 + 7, 0);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + 7);
    write("src", big);
    write("dst", "old and longer than nothing");
    EXPECT_EQ(FSCopy(at("src"), at("dst"), false), FsResult::kOk);
    EXPECT_EQ(read("dst"), big);
    EXPECT_EQ(FSCopy(at("src"), at("moved"), true), FsResult::kOk);
    EXPECT_EQ(read("moved"), big);
    EXPECT_FALSE(exists("src"));

    write("empty", "");
    EXPECT_EQ(FSCopy(at("empty"), at("empty2"), false), FsResult::kOk);
    EXPECT_TRUE(exists("empty2"));

    EXPECT_EQ(FSCopy(at("missing"), at("x"), true), FsResult::kFailed);
    EXPECT_FALSE(exists("x"));
    EXPECT_EQ(FSCopy(at("moved"), at("nodir/x"), true), FsResult::kFailed);
    EXPECT_TRUE(exists("moved"));
}

TEST_F(FileOps, CopyRefusesToDestroyItsSourceOrBlock) {
    write("same", "content");
    ASSERT_EQ(symlink(at("same").c_str(), at("alias").c_str()), 0);
    EXPECT_EQ(FSCopy(at("same"), at("alias"), false), FsResult::kFailed);
    EXPECT_EQ(FSCopy(at("same"), at("same"), true), FsResult::kFailed);
    EXPECT_EQ(read("same"), "content");

    // A link as destination is not written through.
    write("outside", "precious");
    ASSERT_EQ(symlink(at("outside").c_str(), at("dst_link").c_str()), 0);
    EXPECT_EQ(FSCopy(at("same"), at("dst_link"), false), FsResult::kFailed);
    EXPECT_EQ(read("outside"), "precious");

    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    EXPECT_EQ(FSCopy(at("fifo"), at("out"), false), FsResult::kFailed);  // returns, does not wait for a writer
    ASSERT_EQ(mkdir(at("dir").c_str(), 0755), 0);
    EXPECT_EQ(FSCopy(at("dir"), at("out"), false), FsResult::kFailed);
}

// Copies onto a 1 MiB tmpfs mounted for the test.
class FullDisk : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        mnt = at("small");
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        int rc = system(("mount -t tmpfs -o size=1m nimbrel-test " + mnt + " 2>/dev/null").c_str());
        mounted = rc == 0;
    }
    void TearDown() override {
        if (mounted) {
            EXPECT_EQ(system(("umount " + mnt).c_str()), 0);
        }
        ScratchDirTest::TearDown();
    }
    std::string mnt;
    bool mounted = false;
};

TEST_F(FullDisk, RemovalStopsAtAnotherVolume) {
    if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root); mount points in removal not tested";
    std::ofstream(mnt + "/other-volume") << "keep";
    write("beside", "x");
    EXPECT_EQ(FSRemove(root.c_str(), false), FsResult::kFailed);
    struct stat st;
    EXPECT_EQ(lstat((mnt + "/other-volume").c_str(), &st), 0);
    EXPECT_FALSE(exists("beside"));  // the rest of the tree goes
}

TEST_F(FullDisk, CopyOntoAFullDiskKeepsTheSource) {
    if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root); full-disk copy not tested";
    std::string big(2 * 1024 * 1024, 'z');
    write("src", big);
    EXPECT_EQ(FSCopy(at("src"), mnt + "/dst", true), FsResult::kDiskFull);
    EXPECT_EQ(read("src"), big);
    struct stat st;
    EXPECT_NE(lstat((mnt + "/dst").c_str(), &st), 0) << "a partial copy was left behind";

    // The same through memory: a copy within the small volume itself.
    std::string half(700 * 1024, 'h');
    std::ofstream(mnt + "/a") << half;
    EXPECT_EQ(FSCopy(mnt + "/a", mnt + "/b", false), FsResult::kDiskFull);
    EXPECT_NE(lstat((mnt + "/b").c_str(), &st), 0);
    FILE_INFO info;
    ASSERT_EQ(FSStat(mnt + "/a", info), FsResult::kOk);
    EXPECT_EQ(info.size, half.size());
}

TEST_F(FileOps, SetModificationTime) {
    write("f", "x");
    ASSERT_EQ(FSUTime(at("f"), 5, 1000001), FsResult::kOk);
    FILE_INFO info;
    ASSERT_EQ(FSStat(at("f"), info), FsResult::kOk);
    EXPECT_EQ(info.mtime, 1000001u);

    FSSetTwoSecondTime(true);
    ASSERT_EQ(FSUTime(at("f"), 0, 101), FsResult::kOk);
    FSSetTwoSecondTime(false);
    ASSERT_EQ(FSStat(at("f"), info), FsResult::kOk);
    EXPECT_EQ(info.mtime, 100u);

    // A link gets its own time; the target keeps its.
    ASSERT_EQ(symlink(at("f").c_str(), at("l").c_str()), 0);
    ASSERT_EQ(FSUTime(at("l"), 0, 5000), FsResult::kOk);
    ASSERT_EQ(FSStat(at("f"), info), FsResult::kOk);
    EXPECT_EQ(info.mtime, 100u);
    EXPECT_EQ(FSUTime(at("missing"), 0, 1), FsResult::kFailed);
}

TEST_F(FileOps, LockedFiles) {
    write("f", "x");
    EXPECT_FALSE(isFileLocked(at("missing"), FS_ACCESS_READ));
    EXPECT_FALSE(isFileLocked(at("f"), FS_ACCESS_READ | FS_ACCESS_WRITE | FS_ACCESS_DELETE));
    EXPECT_FALSE(isFileLocked(root, FS_ACCESS_READ));

    // An open file description of our own stands for another program.
    int fd = open(at("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
    EXPECT_FALSE(isFileLocked(at("f"), FS_ACCESS_READ));  // readers share
    EXPECT_TRUE(isFileLocked(at("f"), FS_ACCESS_READ | FS_ACCESS_WRITE));
    fl.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
    EXPECT_TRUE(isFileLocked(at("f"), FS_ACCESS_READ));
    close(fd);
    EXPECT_FALSE(isFileLocked(at("f"), FS_ACCESS_READ | FS_ACCESS_WRITE));

    fd = open(at("f").c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_TRUE(isFileLocked(at("f"), FS_ACCESS_READ));
    close(fd);
    EXPECT_FALSE(isFileLocked(at("f"), FS_ACCESS_READ));
}

TEST_F(FileOps, FileLockedByAnotherProcess) {
    write("f", "x");
    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(at("f").c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        char c = fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!::write(to_parent[1], &c, 1);
        (void)!::read(to_child[0], &c, 1);  // hold the lock until told
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_TRUE(isFileLocked(at("f"), FS_ACCESS_READ));
    (void)!::write(to_child[1], "x", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_FALSE(isFileLocked(at("f"), FS_ACCESS_READ));
    for (int p : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(p);
}

struct Visit {
    std::vector<std::string> seen;
    std::string prune;  // answer non-zero for this path
};

int record(const ustring& path, void* priv) {
    auto* v = static_cast<Visit*>(priv);
    v->seen.push_back(path.str());
    return path == v->prune.c_str() ? 1 : 0;
}

TEST_F(FileOps, TraverseVisitsDirectoriesBeforeTheirContents) {
    ASSERT_EQ(FSMKDir(at("t/a/b"), true), FsResult::kOk);
    ASSERT_EQ(FSMKDir(at("t/skip/deep"), true), FsResult::kOk);
    write("t/f", "");
    write("t/a/b/g", "");
    write("t/skip/h", "");
    ASSERT_EQ(FSMKDir(at("outside/secret"), true), FsResult::kOk);
    ASSERT_EQ(symlink(at("outside").c_str(), at("t/a/link").c_str()), 0);

    Visit v;
    v.prune = at("t/skip");
    EXPECT_EQ(TraverseDir(at("t"), record, &v), FsResult::kOk);
    auto pos = [&](const std::string& rel) {
        return std::find(v.seen.begin(), v.seen.end(), at(rel)) - v.seen.begin();
    };
    EXPECT_EQ(v.seen.front(), at("t"));
    EXPECT_EQ(v.seen.size(), 7u);  // t, f, a, a/b, a/b/g, a/link, skip
    EXPECT_LT(pos("t/a"), pos("t/a/b"));
    EXPECT_LT(pos("t/a/b"), pos("t/a/b/g"));
    EXPECT_LT(pos("t/a/link"), static_cast<long>(v.seen.size()));                // the link is reported...
    for (auto& s : v.seen) EXPECT_EQ(s.find("secret"), std::string::npos) << s;  // ...never entered
    EXPECT_EQ(pos("t/skip/h"), static_cast<long>(v.seen.size()));

    Visit top;
    top.prune = at("t");
    EXPECT_EQ(TraverseDir(at("t"), record, &top), FsResult::kStopped);
    EXPECT_EQ(top.seen.size(), 1u);

    Visit file;
    EXPECT_EQ(TraverseDir(at("t/f"), record, &file), FsResult::kOk);
    EXPECT_EQ(file.seen.size(), 1u);
}

TEST_F(FileOps, TemporaryNamesAndFiles) {
    ustring p;
    ASSERT_EQ(FSCreateTempPath(root.c_str(), p), FsResult::kOk);
    EXPECT_EQ(p.length(), root.size() + 9);
    EXPECT_FALSE(IsFileExist(p));
    ASSERT_EQ(FSCreateTempPath("", p), FsResult::kOk);
    EXPECT_EQ(p.length(), 9u);
    EXPECT_EQ(p[0], '/');

    std::vector<std::string> made;
    for (int i = 0; i < 50; ++i) {
        ustring t;
        ASSERT_EQ(FSMktemp(root.c_str(), t), FsResult::kOk);
        FILE_INFO info;
        ASSERT_EQ(FSStat(t, info), FsResult::kOk);
        EXPECT_TRUE(info.isExist);
        EXPECT_EQ(info.type, FT_FILE);
        EXPECT_EQ(info.size, 0u);
        made.push_back(t.str());
    }
    std::sort(made.begin(), made.end());
    EXPECT_EQ(std::unique(made.begin(), made.end()), made.end());
    ustring t = "unchanged";
    EXPECT_EQ(FSMktemp(at("no/such/dir").c_str(), t), FsResult::kFailed);
    EXPECT_EQ(t, "unchanged");
}

}  // namespace
