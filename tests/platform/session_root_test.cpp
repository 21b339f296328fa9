#include "platform/session_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/scratch_dir.h"

namespace {

// sync/ is the session's folder; outside/ lies next to it, reachable through links.
class SessionRootTest : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        ASSERT_EQ(mkdir(at("sync").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(at("outside").c_str(), 0755), 0);
        write("outside/secret", "keep");
        ASSERT_EQ(symlink("../outside", at("sync/link").c_str()), 0);              // relative, to outside
        ASSERT_EQ(symlink(at("outside").c_str(), at("sync/abslink").c_str()), 0);  // absolute
        ASSERT_EQ(symlink("../outside/secret", at("sync/filelink").c_str()), 0);
        ASSERT_EQ(mkdir(at("sync/d").c_str(), 0755), 0);
        write("sync/d/f", "data");
        ASSERT_TRUE(SessionRoot::Open(at("sync"), root_dir));
    }
    bool outside_untouched() const {
        std::error_code ec;
        size_t n = 0;
        for (auto it = std::filesystem::directory_iterator(at("outside"), ec);
             it != std::filesystem::directory_iterator(); ++it)
            ++n;
        return n == 1 && read("outside/secret") == "keep";
    }
    std::shared_ptr<const SessionRoot> root_dir;
};

TEST_F(SessionRootTest, NoOperationPassesThroughALink) {
    const SessionRoot& r = *root_dir;
    for (const char* via : {"link", "abslink"}) {
        SCOPED_TRACE(via);
        const std::string v = std::string("/") + via;
        EXPECT_EQ(r.MKDirP(v + "/created/deeper"), FsResult::kLink);
        EXPECT_EQ(r.Copy("/d/f", v + "/x", false), FsResult::kLink);
        EXPECT_EQ(r.Rename("/d/f", v + "/moved"), FsResult::kLink);
        EXPECT_EQ(r.RenameNoReplace("/d/f", v + "/moved"), FsResult::kLink);
        EXPECT_EQ(r.Rename(v + "/secret", "/stolen"), FsResult::kLink);
        EXPECT_EQ(r.Copy(v + "/secret", "/stolen", true), FsResult::kLink);
        EXPECT_EQ(r.Remove(v + "/secret"), FsResult::kLink);
        EXPECT_EQ(r.UTime(v + "/secret", 1000), FsResult::kLink);
        ustring made;
        EXPECT_EQ(r.Mktemp(v, made), FsResult::kLink);
        int fd = -1;
        EXPECT_EQ(r.OpenAt(v + "/new", O_WRONLY | O_CREAT, 0644, fd), FsResult::kLink);
        EXPECT_EQ(r.OpenAt(v + "/secret", O_RDONLY, 0, fd), FsResult::kLink);
        FILE_INFO info;
        EXPECT_EQ(r.Stat(v + "/secret", info), FsResult::kLink);
        struct stat st {};
        EXPECT_EQ(r.LStat(v + "/secret", st), FsResult::kLink);
        DIR_HANDLE dh;
        EXPECT_EQ(r.OpenDir(v, 0, dh), FsResult::kLink);
    }
    // The link as the last component: opened or written through, never.
    int fd = -1;
    EXPECT_EQ(r.OpenAt("/filelink", O_WRONLY | O_TRUNC, 0, fd), FsResult::kLink);
    EXPECT_EQ(r.Copy("/d/f", "/filelink", false), FsResult::kLink);
    EXPECT_EQ(r.Copy("/filelink", "/d/copy", false), FsResult::kLink);
    EXPECT_EQ(r.MKDirP("/link", true), FsResult::kLink);  // force never replaces a link
    // ".." cannot climb out either.
    EXPECT_EQ(r.MKDirP("/../outside/x"), FsResult::kFailed);
    EXPECT_TRUE(outside_untouched());
    EXPECT_EQ(read("sync/d/f"), "data");
    EXPECT_TRUE(exists("sync/link"));
}

TEST_F(SessionRootTest, LinksThemselvesAreSeenAndRemovedNeverFollowed) {
    const SessionRoot& r = *root_dir;
    FILE_INFO info;
    ASSERT_EQ(r.Stat("/link", info), FsResult::kOk);
    EXPECT_EQ(info.type, FT_SLINK);
    EXPECT_TRUE(r.Exists("/filelink"));
    // LStat, at the root and below it: the link itself, the file, or ENOENT.
    struct stat st {};
    ASSERT_EQ(r.LStat("/filelink", st), FsResult::kOk);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(r.LStat("/d/f", st), FsResult::kOk);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 4);
    EXPECT_EQ(r.LStat("/missing", st), FsResult::kFailed);
    EXPECT_EQ(errno, ENOENT);
    // MKDirP: an existing folder is fine, a file in its place is not (without force).
    EXPECT_EQ(r.MKDirP("/d"), FsResult::kOk);
    EXPECT_NE(r.MKDirP("/d/f"), FsResult::kOk);
    EXPECT_EQ(read("sync/d/f"), "data");
    EXPECT_EQ(r.Remove("/filelink"), FsResult::kOk);
    EXPECT_EQ(r.Remove("/link"), FsResult::kOk);
    EXPECT_FALSE(exists("sync/link"));
    EXPECT_TRUE(outside_untouched());
    // A tree holding a link loses the link, not its target's contents.
    ASSERT_EQ(symlink(at("outside").c_str(), at("sync/d/inner").c_str()), 0);
    EXPECT_EQ(r.Remove("/d"), FsResult::kOk);
    EXPECT_FALSE(exists("sync/d"));
    EXPECT_TRUE(outside_untouched());
    EXPECT_EQ(r.Remove("/"), FsResult::kFailed);  // never the root itself
    EXPECT_TRUE(exists("sync"));
}

TEST_F(SessionRootTest, OrdinaryOperationsWorkBeneathTheRoot) {
    const SessionRoot& r = *root_dir;
    EXPECT_EQ(r.MKDirP("/a/b/c"), FsResult::kOk);
    EXPECT_EQ(r.MKDirP("a/b/c"), FsResult::kOk);  // existing is fine
    EXPECT_EQ(r.Copy("/d/f", "/a/b/c/g", false), FsResult::kOk);
    EXPECT_EQ(read("sync/a/b/c/g"), "data");
    EXPECT_EQ(r.RenameNoReplace("/a/b/c/g", "/d/f"), FsResult::kExist);
    EXPECT_EQ(r.Rename("/a/b/c/g", "/d/f"), FsResult::kOk);
    EXPECT_EQ(r.UTime("/d/f", 1000000000), FsResult::kOk);
    FILE_INFO info;
    ASSERT_EQ(r.Stat("/d/f", info), FsResult::kOk);
    EXPECT_TRUE(info.isExist);
    EXPECT_EQ(info.mtime, 1000000000u);
    EXPECT_EQ(info.path, at("sync/d/f").c_str());
    ASSERT_EQ(r.Stat("/missing/deeper", info), FsResult::kOk);
    EXPECT_FALSE(info.isExist);
    ustring tmp;
    ASSERT_EQ(r.Mktemp("/a", tmp), FsResult::kOk);
    EXPECT_TRUE(exists("sync" + tmp.str()));
    write("sync/a/b/file", "x");
    EXPECT_EQ(r.MKDirP("/a/b/file/sub"), FsResult::kFailed);
    EXPECT_EQ(r.MKDirP("/a/b/file/sub", true), FsResult::kOk);    // a file in the way makes room with force
    EXPECT_EQ(r.Copy("/d/f", "/d/f", false), FsResult::kFailed);  // never truncates its own source
    EXPECT_EQ(read("sync/d/f"), "data");
    DIR_HANDLE dh;
    ASSERT_EQ(r.OpenDir("/a/b", FS_DIR_STAT, dh), FsResult::kOk);
    DIR_ENTRY entry;
    std::set<std::string> names;
    while (FSReadDir(dh, entry) == 1) names.insert(entry.name.str());
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "c", "file"}));
    ustring rel;
    EXPECT_TRUE(r.Relative(r.path() + "/x/y", rel));
    EXPECT_EQ(rel, "/x/y");
    EXPECT_FALSE(r.Relative(r.path() + "x", rel));
    EXPECT_EQ(r.Full("/x"), r.path() + "/x");
}

TEST_F(SessionRootTest, ARootGivenAsALinkWorksBeneathItsTarget) {
    ASSERT_EQ(symlink(at("sync").c_str(), at("Sync").c_str()), 0);
    std::shared_ptr<const SessionRoot> linked;
    ASSERT_TRUE(SessionRoot::Open(at("Sync"), linked));
    EXPECT_EQ(linked->path(), root_dir->path());
    EXPECT_EQ(linked->MKDirP("/via"), FsResult::kOk);
    EXPECT_TRUE(exists("sync/via"));
    std::shared_ptr<const SessionRoot> none;
    EXPECT_FALSE(SessionRoot::Open(at("sync/d/f"), none));
    EXPECT_FALSE(SessionRoot::Open("relative", none));
    EXPECT_EQ(none, nullptr);
}

// A folder that went away lists as empty through the old descriptor; the check must
// say so, whatever took its place.
TEST_F(SessionRootTest, CheckPresentSeesAFolderThatWentAway) {
    const SessionRoot& r = *root_dir;
    EXPECT_TRUE(r.CheckPresent());
    EXPECT_TRUE(r.CheckPresent(r.device()));
    EXPECT_FALSE(r.CheckPresent(r.device() + 1));  // not the volume it was added on
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(at("sync").c_str(), 0), 0);
        EXPECT_FALSE(r.CheckPresent());
        ASSERT_EQ(chmod(at("sync").c_str(), 0755), 0);
    }
    ASSERT_EQ(rename(at("sync").c_str(), at("moved").c_str()), 0);
    EXPECT_FALSE(r.CheckPresent());  // missing
    ASSERT_EQ(mkdir(at("sync").c_str(), 0755), 0);
    EXPECT_FALSE(r.CheckPresent());  // an empty folder in its place
    ASSERT_EQ(rmdir(at("sync").c_str()), 0);
    write("sync", "a file");
    EXPECT_FALSE(r.CheckPresent());  // not a directory
    ASSERT_EQ(unlink(at("sync").c_str()), 0);
    ASSERT_EQ(rename(at("moved").c_str(), at("sync").c_str()), 0);
    EXPECT_TRUE(r.CheckPresent());  // back again
}

}  // namespace

TEST_F(SessionRootTest, ItemsNotSynchronisedAreListedWithTheirReasonWhileThere) {
    const SessionRoot& r = *root_dir;
    ASSERT_EQ(mkfifo(at("sync/d/pipe").c_str(), 0600), 0);
    r.NoteUnsynchronised("/d/pipe", FT_ERR);
    r.NoteUnsynchronised("/link", FT_SLINK);
    r.NoteUnsynchronised("/d/f", FT_FILE);  // a file is no such item
    FILE_INFO info;
    const std::string long_name = "/d/" + std::string(300, 'n');
    EXPECT_NE(r.Stat(long_name, info), FsResult::kOk);
    size_t total = 0;
    auto listed = r.NotSynchronised(10, total);
    ASSERT_EQ(total, 3u);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].path, "/d/" + std::string(300, 'n'));
    EXPECT_NE(listed[0].reason.find("too long"), std::string::npos);
    EXPECT_EQ(listed[1].path, "/d/pipe");
    EXPECT_NE(listed[1].reason.find("FIFO"), std::string::npos);
    EXPECT_NE(listed[2].reason.find("symbolic link"), std::string::npos);
    EXPECT_EQ(r.NotSynchronised(1, total).size(), 1u);
    // Gone items are no longer reported.
    ASSERT_EQ(unlink(at("sync/d/pipe").c_str()), 0);
    ASSERT_EQ(unlink(at("sync/link").c_str()), 0);
    listed = r.NotSynchronised(10, total);
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(listed.size(), 1u);
}
