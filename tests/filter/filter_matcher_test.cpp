#include "filter/filter_matcher.h"

#include <gtest/gtest.h>

#include <string>

#include "filter_test_util.h"

namespace {

using filter_test::ScopedFilter;
using filter_test::ScopedWhiteList;

// A filter read from text (the test fails on a parse error).
struct Parsed : ScopedFilter {
    explicit Parsed(const std::string& text) {
        parse_report rep;
        rep.quiet = true;
        EXPECT_EQ(parse_text(text.data(), text.size(), &filter_schema, get(), &rep), PARSE_DONE)
            << parser_error_name(-rep.error_code) << " at line " << rep.line;
    }
};

int file(Filter* f, const std::string& path) { return filter_test_path(f, 0, path.c_str()); }
int dir(Filter* f, const std::string& path) { return filter_test_path(f, 1, path.c_str()); }

TEST(FilterMatcher, FileRules) {
    Parsed f(
        "[File]\n"
        "black_name = \"thumbs.db\"\n"
        "black_ext = \"txt\"\n"
        "black_prefix = \"~$\"\n"
        "black_char = \"|\"\n"
        "black_name_selective_sync = \"movie.iso\"\n"
        "black_ext_selective_sync = \"mkv\"\n");
    EXPECT_EQ(file(f.get(), "/a/b/Thumbs.db"), FILTER_NAME);
    EXPECT_EQ(file(f.get(), "/doc.TXT"), FILTER_EXT);
    EXPECT_EQ(file(f.get(), "/doc.txt.gz"), FILTER_OK);
    EXPECT_EQ(file(f.get(), "/x/~$Report.docx"), FILTER_PREFIX);
    EXPECT_EQ(file(f.get(), "/x/a|b"), FILTER_CHAR);
    EXPECT_EQ(file(f.get(), "/x/Movie.ISO"), FILTER_NAME_SELECTIVE_SYNC);
    EXPECT_EQ(file(f.get(), "/x/clip.MKV"), FILTER_EXT_SELECTIVE_SYNC);
    EXPECT_EQ(file(f.get(), "/x/.txt"), FILTER_OK);  // a leading dot starts no extension
    // File rules never apply to folders.
    EXPECT_EQ(dir(f.get(), "/Thumbs.db/doc.txt"), FILTER_OK);
    EXPECT_EQ(file(f.get(), "/Thumbs.db/readme"), FILTER_OK);
}

TEST(FilterMatcher, ExtensionIsAfterTheLastDotNotAtTheStart) {
    Parsed f("[File]\nblack_ext = \"profile\", \"gz\", \"\\x24\"\n");
    EXPECT_EQ(file(f.get(), "/x/.profile"), FILTER_OK);
    EXPECT_EQ(file(f.get(), "/x/a.profile"), FILTER_EXT);
    EXPECT_EQ(file(f.get(), "/a.tar.gz"), FILTER_EXT);
    EXPECT_EQ(file(f.get(), "/a.$"), FILTER_EXT);
    EXPECT_EQ(file(f.get(), "/gz"), FILTER_OK);
}

TEST(FilterMatcher, DirectoryRules) {
    Parsed f(
        "[Directory]\n"
        "black_name = \".git\"\n"
        "black_prefix = \"tmp-\"\n"
        "black_char = \":\"\n");
    EXPECT_EQ(dir(f.get(), "/src/.GIT"), FILTER_NAME);
    EXPECT_EQ(file(f.get(), "/src/.git/config"), FILTER_NAME);
    EXPECT_EQ(dir(f.get(), "/TMP-1/x"), FILTER_PREFIX);
    EXPECT_EQ(dir(f.get(), "/a:b"), FILTER_CHAR);
    EXPECT_EQ(file(f.get(), "/a/.git"), FILTER_OK);  // Directory rules never apply to file names
    EXPECT_EQ(file(f.get(), "/a/b:c"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "//a//b//"), FILTER_OK);
}

TEST(FilterMatcher, CommonRulesApplyToEveryName) {
    Parsed f(
        "[Common]\n"
        "black_char = \"*?\"\n"
        "black_prefix = \".~lock\"\n"
        "black_name = \"desktop.ini\"\n"
        "max_length = 12\n");
    EXPECT_EQ(file(f.get(), "/a?"), FILTER_CHAR);
    EXPECT_EQ(dir(f.get(), "/a/b*c"), FILTER_CHAR);
    EXPECT_EQ(file(f.get(), "/.~LOCK.x"), FILTER_PREFIX);
    EXPECT_EQ(dir(f.get(), "/.~lockdir"), FILTER_PREFIX);
    EXPECT_EQ(file(f.get(), "/Desktop.ini"), FILTER_NAME);
    EXPECT_EQ(dir(f.get(), "/desktop.ini"), FILTER_NAME);
    EXPECT_EQ(file(f.get(), "/123456789012"), FILTER_OK);  // equal to the limit passes
    EXPECT_EQ(file(f.get(), "/1234567890123"), FILTER_LENGTH);
    EXPECT_EQ(dir(f.get(), "/a/1234567890123/b"), FILTER_LENGTH);
    EXPECT_EQ(file(f.get(), "/1234567890123/a"), FILTER_LENGTH);
}

TEST(FilterMatcher, DirectoryPrefixesMatchWholeComponents) {
    Parsed f("[Common]\nblack_dir_prefix = \"/tmp\"\nblack_path_prefix_selective_sync = \"/Photos/2019\"\n");
    EXPECT_EQ(dir(f.get(), "/tmp"), FILTER_DIR_PREFIX);
    EXPECT_EQ(file(f.get(), "/tmp/a.txt"), FILTER_DIR_PREFIX);
    EXPECT_EQ(dir(f.get(), "/TMP/x/y"), FILTER_DIR_PREFIX);
    EXPECT_EQ(file(f.get(), "/tmpfile"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/tmpdir"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/a/tmp"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/photos/2019"), FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(file(f.get(), "/Photos/2019/a.jpg"), FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(file(f.get(), "/Photos/2019b/a.jpg"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/Photos"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/"), FILTER_OK);
}

TEST(FilterMatcher, FirstRuleInOrderWins) {
    // A file's own name is judged before the folders above it.
    Parsed f(
        "[Common]\nblack_dir_prefix = \"/tmp\"\n"
        "black_path_prefix_selective_sync = \"/tmp\"\n"
        "black_char = \"!\"\n"
        "[File]\nblack_name = \"x.txt\"\nblack_ext = \"txt\"\n"
        "[Directory]\nblack_name = \"d\"\n");
    EXPECT_EQ(file(f.get(), "/tmp/x.txt"), FILTER_DIR_PREFIX);  // Common before File
    EXPECT_EQ(file(f.get(), "/tmp/x!.txt"), FILTER_CHAR);       // char before dir prefix
    EXPECT_EQ(file(f.get(), "/d/x.txt"), FILTER_EXT);           // ext before name, name before folder
    EXPECT_EQ(file(f.get(), "/d/y.doc"), FILTER_NAME);          // then the folder
    EXPECT_EQ(dir(f.get(), "/tmp/d"), FILTER_DIR_PREFIX);       // dir prefix before selective sync

    Parsed g("[Common]\nmax_length = 3\nblack_name = \"abcd\"\n");
    EXPECT_EQ(file(g.get(), "/abcd"), FILTER_LENGTH);  // for a file the length comes first
    EXPECT_EQ(dir(g.get(), "/abcd"), FILTER_NAME);     // for a folder the name does
}

TEST(FilterMatcher, UnusablePaths) {
    ScopedFilter f;
    EXPECT_EQ(file(f.get(), "x.txt"), FILTER_ERROR);
    EXPECT_EQ(file(f.get(), ""), FILTER_ERROR);
    EXPECT_EQ(filter_test_path(f.get(), 0, nullptr), FILTER_ERROR);
    EXPECT_EQ(file(f.get(), "/" + std::string(511, 'n')), FILTER_OK);
    EXPECT_EQ(file(f.get(), "/" + std::string(512, 'n')), FILTER_ERROR);
    std::string deep = "/" + std::string(4093, 'd') + "/";  // directory part of 4095 bytes
    EXPECT_EQ(file(f.get(), deep + "f"), FILTER_OK);
    EXPECT_EQ(file(f.get(), "/" + deep + "f"), FILTER_ERROR);
    EXPECT_EQ(dir(f.get(), std::string(4095, 'd')), FILTER_OK);
    EXPECT_EQ(dir(f.get(), std::string(4096, 'd')), FILTER_ERROR);
}

TEST(FilterMatcher, LongFolderNamesAreJudgedWhole) {
    Parsed f("[Common]\nmax_length = 600\n[Directory]\nblack_name = \"tail\"\n");
    std::string long_name(700, 'a');
    EXPECT_EQ(dir(f.get(), "/" + long_name), FILTER_LENGTH);
    EXPECT_EQ(dir(f.get(), "/" + std::string(507, 'a') + "tail"), FILTER_OK);
}

TEST(FilterMatcher, SizesAndExtendedAttributes) {
    Parsed f(
        "[Common]\nmax_path = 260\n"
        "[File]\nmax_size = 1000\nmax_size_selective_sync = 500\n"
        "[EA]\nblack_ea_name = \"com.apple.quarantine\"\n");
    EXPECT_EQ(filter_test_file_size(f.get(), 500), FILTER_OK);
    EXPECT_EQ(filter_test_file_size(f.get(), 501), FILTER_FILE_SIZE_SELECTIVE_SYNC);
    EXPECT_EQ(filter_test_file_size(f.get(), 1001), FILTER_FILE_SIZE);
    EXPECT_EQ(filter_test_file_size(f.get(), UINT64_MAX), FILTER_FILE_SIZE);
    EXPECT_EQ(filter_test_full_path_size(f.get(), 260), FILTER_OK);
    EXPECT_EQ(filter_test_full_path_size(f.get(), 261), FILTER_PATH_SIZE);
    EXPECT_EQ(filter_test_ea(f.get(), "COM.apple.Quarantine"), FILTER_EA_NAME);
    EXPECT_EQ(filter_test_ea(f.get(), "com.apple.quarantine2"), FILTER_OK);

    ScopedFilter none;  // no limits
    EXPECT_EQ(filter_test_file_size(none.get(), UINT64_MAX), FILTER_OK);
    EXPECT_EQ(filter_test_full_path_size(none.get(), UINT64_MAX), FILTER_OK);
}

TEST(FilterMatcher, DestroyedFilterMatchesNothing) {
    Parsed f("[Common]\nblack_char = \"a\"\nmax_path = 1\n[File]\nmax_size = 1\nblack_ext = \"x\"\n");
    filter_destroy(f.get());
    EXPECT_EQ(file(f.get(), "/a.x"), FILTER_OK);
    EXPECT_EQ(dir(f.get(), "/a"), FILTER_OK);
    EXPECT_EQ(filter_test_file_size(f.get(), 5), FILTER_OK);
    EXPECT_EQ(filter_test_full_path_size(f.get(), 5), FILTER_OK);
    EXPECT_EQ(filter_test_ea(f.get(), "a"), FILTER_OK);
}

TEST(WhiteListMatcher, Extensions) {
    ScopedWhiteList w;
    EXPECT_FALSE(white_list_test(w.get(), "a.pdf"));  // an empty list accepts nothing
    ASSERT_TRUE(vt_string_set_insert(&w.get()->file.white_ext, "pdf"));
    EXPECT_TRUE(white_list_test(w.get(), "report.PDF"));
    EXPECT_TRUE(white_list_test(w.get(), "a.b.pdf"));
    EXPECT_FALSE(white_list_test(w.get(), ".pdf"));
    EXPECT_FALSE(white_list_test(w.get(), "pdf"));
    EXPECT_FALSE(white_list_test(w.get(), "a.pdfx"));
    EXPECT_FALSE(white_list_test(w.get(), ""));
    EXPECT_FALSE(white_list_test(w.get(), nullptr));
    ASSERT_TRUE(vt_string_set_insert(&w.get()->file.white_ext, "*"));
    EXPECT_TRUE(white_list_test(w.get(), "anything"));
    EXPECT_TRUE(white_list_test(w.get(), ".bashrc"));
    EXPECT_FALSE(white_list_test(w.get(), ""));
}

}  // namespace
