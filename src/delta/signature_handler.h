// Writes the signature of the bytes of the pass: a 12-byte header, then per block of
// block_size bytes its weak sum and the first hash_size bytes of its MD4 digest.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/file_handler.h"
#include "delta/file_io.h"
#include "foundation/ustring.h"

class SignatureHandler : public FileHandler {
public:
    static constexpr uint32_t DEFAULT_BLOCK_SIZE = 2048;
    static constexpr uint32_t DEFAULT_HASH_SIZE = 8;
    static constexpr uint32_t MAX_HASH_SIZE = 16;
    // Larger blocks would make the delta search hold too much of the new file.
    static constexpr uint32_t MAX_BLOCK_SIZE = 1u << 26;

    // Out-of-range sizes fall back to the defaults.
    SignatureHandler(const ustring& target, uint32_t block_size, uint32_t hash_size);
    ~SignatureHandler() override;

    [[nodiscard]] bool begin() override;
    [[nodiscard]] bool update(const uint8_t* data, size_t length) override;
    [[nodiscard]] bool wait() override;
    [[nodiscard]] bool end() override;

    uint32_t blockSize() const { return block_size; }
    uint32_t hashSize() const { return hash_size; }

    // One record (weak sum, cut strong sum) of a block; returns its length.
    static size_t makeRecord(const uint8_t* block, size_t length, uint32_t hash_size, uint8_t* out);

private:
    void emit(const uint8_t* block, size_t length);

    ustring file;
    fd_t fd;
    fd_aio_t aio;
    uint32_t block_size;
    uint32_t hash_size;
    std::vector<uint8_t> write_buffer;
    size_t write_buffer_size = 0;
    std::vector<uint8_t> read_buffer;  // the partial block carried to the next chunk
    size_t read_buffer_size = 0;
    bool writing = false;
};
