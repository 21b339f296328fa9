// Signatures, deltas and the one-pass reader over plain files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "delta/delta_ops.h"
#include "delta/delta_test_util.h"
#include "delta/rolling_checksum.h"
#include "delta/rs_constant.h"
#include "delta/signature_handler.h"

using namespace delta_test;

namespace {

Bytes header(uint32_t magic, uint32_t block, uint32_t hash) {
    Bytes h(12);
    RSConstant::putBigEndian(h.data(), magic, 4);
    RSConstant::putBigEndian(h.data() + 4, block, 4);
    RSConstant::putBigEndian(h.data() + 8, hash, 4);
    return h;
}

Bytes delta_of(const Bytes& old_data, const Bytes& new_data, const std::string& tag) {
    write_file(path(tag + ".old"), old_data);
    write_file(path(tag + ".new"), new_data);
    EXPECT_EQ(make_signature(path(tag + ".old"), path(tag + ".sig")), DeltaResult::kDone);
    EXPECT_EQ(make_delta(path(tag + ".sig"), path(tag + ".new"), path(tag + ".delta")), DeltaResult::kDone);
    return read_file(path(tag + ".delta"));
}

const Bytes kDeltaMagic = {0x72, 0x73, 0x02, 0x36};

}  // namespace

TEST(Signature, EmptyFileIsTheHeaderAlone) {
    write_file(path("empty"), {});
    ASSERT_EQ(make_signature(path("empty"), path("empty.sig")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("empty.sig")), header(RSConstant::MAGIC_SIGNATURE, 2048, 8));
}

TEST(Signature, RecordsPerBlockWithAShortLastBlock) {
    Bytes data = random_bytes(5000, 5);
    write_file(path("five"), data);
    ASSERT_EQ(make_signature(path("five"), path("five.sig")), DeltaResult::kDone);
    Bytes sig = read_file(path("five.sig"));
    ASSERT_EQ(sig.size(), 12u + 3 * 12);
    EXPECT_EQ(slice(sig, 0, 12), header(RSConstant::MAGIC_SIGNATURE, 2048, 8));
    const size_t lengths[3] = {2048, 2048, 904};
    for (size_t i = 0; i < 3; ++i) {
        uint8_t record[20];
        size_t n = SignatureHandler::makeRecord(data.data() + i * 2048, lengths[i], 8, record);
        ASSERT_EQ(n, 12u);
        EXPECT_EQ(slice(sig, 12 + i * 12, 12), Bytes(record, record + 12)) << i;
        EXPECT_EQ(RSConstant::getBigEndian(record, 4), RSRollingChecksum::of(data.data() + i * 2048, lengths[i]));
    }
}

TEST(Signature, SizesOutOfRangeFallBackToDefaults) {
    Bytes data = random_bytes(3000, 6);
    write_file(path("sizes"), data);
    ASSERT_EQ(make_signature(path("sizes"), path("sizes.sig"), 1000, 16), DeltaResult::kDone);
    Bytes sig = read_file(path("sizes.sig"));
    EXPECT_EQ(slice(sig, 0, 12), header(RSConstant::MAGIC_SIGNATURE, 1000, 16));
    EXPECT_EQ(sig.size(), 12u + 3 * 20);

    ASSERT_EQ(make_signature(path("sizes"), path("sizes2.sig"), 0, 17), DeltaResult::kDone);
    EXPECT_EQ(slice(read_file(path("sizes2.sig")), 0, 12), header(RSConstant::MAGIC_SIGNATURE, 2048, 8));
}

TEST(Delta, EmptyNewFileGivesMagicAndEnd) {
    EXPECT_EQ(delta_of(random_bytes(10000, 7), {}, "empty-new"), concat({kDeltaMagic, {0x00}}));
    EXPECT_EQ(delta_of({}, {}, "empty-both"), concat({kDeltaMagic, {0x00}}));
}

TEST(Delta, IdenticalFileIsOneCopy) {
    Bytes data = random_bytes(4096, 8);
    EXPECT_EQ(delta_of(data, data, "same4096"), concat({kDeltaMagic, {0x46, 0x00, 0x10, 0x00, 0x00}}));
}

TEST(Delta, LiteralsUseImmediateAndWidthForms) {
    Bytes d64 = random_bytes(64, 9);
    EXPECT_EQ(delta_of({}, d64, "lit64"), concat({kDeltaMagic, {0x40}, d64, {0x00}}));
    Bytes d65 = random_bytes(65, 10);
    EXPECT_EQ(delta_of({}, d65, "lit65"), concat({kDeltaMagic, {0x41, 0x41}, d65, {0x00}}));
    Bytes d300 = random_bytes(300, 11);
    EXPECT_EQ(delta_of({}, d300, "lit300"), concat({kDeltaMagic, {0x42, 0x01, 0x2C}, d300, {0x00}}));
}

TEST(Delta, TrailingShortBlockTravelsAsLiteral) {
    // The old file's short last block is never matched; it comes back as a literal.
    Bytes data = random_bytes(5000, 12);
    Bytes d = delta_of(data, data, "tail");
    Bytes expect = concat({kDeltaMagic, {0x46, 0x00, 0x10, 0x00}, {0x42, 0x03, 0x88}, slice(data, 4096, 904), {0x00}});
    EXPECT_EQ(d, expect);
}

TEST(Delta, InsertionsAndMovesBecomeCopiesAndLiterals) {
    Bytes old_data = random_bytes(8 * 2048, 13);
    // Blocks 4..7, 10 new bytes, blocks 0..3.
    Bytes ins = random_bytes(10, 14);
    Bytes new_data = concat({slice(old_data, 4 * 2048, 4 * 2048), ins, slice(old_data, 0, 4 * 2048)});
    Bytes d = delta_of(old_data, new_data, "moved");
    uint8_t c1[17], c2[17];
    size_t n1 = RSConstant::putCopy(c1, 4 * 2048, 4 * 2048);
    size_t n2 = RSConstant::putCopy(c2, 0, 4 * 2048);
    Bytes expect = concat({kDeltaMagic, Bytes(c1, c1 + n1), {0x0A}, ins, Bytes(c2, c2 + n2), {0x00}});
    EXPECT_EQ(d, expect);

    ASSERT_EQ(apply_patch(path("moved.old"), path("moved.delta"), path("moved.out")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("moved.out")), new_data);
}

TEST(Delta, RepeatedOldBlocksCopyTheFirst) {
    // Blocks sharing a weak sum are tried in index order; the first whose strong sum
    // matches is copied, so the delta does not depend on how the lookup is built.
    Bytes x = random_bytes(2048, 16);
    Bytes y = random_bytes(2048, 17);
    Bytes d = delta_of(concat({x, x, y}), concat({y, x}), "repeat");
    uint8_t c1[17], c2[17];
    size_t n1 = RSConstant::putCopy(c1, 2 * 2048, 2048);
    size_t n2 = RSConstant::putCopy(c2, 0, 2048);
    EXPECT_EQ(d, concat({kDeltaMagic, Bytes(c1, c1 + n1), Bytes(c2, c2 + n2), {0x00}}));
}

TEST(Delta, RejectsBadSignatures) {
    write_file(path("bs.new"), random_bytes(3000, 15));
    struct Case {
        const char* name;
        Bytes sig;
        const char* line;
    } cases[] = {
        {"magic", header(0x72730137, 2048, 8), "invalid signature header"},
        {"short", Bytes{0x72, 0x73}, "invalid signature header"},
        {"block0", header(RSConstant::MAGIC_SIGNATURE, 0, 8), "invalid signature block size"},
        {"hash0", header(RSConstant::MAGIC_SIGNATURE, 2048, 0), "invalid signature hash size"},
        {"hash17", header(RSConstant::MAGIC_SIGNATURE, 2048, 17), "invalid signature hash size"},
        {"cut", concat({header(RSConstant::MAGIC_SIGNATURE, 2048, 8), Bytes(13, 1)}), "invalid signature length"},
        {"huge-block", header(RSConstant::MAGIC_SIGNATURE, 0xFFFFFFFF, 8), "invalid signature block size"},
    };
    for (const Case& c : cases) {
        ErrorCapture errors;
        write_file(path(std::string("bs.") + c.name), c.sig);
        EXPECT_EQ(make_delta(path(std::string("bs.") + c.name), path("bs.new"), path("bs.delta")),
                  DeltaResult::kHandlerCall)
            << c.name;
        EXPECT_NE(errors.text().find(c.line), std::string::npos) << c.name << ": " << errors.text();
    }
    ErrorCapture errors;
    EXPECT_EQ(make_delta(path("bs.missing"), path("bs.new"), path("bs.delta")), DeltaResult::kHandlerCall);
}

TEST(Delta, ForeignBlockAndHashSizesWork) {
    Bytes old_data = random_bytes(100000, 16);
    Bytes new_data = concat({slice(old_data, 500, 50000), random_bytes(77, 17), slice(old_data, 60000, 40000)});
    write_file(path("fs.old"), old_data);
    write_file(path("fs.new"), new_data);
    for (uint32_t block : {1u, 7u, 512u, 4096u, 200000u}) {
        for (uint32_t hash : {1u, 8u, 16u}) {
            ASSERT_EQ(make_signature(path("fs.old"), path("fs.sig"), block, hash), DeltaResult::kDone);
            ASSERT_EQ(make_delta(path("fs.sig"), path("fs.new"), path("fs.delta")), DeltaResult::kDone);
            ASSERT_EQ(apply_patch(path("fs.old"), path("fs.delta"), path("fs.out")), DeltaResult::kDone);
            ASSERT_EQ(read_file(path("fs.out")), new_data) << block << "/" << hash;
        }
    }
}

TEST(SimpleReader, OnePassMakesCopyHashSignatureAndDelta) {
    Bytes old_data = random_bytes(3 * 1024 * 1024 + 123, 18);
    Bytes new_data = old_data;
    for (size_t i = 0; i < new_data.size(); i += 100000) new_data[i] ^= 0x5A;
    write_file(path("op.old"), old_data);
    write_file(path("op.new"), new_data);
    ASSERT_EQ(make_signature(path("op.old"), path("op.oldsig")), DeltaResult::kDone);

    SimpleFileReader r;
    ustring hex;
    r.setFile(path("op.new"));
    r.setCopyFile(path("op.copy"));
    r.setHashString(hex);
    r.setSignature(path("op.newsig"));
    r.setDelta(path("op.delta"), path("op.oldsig"));
    ASSERT_EQ(r.readFile(), DeltaResult::kDone);

    EXPECT_EQ(read_file(path("op.copy")), new_data);
    ASSERT_EQ(make_signature(path("op.new"), path("op.newsig2")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("op.newsig")), read_file(path("op.newsig2")));
    ASSERT_EQ(apply_patch(path("op.old"), path("op.delta"), path("op.patched")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("op.patched")), new_data);
    EXPECT_EQ(hex.size(), 32u);
    EXPECT_LT(read_file(path("op.delta")).size(), 32 * 2048u * 2);

    // The MD4 of the empty string is the well-known one.
    write_file(path("op.empty"), {});
    SimpleFileReader e;
    ustring empty_hex;
    e.setFile(path("op.empty"));
    e.setHashString(empty_hex);
    ASSERT_EQ(e.readFile(), DeltaResult::kDone);
    EXPECT_EQ(empty_hex, "31d6cfe0d16ae931b73c59d7e0c089c0");
}

TEST(SimpleReader, ArgumentAndSystemErrors) {
    ErrorCapture errors;
    SimpleFileReader none;
    EXPECT_EQ(none.readFile(), DeltaResult::kArgument);

    SimpleFileReader missing;
    ustring hex;
    missing.setFile(path("no-such-file"));
    missing.setHashString(hex);
    EXPECT_EQ(missing.readFile(), DeltaResult::kSystemCall);

    write_file(path("arg.in"), random_bytes(100, 19));
    SimpleFileReader bad_out;
    bad_out.setFile(path("arg.in"));
    bad_out.setCopyFile(path("no-such-dir/out"));
    EXPECT_EQ(bad_out.readFile(), DeltaResult::kHandlerCall);

    // Copying a file onto itself would truncate it before reading it.
    SimpleFileReader self;
    self.setFile(path("arg.in"));
    self.setCopyFile(path("arg.in"));
    EXPECT_EQ(self.readFile(), DeltaResult::kArgument);
    EXPECT_EQ(read_file(path("arg.in")).size(), 100u);
}

TEST(SimpleReader, AbortFlagStopsBeforeTheNextChunk) {
    const size_t total = 3 * 1024 * 1024;
    write_file(path("abort.in"), random_bytes(total, 20));
    std::string fifo = path("abort.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    std::atomic<int> abort_flag{0};
    std::atomic<size_t> drained{0};
    std::thread drain([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);
        char buf[65536];
        bool flagged = false;
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            if (!flagged) {
                // The first chunk cannot finish writing before this is set: it is
                // larger than the pipe.
                abort_flag = 1;
                flagged = true;
            }
            drained += static_cast<size_t>(n);
        }
        ::close(fd);
    });
    SimpleFileReader r;
    r.setFile(path("abort.in"));
    r.setCopyFile(fifo);
    r.setAbortFlag(&abort_flag);
    EXPECT_EQ(r.readFile(), DeltaResult::kAbort);
    drain.join();
    EXPECT_EQ(drained.load(), FileReader::CHUNK_SIZE);

    // A flag set from the start stops before the first chunk.
    std::atomic<int> set{1};
    SimpleFileReader early;
    ustring hex;
    early.setFile(path("abort.in"));
    early.setHashString(hex);
    early.setAbortFlag(&set);
    EXPECT_EQ(early.readFile(), DeltaResult::kAbort);
}

TEST(Delta, CraftedSignatureOfEqualWeakSumsStaysCorrect) {
    // Thousands of records share the weak sum of every block of the new file (all the same
    // here) but none has its strong sum: the search must stay bounded and emit literals.
    Bytes block = random_bytes(64, 21);
    Bytes new_data;
    for (int i = 0; i < 1000; ++i) new_data.insert(new_data.end(), block.begin(), block.end());
    Bytes sig = header(RSConstant::MAGIC_SIGNATURE, 64, 8);
    uint8_t weak[4];
    RSConstant::putBigEndian(weak, RSRollingChecksum::of(block.data(), block.size()), 4);
    Bytes strong = random_bytes(8 * 5000, 22);
    for (int i = 0; i < 5000; ++i) {
        sig.insert(sig.end(), weak, weak + 4);
        sig.insert(sig.end(), strong.begin() + 8 * i, strong.begin() + 8 * i + 8);
    }
    write_file(path("crafted.sig"), sig);
    write_file(path("crafted.new"), new_data);
    write_file(path("crafted.basis"), random_bytes(64 * 5000, 23));
    ASSERT_EQ(make_delta(path("crafted.sig"), path("crafted.new"), path("crafted.delta")), DeltaResult::kDone);
    ASSERT_EQ(apply_patch(path("crafted.basis"), path("crafted.delta"), path("crafted.out")), DeltaResult::kDone);
    EXPECT_EQ(read_file(path("crafted.out")), new_data);
}
