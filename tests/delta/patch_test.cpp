// Applying deltas: round trips, malformed deltas, aborts and the reverse delta.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "delta/delta_ops.h"
#include "delta/delta_test_util.h"
#include "delta/rs_constant.h"

using namespace delta_test;

namespace {

const Bytes kMagic = {0x72, 0x73, 0x02, 0x36};

Bytes copy_cmd(uint64_t offset, uint64_t length) {
    uint8_t c[17];
    return Bytes(c, c + RSConstant::putCopy(c, offset, length));
}

Bytes literal_cmd(const Bytes& data) {
    uint8_t h[9];
    return concat({Bytes(h, h + RSConstant::putLiteralHeader(h, data.size())), data});
}

struct PatchResult {
    DeltaResult rc;
    std::string errors;
};

PatchResult patch_bytes(const Bytes& basis, const Bytes& delta, const std::string& tag) {
    write_file(path(tag + ".basis"), basis);
    write_file(path(tag + ".delta"), delta);
    ErrorCapture errors;
    DeltaResult rc = apply_patch(path(tag + ".basis"), path(tag + ".delta"), path(tag + ".out"));
    return {rc, errors.text()};
}

}  // namespace

TEST(Patch, AppliesEveryCommandForm) {
    Bytes basis = random_bytes(300000, 30);
    Bytes lit1 = random_bytes(1, 31), lit64 = random_bytes(64, 32), lit_big = random_bytes(70000, 33);
    Bytes delta = concat({kMagic,
                          literal_cmd(lit1),
                          copy_cmd(0, 10),
                          literal_cmd(lit64),
                          copy_cmd(200, 70000),
                          literal_cmd(lit_big),
                          copy_cmd(299990, 10),
                          copy_cmd(5, 0),
                          {0x00}});
    // An explicit 8-byte literal length and an 8-byte copy offset/length.
    delta.pop_back();
    Bytes n8 = {0x44, 0, 0, 0, 0, 0, 0, 0, 3, 'x', 'y', 'z'};
    Bytes c88 = {0x54, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 2};
    delta = concat({delta, n8, c88, {0x00}});
    PatchResult r = patch_bytes(basis, delta, "forms");
    ASSERT_EQ(r.rc, DeltaResult::kDone) << r.errors;
    Bytes expect = concat({lit1,
                           slice(basis, 0, 10),
                           lit64,
                           slice(basis, 200, 70000),
                           lit_big,
                           slice(basis, 299990, 10),
                           {'x', 'y', 'z'},
                           slice(basis, 7, 2)});
    EXPECT_EQ(read_file(path("forms.out")), expect);
}

TEST(Patch, RoundTripsOverEditedFiles) {
    // Insertions, deletions, moved and repeated blocks, at chunk boundaries too.
    Bytes old_data = random_bytes(2 * 1024 * 1024 + 5000, 34);
    const size_t MiB = 1024 * 1024;
    Bytes new_data = concat({slice(old_data, 0, MiB - 100), random_bytes(3333, 35), slice(old_data, MiB + 4096, 300000),
                             slice(old_data, 2048, 2048), slice(old_data, 2048, 2048), slice(old_data, 1500000, 600000),
                             random_bytes(1, 36)});
    write_file(path("rt.old"), old_data);
    write_file(path("rt.new"), new_data);
    ASSERT_EQ(make_signature(path("rt.old"), path("rt.sig")), DeltaResult::kDone);
    ASSERT_EQ(make_delta(path("rt.sig"), path("rt.new"), path("rt.delta")), DeltaResult::kDone);
    EXPECT_LT(read_file(path("rt.delta")).size(), 20000u);

    DeltaFileReader r;
    ustring hex, copy_hex;
    r.setFile(path("rt.delta"), path("rt.old"));
    r.setNewFile(path("rt.out"));
    r.setHashString(hex);
    r.setSignature(path("rt.outsig"));
    ASSERT_EQ(r.readFile(), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("rt.out")), new_data);

    SimpleFileReader check;
    check.setFile(path("rt.new"));
    check.setHashString(copy_hex);
    check.setSignature(path("rt.newsig"));
    ASSERT_EQ(check.readFile(), DeltaResult::kDone);
    EXPECT_EQ(hex, copy_hex);
    EXPECT_EQ(read_file(path("rt.outsig")), read_file(path("rt.newsig")));
}

TEST(Patch, MalformedDeltasFailWithFileFormat) {
    Bytes basis = random_bytes(5000, 37);
    struct Case {
        const char* name;
        Bytes delta;
        const char* line;
    } cases[] = {
        {"bad-magic", Bytes{0x72, 0x73, 0x01, 0x36, 0x00}, "invalid patch file (72730136)"},
        {"short-magic", Bytes{0x72, 0x73}, "invalid patch file"},
        {"empty", Bytes{}, "invalid patch file"},
        {"unknown-op", concat({kMagic, {0x55}}), "unexpected kind: 85"},
        {"op-ff", concat({kMagic, {0x01, 'a', 0xFF}}), "unexpected kind: 255"},
        {"no-end", concat({kMagic, {0x01, 'a'}}), "expect command byte"},
        {"copy-past-end", concat({kMagic, copy_cmd(4000, 1001), {0x00}}), "copy beyond the end of the basis"},
        {"copy-offset-past-end", concat({kMagic, copy_cmd(5001, 0), {0x00}}), "copy beyond the end of the basis"},
        {"copy-overflow",
         concat({kMagic, {0x54, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0x20}, {0x00}}),
         "copy beyond the end of the basis"},
        {"literal-too-long", concat({kMagic, {0x41, 0x10, 'a', 'b'}}), "literal longer than the rest of the patch"},
        {"literal-huge", concat({kMagic, {0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
         "literal longer than the rest of the patch"},
        {"immediate-too-long", concat({kMagic, {0x40, 'a'}}), "literal longer than the rest of the patch"},
        {"cut-param-1", concat({kMagic, {0x4D, 0x00, 0x01}}), "expect parameter 1 with 4 bytes"},
        {"cut-param-2", concat({kMagic, {0x46, 0x00, 0x01}}), "expect parameter 2 with 2 bytes"},
    };
    for (const Case& c : cases) {
        PatchResult r = patch_bytes(basis, c.delta, c.name);
        EXPECT_EQ(r.rc, DeltaResult::kFileFormat) << c.name;
        EXPECT_NE(r.errors.find(c.line), std::string::npos) << c.name << ": " << r.errors;
        EXPECT_NE(r.errors.find("api.cpp ("), std::string::npos) << c.name;
    }
}

TEST(Patch, ArgumentAndSystemErrors) {
    ErrorCapture errors;
    DeltaFileReader none;
    EXPECT_EQ(none.readFile(), DeltaResult::kArgument);
    EXPECT_NE(errors.text().find("invalid arguments (basis_file = '', patch_file = ''"), std::string::npos);

    write_file(path("ae.basis"), random_bytes(100, 38));
    write_file(path("ae.delta"), concat({kMagic, copy_cmd(0, 100), {0x00}}));
    EXPECT_EQ(apply_patch(path("ae.missing"), path("ae.delta"), path("ae.out")), DeltaResult::kSystemCall);
    EXPECT_NE(errors.text().find("fd_open_read: Error Code 2"), std::string::npos);
    EXPECT_EQ(apply_patch(path("ae.basis"), path("ae.delta"), path("no-dir/out")), DeltaResult::kHandlerCall);

    // Writing the result over the basis or the delta is refused before anything is touched.
    EXPECT_EQ(apply_patch(path("ae.basis"), path("ae.delta"), path("ae.basis")), DeltaResult::kArgument);
    EXPECT_EQ(apply_patch(path("ae.basis"), path("ae.delta"), path("ae.delta")), DeltaResult::kArgument);
    EXPECT_EQ(read_file(path("ae.basis")).size(), 100u);
    ASSERT_EQ(apply_patch(path("ae.basis"), path("ae.delta"), path("ae.out")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("ae.out")), read_file(path("ae.basis")));
}

TEST(Patch, AbortFlagStopsBetweenPieces) {
    Bytes basis = random_bytes(3 * 1024 * 1024, 39);
    write_file(path("pa.basis"), basis);
    write_file(path("pa.delta"), concat({kMagic, copy_cmd(0, basis.size()), {0x00}}));
    std::string fifo = path("pa.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<int> abort_flag{0};
    std::atomic<size_t> drained{0};
    // Reads the fifo to its end, raising the abort flag as soon as output arrives.
    auto drain_fifo = [&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            abort_flag = 1;
            drained += static_cast<size_t>(n);
        }
        ::close(fd);
    };
    std::thread drain(drain_fifo);
    EXPECT_EQ(apply_patch(path("pa.basis"), path("pa.delta"), fifo), DeltaResult::kDone) << "flag not yet given";
    drain.join();
    EXPECT_EQ(drained.load(), basis.size());

    ASSERT_EQ(::unlink(fifo.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    drained = 0;
    abort_flag = 0;
    std::thread drain2(drain_fifo);
    DeltaFileReader r;
    r.setFile(path("pa.delta"), path("pa.basis"));
    r.setNewFile(fifo);
    r.setAbortFlag(&abort_flag);
    EXPECT_EQ(r.readFile(), DeltaResult::kAbort);
    drain2.join();
    EXPECT_EQ(drained.load(), FileReader::CHUNK_SIZE);
}

TEST(ReverseDelta, TurnsTheNewFileBackIntoTheBasis) {
    Bytes basis = random_bytes(200000, 40);
    // Overlapping and repeated copies, literals, and basis bytes the new file lacks.
    Bytes delta = concat({kMagic,
                          literal_cmd(random_bytes(500, 41)),
                          copy_cmd(10000, 30000),
                          copy_cmd(20000, 30000),
                          copy_cmd(20000, 5000),
                          literal_cmd(random_bytes(70, 42)),
                          copy_cmd(150000, 40000),
                          copy_cmd(0, 100),
                          {0x00}});
    write_file(path("rev.basis"), basis);
    write_file(path("rev.delta"), delta);
    DeltaFileReader r;
    r.setFile(path("rev.delta"), path("rev.basis"));
    r.setNewFile(path("rev.new"));
    r.setReverseDeltaFile(path("rev.rdelta"));
    ASSERT_EQ(r.readFile(), DeltaResult::kDone);
    ASSERT_EQ(apply_patch(path("rev.new"), path("rev.rdelta"), path("rev.back")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("rev.back")), basis);

    // A delta with no copies reverses into one literal of the whole basis.
    write_file(path("rev2.delta"), concat({kMagic, literal_cmd(Bytes{1, 2, 3}), {0x00}}));
    DeltaFileReader r2;
    r2.setFile(path("rev2.delta"), path("rev.basis"));
    r2.setNewFile(path("rev2.new"));
    r2.setReverseDeltaFile(path("rev2.rdelta"));
    ASSERT_EQ(r2.readFile(), DeltaResult::kDone);
    Bytes lit_header = {0x43, 0x00, 0x03, 0x0D, 0x40};
    EXPECT_EQ(read_file(path("rev2.rdelta")), concat({kMagic, lit_header, basis, {0x00}}));
}
