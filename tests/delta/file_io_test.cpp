// The buffered file layer: ring buffer arithmetic, buffered reads and writes, appends.
#include "delta/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "delta/delta_test_util.h"

using namespace delta_test;

namespace {

std::string text_of(const buffer_t& b) {
    // Held bytes in order, unwrapped.
    std::string out;
    for (size_t i = 0; i < b.size; ++i) out.push_back(static_cast<char>(b.data[(b.head + i) % b.capacity]));
    return out;
}

}  // namespace

TEST(BufferRing, DefaultCapacityAndCopyInTakesOnlyFreeSpace) {
    buffer_t dflt;
    EXPECT_EQ(dflt.capacity, 8192u);

    buffer_t b(10);
    EXPECT_EQ(buffer_copy_in(b, "abcdefg", 7), 7u);
    EXPECT_EQ(buffer_left(b), 3u);
    EXPECT_EQ(buffer_copy_in(b, "0123456789", 10), 3u);  // 3 free bytes take 3 of 10
    EXPECT_TRUE(buffer_is_full(b));
    EXPECT_EQ(buffer_copy_in(b, "x", 1), 0u);
    EXPECT_EQ(text_of(b), "abcdefg012");
}

TEST(BufferRing, WrapsOnCopyInAndOutAndResetsHeadWhenEmptied) {
    buffer_t b(8);
    char out[16] = {};
    buffer_copy_in(b, "abcdef", 6);
    EXPECT_EQ(buffer_copy_out(b, out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_EQ(b.head, 4u);
    EXPECT_EQ(buffer_copy_in(b, "ghijkl", 6), 6u);  // wraps past the end
    EXPECT_EQ(text_of(b), "efghijkl");
    EXPECT_EQ(buffer_copy_out(b, out, 16), 8u);
    EXPECT_EQ(std::string(out, 8), "efghijkl");
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.head, 0u);
}

TEST(BufferRing, ResizeOnlyGrowsAnEmptyBuffer) {
    buffer_t b(16);
    EXPECT_TRUE(buffer_resize(b, 8));
    EXPECT_EQ(b.capacity, 16u);
    EXPECT_TRUE(buffer_resize(b, 64));
    EXPECT_EQ(b.capacity, 64u);
    buffer_copy_in(b, "x", 1);
    EXPECT_FALSE(buffer_resize(b, 128));
    EXPECT_EQ(b.capacity, 64u);
    buffer_clear(b);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.head, 0u);
}

TEST(BufferRing, WriteFdOfWrappedBytesKeepsTheirOrder) {
    std::string f = path("wrap.out");
    fd_t fd;
    ASSERT_TRUE(fd_open_write(f, fd));
    buffer_t b(8);
    char sink[8];
    buffer_copy_in(b, "123456", 6);
    buffer_copy_out(b, sink, 5);      // head at 5, "6" held
    buffer_copy_in(b, "789ABCD", 7);  // "6789" up to the end, "ABCD" wrapped
    ASSERT_EQ(text_of(b), "6789ABCD");
    EXPECT_TRUE(buffer_write_fd(b, fd));
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.head, 0u);
    fd_close(fd);
    Bytes got = read_file(f);
    EXPECT_EQ(std::string(got.begin(), got.end()), "6789ABCD");
}

TEST(BufferRing, ReadFdFillsTheFreeStretchWithoutDisturbingHeldBytes) {
    std::string f = path("readfd.in");
    write_file(f, Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'});
    fd_t fd;
    ASSERT_TRUE(fd_open_read(f, fd));

    // Held bytes not wrapped, head not 0: they move to the front first.
    buffer_t b(8);
    char sink[8];
    buffer_copy_in(b, "XYZ", 3);
    buffer_copy_out(b, sink, 1);
    ASSERT_TRUE(buffer_read_fd(b, fd));
    EXPECT_EQ(b.head, 0u);
    EXPECT_EQ(text_of(b), "YZabcdef");
    EXPECT_TRUE(buffer_read_fd(b, fd));  // full: nothing happens
    EXPECT_EQ(text_of(b), "YZabcdef");

    // Held bytes wrapped: the read goes between their end and head.
    buffer_t w(8);
    buffer_copy_in(w, "123456", 6);
    buffer_copy_out(w, sink, 5);
    buffer_copy_in(w, "789", 3);  // "678" at 5..7, "9" at 0
    ASSERT_TRUE(buffer_read_fd(w, fd));
    EXPECT_EQ(text_of(w), "6789ghij");
    fd_close(fd);
}

TEST(FdBio, ReadIsAllOrNothing) {
    std::string f = path("sixty.in");
    Bytes data = random_bytes(60, 1);
    write_file(f, data);
    fd_t fd;
    ASSERT_TRUE(fd_open_read(f, fd));
    fd_bio_t bio;
    ASSERT_TRUE(fd_bio_load(bio, fd, 16));
    uint8_t got[100];
    ASSERT_TRUE(fd_bio_read(bio, got, 10));  // through the buffer
    EXPECT_EQ(0, std::memcmp(got, data.data(), 10));
    ASSERT_TRUE(fd_bio_read(bio, got, 40));  // buffer, then straight from the file
    EXPECT_EQ(0, std::memcmp(got, data.data() + 10, 40));
    EXPECT_FALSE(fd_bio_read(bio, got, 11));  // only 10 left
    fd_bio_unload(bio);
    fd_close(fd);

    // 100 bytes from a 60-byte file fail.
    ASSERT_TRUE(fd_open_read(f, fd));
    ASSERT_TRUE(fd_bio_load(bio, fd, 0));
    EXPECT_FALSE(fd_bio_read(bio, got, 100));
    fd_close(fd);
}

TEST(FdBio, WriteBuffersWhatFitsAndWritesThroughWhatDoesNot) {
    std::string f = path("bio.out");
    fd_t fd;
    ASSERT_TRUE(fd_open_write(f, fd));
    fd_bio_t bio;
    ASSERT_TRUE(fd_bio_load(bio, fd, 16));
    ASSERT_TRUE(fd_bio_write(bio, "0123456789", 10));
    ASSERT_TRUE(fd_bio_write(bio, "abcdef", 6));  // exactly the free space: buffered
    EXPECT_EQ(bio.w_buffer->size, 16u);
    EXPECT_EQ(read_file(f).size(), 0u);
    ASSERT_TRUE(fd_bio_write(bio, "XYZ", 3));  // no room: flush, then straight through
    EXPECT_EQ(bio.w_buffer->size, 0u);
    ASSERT_TRUE(fd_bio_write(bio, "!", 1));
    ASSERT_TRUE(fd_bio_flush(bio));
    fd_close(fd);
    Bytes got = read_file(f);
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789abcdefXYZ!");
}

TEST(FdFile, WritesAppendInOrderAndSeekStatWork) {
    std::string f = path("append.out");
    write_file(f, Bytes(100, 'z'));  // truncated by the open
    fd_t fd;
    ASSERT_TRUE(fd_open_write(f, fd));
    EXPECT_TRUE(fd_is_open(fd));
    EXPECT_EQ(fd_write(fd, "abc", 3), 3);
    ASSERT_TRUE(fd_seek(fd, 0));  // writes still go to the end
    Bytes big = random_bytes(3 << 20, 2);
    fd_aio_t aio;
    ASSERT_TRUE(fd_aio_write(aio, fd, big.data(), big.size()));
    EXPECT_FALSE(fd_aio_write(aio, fd, "x", 1));  // one outstanding write at a time
    EXPECT_EQ(fd_aio_wait(aio), static_cast<int64_t>(big.size()));
    EXPECT_EQ(fd_aio_wait(aio), 0);  // nothing outstanding
    EXPECT_EQ(fd_write(fd, "def", 3), 3);
    uint64_t size = 0;
    ASSERT_TRUE(fd_stat(fd, size));
    EXPECT_EQ(size, 3u + big.size() + 3u);
    EXPECT_TRUE(fd_sync(fd));
    fd_close(fd);
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_FALSE(fd_sync(fd));

    Bytes got = read_file(f);
    ASSERT_EQ(got.size(), size);
    EXPECT_EQ(0, std::memcmp(got.data(), "abc", 3));
    EXPECT_EQ(0, std::memcmp(got.data() + 3, big.data(), big.size()));
    EXPECT_EQ(0, std::memcmp(got.data() + 3 + big.size(), "def", 3));

    fd_t rd;
    ASSERT_TRUE(fd_open_read(f, rd));
    ASSERT_TRUE(fd_seek(rd, 3 + big.size()));
    char tail[8];
    EXPECT_EQ(fd_read(rd, tail, sizeof tail), 3);
    EXPECT_EQ(fd_read(rd, tail, sizeof tail), 0);
    fd_close(rd);
}

TEST(FdFile, FailuresReturnMinusOneAndNameTheCall) {
    ErrorCapture errors;
    fd_t fd;
    EXPECT_FALSE(fd_open_read(path("no-such-file"), fd));
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_FALSE(fd_open_read(scratch_dir(), fd));  // a directory is not a file
    EXPECT_FALSE(fd_open_write(path("no-such-dir/out"), fd));
    std::string text = errors.text();
    EXPECT_NE(text.find("xio.cpp ("), std::string::npos);
    EXPECT_NE(text.find("): CreateFile: Error Code 2\n"), std::string::npos);

    // A write that fails in the writer thread is reported by the wait.
    fd_t ro;
    ASSERT_FALSE(fd_open_read(path("no-such-file") + "", ro));
    write_file(path("ro"), Bytes{1});
    ASSERT_TRUE(fd_open_read(path("ro"), ro));
    fd_aio_t aio;
    ASSERT_TRUE(fd_aio_write(aio, ro, "x", 1));
    EXPECT_EQ(fd_aio_wait(aio), -1);
    EXPECT_EQ(fd_write(ro, "x", 1), -1);
    fd_close(ro);
    EXPECT_NE(errors.text().find("fd_aio_wait: Error Code"), std::string::npos);
}

TEST(FdFile, SameFileSeesThroughDifferentNames) {
    write_file(path("same"), Bytes{1, 2});
    ASSERT_EQ(::symlink(path("same").c_str(), path("same-link").c_str()), 0);
    EXPECT_TRUE(fd_same_file(path("same"), path("same-link")));
    write_file(path("other"), Bytes{1, 2});
    EXPECT_FALSE(fd_same_file(path("same"), path("other")));
    EXPECT_FALSE(fd_same_file(path("same"), path("absent")));
}
