// The nimbrel-delta program: commands, exit codes and its refusals.
#include <gtest/gtest.h>

#include "delta/delta_test_util.h"

using namespace delta_test;

namespace {

std::string tool() {
    const char* dir = std::getenv("NIMBREL_BIN_DIR");
    return std::string(dir != nullptr ? dir : NIMBREL_BIN_DIR) + "/nimbrel-delta";
}

std::string output_of(const std::string& file) {
    Bytes b = read_file(file);
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(NimbrelDeltaTool, SignatureDeltaPatchAndMd4) {
    Bytes old_data = random_bytes(50000, 70);
    Bytes new_data = concat({slice(old_data, 0, 20000), random_bytes(300, 71), slice(old_data, 20000, 30000)});
    write_file(path("t.old"), old_data);
    write_file(path("t.new"), new_data);
    EXPECT_EQ(run({tool(), "signature", path("t.old"), path("t.sig")}, path("t.log")), 0) << output_of(path("t.log"));
    EXPECT_EQ(run({tool(), "delta", path("t.sig"), path("t.new"), path("t.delta")}, path("t.log")), 0);
    EXPECT_EQ(run({tool(), "patch", path("t.old"), path("t.delta"), path("t.out")}, path("t.log")), 0);
    EXPECT_EQ(read_file(path("t.out")), new_data);

    write_file(path("t.abc"), Bytes{'a', 'b', 'c'});
    EXPECT_EQ(run({tool(), "md4", path("t.abc")}, path("t.md4")), 0);
    EXPECT_EQ(output_of(path("t.md4")), "a448017aaf21d8525fc10ae87aa6729d  " + path("t.abc") + "\n");

    EXPECT_EQ(run({tool(), "-b", "1024", "-S", "16", "signature", path("t.old"), path("t.sig2")}, path("t.log")), 0);
    EXPECT_EQ(read_file(path("t.sig2")).size(), 12u + 49 * 20);
    EXPECT_EQ(run({tool(), "--help"}, path("t.log")), 0);
    EXPECT_NE(output_of(path("t.log")).find("Usage: nimbrel-delta"), std::string::npos);
}

TEST(NimbrelDeltaTool, FailsClearlyAndLeavesNoPartialOutput) {
    write_file(path("tf.old"), random_bytes(5000, 72));
    write_file(path("tf.bad"), Bytes{0x72, 0x73, 0x02, 0x36, 0x49, 0x13, 0x88, 0x01, 0x00});  // copy past the end
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "missing command"},
        {{"frobnicate"}, "unknown command"},
        {{"signature", path("tf.old")}, "signature needs BASIS and SIG"},
        {{"-b", "0", "signature", path("tf.old"), path("tf.sig")}, "invalid block size"},
        {{"-S", "17", "signature", path("tf.old"), path("tf.sig")}, "invalid sum size"},
        {{"-x"}, "unknown option"},
        {{"md4", path("tf.none")}, "cannot read"},
        {{"signature", path("tf.old"), path("tf.old")}, "is the same file as input"},
        {{"signature", path("tf.old"), scratch_dir()}, "cannot write"},
        {{"patch", path("tf.old"), path("tf.bad"), path("tf.out")}, "the delta is malformed"},
        {{"delta", path("tf.old"), path("tf.old"), path("tf.delta")}, "delta failed"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {tool()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(run(argv, path("tf.log")), 1) << c.message;
        EXPECT_NE(output_of(path("tf.log")).find(c.message), std::string::npos) << output_of(path("tf.log"));
    }
    EXPECT_FALSE(exists(path("tf.out")));
    EXPECT_FALSE(exists(path("tf.delta")));
    EXPECT_EQ(read_file(path("tf.old")).size(), 5000u);

    // Existing outputs are kept unless forced.
    write_file(path("tf.sig"), Bytes{1});
    EXPECT_EQ(run({tool(), "signature", path("tf.old"), path("tf.sig")}, path("tf.log")), 1);
    EXPECT_NE(output_of(path("tf.log")).find("--force"), std::string::npos);
    EXPECT_EQ(read_file(path("tf.sig")).size(), 1u);
    EXPECT_EQ(run({tool(), "-f", "signature", path("tf.old"), path("tf.sig")}, path("tf.log")), 0);
    EXPECT_EQ(read_file(path("tf.sig")).size(), 12u + 3 * 12);

    // A forced run that fails keeps the old output, and no scratch file stays behind.
    write_file(path("tf.keep"), Bytes{7, 7, 7});
    EXPECT_EQ(run({tool(), "-f", "patch", path("tf.old"), path("tf.bad"), path("tf.keep")}, path("tf.log")), 1);
    EXPECT_EQ(read_file(path("tf.keep")), (Bytes{7, 7, 7}));
    EXPECT_EQ(run({tool(), "-f", "delta", path("tf.old"), path("tf.old"), path("tf.keep")}, path("tf.log")), 1);
    EXPECT_EQ(read_file(path("tf.keep")), (Bytes{7, 7, 7}));
    EXPECT_EQ(run({"sh", "-c", "ls -a '" + scratch_dir() + "' | grep -c nimbrel-delta"}, path("tf.count")), 1);
    EXPECT_EQ(output_of(path("tf.count")), "0\n");
}
