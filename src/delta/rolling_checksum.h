// The weak block checksum of the signature format and its rolling update.
// Over bytes x1..xn: a = sum(xi + 31), b = sum over k of (sum over i <= k of (xi + 31)),
// both modulo 2^32; the digest is (b << 16) | (a & 0xFFFF).
#pragma once

#include <cstddef>
#include <cstdint>

class RSRollingChecksum {
public:
    static constexpr uint32_t CHAR_OFFSET = 31;

    void reset() {
        count = 0;
        a = 0;
        b = 0;
    }

    // Appends bytes at the end of the window.
    void update(const uint8_t* data, size_t length);

    // Drops the first byte of the window (x) and appends y.
    void rotate(uint8_t out, uint8_t in) {
        a += static_cast<uint32_t>(in) - out;
        b += a - static_cast<uint32_t>(count) * (out + CHAR_OFFSET);
    }
    // Drops the first byte of the window.
    void rollout(uint8_t out) {
        a -= out + CHAR_OFFSET;
        b -= static_cast<uint32_t>(count) * (out + CHAR_OFFSET);
        --count;
    }
    // Appends one byte at the end of the window.
    void rollin(uint8_t in) {
        a += in + CHAR_OFFSET;
        b += a;
        ++count;
    }

    uint32_t digest() const { return (b << 16) | (a & 0xFFFF); }

    // Digest of one whole block.
    static uint32_t of(const uint8_t* data, size_t length);

    size_t count = 0;
    uint32_t a = 0;
    uint32_t b = 0;
};
