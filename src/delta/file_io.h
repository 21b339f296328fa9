// Buffered file I/O for the delta engine: a file handle, a ring buffer, a buffered
// reader/writer and a one-shot append collected later.
//
// Free functions over plain structures. The ones that only succeed or fail return
// true on success; fd_read, fd_write and fd_aio_wait return a byte count, -1 on
// failure. Every failure writes one line naming the failed call to the delta error
// output. Files opened
// for writing are append-only: every write goes to the current end, so output is
// always produced front to back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

struct fd_t {
    int handle = -1;  // -1 means closed; closing is explicit (fd_close)
};

// Ring buffer of bytes; held bytes run from head forward, wrapping at capacity.
struct buffer_t {
    explicit buffer_t(size_t capacity = 0);  // 0 means 8192; throws std::bad_alloc
    ~buffer_t();
    buffer_t(const buffer_t&) = delete;
    buffer_t& operator=(const buffer_t&) = delete;

    uint8_t* data = nullptr;
    size_t capacity = 0;
    size_t size = 0;
    size_t head = 0;
};

struct fd_bio_t {
    fd_bio_t() = default;
    ~fd_bio_t();  // frees the buffers, leaves the handle alone
    fd_bio_t(const fd_bio_t&) = delete;
    fd_bio_t& operator=(const fd_bio_t&) = delete;

    fd_t fd;
    buffer_t* w_buffer = nullptr;
    buffer_t* r_buffer = nullptr;
};

// One append at a time, started by fd_aio_write and collected by fd_aio_wait (the
// write itself is done at once, on the caller's thread; the pair keeps the callers'
// start/finish shape). The caller keeps the data alive until fd_aio_wait returns.
struct fd_aio_t {
    bool job_pending = false;  // written, result not collected yet
    int64_t job_result = 0;
    int job_errno = 0;
};

[[nodiscard]] bool fd_open_read(const ustring& path, fd_t& fd);
[[nodiscard]] bool fd_open_write(const ustring& path, fd_t& fd);
void fd_close(fd_t& fd);
bool fd_is_open(const fd_t& fd);
[[nodiscard]] int64_t fd_read(fd_t& fd, void* buffer, size_t length);
[[nodiscard]] int64_t fd_write(fd_t& fd, const void* buffer, size_t length);
[[nodiscard]] bool fd_seek(fd_t& fd, uint64_t offset);
[[nodiscard]] bool fd_stat(fd_t& fd, uint64_t& size);
[[nodiscard]] bool fd_sync(fd_t& fd);

size_t buffer_size(const buffer_t& buffer);
size_t buffer_left(const buffer_t& buffer);
bool buffer_is_full(const buffer_t& buffer);
void buffer_clear(buffer_t& buffer);
[[nodiscard]] bool buffer_resize(buffer_t& buffer, size_t capacity);
size_t buffer_copy_in(buffer_t& buffer, const void* data, size_t length);
size_t buffer_copy_out(buffer_t& buffer, void* data, size_t length);
[[nodiscard]] bool buffer_read_fd(buffer_t& buffer, fd_t& fd);
[[nodiscard]] bool buffer_write_fd(buffer_t& buffer, fd_t& fd);

[[nodiscard]] bool fd_bio_load(fd_bio_t& bio, const fd_t& fd, size_t capacity);
void fd_bio_unload(fd_bio_t& bio);
[[nodiscard]] bool fd_bio_read(fd_bio_t& bio, void* data, size_t length);
[[nodiscard]] bool fd_bio_write(fd_bio_t& bio, const void* data, size_t length);
[[nodiscard]] bool fd_bio_flush(fd_bio_t& bio);

// True when the write was started.
[[nodiscard]] bool fd_aio_write(fd_aio_t& aio, fd_t& fd, const void* data, size_t length);
// Bytes written by the outstanding write (0 when none is outstanding) or -1.
[[nodiscard]] int64_t fd_aio_wait(fd_aio_t& aio);

// The output step the signature and delta handlers share: start writing the first
// `size` bytes of `data` in the background when there are any (setting `writing`),
// and later complete that write, which fails unless every byte was written. Both
// clear `writing`; finishing also resets `size`.
[[nodiscard]] bool fd_aio_start(fd_aio_t& aio, fd_t& fd, const void* data, size_t size, bool& writing);
[[nodiscard]] bool fd_aio_finish(fd_aio_t& aio, size_t& size, bool& writing);

// True when both names exist and are the same file (same device and inode).
bool fd_same_file(const ustring& a, const ustring& b);
