// A consumer of the bytes of one pass over a file.
// The reader calls begin(), then update() and wait() for each chunk, then end().
// update() may start a background write of its output; wait() completes it, and the
// chunk passed to update() stays valid and unchanged until then. end() is safe after
// a failed or missing begin() and completes anything outstanding.
// Each returns true on success.
#pragma once

#include <cstddef>
#include <cstdint>

class FileHandler {
public:
    virtual ~FileHandler() = default;
    [[nodiscard]] virtual bool begin() = 0;
    [[nodiscard]] virtual bool update(const uint8_t* data, size_t length) = 0;
    [[nodiscard]] virtual bool wait() = 0;
    [[nodiscard]] virtual bool end() = 0;
};
