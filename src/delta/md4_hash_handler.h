// MD4 of the bytes of the pass: the content hash of a file, as 32 lower-case hex digits.
#pragma once

#include <openssl/md4.h>

#include <cstdint>

#include "delta/file_handler.h"
#include "foundation/ustring.h"

class MD4HashHandler : public FileHandler {
public:
    explicit MD4HashHandler(ustring* out) : result_string(out) {}

    [[nodiscard]] bool begin() override;
    [[nodiscard]] bool update(const uint8_t* data, size_t length) override;
    [[nodiscard]] bool wait() override { return true; }
    [[nodiscard]] bool end() override;

    const uint8_t* digest() const { return result; }

    // Lower-case hex of a digest.
    static ustring toHex(const uint8_t* digest, size_t length);

private:
    MD4_CTX state{};
    uint8_t result[16] = {};
    ustring* result_string;
    bool started = false;
};
