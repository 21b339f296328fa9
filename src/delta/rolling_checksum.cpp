#include "delta/rolling_checksum.h"

#include <algorithm>

// The weak sum is the hot loop of signature making. It is written as two plain sums over
// segments short enough for 16-bit weights (sum of x and sum of weight * x), which the
// compiler turns into multiply-add vector code; the offset terms are added in closed form.
// Everything is modulo 2^32, as the format wants.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

// The AVX2 clone is picked by a resolver that runs before ThreadSanitizer is set up,
// which crashes an instrumented resolver; that build keeps the plain version.
#if defined(__SANITIZE_THREAD__)
#define NIMBREL_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NIMBREL_CLONES
#endif
#endif
#ifndef NIMBREL_CLONES
#define NIMBREL_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace {

// Weights stay below 2^15 and the weighted sum of a segment of 255s below 2^31.
constexpr size_t SEGMENT = 4096;

// For m <= SEGMENT bytes: s = sum of x, w = sum of (m - i) * x_i, i from 0.
// In runs of 32 bytes the weight m - i splits into (m - start) - j: one sum and one
// sum weighted by j < 32 per run, both of which vectorise to byte multiply-adds.
NIMBREL_CLONES void segment_sums(const uint8_t* data, size_t m, uint32_t& s, uint32_t& w) {
    uint32_t ss = 0;
    uint32_t ws = 0;
    size_t i = 0;
    for (; i + 32 <= m; i += 32) {
        uint16_t cs = 0;
        uint32_t cw = 0;
        for (uint16_t j = 0; j < 32; ++j) {
            cs = static_cast<uint16_t>(cs + data[i + j]);
            cw += static_cast<uint32_t>(j) * data[i + j];
        }
        ss += cs;
        ws += static_cast<uint32_t>(m - i) * cs - cw;
    }
    for (; i < m; ++i) {
        ss += data[i];
        ws += static_cast<uint32_t>(m - i) * data[i];
    }
    s = ss;
    w = ws;
}

}  // namespace

void RSRollingChecksum::update(const uint8_t* data, size_t length) {
    while (length > 0) {
        size_t m = std::min(length, SEGMENT);
        uint32_t s, w;
        segment_sums(data, m, s, w);
        uint32_t n = static_cast<uint32_t>(m);
        uint32_t off_a = n * CHAR_OFFSET;
        uint32_t off_b = static_cast<uint32_t>((static_cast<uint64_t>(n) * (n + 1) / 2) * CHAR_OFFSET);
        // Each earlier prefix sum is counted once more for every new byte.
        b += a * n + w + off_b;
        a += s + off_a;
        count += m;
        data += m;
        length -= m;
    }
}

uint32_t RSRollingChecksum::of(const uint8_t* data, size_t length) {
    RSRollingChecksum sum;
    sum.update(data, length);
    return sum.digest();
}
