#include "delta/simple_file_reader.h"

#include <cerrno>
#include <cstdlib>

#include "delta/error_output.h"

void SimpleFileReader::setCopyFile(const ustring& target) { copy_handler = std::make_unique<CopyHandler>(target); }

void SimpleFileReader::setDelta(const ustring& delta_file, const ustring& signature_file) {
    delta_output = delta_file;
    signature_input = signature_file;
    delta_handler = std::make_unique<DeltaHandler>(delta_file, signature_file);
}

void SimpleFileReader::setDeltaHandle(int delta_fd, const ustring& delta_file, const ustring& signature_file) {
    setDelta(delta_file, signature_file);
    delta_handler->setOutputHandle(delta_fd);
}

DeltaResult SimpleFileReader::readFile() {
    if (file.empty() && handle < 0) return DeltaResult::kArgument;
    if ((handle < 0 && outputClobbers(file)) || (delta_handler && fd_same_file(delta_output, signature_input))) {
        delta_error("api.cpp (%d): an output file is also an input (file = '%s')\n", __LINE__, file.c_str_utf8());
        return DeltaResult::kArgument;
    }
    if (!begin()) {
        (void)end();  // cleanup; the failure that led here is the one reported
        return DeltaResult::kHandlerCall;
    }
    fd_t fd;
    if (handle >= 0) {
        fd.handle = handle;
    } else if (!fd_open_read(file, fd)) {
        delta_error("api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        (void)end();  // cleanup; the failure that led here is the one reported
        return DeltaResult::kSystemCall;
    }
    uint8_t* chunk = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
    if (chunk == nullptr) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, errno);
        (void)end();  // cleanup; the failure that led here is the one reported
        if (handle < 0) fd_close(fd);
        return DeltaResult::kSystemCall;
    }
    DeltaResult rc = DeltaResult::kDone;
    for (;;) {
        if (aborted()) {
            rc = DeltaResult::kAbort;
            break;
        }
        int64_t n = fd_read(fd, chunk, CHUNK_SIZE);
        if (n < 0) {
            delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
            rc = DeltaResult::kSystemCall;
            break;
        }
        if (n == 0) break;
        const bool updated = update(chunk, static_cast<size_t>(n));
        // Wait even after a failed update: a handler may be writing from the chunk.
        if (!wait() || !updated) {
            rc = DeltaResult::kHandlerCall;
            break;
        }
    }
    // The last records and commands are written by end(); their failure fails the pass.
    if (!end() && rc == DeltaResult::kDone) rc = DeltaResult::kHandlerCall;
    if (handle < 0) fd_close(fd);
    std::free(chunk);
    return rc;
}
