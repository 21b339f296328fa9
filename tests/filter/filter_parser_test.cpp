#include "filter/filter_parser.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "filter_test_util.h"

namespace {

using filter_test::entries;
using filter_test::ScopedFilter;
using filter_test::ScopedWhiteList;
using filter_test::TempDir;
using V = std::vector<std::string>;

struct Outcome {
    parse_result result;
    int error;  // positive parser_error number, 0 without error
    int line;
    int unknown;
};

Outcome run(const std::string& text, Filter* f) {
    parse_report rep;
    rep.quiet = true;
    parse_result r = parse_text(text.data(), text.size(), &filter_schema, f, &rep);
    return Outcome{r, -rep.error_code, rep.line, rep.unknown_key_count};
}

// The parser error a text raises (0 when it parses).
int error_of(const std::string& text) {
    ScopedFilter f;
    return run(text, f.get()).error;
}

constexpr int err(parser_error e) { return static_cast<int>(e); }

TEST(FilterParser, SectionHeaderErrors) {
    EXPECT_EQ(error_of("[Common\n"), err(parser_error::SECTION_MISSING_RIGHT_BRACKET));
    EXPECT_EQ(error_of("["), err(parser_error::SECTION_MISSING_RIGHT_BRACKET));
    EXPECT_EQ(error_of("[Com#mon]\n"), err(parser_error::SECTION_MISSING_RIGHT_BRACKET));
    EXPECT_EQ(error_of("[]\n"), err(parser_error::SECTION_MISSING_SECTION));
    EXPECT_EQ(error_of("[ File ]\n"), err(parser_error::SECTION_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[Fi.le]\n"), err(parser_error::SECTION_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[" + std::string(33, 'A') + "]\n"), err(parser_error::SECTION_TOO_LONG));
    EXPECT_EQ(error_of("[" + std::string(32, 'A') + "]\n"), err(parser_error::SECTION_UNDEFINED_SECTION));
    EXPECT_EQ(error_of("[file]\n"), err(parser_error::SECTION_UNDEFINED_SECTION));
    EXPECT_EQ(error_of("[File] x\n"), err(parser_error::LINE_NOT_ENDED));
    EXPECT_EQ(error_of("  [File] \t# fine\n[EA]\r\n"), 0);
}

TEST(FilterParser, KeyLineErrors) {
    EXPECT_EQ(error_of("[Common]\n= 5\n"), err(parser_error::KEY_MISSING_KEY));
    EXPECT_EQ(error_of("[Common]\nmax_path 5\n"), err(parser_error::KEY_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[Common]\nmax_path\n"), err(parser_error::KEY_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[Common]\nmax.path = 5\n"), err(parser_error::KEY_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[Common]\n" + std::string(33, 'k') + " = 1\n"), err(parser_error::KEY_TOO_LONG));
    // A quoted line only continues a set after a trailing comma.
    EXPECT_EQ(error_of("[Common]\n\"a\"\n"), err(parser_error::KEY_MISSING_KEY));
    EXPECT_EQ(error_of("max_path = 5\n"), err(parser_error::LINE_NOT_EXPECTED));
    EXPECT_EQ(error_of("\"a\"\n"), err(parser_error::LINE_NOT_EXPECTED));
}

TEST(FilterParser, NumberSyntax) {
    auto size_of = [](const std::string& value, int* error) {
        ScopedFilter f;
        *error = run("[File]\nmax_size =" + value + "\n", f.get()).error;
        return f->file.max_size;
    };
    int e = 0;
    EXPECT_EQ(size_of(" 0.5", &e), 0u);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(size_of("1234 # comment", &e), 1234u);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(size_of("+7.25", &e), 7u);
    EXPECT_EQ(size_of("-1", &e), UINT64_MAX);  // two's complement
    EXPECT_EQ(size_of("18446744073709551615", &e), UINT64_MAX);
    EXPECT_EQ(e, 0);

    EXPECT_EQ(error_of("[File]\nmax_size = 007\n"), err(parser_error::VALUE_NUMERIC_ILLEGAL_SYNTAX));
    EXPECT_EQ(error_of("[File]\nmax_size = 12ab\n"), err(parser_error::VALUE_NUMERIC_ILLEGAL_SYNTAX));
    EXPECT_EQ(error_of("[File]\nmax_size = 1.5.2\n"), err(parser_error::VALUE_NUMERIC_ILLEGAL_SYNTAX));
    EXPECT_EQ(error_of("[File]\nmax_size = 5.\n"), err(parser_error::VALUE_NUMERIC_MISSING_FRACTIONAL_PART));
    EXPECT_EQ(error_of("[File]\nmax_size = 5.x\n"), err(parser_error::VALUE_NUMERIC_MISSING_FRACTIONAL_PART));
    EXPECT_EQ(error_of("[File]\nmax_size =\n"), err(parser_error::VALUE_NUMERIC_MISSING_VALUE));
    EXPECT_EQ(error_of("[File]\nmax_size = abc\n"), err(parser_error::VALUE_NUMERIC_MISSING_VALUE));
    EXPECT_EQ(error_of("[File]\nmax_size = -\n"), err(parser_error::VALUE_NUMERIC_MISSING_INTEGER_PART));
    EXPECT_EQ(error_of("[File]\nmax_size = .5\n"), err(parser_error::VALUE_NUMERIC_MISSING_INTEGER_PART));
    EXPECT_EQ(error_of("[File]\nmax_size = +x\n"), err(parser_error::VALUE_NUMERIC_MISSING_INTEGER_PART));
    EXPECT_EQ(error_of("[File]\nmax_size = 5 6\n"), err(parser_error::LINE_NOT_ENDED));
    EXPECT_EQ(error_of("[File]\nmax_size = \"5\"\n"), err(parser_error::VALUE_NUMERIC_MISSING_VALUE));

    // At most 511 characters, fraction included.
    EXPECT_EQ(error_of("[File]\nmax_size = 1." + std::string(509, '0') + "\n"), 0);
    EXPECT_EQ(error_of("[File]\nmax_size = 1." + std::string(510, '0') + "\n"), err(parser_error::VALUE_TOO_LONG));
}

TEST(FilterParser, Int32KeysAndReplacement) {
    ScopedFilter f;
    ASSERT_EQ(run("[Version]\nmajor=-3\nminor = 2.9\n[File]\nmax_size = 5\nmax_size = 6\n", f.get()).result,
              PARSE_DONE);
    EXPECT_EQ(f->version.major, -3);
    EXPECT_EQ(f->version.minor, 2);
    EXPECT_EQ(f->file.max_size, 6u);  // a later value replaces the earlier one
}

TEST(FilterParser, StringValues) {
    ScopedFilter f;
    ASSERT_EQ(run("[Common]\nblack_char = \"a#b\"  # a comment\nblack_char = \"\\\\/:*?\\\"<>|\"\n", f.get()).error, 0);
    EXPECT_STREQ(f->common.black_char.str, "\\/:*?\"<>|");

    EXPECT_EQ(error_of("[Common]\nblack_char = abc\n"), err(parser_error::VALUE_STRING_MISSING_LEFT_QUOTE));
    EXPECT_EQ(error_of("[Common]\nblack_char =\n"), err(parser_error::VALUE_STRING_MISSING_LEFT_QUOTE));
    EXPECT_EQ(error_of("[Common]\nblack_char = \"abc\n"), err(parser_error::VALUE_STRING_MISSING_RIGHT_QUOTE));
    EXPECT_EQ(error_of("[Common]\nblack_char = \"abc"), err(parser_error::VALUE_STRING_MISSING_RIGHT_QUOTE));
    EXPECT_EQ(error_of("[Common]\nblack_char = \"\"\n"), err(parser_error::VALUE_STRING_EMPTY));
    EXPECT_EQ(error_of("[Common]\nblack_char = \"a\" \"b\"\n"), err(parser_error::LINE_NOT_ENDED));
    EXPECT_EQ(error_of("[Common]\nblack_char = \"a\", \"b\"\n"), err(parser_error::LINE_NOT_ENDED));
}

TEST(FilterParser, Escapes) {
    ScopedFilter f;
    ASSERT_EQ(
        run("[File]\nblack_name = \"\\a\\b\\f\\n\\r\\t\\v\\'\\\"\\\\\\?\", \"\\x41\\x4a\\x4B\\101\\377z\"\n", f.get())
            .error,
        0);
    EXPECT_EQ(entries(f->file.black_name), (V{"\a\b\f\n\r\t\v'\"\\?",
                                              "AJK"
                                              "A\xff"
                                              "z"}));

    const char* bad[] = {
        "\"a\tb\"",     // raw control character
        "\"a\x01\"",    //
        "\"a\x7f\"",    // DEL
        "\"\\q\"",      // unknown escape
        "\"\\x4\"",     // one hex digit
        "\"\\xg0\"",    //
        "\"\\08\"",     // octal needs three digits
        "\"\\400\"",    // first octal digit 0..3
        "\"\\x00\"",    // a zero byte would cut the value short
        "\"a\\000b\"",  //
        "\"\\",         // escape at the end of the line
    };
    for (const char* v : bad)
        EXPECT_EQ(error_of(std::string("[File]\nblack_name = ") + v + "\n"),
                  err(parser_error::VALUE_STRING_ILLEGAL_CHARACTER))
            << v;

    // Raw bytes above 0x7F (UTF-8 in hand-written files) are taken as they are.
    ScopedFilter g;
    ASSERT_EQ(run("[File]\nblack_name = \"\xc3\xa9t\xc3\xa9\"\n", g.get()).error, 0);
    EXPECT_EQ(entries(g->file.black_name), (V{"\xc3\xa9t\xc3\xa9"}));
}

TEST(FilterParser, StringLengthLimit) {
    ScopedFilter f;
    ASSERT_EQ(run("[File]\nblack_name = \"" + std::string(512, 'n') + "\"\n", f.get()).error, 0);
    EXPECT_EQ(std::string(f->file.black_name.set[0]).size(), 512u);
    EXPECT_EQ(error_of("[File]\nblack_name = \"" + std::string(513, 'n') + "\"\n"), err(parser_error::VALUE_TOO_LONG));
    // The limit is on the unescaped bytes: 512 escapes of four characters each fit.
    std::string escaped;
    for (int i = 0; i < 512; ++i) escaped += "\\xff";
    EXPECT_EQ(error_of("[File]\nblack_name = \"" + escaped + "\"\n"), 0);
    EXPECT_EQ(error_of("[File]\nblack_name = \"" + escaped + "\\xff\"\n"), err(parser_error::VALUE_TOO_LONG));
}

TEST(FilterParser, StringSets) {
    ScopedFilter f;
    Outcome o =
        run("[File]\n"
            "black_ext = \"tmp\", \"bak\",\n"
            "# a comment between the lines of a set\n"
            "\n"
            "   \"swp\" ,\"tmp\"  # duplicates are kept\n"
            "black_name = \"a\"\n"
            "black_name = \"b\",   # comment after a trailing comma\n"
            "  \"c\"\n"
            "[EA]\n",
            f.get());
    ASSERT_EQ(o.result, PARSE_DONE);
    EXPECT_EQ(entries(f->file.black_ext), (V{"tmp", "bak", "swp", "tmp"}));
    EXPECT_EQ(entries(f->file.black_name), (V{"a", "b", "c"}));

    EXPECT_EQ(error_of("[File]\nblack_name = \"a\" \"b\"\n"), err(parser_error::VALUE_SET_MISSING_SEPARATER));
    EXPECT_EQ(error_of("[File]\nblack_name = \"a\";\n"), err(parser_error::VALUE_SET_MISSING_SEPARATER));
    EXPECT_EQ(error_of("[File]\nblack_name = \"a\", b\n"), err(parser_error::VALUE_STRING_MISSING_LEFT_QUOTE));
    EXPECT_EQ(error_of("[File]\nblack_name = \"\"\n"), err(parser_error::VALUE_STRING_EMPTY));
    // After a trailing comma only a quoted line may follow, not a key or a header.
    EXPECT_EQ(error_of("[File]\nblack_name = \"a\",\nmax_size = 1\n"), err(parser_error::LINE_NOT_EXPECTED));
    EXPECT_EQ(error_of("[File]\nblack_name = \"a\",\n[EA]\n"), err(parser_error::LINE_NOT_EXPECTED));
    // A trailing comma at the end of the text leaves the set as it is.
    EXPECT_EQ(error_of("[File]\nblack_name = \"a\",\n"), 0);
}

TEST(FilterParser, UnknownKeysOnlyWarn) {
    ScopedFilter f;
    testing::internal::CaptureStdout();
    std::string text = "[File]\ncolour = anything \"at all\n";
    parse_result r = parse_text(text.data(), text.size(), &filter_schema, f.get());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, PARSE_PARTIAL);
    EXPECT_EQ(out, "warning: unknown key (colour)\n");

    // The '=' is still required; and the rest of an unknown key's line is not a set.
    EXPECT_EQ(error_of("[File]\ncolour\n"), err(parser_error::KEY_ILLEGAL_CHARACTER));
    EXPECT_EQ(error_of("[File]\ncolour = \"a\",\n\"b\"\n"), err(parser_error::KEY_MISSING_KEY));
    ScopedFilter g;
    Outcome o = run("[File]\na = 1\nb = 2\nmax_size = 3\n", g.get());
    EXPECT_EQ(o.result, PARSE_PARTIAL);
    EXPECT_EQ(o.unknown, 2);
    EXPECT_EQ(g->file.max_size, 3u);
}

TEST(FilterParser, ErrorMessageNamesTheErrorAndLine) {
    ScopedFilter f;
    std::string text = "# header comment\n[Common]\n\nblack_name = \"\"\n";
    testing::internal::CaptureStderr();
    parse_result r = parse_text(text.data(), text.size(), &filter_schema, f.get());
    std::string err_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, PARSE_ERROR);
    EXPECT_EQ(err_text, "parser: VALUE_STRING_EMPTY at line 4\n");

    EXPECT_STREQ(parser_error_name(0), "NO_ERROR");
    EXPECT_STREQ(parser_error_name(26), "INTERNAL_ERROR");
    EXPECT_STREQ(parser_error_name(27), "Unknown error");
    EXPECT_STREQ(parser_error_name(-1), "Unknown error");
}

TEST(FilterParser, OverlongPhysicalLinesAreReadInPieces) {
    // A piece of FILTER_LINE_MAX characters, then the rest is read as the next line.
    std::string text = "[File]\n#" + std::string(FILTER_LINE_MAX - 1, 'x') + "max_size = 5\n";
    ScopedFilter f;
    Outcome o = run(text, f.get());
    EXPECT_EQ(o.error, 0);
    EXPECT_EQ(f->file.max_size, 5u);
    EXPECT_EQ(o.line, 3);

    // The longest line the writer makes is read whole.
    std::string escaped;
    for (int i = 0; i < 512; ++i) escaped += "\\x01";
    ScopedFilter g;
    EXPECT_EQ(
        run("[Common]\nblack_path_prefix_selective_sync = \"" + escaped + "\",\n\"" + escaped + "\"\n", g.get()).error,
        0);
    EXPECT_EQ(g->common.black_path_prefix_selective_sync.used, 2u);
}

TEST(FilterParser, ZeroByteEndsTheLine) {
    std::string text = std::string("[File]\nmax_size = 5") + '\0' + "junk\n";
    ScopedFilter f;
    EXPECT_EQ(run(text, f.get()).error, 0);
    EXPECT_EQ(f->file.max_size, 5u);
}

// A record and schema of our own: the parser writes through the table's offsets
// and knows nothing about the filter record.
struct Custom {
    int32_t a;
    uint64_t b;
    value_type_string s;
};

TEST(FilterParser, GenericSchemaAndUnknownValueType) {
    static const schema_parser schema = {1,
                                         0,
                                         2,
                                         {{"S",
                                           0,
                                           3,
                                           {{"a", integer32_type, offsetof(Custom, a)},
                                            {"b", integer64_type, offsetof(Custom, b)},
                                            {"s", string_type, offsetof(Custom, s)}}},
                                          {"Broken", 0, 1, {{"k", static_cast<value_type>(9), 0}}}}};
    Custom c{};
    std::string text = "[S]\na = 4\nb = 9\ns = \"x\"\n";
    parse_report rep;
    rep.quiet = true;
    EXPECT_EQ(parse_text(text.data(), text.size(), &schema, &c, &rep), PARSE_DONE);
    EXPECT_EQ(c.a, 4);
    EXPECT_EQ(c.b, 9u);
    EXPECT_STREQ(c.s.str, "x");
    vt_string_destroy(&c.s);

    std::string broken = "[Broken]\nk = 1\n";
    EXPECT_EQ(parse_text(broken.data(), broken.size(), &schema, &c, &rep), PARSE_ERROR);
    EXPECT_EQ(-rep.error_code, err(parser_error::INTERNAL_ERROR));
}

TEST(FilterRead, AcceptsUnknownKeysOnlyFromANewerMinorVersion) {
    TempDir dir;
    const std::string body = "[File]\nblack_ext = \"tmp\"\nfuture_key = 1\n";
    {
        ScopedFilter f;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(filter_read(f.get(), dir.write("m0", "[Version]\nmajor = 1\nminor = 0\n" + body)));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(f->file.black_ext.used, 0u);  // destroyed
        EXPECT_EQ(filter_test_path(f.get(), 0, "/a.tmp"), FILTER_OK);
    }
    {
        ScopedFilter f;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(filter_read(f.get(), dir.write("m1", "[Version]\nmajor = 1\nminor = 1\n" + body)));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(entries(f->file.black_ext), (V{"tmp"}));
    }
    {
        ScopedFilter f;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(filter_read(f.get(), dir.write("m2", "[Version]\nmajor = 2\nminor = 1\n" + body)));
        testing::internal::GetCapturedStdout();
    }
    {
        // Without unknown keys any version is accepted.
        ScopedFilter f;
        EXPECT_TRUE(filter_read(f.get(), dir.write("v7", "[Version]\nmajor = 7\nminor = 0\n")));
        EXPECT_EQ(f->version.major, 7);
    }
}

TEST(FilterRead, ErrorsDiscardEverythingRead) {
    TempDir dir;
    ScopedFilter f;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(filter_read(f.get(), dir.write("bad", "[File]\nblack_ext = \"tmp\"\nmax_size = 007\n")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "parser: VALUE_NUMERIC_ILLEGAL_SYNTAX at line 3\n");
    EXPECT_EQ(f->file.black_ext.used, 0u);
    EXPECT_EQ(f->file.black_ext.set, nullptr);

    ScopedFilter g;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(filter_read(g.get(), dir.file("missing")));
    EXPECT_FALSE(filter_read(g.get(), dir.path()));         // a directory
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no message for an unreadable file
}

TEST(FilterRead, WhiteListFile) {
    TempDir dir;
    ScopedWhiteList w;
    EXPECT_TRUE(white_list_read(w.get(), dir.write("w",
                                                   "[Version]\nmajor = 1\nminor = 0\n[File]\n"
                                                   "white_ext = \"pdf\", \"doc\"\n")));
    EXPECT_EQ(entries(w.get()->file.white_ext), (V{"pdf", "doc"}));

    ScopedWhiteList bad;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(white_list_read(bad.get(), dir.write("b", "[Common]\n")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "parser: SECTION_UNDEFINED_SECTION at line 1\n");
}

}  // namespace
