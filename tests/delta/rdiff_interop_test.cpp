// Interoperability with the rdiff program: our signatures are byte-identical to its
// signatures, and deltas made by either side patch correctly on the other.
#include <gtest/gtest.h>

#include "delta/delta_ops.h"
#include "delta/delta_test_util.h"

using namespace delta_test;

namespace {

struct Pair {
    std::string name;
    Bytes old_data;
    Bytes new_data;
};

std::vector<Pair> pairs() {
    const size_t B = 2048;
    Bytes r = random_bytes(6 * 1024 * 1024 + 777, 50);
    Bytes small = random_bytes(5000, 51);
    Bytes text;
    for (int i = 0; i < 20000; ++i) {
        std::string line = "line " + std::to_string(i % 300) + " of a repetitive text file\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    Bytes text2 = text;
    text2.insert(text2.begin() + 100000, {'n', 'e', 'w', '\n'});
    std::vector<Pair> out = {
        {"empty-empty", {}, {}},
        {"empty-old", {}, random_bytes(3000, 52)},
        {"empty-new", random_bytes(3000, 53), {}},
        {"one-byte", {0x42}, {0x42}},
        {"one-byte-changed", {0x42}, {0x43}},
        {"block-multiple", slice(r, 0, 4 * B), slice(r, 0, 4 * B)},
        {"block-multiple-shifted", slice(r, 0, 4 * B), slice(r, 1, 4 * B)},
        {"block-minus-one", slice(r, 0, B - 1), slice(r, 0, B - 1)},
        {"block-plus-one", slice(r, 0, B + 1), slice(r, 0, B + 1)},
        {"5000", small, small},
        {"5000-edited", small, concat({slice(small, 0, 2000), {1, 2, 3}, slice(small, 2000, 3000)})},
        {"insertions", slice(r, 0, 300000),
         concat({slice(r, 0, 1000), random_bytes(17, 54), slice(r, 1000, 150000), random_bytes(5000, 55),
                 slice(r, 151000, 149000)})},
        {"deletions", slice(r, 0, 300000),
         concat({slice(r, 0, 50000), slice(r, 50100, 100000), slice(r, 200000, 100000)})},
        {"moved-blocks", slice(r, 0, 100 * B),
         concat({slice(r, 50 * B, 50 * B), slice(r, 0, 50 * B), slice(r, 10 * B, 3 * B)})},
        {"repeated-text", text, text2},
        {"several-mib", r,
         concat({slice(r, 0, 2 * 1024 * 1024), random_bytes(100000, 56),
                 slice(r, 2 * 1024 * 1024 + 4096, r.size() - 2 * 1024 * 1024 - 4096)})},
        {"unrelated", random_bytes(100000, 57), random_bytes(120000, 58)},
    };
    return out;
}

class RdiffInterop : public ::testing::Test {
protected:
    void SetUp() override {
        rdiff = find_program("rdiff");
        if (rdiff.empty()) GTEST_SKIP() << "rdiff is not installed (Debian package rdiff); interoperability not tested";
    }
    std::string rdiff;
};

}  // namespace

TEST_F(RdiffInterop, SignaturesAreByteIdentical) {
    for (const Pair& p : pairs()) {
        for (const Bytes* data : {&p.old_data, &p.new_data}) {
            std::string tag = "ri-sig-" + p.name;
            write_file(path(tag), *data);
            ASSERT_EQ(make_signature(path(tag), path(tag + ".ours")), DeltaResult::kDone) << p.name;
            ASSERT_EQ(run({rdiff, "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", path(tag),
                           path(tag + ".theirs")}),
                      0)
                << p.name;
            ASSERT_EQ(read_file(path(tag + ".ours")), read_file(path(tag + ".theirs"))) << p.name;
        }
    }
}

TEST_F(RdiffInterop, RdiffPatchesOurDeltas) {
    for (const Pair& p : pairs()) {
        std::string tag = "ri-od-" + p.name;
        write_file(path(tag + ".old"), p.old_data);
        write_file(path(tag + ".new"), p.new_data);
        ASSERT_EQ(make_signature(path(tag + ".old"), path(tag + ".sig")), DeltaResult::kDone);
        ASSERT_EQ(make_delta(path(tag + ".sig"), path(tag + ".new"), path(tag + ".delta")), DeltaResult::kDone);
        ASSERT_EQ(run({rdiff, "-f", "patch", path(tag + ".old"), path(tag + ".delta"), path(tag + ".out")}), 0)
            << p.name;
        ASSERT_EQ(read_file(path(tag + ".out")), p.new_data) << p.name;
    }
}

TEST_F(RdiffInterop, WePatchRdiffDeltas) {
    for (const Pair& p : pairs()) {
        std::string tag = "ri-td-" + p.name;
        write_file(path(tag + ".old"), p.old_data);
        write_file(path(tag + ".new"), p.new_data);
        ASSERT_EQ(run({rdiff, "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature",
                       path(tag + ".old"), path(tag + ".sig")}),
                  0);
        ASSERT_EQ(run({rdiff, "-f", "delta", path(tag + ".sig"), path(tag + ".new"), path(tag + ".delta")}), 0)
            << p.name;
        ASSERT_EQ(apply_patch(path(tag + ".old"), path(tag + ".delta"), path(tag + ".out")), DeltaResult::kDone)
            << p.name;
        ASSERT_EQ(read_file(path(tag + ".out")), p.new_data) << p.name;
        // rdiff's delta from our signature works the same.
        ASSERT_EQ(make_signature(path(tag + ".old"), path(tag + ".oursig")), DeltaResult::kDone);
        ASSERT_EQ(run({rdiff, "-f", "delta", path(tag + ".oursig"), path(tag + ".new"), path(tag + ".delta2")}), 0);
        ASSERT_EQ(apply_patch(path(tag + ".old"), path(tag + ".delta2"), path(tag + ".out2")), DeltaResult::kDone)
            << p.name;
        ASSERT_EQ(read_file(path(tag + ".out2")), p.new_data) << p.name;
    }
}

TEST_F(RdiffInterop, RdiffReadsOurSignaturesWithOtherSizes) {
    Bytes old_data = random_bytes(200000, 59);
    Bytes new_data = concat({slice(old_data, 777, 100000), random_bytes(99, 60), slice(old_data, 120000, 80000)});
    write_file(path("ri-os.old"), old_data);
    write_file(path("ri-os.new"), new_data);
    for (auto [block, hash] : std::vector<std::pair<uint32_t, uint32_t>>{{512, 4}, {4096, 16}, {1000, 1}}) {
        ASSERT_EQ(make_signature(path("ri-os.old"), path("ri-os.sig"), block, hash), DeltaResult::kDone);
        ASSERT_EQ(run({rdiff, "-f", "-H", "md4", "-R", "rollsum", "-b", std::to_string(block), "-S",
                       std::to_string(hash), "signature", path("ri-os.old"), path("ri-os.theirs")}),
                  0);
        EXPECT_EQ(read_file(path("ri-os.sig")), read_file(path("ri-os.theirs"))) << block << "/" << hash;
        ASSERT_EQ(make_delta(path("ri-os.sig"), path("ri-os.new"), path("ri-os.delta")), DeltaResult::kDone);
        ASSERT_EQ(run({rdiff, "-f", "patch", path("ri-os.old"), path("ri-os.delta"), path("ri-os.out")}), 0);
        EXPECT_EQ(read_file(path("ri-os.out")), new_data) << block << "/" << hash;
    }
}
