#include "delta/copy_handler.h"

#include <cerrno>

#include "delta/error_output.h"

CopyHandler::~CopyHandler()
{
    end();
}

int CopyHandler::begin()
{
    if (fd_open_write(file, fd) != 0) {
        delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    return 0;
}

int CopyHandler::update(const uint8_t* data, size_t length)
{
    if (!fd_is_open(fd) || writing)
        return -1;
    if (length == 0)
        return 0;
    if (fd_aio_write(aio, fd, data, length) != 0)
        return -1;
    pending = length;
    writing = true;
    return 0;
}

int CopyHandler::wait()
{
    if (!writing)
        return 0;
    writing = false;
    int64_t n = fd_aio_wait(aio);
    if (n != static_cast<int64_t>(pending)) {
        delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
        return -1;
    }
    return 0;
}

int CopyHandler::end()
{
    int rc = wait();
    fd_close(fd);
    return rc;
}
