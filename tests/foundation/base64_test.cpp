#include "foundation/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string enc(const std::string& s, bool one_line = false) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    char* out = one_line ? SzBase64EncOneLine(p, s.size()) : SzBase64EncBuffer(p, s.size());
    if (!out) return "<null>";
    std::string r(out);
    free(out);
    return r;
}

bool dec(const std::string& in, std::string& out, size_t cap = 64) {
    std::vector<unsigned char> buf(cap + 1);
    size_t n = cap;
    bool ok = EncBase64Dec(in.data(), in.size(), buf.data(), &n);
    out.assign(reinterpret_cast<char*>(buf.data()), n);
    return ok;
}

TEST(Base64, Rfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},
                                {"f", "Zg=="},
                                {"fo", "Zm8="},
                                {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"},
                                {"abc", "YWJj"},
                                {"ab", "YWI="}};
    for (auto& v : vectors) {
        EXPECT_EQ(enc(v[0]), v[1]);
        std::string back;
        EXPECT_TRUE(dec(v[1], back)) << v[1];
        EXPECT_EQ(back, v[0]);
    }
}

TEST(Base64, BinaryRoundTripAndOneLineStopsAtZero) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(255 - i);
    std::string text = enc(bytes);
    EXPECT_EQ(text.size(), 344u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    std::string back;
    ASSERT_TRUE(dec(text, back, 512));
    EXPECT_EQ(back, bytes);

    std::string with_zero("ab\0cd", 5);
    EXPECT_EQ(enc(with_zero, true), "YWI=");
    EXPECT_EQ(enc(with_zero, false), "YWIAY2Q=");
}

TEST(Base64, RefusesNullAndOversizedInput) {
    EXPECT_EQ(SzBase64EncBuffer(nullptr, 3), nullptr);
    EXPECT_EQ(SzBase64EncOneLine(nullptr, 3), nullptr);
    std::string at_limit(kBase64MaxInput, 'x');
    EXPECT_EQ(enc(at_limit).size(), 3068u);  // fits the 3072-byte buffer with its zero
    EXPECT_EQ(enc(std::string(kBase64MaxInput + 1, 'x')), "<null>");
    // The one-line form measures only up to the first zero byte.
    std::string long_with_zero(kBase64MaxInput + 10, 'x');
    long_with_zero[3] = 0;
    EXPECT_EQ(enc(long_with_zero, true), "eHh4");
}

TEST(Base64, DecoderRejectsBadText) {
    std::string out;
    EXPECT_FALSE(dec("YW*j", out));      // outside the alphabet
    EXPECT_FALSE(dec("YW Jj", out));     // blanks are not skipped
    EXPECT_FALSE(dec("Y=Jj", out));      // padding inside
    EXPECT_FALSE(dec("YWI=YWI=", out));  // padding before the end
    EXPECT_FALSE(dec("YW===", out));     // three pads
    EXPECT_FALSE(dec("YWJjY", out));     // a single dangling character
    EXPECT_FALSE(dec("YWJ==", out));     // padding not closing a group of four
    EXPECT_FALSE(dec("Y", out));         // shorter than two characters
    EXPECT_TRUE(dec("", out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(dec("YWI", out));  // unpadded final group
    EXPECT_EQ(out, "ab");
}

TEST(Base64, DecoderStopsAtAFullOutput) {
    std::string out;
    EXPECT_FALSE(dec("Zm9vYmFy", out, 5));
    EXPECT_EQ(out, "fooba");
    EXPECT_TRUE(dec("Zm9vYmFy", out, 6));
    EXPECT_EQ(out, "foobar");
    size_t n = 4;
    unsigned char buf[4];
    EXPECT_FALSE(EncBase64Dec("YWJj", 4, buf, nullptr));
    EXPECT_TRUE(EncBase64Dec("YWJj", 4, buf, &n));
    EXPECT_EQ(n, 3u);
}

TEST(Base64, RandomRoundTripsAndRandomTextNeverOverrun) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(rng() % 64, 0);
        for (char& c : bytes) c = static_cast<char>(rng());
        std::string text = enc(bytes);
        ASSERT_EQ(text.size(), 4 * ((bytes.size() + 2) / 3));
        std::string back;
        ASSERT_TRUE(dec(text, back, bytes.size()));  // an exact-size buffer is enough
        ASSERT_EQ(back, bytes);

        // Arbitrary text decodes or is refused, never writing past the buffer.
        static const char pool[] = "ABCxyz019+/=*- \n";
        std::string junk(rng() % 24, 'A');
        for (char& c : junk) c = pool[rng() % (sizeof(pool) - 1)];
        size_t cap = rng() % 20;
        std::vector<unsigned char> exact(cap);  // ASan catches any write past it
        size_t n = cap;
        EncBase64Dec(junk.data(), junk.size(), exact.data(), &n);
        ASSERT_LE(n, cap);
    }
}

}  // namespace
