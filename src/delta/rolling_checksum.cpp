#include "delta/rolling_checksum.h"

// Written as two plain sums (sum of x and sum of i * x) so that the compiler can
// vectorise the loop; the offset terms are added in closed form. Everything is
// modulo 2^32, as the format wants.
#pragma GCC optimize("O3")
void RSRollingChecksum::update(const uint8_t* data, size_t length)
{
    uint32_t s = 0;   // sum of x
    uint32_t w = 0;   // sum of (length - i) * x, i counted from 0
    uint32_t n = static_cast<uint32_t>(length);
    for (size_t i = 0; i < length; ++i) {
        s += data[i];
        w += (n - static_cast<uint32_t>(i)) * data[i];
    }
    uint32_t off_a = n * CHAR_OFFSET;
    uint32_t off_b = static_cast<uint32_t>((static_cast<uint64_t>(n) * (n + 1) / 2) * CHAR_OFFSET);
    // Each existing prefix sum is counted once more for every new byte.
    b += a * n + w + off_b;
    a += s + off_a;
    count += length;
}

uint32_t RSRollingChecksum::of(const uint8_t* data, size_t length)
{
    RSRollingChecksum sum;
    sum.update(data, length);
    return sum.digest();
}
