#include "delta/simple_file_reader.h"

#include <cerrno>
#include <cstdlib>

#include "delta/error_output.h"

void SimpleFileReader::setCopyFile(const ustring& target)
{
    copy_handler = std::make_unique<CopyHandler>(target);
}

void SimpleFileReader::setDelta(const ustring& delta_file, const ustring& signature_file)
{
    delta_output = delta_file;
    signature_input = signature_file;
    delta_handler = std::make_unique<DeltaHandler>(delta_file, signature_file);
}

void SimpleFileReader::setDeltaHandle(int delta_fd, const ustring& delta_file, const ustring& signature_file)
{
    setDelta(delta_file, signature_file);
    delta_handler->setOutputHandle(delta_fd);
}

int SimpleFileReader::readFile()
{
    if (file.empty() && handle < 0)
        return ERROR_ARGUMENT;
    if ((handle < 0 && outputClobbers(file)) || (delta_handler && fd_same_file(delta_output, signature_input))) {
        delta_error("api.cpp (%d): an output file is also an input (file = '%s')\n", __LINE__,
                    file.c_str_utf8());
        return ERROR_ARGUMENT;
    }
    if (begin() != 0) {
        end();
        return ERROR_HANDLER_CALL;
    }
    fd_t fd;
    if (handle >= 0) {
        fd.handle = handle;
    } else if (fd_open_read(file, fd) != 0) {
        delta_error("api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        end();
        return ERROR_SYSTEM_CALL;
    }
    uint8_t* chunk = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
    if (chunk == nullptr) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, errno);
        end();
        if (handle < 0)
            fd_close(fd);
        return ERROR_SYSTEM_CALL;
    }
    int rc = RS_DONE;
    for (;;) {
        if (aborted()) {
            rc = ERROR_ABORT;
            break;
        }
        int64_t n = fd_read(fd, chunk, CHUNK_SIZE);
        if (n < 0) {
            delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
            rc = ERROR_SYSTEM_CALL;
            break;
        }
        if (n == 0)
            break;
        int failed = update(chunk, static_cast<size_t>(n));
        // Wait even after a failed update: a handler may be writing from the chunk.
        if (wait() != 0 || failed != 0) {
            rc = ERROR_HANDLER_CALL;
            break;
        }
    }
    // The last records and commands are written by end(); their failure fails the pass.
    if (end() != 0 && rc == RS_DONE)
        rc = ERROR_HANDLER_CALL;
    if (handle < 0)
        fd_close(fd);
    std::free(chunk);
    return rc;
}
