// The opcode table, the integer encodings and the weak checksum.
#include "delta/rs_constant.h"

#include <gtest/gtest.h>

#include "delta/delta_test_util.h"
#include "delta/rolling_checksum.h"

using namespace delta_test;

TEST(RSConstantTable, FollowsTheOpcodeRule) {
    EXPECT_EQ(RSConstant::getInfo(0x00).type, RSConstant::TYPE_END);
    for (int op = 0x01; op <= 0x40; ++op) {
        const CmdInfo& i = RSConstant::getInfo(static_cast<uint8_t>(op));
        EXPECT_EQ(i.type, RSConstant::TYPE_LITERAL);
        EXPECT_EQ(i.immediate, op);
        EXPECT_EQ(i.len_1, 0);
        EXPECT_EQ(i.len_2, 0);
    }
    const uint8_t widths[4] = {1, 2, 4, 8};
    for (int k = 0; k < 4; ++k) {
        const CmdInfo& i = RSConstant::getInfo(static_cast<uint8_t>(0x41 + k));
        EXPECT_EQ(i.type, RSConstant::TYPE_LITERAL);
        EXPECT_EQ(i.immediate, 0);
        EXPECT_EQ(i.len_1, widths[k]);
        EXPECT_EQ(i.len_2, 0);
    }
    for (int k = 0; k < 16; ++k) {
        const CmdInfo& i = RSConstant::getInfo(static_cast<uint8_t>(0x45 + k));
        EXPECT_EQ(i.type, RSConstant::TYPE_COPY);
        EXPECT_EQ(i.len_1, widths[k / 4]) << k;
        EXPECT_EQ(i.len_2, widths[k % 4]) << k;
    }
    EXPECT_EQ(RSConstant::getInfo(RSConstant::OP_COPY_N2_N1).len_1, 2);
    EXPECT_EQ(RSConstant::getInfo(RSConstant::OP_COPY_N8_N1).len_1, 8);
    for (int op = 0x55; op <= 0xFF; ++op)
        EXPECT_EQ(RSConstant::getInfo(static_cast<uint8_t>(op)).type, RSConstant::TYPE_INVALID) << op;
}

TEST(RSConstantEncoding, NarrowestWidthsAndBigEndian) {
    EXPECT_EQ(RSConstant::widthOf(0), 1);
    EXPECT_EQ(RSConstant::widthOf(255), 1);
    EXPECT_EQ(RSConstant::widthOf(256), 2);
    EXPECT_EQ(RSConstant::widthOf(65535), 2);
    EXPECT_EQ(RSConstant::widthOf(65536), 4);
    EXPECT_EQ(RSConstant::widthOf(0xFFFFFFFFull), 4);
    EXPECT_EQ(RSConstant::widthOf(0x100000000ull), 8);

    uint8_t out[17];
    ASSERT_EQ(RSConstant::putLiteralHeader(out, 64), 1u);
    EXPECT_EQ(out[0], 0x40);
    ASSERT_EQ(RSConstant::putLiteralHeader(out, 65), 2u);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 65);
    ASSERT_EQ(RSConstant::putLiteralHeader(out, 70000), 5u);
    EXPECT_EQ(out[0], 0x43);
    EXPECT_EQ(RSConstant::getBigEndian(out + 1, 4), 70000u);

    ASSERT_EQ(RSConstant::putCopy(out, 0, 4096), 4u);  // 1-byte offset, 2-byte length
    EXPECT_EQ(out[0], 0x46);
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(out[2], 0x10);
    EXPECT_EQ(out[3], 0x00);
    ASSERT_EQ(RSConstant::putCopy(out, 0x123456789ull, 1), 10u);
    EXPECT_EQ(out[0], 0x51);
    EXPECT_EQ(RSConstant::getBigEndian(out + 1, 8), 0x123456789ull);
    EXPECT_EQ(out[9], 1);
}

namespace {

// The defining formula, byte by byte.
uint32_t weak_reference(const uint8_t* p, size_t n) {
    uint32_t a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a += p[i] + 31u;
        b += a;
    }
    return (b << 16) | (a & 0xFFFF);
}

}  // namespace

TEST(RollingChecksum, MatchesTheFormulaForAnyLength) {
    Bytes data = random_bytes(70000, 3);
    Bytes ones(40000, 0xFF);  // large sums that wrap 32 bits
    for (size_t n : {0u, 1u, 2u, 15u, 16u, 17u, 2048u, 5000u, 16384u, 16385u, 40000u}) {
        EXPECT_EQ(RSRollingChecksum::of(data.data(), n), weak_reference(data.data(), n)) << n;
        EXPECT_EQ(RSRollingChecksum::of(ones.data(), n), weak_reference(ones.data(), n)) << n;
    }
    // Updating in pieces equals one update.
    RSRollingChecksum sum;
    sum.update(data.data(), 100);
    sum.update(data.data() + 100, 20000);
    sum.update(data.data() + 20100, 7);
    EXPECT_EQ(sum.count, 20107u);
    EXPECT_EQ(sum.digest(), weak_reference(data.data(), 20107));
}

TEST(RollingChecksum, RollingEqualsRecomputing) {
    Bytes data = random_bytes(9000, 4);
    const size_t w = 2048;
    RSRollingChecksum sum;
    sum.update(data.data(), w);
    for (size_t pos = 0; pos + w < data.size(); ++pos) {
        sum.rotate(data[pos], data[pos + w]);
        ASSERT_EQ(sum.digest(), weak_reference(data.data() + pos + 1, w)) << pos;
    }
    // Shrinking at the end: roll out without rolling in.
    RSRollingChecksum tail;
    tail.update(data.data() + 8000, 1000);
    tail.rollout(data[8000]);
    EXPECT_EQ(tail.count, 999u);
    EXPECT_EQ(tail.digest(), weak_reference(data.data() + 8001, 999));
    tail.rollin(data[0]);
    EXPECT_EQ(tail.count, 1000u);
}
