#include "foundation/ustring.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <stdexcept>

namespace {

const uint32_t npos = ustring::npos;

TEST(UstringSearch, RulesThatDifferFromTheStandardLibrary) {
    EXPECT_EQ(ustring("").find(""), npos);
    EXPECT_EQ(ustring("ab").find(""), 0u);
    EXPECT_EQ(ustring("ab").find("", 2), npos);
    EXPECT_EQ(ustring("ab").find_first_of(""), npos);
    EXPECT_EQ(ustring("ab").find_first_not_of("", 1), 1u);
    EXPECT_EQ(ustring("ab").find_last_of(""), npos);
    EXPECT_EQ(ustring("ab").find_last_not_of(""), 1u);
    EXPECT_EQ(ustring("ab").rfind(""), 1u);
    EXPECT_EQ(ustring("abab").rfind("b"), 3u);
    EXPECT_EQ(ustring("abab").rfind("b", 2), 1u);
    EXPECT_EQ(ustring("abab").rfind("ab", 3), 2u);
    EXPECT_EQ(ustring("abab").find_last_not_of("b"), 2u);
    EXPECT_EQ(ustring("abab").find_last_of("a", 1), 0u);
}

TEST(UstringSearch, AllArgumentFormsAgree) {
    ustring t("a/b/c");
    EXPECT_EQ(t.find("/"), 1u);
    EXPECT_EQ(t.find(ustring("/")), 1u);
    EXPECT_EQ(t.find(std::string("/")), 1u);
    EXPECT_EQ(t.find('/'), 1u);
    EXPECT_EQ(t.find('/', 2), 3u);
    EXPECT_EQ(t.rfind('/'), 3u);
    EXPECT_EQ(t.find_first_of("/c", 4), 4u);
    EXPECT_EQ(t.find_first_not_of('a'), 1u);
    EXPECT_EQ(t.find("zz"), npos);
    EXPECT_EQ(t.find("a/b/c/d"), npos);
}

TEST(UstringEdit, TrimSubstrReplace) {
    ustring t("  a b  ");
    t.trim(" ");
    EXPECT_EQ(t, ustring("a b"));
    ustring u("  x ");
    u.trim("");
    EXPECT_EQ(u, ustring("  x "));
    EXPECT_EQ(ustring("xxabx").ltrim("x"), ustring("abx"));
    EXPECT_EQ(ustring("xxabx").rtrim("x"), ustring("xxab"));
    EXPECT_EQ(ustring("xxx").trim("x"), ustring(""));

    ustring s("abcd");
    EXPECT_EQ(s.substr(1, 2), ustring("bc"));
    EXPECT_EQ(s.substr(4), ustring(""));
    EXPECT_THROW(s.substr(5), std::out_of_range);

    ustring p("a/b/c");
    EXPECT_EQ(std::u16string(p.c_str()), u"a/b/c");
    p.replace('/', '\\');
    EXPECT_EQ(std::u16string(p.c_str()), u"a\\b\\c");
    EXPECT_STREQ(p.c_str_utf8(), "a\\b\\c");
}

TEST(UstringEdit, AppendAndAssignToSelf) {
    ustring s("ab");
    s += s;
    EXPECT_EQ(s, ustring("abab"));
    s.assign(s, 1, 2);
    EXPECT_EQ(s, ustring("ba"));
    s.append("xyz\0more", 8);
    EXPECT_EQ(s, ustring("baxyz"));
    s.append("qrs", 2);
    EXPECT_EQ(s, ustring("baxyzqr"));
    ustring w(u"h\u00e9");
    w += u'!';
    EXPECT_STREQ(w.c_str_utf8(), "h\xc3\xa9!");
    w.append(w.c_str(), 1);
    EXPECT_STREQ(w.c_str_utf8(), "h\xc3\xa9!h");
    EXPECT_EQ(ustring('x', 3), ustring("xxx"));
    EXPECT_EQ(ustring("a") + "b" + 'c' + ustring("d") + u"\u00e9", ustring("abcd\xc3\xa9"));
}

TEST(UstringEdit, CapacityGrowsAndShrinksWithoutLosingText) {
    ustring s;
    for (int i = 0; i < 1000; ++i) s += 'x';
    EXPECT_EQ(s.length(), 1000u);
    s = "short";
    EXPECT_EQ(s, ustring("short"));
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.c_str()[0], 0);
}

TEST(UstringCompare, ByteOrderAndCaselessAscii) {
    EXPECT_EQ(ustring::compare("ABC", "abc", true), 0);
    EXPECT_NE(ustring::compare("\xc3\x89", "\xc3\xa9", true), 0);
    EXPECT_LT(ustring("_b"), ustring("a"));
    EXPECT_LT(ustring("B"), ustring("a"));
    EXPECT_LT(ustring("a"), ustring("\xc3\xa9"));  // unsigned bytes
    EXPECT_LT(ustring("ab"), ustring("abc"));
    EXPECT_EQ(ustring("abcX").compare(ustring("abcY"), 3), 0);
    EXPECT_LT(ustring("abcX").compare(ustring("abcY"), 4), 0);
    EXPECT_EQ(str_case_cmp("Hello", "hELLO"), 0);
    EXPECT_LT(str_case_cmp("a", "B"), 0);
    std::map<ustring, int> m{{"a", 1}, {"B", 2}, {"_x", 3}};
    EXPECT_EQ(m.begin()->first, ustring("B"));
}

TEST(UstringUnicode, NormalizeValidityAndUtf16Cache) {
    ustring decomposed("e\xcc\x81");
    EXPECT_STREQ(decomposed.normalize(ustring::NFC).c_str_utf8(), "\xc3\xa9");
    EXPECT_STREQ(ustring::normalize(ustring("\xc3\xa9"), ustring::NFD).c_str_utf8(), "e\xcc\x81");
    EXPECT_TRUE(ustring("").normalize(ustring::NFC).empty());

    ustring bad("a\xff");
    EXPECT_FALSE(ustring::is_valid(bad));
    EXPECT_TRUE(ustring::is_valid(ustring("")));
    EXPECT_TRUE(ustring::is_valid(ustring("\xe6\x97\xa5")));
    EXPECT_EQ(bad.c_str()[0], 0);

    ustring copy;
    {
        ustring orig("\xe6\x97\xa5x");
        EXPECT_EQ(std::u16string(orig.c_str()), u"\u65e5x");
        copy = orig;
    }
    EXPECT_EQ(std::u16string(copy.c_str()), u"\u65e5x");
    copy += "y";
    EXPECT_EQ(std::u16string(copy.c_str()), u"\u65e5xy");
}

TEST(UstringStream, ReadsWordsWritesBytes) {
    std::istringstream in("  one two");
    ustring a, b;
    in >> a >> b;
    EXPECT_EQ(a, ustring("one"));
    EXPECT_EQ(b, ustring("two"));
    std::ostringstream out;
    out << ustring("x\xc3\xa9");
    EXPECT_EQ(out.str(), "x\xc3\xa9");
    ustring s1("a"), s2("b");
    swap(s1, s2);
    EXPECT_EQ(s1, ustring("b"));
}

}  // namespace
