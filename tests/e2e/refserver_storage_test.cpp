// The reference server's storage, compiled in from the tool's sources: sync ids,
// latest change per path, the directory ranges used by pulls, and the names that
// may touch the disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../tools/refserver/pull_list.cpp"
#include "../../tools/refserver/storage.cpp"

namespace {

namespace fs = std::filesystem;

class RefStorage : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("nimbrel-refstore-" + std::to_string(getpid()));
        fs::remove_all(root);
        ASSERT_EQ(store.Open(root.string()), 0) << store.error();
    }
    void TearDown() override {
        store.Close();
        fs::remove_all(root);
    }
    uint64_t Add(uint64_t view, const std::string& path, bool dir = false, bool removed = false,
                 const std::string& hash = "") {
        ChangeRow r;
        r.view_id = view;
        r.path = path;
        r.is_dir = dir;
        r.is_removed = removed;
        r.hash = hash;
        uint64_t id = 0;
        EXPECT_EQ(store.AddChange(r, &id), 0);
        return id;
    }
    std::vector<std::string> Paths(uint64_t view, uint64_t since, const std::string& prefix, bool recursive) {
        std::vector<ChangeRow> rows;
        EXPECT_EQ(store.LatestSince(view, since, prefix, recursive, &rows), 0);
        std::vector<std::string> out;
        for (auto& r : rows) out.push_back(r.path);
        return out;
    }
    fs::path root;
    Storage store;
};

TEST_F(RefStorage, LayoutAndViews) {
    EXPECT_TRUE(fs::is_directory(root / "blobs"));
    EXPECT_TRUE(fs::is_directory(root / "resume"));
    EXPECT_TRUE(fs::exists(root / "index.sqlite"));
    EXPECT_FALSE(store.HasView(7));
    EXPECT_EQ(store.EnsureView(7), 1);
    EXPECT_EQ(store.EnsureView(7), 0);
    EXPECT_TRUE(store.HasView(7));
}

TEST_F(RefStorage, SyncIdsIncreaseAcrossViewsAndLatestRowWins) {
    uint64_t a = Add(1, "/a.txt", false, false, "h1");
    uint64_t b = Add(2, "/b.txt");
    uint64_t c = Add(1, "/a.txt", false, false, "h2");
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    ChangeRow r;
    ASSERT_EQ(store.Current(1, "/a.txt", &r), 1);
    EXPECT_EQ(r.sync_id, c);
    EXPECT_EQ(r.hash, "h2");
    EXPECT_EQ(store.Current(2, "/a.txt", &r), 0);
    EXPECT_EQ(store.MaxSyncId(1), c);
    EXPECT_EQ(store.MaxSyncId(2), b);
    EXPECT_EQ(store.MaxSyncId(3), 0u);
}

TEST_F(RefStorage, LatestSinceHonoursPrefixRecursionAndAge) {
    Add(1, "/d", true);
    uint64_t s2 = Add(1, "/d/x");
    Add(1, "/d/sub", true);
    Add(1, "/d/sub/y");
    Add(1, "/dz");                // sorts right after "/d/" range, not below "/d"
    Add(1, "/d/x", false, true);  // x removed later: reported once, as removed
    EXPECT_EQ(Paths(1, 0, "/d", true), (std::vector<std::string>{"/d", "/d/sub", "/d/sub/y", "/d/x"}));
    EXPECT_EQ(Paths(1, 0, "/d", false), (std::vector<std::string>{"/d", "/d/sub", "/d/x"}));
    EXPECT_EQ(Paths(1, s2, "/d", true), (std::vector<std::string>{"/d/sub", "/d/sub/y", "/d/x"}));
    EXPECT_EQ(Paths(1, 0, "/", false), (std::vector<std::string>{"/d", "/dz"}));
    EXPECT_EQ(Paths(1, 0, "/", true).size(), 5u);
    std::vector<ChangeRow> rows;
    ASSERT_EQ(store.LatestSince(1, 0, "/d", true, &rows), 0);
    EXPECT_TRUE(rows.back().is_removed);
    EXPECT_EQ(store.MaxSyncIdBelow(1, "/d/sub"), rows[2].sync_id);
    EXPECT_EQ(store.MaxSyncIdBelow(1, "/d"), rows.back().sync_id);
}

// The pull list read in batches: latest change per path across batch ends, folders'
// max_id as the index query gives it, direct children only when not recursive.
TEST_F(RefStorage, PullListAcrossBatchesAgreesWithTheIndex) {
    Add(1, "/d", true);
    const uint64_t x1 = Add(1, "/d/x");
    Add(1, "/d/sub", true);
    Add(2, "/d/other-view");
    Add(1, "/d/sub/y");
    Add(1, "/d b");  // sorts between "/d" and "/d/..."
    Add(1, "/d/x", false, true);
    PullRequest req;
    req.view = 1;
    req.upto = store.MaxSyncId(1);
    req.root = "/";
    req.batch = 2;
    auto build = [&](uint64_t from, bool recursive, const std::string& root) {
        req.from = from;
        req.recursive = recursive;
        req.root = root;
        std::vector<PullEvent> out;
        std::string error;
        int batches = 0;
        EXPECT_EQ(BuildPullList(
                      store, req, [&] { return ++batches > 0; }, &out, &error),
                  0)
            << error;
        EXPECT_GE(batches, 1);
        return out;
    };
    auto all = build(0, true, "/");
    std::vector<ChangeRow> want;
    ASSERT_EQ(store.LatestSince(1, 0, "/", true, &want), 0);
    ASSERT_EQ(all.size(), want.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].row.sync_id, want[i].sync_id);
        EXPECT_EQ(all[i].rel, want[i].path);
        if (want[i].is_dir) EXPECT_EQ(all[i].max_id, store.MaxSyncIdBelow(1, want[i].path)) << want[i].path;
    }
    auto below = build(x1, false, "/d");
    ASSERT_EQ(below.size(), 2u);
    EXPECT_EQ(below[0].rel, "/sub");
    EXPECT_EQ(below[1].rel, "/x");
    EXPECT_TRUE(below[1].row.is_removed);
    // A between() that refuses ends the build.
    std::vector<PullEvent> out;
    std::string error;
    req.from = 0;
    EXPECT_EQ(BuildPullList(
                  store, req, [] { return false; }, &out, &error),
              -1);
}

TEST_F(RefStorage, OnlyHexNamesReachTheDisk) {
    std::string h(32, 'a');
    EXPECT_EQ(store.BlobPath(h), (root / "blobs" / h).string());
    EXPECT_EQ(store.BlobPath("ABCDEF0123456789ABCDEF0123456789"),
              (root / "blobs" / "abcdef0123456789abcdef0123456789").string());
    for (const char* bad : {"", "../../etc/passwd", "aaaa", "gggggggggggggggggggggggggggggggg",
                            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}) {
        EXPECT_TRUE(store.BlobPath(bad).empty()) << bad;
        EXPECT_TRUE(store.ResumePath(bad).empty()) << bad;
    }
    std::string token = store.NewResumeToken();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_FALSE(store.ResumePath(token).empty());
    EXPECT_NE(token, store.NewResumeToken());

    std::string tmp = store.TempPath();
    std::ofstream(tmp) << "content";
    EXPECT_FALSE(store.HasBlob(h));
    ASSERT_EQ(store.AdoptBlob(tmp, h), 0);
    EXPECT_TRUE(store.HasBlob(h));
    std::string tmp2 = store.TempPath();
    std::ofstream(tmp2) << "content";
    ASSERT_EQ(store.AdoptBlob(tmp2, h), 0);  // kept once
    EXPECT_FALSE(fs::exists(tmp2));
    EXPECT_EQ(store.AdoptBlob(tmp2, "nothex"), -1);
}

TEST_F(RefStorage, ViewPaths) {
    for (const char* ok : {"/", "/a", "/a/b.txt", "/.hidden", "/a..b"}) EXPECT_TRUE(Storage::IsValidPath(ok)) << ok;
    for (const char* bad : {"", "a", "//", "/a/", "/a//b", "/./a", "/a/..", "/../x", "/a\\b"})
        EXPECT_FALSE(Storage::IsValidPath(bad)) << bad;
}

}  // namespace
