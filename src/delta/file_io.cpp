#include "delta/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "delta/error_output.h"

namespace {

// Appends all of [data, data + length) at the end of the file; the file is opened with
// O_APPEND, so every write lands at the current end.
int64_t append_all(int handle, const uint8_t* data, size_t length, int& error) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(handle, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return -1;
        }
        if (n == 0) {
            error = EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

// ---- fd_t ----

bool fd_open_read(const ustring& path, fd_t& fd) {
    int h;
    do {
        h = ::open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC);
    } while (h < 0 && errno == EINTR);
    if (h < 0) {
        delta_error("xio.cpp (%d): CreateFile: Error Code %d\n", __LINE__, errno);
        return false;
    }
    struct stat st;
    if (::fstat(h, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(h);
        delta_error("xio.cpp (%d): CreateFile: Error Code %d\n", __LINE__, EISDIR);
        errno = EISDIR;
        return false;
    }
    ::posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd.handle = h;
    return true;
}

bool fd_open_write(const ustring& path, fd_t& fd) {
    int h;
    do {
        h = ::open(path.c_str_utf8(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (h < 0 && errno == EINTR);
    if (h < 0) {
        delta_error("xio.cpp (%d): CreateFile: Error Code %d\n", __LINE__, errno);
        return false;
    }
    // Emptied only when there is something to drop: a truncation (O_TRUNC included,
    // even of an empty file) makes ext4 write the file back on close, and the files
    // written here are mostly fresh scratch files.
    struct stat st;
    if (::fstat(h, &st) != 0 || (st.st_size != 0 && ::ftruncate(h, 0) != 0)) {
        delta_error("xio.cpp (%d): CreateFile: Error Code %d\n", __LINE__, errno);
        ::close(h);
        return -1;
    }
    ::posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd.handle = h;
    return true;
}

void fd_close(fd_t& fd) {
    if (fd.handle >= 0) ::close(fd.handle);
    fd.handle = -1;
}

bool fd_is_open(const fd_t& fd) { return fd.handle >= 0; }

int64_t fd_read(fd_t& fd, void* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::read(fd.handle, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        delta_error("xio.cpp (%d): ReadFile: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    return n;
}

int64_t fd_write(fd_t& fd, const void* buffer, size_t length) {
    // A synchronous write is an asynchronous one waited for at once; done inline, it
    // needs no writer thread.
    int error = 0;
    int64_t n = append_all(fd.handle, static_cast<const uint8_t*>(buffer), length, error);
    if (n < 0) {
        delta_error("xio.cpp (%d): WriteFile: Error Code %d\n", __LINE__, error);
        errno = error;
    }
    return n;
}

bool fd_seek(fd_t& fd, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX) || ::lseek(fd.handle, static_cast<off_t>(offset), SEEK_SET) < 0) {
        if (offset > static_cast<uint64_t>(INT64_MAX)) errno = EINVAL;
        delta_error("xio.cpp (%d): SetFilePointer: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

bool fd_stat(fd_t& fd, uint64_t& size) {
    struct stat st;
    if (::fstat(fd.handle, &st) != 0) {
        delta_error("xio.cpp (%d): GetFileInformationByHandle: Error Code %d\n", __LINE__, errno);
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool fd_sync(fd_t& fd) {
    if (!fd_is_open(fd)) return false;
    if (::fsync(fd.handle) != 0) {
        delta_error("xio.cpp (%d): FlushFileBuffers: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

bool fd_same_file(const ustring& a, const ustring& b) {
    struct stat sa, sb;
    if (::stat(a.c_str_utf8(), &sa) != 0 || ::stat(b.c_str_utf8(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- buffer_t ----

buffer_t::buffer_t(size_t cap) {
    if (cap == 0) cap = 8192;
    data = static_cast<uint8_t*>(std::malloc(cap));
    if (data == nullptr) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, errno);
        throw std::bad_alloc();
    }
    capacity = cap;
}

buffer_t::~buffer_t() { std::free(data); }

size_t buffer_size(const buffer_t& buffer) { return buffer.size; }

size_t buffer_left(const buffer_t& buffer) { return buffer.capacity - buffer.size; }

bool buffer_is_full(const buffer_t& buffer) { return buffer.size == buffer.capacity; }

void buffer_clear(buffer_t& buffer) {
    buffer.size = 0;
    buffer.head = 0;
}

bool buffer_resize(buffer_t& buffer, size_t capacity) {
    if (buffer.size != 0) return false;
    if (capacity <= buffer.capacity) return true;
    uint8_t* fresh = static_cast<uint8_t*>(std::malloc(capacity));
    if (fresh == nullptr) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, errno);
        return false;
    }
    std::free(buffer.data);
    buffer.data = fresh;
    buffer.capacity = capacity;
    buffer.head = 0;
    return true;
}

size_t buffer_copy_in(buffer_t& buffer, const void* data, size_t length) {
    size_t take = std::min(length, buffer_left(buffer));
    if (take == 0) return 0;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    size_t tail = (buffer.head + buffer.size) % buffer.capacity;
    size_t first = std::min(take, buffer.capacity - tail);
    std::memcpy(buffer.data + tail, src, first);
    if (take > first) std::memcpy(buffer.data, src + first, take - first);
    buffer.size += take;
    return take;
}

size_t buffer_copy_out(buffer_t& buffer, void* data, size_t length) {
    size_t give = std::min(length, buffer.size);
    if (give == 0) return 0;
    uint8_t* dst = static_cast<uint8_t*>(data);
    size_t first = std::min(give, buffer.capacity - buffer.head);
    std::memcpy(dst, buffer.data + buffer.head, first);
    if (give > first) std::memcpy(dst + first, buffer.data, give - first);
    buffer.head = (buffer.head + give) % buffer.capacity;
    buffer.size -= give;
    if (buffer.size == 0) buffer.head = 0;
    return give;
}

bool buffer_read_fd(buffer_t& buffer, fd_t& fd) {
    if (buffer_is_full(buffer)) return true;
    size_t end = buffer.head + buffer.size;
    size_t start;
    size_t room;
    if (end > buffer.capacity) {
        // Held bytes wrap: the free stretch lies between their end and head.
        start = end - buffer.capacity;
        room = buffer.head - start;
    } else {
        if (buffer.head != 0) {
            std::memmove(buffer.data, buffer.data + buffer.head, buffer.size);
            buffer.head = 0;
        }
        start = buffer.size;
        room = buffer.capacity - buffer.size;
    }
    int64_t n = fd_read(fd, buffer.data + start, room);
    if (n < 0) return false;
    buffer.size += static_cast<size_t>(n);
    return true;
}

bool buffer_write_fd(buffer_t& buffer, fd_t& fd) {
    if (buffer.size == 0) {
        buffer.head = 0;
        return true;
    }
    size_t first = std::min(buffer.size, buffer.capacity - buffer.head);
    if (fd_write(fd, buffer.data + buffer.head, first) != static_cast<int64_t>(first)) return false;
    size_t rest = buffer.size - first;
    if (rest > 0 && fd_write(fd, buffer.data, rest) != static_cast<int64_t>(rest)) return false;
    buffer_clear(buffer);
    return true;
}

// ---- fd_bio_t ----

fd_bio_t::~fd_bio_t() { fd_bio_unload(*this); }

bool fd_bio_load(fd_bio_t& bio, const fd_t& fd, size_t capacity) {
    fd_bio_unload(bio);
    bio.fd = fd;
    try {
        bio.r_buffer = new buffer_t(capacity);
        bio.w_buffer = new buffer_t(capacity);
    } catch (const std::bad_alloc&) {
        fd_bio_unload(bio);
        return false;
    }
    return true;
}

void fd_bio_unload(fd_bio_t& bio) {
    delete bio.r_buffer;
    delete bio.w_buffer;
    bio.r_buffer = nullptr;
    bio.w_buffer = nullptr;
}

bool fd_bio_read(fd_bio_t& bio, void* data, size_t length) {
    if (bio.r_buffer == nullptr) return false;
    buffer_t& rb = *bio.r_buffer;
    if (rb.size < length && !buffer_read_fd(rb, bio.fd)) return false;
    uint8_t* dst = static_cast<uint8_t*>(data);
    size_t got = buffer_copy_out(rb, dst, length);
    while (got < length) {
        int64_t n = fd_read(bio.fd, dst + got, length - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool fd_bio_write(fd_bio_t& bio, const void* data, size_t length) {
    if (bio.w_buffer == nullptr) return false;
    buffer_t& wb = *bio.w_buffer;
    if (buffer_left(wb) < length) {
        if (!buffer_write_fd(wb, bio.fd)) return false;
        return fd_write(bio.fd, data, length) == static_cast<int64_t>(length);
    }
    buffer_copy_in(wb, data, length);
    return true;
}

bool fd_bio_flush(fd_bio_t& bio) {
    if (bio.w_buffer == nullptr) return false;
    return buffer_write_fd(*bio.w_buffer, bio.fd);
}

// ---- fd_aio_t ----

bool fd_aio_write(fd_aio_t& aio, fd_t& fd, const void* data, size_t length) {
    if (aio.job_pending) {
        delta_error("xio.cpp (%d): fd_aio_write: Error Code %d\n", __LINE__, EBUSY);
        return false;
    }
    // Written at once: the outputs here (signatures, deltas, copies) go to the page
    // cache in microseconds, far less than a thread per file costs.
    int error = 0;
    aio.job_result = append_all(fd.handle, static_cast<const uint8_t*>(data), length, error);
    aio.job_errno = error;
    aio.job_pending = true;
    return true;
}

int64_t fd_aio_wait(fd_aio_t& aio) {
    if (!aio.job_pending) return 0;
    aio.job_pending = false;
    if (aio.job_result < 0) {
        delta_error("xio.cpp (%d): WriteFile: Error Code %d\n", __LINE__, aio.job_errno);
        delta_error("xio.cpp (%d): fd_aio_wait: Error Code %d\n", __LINE__, aio.job_errno);
        return -1;
    }
    return aio.job_result;
}

bool fd_aio_start(fd_aio_t& aio, fd_t& fd, const void* data, size_t size, bool& writing) {
    if (size == 0) return true;
    if (!fd_aio_write(aio, fd, data, size)) return false;
    writing = true;
    return true;
}

bool fd_aio_finish(fd_aio_t& aio, size_t& size, bool& writing) {
    if (!writing) return true;
    writing = false;
    int64_t n = fd_aio_wait(aio);
    size_t expected = size;
    size = 0;
    if (n != static_cast<int64_t>(expected)) {
        delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}
