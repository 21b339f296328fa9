#include "store/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> walk(const FileList& l) {
    std::vector<std::string> out;
    for (auto it = l.rbegin(); it != l.rend(); ++it) out.push_back((it->is_dir() ? "D:" : "F:") + it->path.str());
    return out;
}

}  // namespace

TEST(FileListTest, ReverseOrderPutsDirectoriesAfterTheirContents) {
    StringBuffer buf;
    FileList l(buf);
    ASSERT_EQ(l.AddFile("/a", 10, 1), 0);
    ASSERT_EQ(l.AddFile("/b/c", 11, 2), 1);
    ASSERT_EQ(l.AddDirectory("/b/d", 12), 1);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"D:/b/d", "F:/b/c", "D:/b", "F:/a", "D:"}));

    auto it = l.rbegin();
    ++it;
    EXPECT_EQ(it->mtime, 11u);
    EXPECT_EQ(it->size, 2u);
    ++it;
    EXPECT_EQ(it->size, 0u);
}

TEST(FileListTest, FilesAndDirectoriesMergeByName) {
    StringBuffer buf;
    FileList l(buf);
    ASSERT_TRUE(l.AddFile("/x/b", 0, 0));
    ASSERT_TRUE(l.AddDirectory("/x/c", 0));
    ASSERT_TRUE(l.AddFile("/x/c/z", 0, 0));
    ASSERT_TRUE(l.AddFile("/x/a", 0, 0));
    ASSERT_TRUE(l.AddDirectory("/x/B", 0));
    ASSERT_TRUE(l.AddFile("/y", 0, 0));
    ASSERT_TRUE(l.AddFile("/x-", 0, 0));  // names compare as whole components: "x" < "x-"
    EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/y", "F:/x-", "F:/x/c/z", "D:/x/c", "F:/x/b", "F:/x/a", "D:/x/B",
                                                 "D:/x", "D:"}));
}

TEST(FileListTest, EmptyListYieldsOnlyTheRoot) {
    StringBuffer buf;
    FileList l(buf);
    auto it = l.rbegin();
    ASSERT_NE(it, l.rend());
    EXPECT_TRUE(it->is_dir());
    EXPECT_TRUE(it->path.empty());
    ++it;
    EXPECT_EQ(it, l.rend());
    ++it;  // stepping past the end stays at the end
    EXPECT_EQ(it, l.rend());
}

TEST(FileListTest, AddDirectoryCountsCreatedDirectories) {
    StringBuffer buf;
    FileList l(buf);
    EXPECT_EQ(l.AddDirectory("/p/q", 1), 2);
    EXPECT_EQ(l.AddDirectory("/p/q", 5), 0);
    EXPECT_EQ(l.AddDirectory("//p///q/r/", 1), 1);  // repeated separators are skipped
    ASSERT_NE(l.findDir("/p/q"), nullptr);
    EXPECT_EQ(l.findDir("/p/q")->mtime, 5u);
    EXPECT_EQ(l.findDir("/nope"), nullptr);
}

TEST(FileListTest, NameClashesBetweenFilesAndDirectoriesFail) {
    StringBuffer buf;
    FileList l(buf);
    ASSERT_EQ(l.AddFile("/f", 0, 0), 0);
    EXPECT_EQ(l.AddDirectory("/f/g", 0), std::nullopt);
    EXPECT_EQ(l.AddFile("/f/g", 0, 0), std::nullopt);
    ASSERT_EQ(l.AddDirectory("/d", 0), 1);
    EXPECT_EQ(l.AddFile("/d", 0, 0), std::nullopt);
    EXPECT_EQ(l.AddFile(l.getRoot(), "d", 0, 0), std::nullopt);
    EXPECT_EQ(l.AddDirectory(l.getRoot(), "f", 0), std::nullopt);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/f", "D:/d", "D:"}));
}

TEST(FileListTest, IndexAndNodeFormsAddBelowAKnownDirectory) {
    StringBuffer buf;
    FileList l(buf);
    EXPECT_EQ(l.AddDirectory(0, "top", 3), 1);
    FileList::DirNode* top = l.findDir("/top");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(l.AddFile(top->index, "leaf", 4, 9), 0);
    EXPECT_EQ(l.AddFile(0, "root-file", 4, 9), 0);
    EXPECT_EQ(l.AddFile(99, "x", 0, 0), std::nullopt);
    EXPECT_EQ(l.AddDirectory(-1, "x", 0), std::nullopt);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/top/leaf", "D:/top", "F:/root-file", "D:"}));
}

TEST(FileListTest, LongComponentsAreCutAndNamesAreInternedOnce) {
    StringBuffer buf;
    FileList a(buf), b(buf);
    std::string longName(3000, 'n');
    ASSERT_EQ(a.AddFile("/" + longName, 0, 0), 0);
    auto it = a.rbegin();
    EXPECT_EQ(it->path.length(), 1u + 1023u);
    size_t before = buf.size();
    ASSERT_TRUE(b.AddFile("/" + longName, 0, 0));
    ASSERT_TRUE(b.AddDirectory("/d", 0));
    ASSERT_TRUE(a.AddDirectory("/d", 0));
    EXPECT_EQ(buf.size(), before + 1);  // "d" is stored once for both lists
}

TEST(StringBufferTest, InsertReturnsTheStoredCopyAndGrowsChunks) {
    StringBuffer buf;
    bool ok = false;
    auto s1 = buf.insert("hello", ok);
    ASSERT_TRUE(ok);
    auto s2 = buf.insert("hello", ok);
    EXPECT_EQ(s1.ptr, s2.ptr);
    EXPECT_TRUE(StringBuffer::String("a") < StringBuffer::String("b"));
    EXPECT_TRUE(StringBuffer::String("\xc3\xa9") > StringBuffer::String("z"));  // unsigned bytes
    std::string big(StringBuffer::kFirstChunk * 3, 'x');
    auto s3 = buf.insert(big.c_str(), ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(s3.c_str()), big);
    EXPECT_EQ(buf.chunks_used(), 2);
    EXPECT_STREQ(s1.c_str(), "hello");
}
