#include "delta/copy_handler.h"

#include <cerrno>

#include "delta/error_output.h"

CopyHandler::~CopyHandler() { (void)end(); }

bool CopyHandler::begin() {
    if (!fd_open_write(file, fd)) {
        delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

bool CopyHandler::update(const uint8_t* data, size_t length) {
    if (!fd_is_open(fd) || writing) return false;
    if (length == 0) return true;
    if (!fd_aio_write(aio, fd, data, length)) return false;
    pending = length;
    writing = true;
    return true;
}

bool CopyHandler::wait() {
    if (!writing) return true;
    writing = false;
    int64_t n = fd_aio_wait(aio);
    if (n != static_cast<int64_t>(pending)) {
        delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

bool CopyHandler::end() {
    bool ok = wait();
    fd_close(fd);
    return ok;
}
