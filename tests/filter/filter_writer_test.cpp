#include "filter/filter_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "filter/black_list.h"
#include "filter_test_util.h"

namespace {

using filter_test::entries;
using filter_test::read_file;
using filter_test::ScopedFilter;
using filter_test::TempDir;

std::string print(const Filter* f, bool* ok = nullptr) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    const bool printed = filter_print(f, out);
    std::fclose(out);
    if (ok) *ok = printed;
    std::string text(buf, len);
    std::free(buf);
    return text;
}

void add(value_type_string_set* s, std::initializer_list<const char*> values) {
    for (const char* v : values) ASSERT_TRUE(vt_string_set_insert(s, v));
}

TEST(FilterWriter, EmptyFilterLayout) {
    ScopedFilter f;
    EXPECT_EQ(print(f.get()),
              "[Version]\nmajor = 0\nminor = 0\n\n"
              "[Common]\nmax_length = 0\nmax_path = 0\n\n"
              "[File]\nmax_size = 0\nmax_size_selective_sync = 0\n\n"
              "[Directory]\n\n"
              "[EA]\n\n");
}

TEST(FilterWriter, SectionAndKeyOrderAndFivePerLine) {
    ScopedFilter f;
    f->version.major = 1;
    f->version.minor = 2;
    ASSERT_TRUE(vt_string_assign(&f->common.black_char, "<>"));
    add(&f->common.black_prefix, {"~$"});
    add(&f->common.black_dir_prefix, {"/tmp"});
    add(&f->common.black_name, {"desktop.ini"});
    add(&f->common.black_path_prefix_selective_sync, {"/a", "/b", "/c", "/d", "/e", "/f"});
    f->common.max_length = 255;
    f->common.max_path = 4096;
    ASSERT_TRUE(vt_string_assign(&f->file.black_char, "|"));
    add(&f->file.black_prefix, {".~"});
    add(&f->file.black_name, {"Thumbs.db"});
    add(&f->file.black_name_selective_sync, {"big.iso"});
    add(&f->file.black_ext_selective_sync, {"mkv"});
    add(&f->file.black_ext, {"tmp", "bak", "swp", "a", "b"});
    f->file.max_size = 18446744073709551615ull;
    f->file.max_size_selective_sync = 1000;
    ASSERT_TRUE(vt_string_assign(&f->directory.black_char, ":"));
    add(&f->directory.black_name, {".git"});
    add(&f->directory.black_prefix, {"@"});
    add(&f->ea.black_ea_name, {"user.x", "user.y", "user.z", "1", "2", "3", "4", "5", "6", "7", "8"});

    EXPECT_EQ(print(f.get()),
              "[Version]\nmajor = 1\nminor = 2\n\n"
              "[Common]\n"
              "black_char = \"<>\"\n"
              "black_prefix = \"~\\x24\"\n"
              "black_dir_prefix = \"/tmp\"\n"
              "black_name = \"desktop.ini\"\n"
              "black_path_prefix_selective_sync = \"/a\", \"/b\", \"/c\", \"/d\", \"/e\",\n\"/f\"\n"
              "max_length = 255\nmax_path = 4096\n\n"
              "[File]\n"
              "black_char = \"|\"\n"
              "black_ext = \"tmp\", \"bak\", \"swp\", \"a\", \"b\"\n"
              "black_ext_selective_sync = \"mkv\"\n"
              "black_name_selective_sync = \"big.iso\"\n"
              "black_name = \"Thumbs.db\"\n"
              "black_prefix = \".~\"\n"
              "max_size = 18446744073709551615\nmax_size_selective_sync = 1000\n\n"
              "[Directory]\n"
              "black_char = \":\"\n"
              "black_name = \".git\"\n"
              "black_prefix = \"\\x40\"\n\n"
              "[EA]\n"
              "black_ea_name = \"user.x\", \"user.y\", \"user.z\", \"1\", \"2\",\n"
              "\"3\", \"4\", \"5\", \"6\", \"7\",\n\"8\"\n\n");
}

TEST(FilterWriter, Escaping) {
    ScopedFilter f;
    add(&f->file.black_name, {"\"\\\t\n\v\f\x01\r\x1f$@`\x7f\xc3\xa9 az~#'?"});
    std::string text = print(f.get());
    EXPECT_NE(text.find("black_name = \"\\\"\\\\\\t\\n\\v\\f\\x01\\x0d\\x1f\\x24\\x40\\x60\\x7f\\xc3\\xa9 az~#'?\"\n"),
              std::string::npos)
        << text;
}

TEST(FilterWriter, RefusesValuesTheReaderCannotTake) {
    ScopedFilter f;
    add(&f->file.black_name, {"ok", ""});
    bool ok = true;
    EXPECT_EQ(print(f.get(), &ok), "");
    EXPECT_FALSE(ok);

    ScopedFilter g;
    std::string long_name(513, 'x');
    add(&g->common.black_prefix, {long_name.c_str()});
    ok = true;
    EXPECT_EQ(print(g.get(), &ok), "");
    EXPECT_FALSE(ok);

    // An empty black_char means the same as none and is simply left out.
    ScopedFilter h;
    ASSERT_TRUE(vt_string_assign(&h->common.black_char, ""));
    std::string text = print(h.get(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text.find("black_char"), std::string::npos);
}

TEST(FilterWriter, WriteReplacesTheFileOnlyWhenComplete) {
    TempDir dir;
    std::string path = dir.write("blacklist.filter", "old contents\n");
    ScopedFilter bad;
    add(&bad->file.black_name, {""});
    EXPECT_FALSE(filter_write(bad.get(), path));
    EXPECT_EQ(read_file(path), "old contents\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    ScopedFilter good;
    add(&good->file.black_ext, {"tmp"});
    EXPECT_TRUE(filter_write(good.get(), path));
    EXPECT_EQ(read_file(path), print(good.get()));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    EXPECT_FALSE(filter_write(good.get(), dir.file("no/such/dir/x.filter")));
    EXPECT_FALSE(filter_write(good.get(), ""));
}

TEST(FilterWriter, FullDiskIsAFailure) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ScopedFilter f;
    FILE* out = std::fopen("/dev/full", "w");
    ASSERT_NE(out, nullptr);
    bool ok = filter_print(f.get(), out);
    if (ok) ok = std::fflush(out) == 0;
    std::fclose(out);
    EXPECT_FALSE(ok);
}

// Random strings of 1 to 512 bytes from the whole byte range except zero, the
// short ones more often.
std::string random_string(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> shape(0, 9);
    int max = shape(rng) == 0 ? FILTER_STRING_MAX : 12;
    std::uniform_int_distribution<int> len(1, max);
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<int> any(1, 255);
    const char special[] = "\"\\#,=[]$@`'? \t\n\r\v\f\x7f";
    std::string s;
    int n = len(rng);
    for (int i = 0; i < n; ++i) {
        switch (kind(rng)) {
            case 0:
                s += special[rng() % (sizeof special - 1)];
                break;
            case 1:
                s += static_cast<char>(1 + rng() % 31);
                break;  // control bytes
            case 2:
                s += static_cast<char>(0x80 + rng() % 128);
                break;  // above 0x7F
            case 3:
                s += static_cast<char>('a' + rng() % 26);
                break;
            default:
                s += static_cast<char>(any(rng));
                break;
        }
    }
    return s;
}

void random_set(std::mt19937_64& rng, value_type_string_set* set) {
    int n = static_cast<int>(rng() % 13);
    for (int i = 0; i < n; ++i) ASSERT_TRUE(vt_string_set_insert(set, random_string(rng).c_str()));
}

void random_filter(std::mt19937_64& rng, Filter* f) {
    f->version.major = static_cast<int32_t>(rng());
    f->version.minor = static_cast<int32_t>(rng());
    auto maybe_string = [&](value_type_string* s) {
        if (rng() % 2) {
            ASSERT_TRUE(vt_string_assign(s, random_string(rng).c_str()));
        }
    };
    maybe_string(&f->common.black_char);
    random_set(rng, &f->common.black_prefix);
    random_set(rng, &f->common.black_dir_prefix);
    random_set(rng, &f->common.black_name);
    random_set(rng, &f->common.black_path_prefix_selective_sync);
    f->common.max_length = rng();
    f->common.max_path = rng() % 5000;
    maybe_string(&f->file.black_char);
    random_set(rng, &f->file.black_ext);
    random_set(rng, &f->file.black_name);
    random_set(rng, &f->file.black_prefix);
    random_set(rng, &f->file.black_ext_selective_sync);
    random_set(rng, &f->file.black_name_selective_sync);
    f->file.max_size = rng();
    f->file.max_size_selective_sync = rng() % 2 ? UINT64_MAX : 0;
    maybe_string(&f->directory.black_char);
    random_set(rng, &f->directory.black_name);
    random_set(rng, &f->directory.black_prefix);
    random_set(rng, &f->ea.black_ea_name);
}

TEST(FilterWriter, RandomFiltersRoundTrip) {
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        std::mt19937_64 rng(seed);
        ScopedFilter f;
        random_filter(rng, f.get());
        bool ok = false;
        std::string text = print(f.get(), &ok);
        ASSERT_TRUE(ok) << "seed " << seed;

        // No line is longer than the reader takes in one piece.
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) ASSERT_LT(line.size(), static_cast<size_t>(FILTER_LINE_MAX));

        ScopedFilter back;
        parse_report rep;
        rep.quiet = true;
        ASSERT_EQ(parse_text(text.data(), text.size(), &filter_schema, back.get(), &rep), PARSE_DONE)
            << "seed " << seed << ": " << parser_error_name(-rep.error_code) << " at line " << rep.line;
        ASSERT_TRUE(filter_equal(f.get(), back.get())) << "seed " << seed;
    }
}

TEST(FilterWriter, LongestValuesRoundTripThroughAFile) {
    TempDir dir;
    ScopedFilter f;
    std::string worst(FILTER_STRING_MAX, '\x01');  // every byte escaped: 2048 characters
    for (int i = 0; i < 7; ++i) {
        worst[0] = static_cast<char>(0x80 + i);
        ASSERT_TRUE(vt_string_set_insert(&f->common.black_path_prefix_selective_sync, worst.c_str()));
    }
    ASSERT_TRUE(vt_string_assign(&f->file.black_char, worst.c_str()));
    std::string path = dir.file("blacklist.filter");
    ASSERT_TRUE(filter_write(f.get(), path));
    ScopedFilter back;
    ASSERT_TRUE(filter_read(back.get(), path));
    EXPECT_TRUE(filter_equal(f.get(), back.get()));
}

}  // namespace
