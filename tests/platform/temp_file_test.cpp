#include "platform/temp_file.h"

#include <sys/stat.h>

#include "platform/scratch_dir.h"
#include "platform/session_root.h"

namespace {

class TempFiles : public ScratchDirTest {
protected:
    bool on_disk(const ustring& p) {
        struct stat st;
        return !p.empty() && lstat(p.c_str_utf8(), &st) == 0;
    }
};

TEST_F(TempFiles, CreateOnceAndRemoveOnDestruction) {
    ustring path;
    {
        TempFile t(root.c_str());
        EXPECT_TRUE(t.getPath().empty());
        ASSERT_TRUE(t.create());
        path = t.getPath();
        EXPECT_EQ(path.substr(0, root.size()), root.c_str());
        EXPECT_TRUE(on_disk(path));
        EXPECT_FALSE(t.create());  // already holds one
        EXPECT_EQ(t.getPath(), path);
        EXPECT_TRUE(on_disk(path));
    }
    EXPECT_FALSE(on_disk(path));

    {
        TempFile t(root.c_str());
        ASSERT_TRUE(t.create());
        path = t.getPath();
        t.convert_permanent();
    }
    EXPECT_TRUE(on_disk(path));

    TempFile bad(at("missing").c_str());
    EXPECT_FALSE(bad.create());
    EXPECT_EQ(bad.refCount(), 0);
}

TEST_F(TempFiles, DefaultPrefix) {
    ustring old = TempFile::defaultPrefix();
    TempFile::setDefaultPrefix(root.c_str());
    TempFile t;
    ASSERT_TRUE(t.create());
    EXPECT_EQ(t.getPath().substr(0, root.size()), root.c_str());
    TempFile::setDefaultPrefix(old);
}

TEST_F(TempFiles, AssignmentSharesOneFile) {
    ustring old_target, shared;
    {
        TempFile a(root.c_str());
        ASSERT_TRUE(a.create());
        shared = a.getPath();
        {
            TempFile b(root.c_str());
            ASSERT_TRUE(b.create());
            old_target = b.getPath();
            b = a;
            EXPECT_FALSE(on_disk(old_target));  // the target's own file went
            EXPECT_EQ(b.getPath(), shared);
            EXPECT_EQ(a.refCount(), 2);
            TempFile c(b);  // a copy shares too
            EXPECT_EQ(a.refCount(), 3);
        }
        EXPECT_EQ(a.refCount(), 1);
        EXPECT_TRUE(on_disk(shared));  // one holder is left
    }
    EXPECT_FALSE(on_disk(shared));
}

TEST_F(TempFiles, PermanentFileSurvivesBeingAssignedOver) {
    TempFile keep(root.c_str()), other(root.c_str());
    ASSERT_TRUE(keep.create());
    ASSERT_TRUE(other.create());
    ustring kept = keep.getPath();
    keep.convert_permanent();
    keep = other;
    EXPECT_TRUE(on_disk(kept));
    EXPECT_EQ(keep.getPath(), other.getPath());
}

TEST_F(TempFiles, ExplicitRemoveOfASharedFile) {
    ustring first;
    TempFile b(root.c_str());
    {
        TempFile a(root.c_str());
        ASSERT_TRUE(a.create());
        first = a.getPath();
        b = a;
        a.remove();
        EXPECT_FALSE(on_disk(first));
        EXPECT_TRUE(a.getPath().empty());
        EXPECT_EQ(b.refCount(), 0);  // every holder sees the file gone
        // b may make a new file of its own; a's destruction must not touch it.
        ASSERT_TRUE(b.create());
        EXPECT_NE(b.getPath(), first);
    }
    EXPECT_TRUE(on_disk(b.getPath()));
    EXPECT_EQ(b.refCount(), 1);

    TempFile self(root.c_str());
    ASSERT_TRUE(self.create());
    ustring p = self.getPath();
    self = self;
    EXPECT_TRUE(on_disk(p));
    EXPECT_EQ(self.refCount(), 1);
}

TEST_F(TempFiles, SessionScratchFilesStayBeneathTheRoot) {
    ASSERT_EQ(mkdir(at("sync").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("sync/work").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink(at("outside").c_str(), at("sync/linked").c_str()), 0);
    std::shared_ptr<const SessionRoot> sync;
    ASSERT_TRUE(SessionRoot::Open(at("sync"), sync));
    ustring path;
    {
        TempFile t(sync, "/work");
        ASSERT_TRUE(t.create());
        path = t.getPath();
        EXPECT_EQ(path, sync->Full(t.getRelPath()));
        EXPECT_EQ(t.getRelPath().substr(0, 6), "/work/");
        EXPECT_TRUE(on_disk(path));
        TempFile shared = t;
        EXPECT_EQ(shared.getRelPath(), t.getRelPath());
    }
    EXPECT_FALSE(on_disk(path));
    TempFile through_link(sync, "/linked");
    EXPECT_FALSE(through_link.create());
    EXPECT_TRUE(std::filesystem::is_empty(at("outside")));
}

}  // namespace
