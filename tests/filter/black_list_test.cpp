#include "filter/black_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "filter/white_list.h"
#include "filter_test_util.h"

namespace {

using filter_test::entries;
using filter_test::TempDir;
using V = std::vector<std::string>;

TEST(BlackList2, LoadFailureLeavesAnEmptyListThatCanBeEdited) {
    TempDir dir;
    BlackList2 bl;
    EXPECT_FALSE(bl.Load(dir.file("missing.filter")));
    EXPECT_EQ(bl.TestFilePath("/anything.tmp"), FILTER_OK);
    EXPECT_EQ(bl.TestDirectoryPath("/a/b"), FILTER_OK);
    EXPECT_EQ(bl.TestFileSize(UINT64_MAX), FILTER_OK);
    EXPECT_EQ(bl.TestFullPathSize(UINT64_MAX), FILTER_OK);

    Filter* f = bl.GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_EXT, "tmp"));
    bl.ReturnFilter();
    EXPECT_EQ(bl.TestFilePath("/a.TMP"), FILTER_EXT);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(bl.Load(dir.write("bad.filter", "[File]\nblack_ext = \"tmp\"\n[Nope]\n")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(bl.TestFilePath("/a.tmp"), FILTER_OK);
}

TEST(BlackList2, LoadTestAndVersion) {
    TempDir dir;
    BlackList2 bl;
    ASSERT_TRUE(bl.Load(dir.write("b.filter",
                                  "[Version]\nmajor = 1\nminor = 3\n"
                                  "[Common]\nmax_path = 100\nblack_dir_prefix = \"/tmp\"\n"
                                  "[File]\nmax_size = 10\nblack_name = \"thumbs.db\"\n")));
    bl.GetFilter();
    EXPECT_EQ(bl.GetMajorVersion(), 1u);
    EXPECT_EQ(bl.GetMinorVersion(), 3u);
    bl.ReturnFilter();
    EXPECT_EQ(bl.TestFilePath("/x/Thumbs.db"), FILTER_NAME);
    EXPECT_EQ(bl.TestDirectoryPath("/tmp/x"), FILTER_DIR_PREFIX);
    EXPECT_EQ(bl.TestDirectoryPath("/Thumbs.db"), FILTER_OK);
    EXPECT_EQ(bl.TestFileSize(11), FILTER_FILE_SIZE);
    EXPECT_EQ(bl.TestFullPathSize(101), FILTER_PATH_SIZE);

    bl.Clear();
    EXPECT_EQ(bl.TestFilePath("/x/Thumbs.db"), FILTER_OK);
    bl.GetFilter();
    EXPECT_EQ(bl.GetMajorVersion(), 0u);
    bl.ReturnFilter();
}

TEST(BlackList2, InsertIgnoresDuplicatesRegardlessOfCase) {
    BlackList2 bl;
    Filter* f = bl.GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/a"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/a"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/A"));
    EXPECT_EQ(entries(f->common.black_path_prefix_selective_sync), (V{"/a"}));
    bl.ReturnFilter();
}

TEST(BlackList2, InsertRoutesEachCodeToItsField) {
    BlackList2 bl;
    Filter* f = bl.GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->version, 1, 2));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PATH_SIZE, uint64_t{260}));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_LENGTH, uint64_t{255}));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_FILE_SIZE, uint64_t{1000}));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_FILE_SIZE_SELECTIVE_SYNC, uint64_t{500}));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_DIR_PREFIX, "/tmp"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_NAME, "desktop.ini"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PREFIX, "~$"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_CHAR, "<>"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_CHAR, "|"));  // replaces
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_NAME_SELECTIVE_SYNC, "big.iso"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, "mkv"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_EXT, "tmp"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_NAME, "thumbs.db"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_PREFIX, ".~"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->directory, FILTER_NAME, ".git"));

    EXPECT_EQ(f->version.major, 1);
    EXPECT_EQ(f->version.minor, 2);
    EXPECT_EQ(f->common.max_path, 260u);
    EXPECT_EQ(f->common.max_length, 255u);
    EXPECT_EQ(f->file.max_size, 1000u);
    EXPECT_EQ(f->file.max_size_selective_sync, 500u);
    EXPECT_EQ(entries(f->common.black_dir_prefix), (V{"/tmp"}));
    EXPECT_EQ(entries(f->common.black_name), (V{"desktop.ini"}));
    EXPECT_EQ(entries(f->common.black_prefix), (V{"~$"}));
    EXPECT_STREQ(f->common.black_char.str, "|");
    EXPECT_EQ(entries(f->file.black_name_selective_sync), (V{"big.iso"}));
    EXPECT_EQ(entries(f->file.black_ext_selective_sync), (V{"mkv"}));
    EXPECT_EQ(entries(f->file.black_ext), (V{"tmp"}));
    EXPECT_EQ(entries(f->file.black_name), (V{"thumbs.db"}));
    EXPECT_EQ(entries(f->file.black_prefix), (V{".~"}));
    EXPECT_EQ(entries(f->directory.black_name), (V{".git"}));

    // An empty black_char clears it.
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_CHAR, ""));
    EXPECT_EQ(f->common.black_char.str, nullptr);
    bl.ReturnFilter();
}

TEST(BlackList2, InsertRefusesCodesAndValuesItCannotStore) {
    BlackList2 bl;
    Filter* f = bl.GetFilter();
    EXPECT_FALSE(BlackList2::InsertFilter(&f->file, FILTER_DIR_PREFIX, "/x"));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->file, FILTER_CHAR, "x"));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->directory, FILTER_PREFIX, "x"));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->common, FILTER_EXT, "x"));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->common, FILTER_FILE_SIZE, uint64_t{1}));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->file, FILTER_PATH_SIZE, uint64_t{1}));
    // An empty entry would match every path, and the file format cannot hold it or
    // a value over 512 bytes.
    EXPECT_FALSE(BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, ""));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->common, FILTER_PREFIX, ustring(std::string(513, 'p'))));
    EXPECT_FALSE(BlackList2::InsertFilter(&f->common, FILTER_CHAR, ustring(std::string(513, 'p'))));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PREFIX, ustring(std::string(512, 'p'))));
    EXPECT_EQ(f->file.black_ext.used + f->common.black_path_prefix_selective_sync.used +
                  f->common.black_dir_prefix.used + f->directory.black_prefix.used,
              0u);
    EXPECT_EQ(f->common.max_path + f->file.max_size, 0u);
    bl.ReturnFilter();
}

TEST(BlackList2, RemoveIsExactAndSucceedsWhenAbsent) {
    BlackList2 bl;
    Filter* f = bl.GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_DIR_PREFIX, "/a"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_DIR_PREFIX, "/b"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_DIR_PREFIX, "/c"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_PREFIX, "~"));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, "mkv"));

    EXPECT_TRUE(BlackList2::RemoveFilter(&f->common, FILTER_DIR_PREFIX, "/missing"));
    EXPECT_TRUE(BlackList2::RemoveFilter(&f->common, FILTER_DIR_PREFIX, "/A"));  // case-sensitive
    EXPECT_EQ(f->common.black_dir_prefix.used, 3u);
    EXPECT_TRUE(BlackList2::RemoveFilter(&f->common, FILTER_DIR_PREFIX, "/a"));
    EXPECT_EQ(entries(f->common.black_dir_prefix), (V{"/c", "/b"}));  // the last entry fills the gap
    EXPECT_TRUE(BlackList2::RemoveFilter(&f->common, FILTER_PREFIX, "~"));
    EXPECT_EQ(f->common.black_prefix.used, 0u);
    EXPECT_TRUE(BlackList2::RemoveFilter(&f->file, FILTER_EXT_SELECTIVE_SYNC, "mkv"));
    EXPECT_EQ(f->file.black_ext_selective_sync.used, 0u);

    EXPECT_FALSE(BlackList2::RemoveFilter(&f->common, FILTER_NAME, "/b"));
    EXPECT_FALSE(BlackList2::RemoveFilter(&f->file, FILTER_EXT, "x"));
    bl.ReturnFilter();
}

TEST(BlackList2, StringSetValueExist) {
    value_type_string_set empty{nullptr, 0, 0};
    EXPECT_FALSE(BlackList2::StringSetValueExist(nullptr, "a"));
    EXPECT_FALSE(BlackList2::StringSetValueExist(&empty, "a"));
    value_type_string_set s;
    vt_string_set_init(&s, 0);
    ASSERT_TRUE(vt_string_set_insert(&s, "Photos"));
    EXPECT_TRUE(BlackList2::StringSetValueExist(&s, "pHOTOS"));
    EXPECT_FALSE(BlackList2::StringSetValueExist(&s, "Photo"));
    EXPECT_FALSE(BlackList2::StringSetValueExist(&s, "Photos2"));
    vt_string_set_destroy(&s);
}

TEST(BlackList2, WriteThenLoadGivesTheSameList) {
    TempDir dir;
    BlackList2 a;
    Filter* f = a.GetFilter();
    EXPECT_TRUE(BlackList2::InsertFilter(&f->version, 1, 0));
    EXPECT_TRUE(
        BlackList2::InsertFilter(&f->common, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/Fotos/\xc3\xa9t\xc3\xa9 \"2019\""));
    EXPECT_TRUE(BlackList2::InsertFilter(&f->file, FILTER_FILE_SIZE_SELECTIVE_SYNC, uint64_t{10737418240}));
    a.ReturnFilter();
    std::string path = dir.file("blacklist.filter");
    ASSERT_TRUE(a.Write(path));

    BlackList2 b;
    ASSERT_TRUE(b.Load(path));
    EXPECT_EQ(b.TestDirectoryPath("/fotos/\xc3\xa9t\xc3\xa9 \"2019\"/x"), FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(b.TestFileSize(10737418241ull), FILTER_FILE_SIZE_SELECTIVE_SYNC);
    const Filter* fa = a.GetFilter();
    const Filter* fb = b.GetFilter();
    EXPECT_TRUE(filter_equal(fa, fb));
    b.ReturnFilter();
    a.ReturnFilter();

    EXPECT_FALSE(a.Write(dir.file("no/such/dir")));
}

TEST(BlackList2, SystemInstanceIsOneObject) {
    BlackList2& a = BlackList2::getInstance();
    BlackList2& b = BlackList2::getInstance();
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(a.TestFilePath("/x"), FILTER_OK);
}

TEST(BlackList2, TestsRunWhileTheListIsReloadedAndEdited) {
    TempDir dir;
    std::string a = dir.write("a.filter", "[File]\nblack_ext = \"tmp\"\n[Common]\nblack_dir_prefix = \"/tmp\"\n");
    std::string b = dir.write("b.filter", "[File]\nblack_name = \"x.tmp\"\n");
    BlackList2 bl;
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::vector<std::thread> testers;
    for (int t = 0; t < 3; ++t) {
        testers.emplace_back([&] {
            while (!stop) {
                int r = bl.TestFilePath("/x.tmp");
                if (r != FILTER_OK && r != FILTER_EXT && r != FILTER_NAME) ++bad;
                r = bl.TestDirectoryPath("/tmp/y");
                if (r != FILTER_OK && r != FILTER_DIR_PREFIX) ++bad;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(bl.Load(i % 2 ? a : b));
        Filter* f = bl.GetFilter();
        EXPECT_TRUE(BlackList2::InsertFilter(&f->common, FILTER_DIR_PREFIX, "/tmp"));
        EXPECT_TRUE(BlackList2::RemoveFilter(&f->common, FILTER_DIR_PREFIX, "/tmp"));
        bl.ReturnFilter();
        if (i % 50 == 0) bl.Clear();
    }
    stop = true;
    for (auto& t : testers) t.join();
    EXPECT_EQ(bad, 0);
}

TEST(WhiteListCpp, LoadTestClear) {
    TempDir dir;
    WhiteListCpp w;
    EXPECT_FALSE(w.Test("report.pdf"));
    EXPECT_FALSE(w.Load(dir.file("missing")));
    EXPECT_FALSE(w.Test("report.pdf"));
    ASSERT_TRUE(w.Load(dir.write("w.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"pdf\"\n")));
    EXPECT_TRUE(w.Test("report.PDF"));
    EXPECT_FALSE(w.Test("report.doc"));
    EXPECT_FALSE(w.Test(""));
    ASSERT_TRUE(w.Load(dir.write("all.filter", "[File]\nwhite_ext = \"*\"\n")));
    EXPECT_TRUE(w.Test("anything"));
    w.Clear();
    EXPECT_FALSE(w.Test("anything"));
}

}  // namespace
