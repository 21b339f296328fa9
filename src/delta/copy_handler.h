// Writes the bytes of the pass to a new file, overlapping each write with the work of
// the other handlers on the same chunk.
#pragma once

#include "delta/file_handler.h"
#include "delta/file_io.h"
#include "foundation/ustring.h"

class CopyHandler : public FileHandler {
public:
    explicit CopyHandler(const ustring& target) : file(target) {}
    ~CopyHandler() override;

    [[nodiscard]] bool begin() override;
    [[nodiscard]] bool update(const uint8_t* data, size_t length) override;
    [[nodiscard]] bool wait() override;
    [[nodiscard]] bool end() override;

    const ustring& target() const { return file; }

private:
    ustring file;
    fd_t fd;
    fd_aio_t aio;
    size_t pending = 0;  // bytes of the outstanding write
    bool writing = false;
};
