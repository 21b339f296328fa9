#include "foundation/base64.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

char* encode(const unsigned char* bytes, size_t length) {
    if (!bytes || length > kBase64MaxInput) return nullptr;
    size_t outlen = 4 * ((length + 2) / 3);
    char* out = static_cast<char*>(malloc(outlen + 1));
    if (!out) return nullptr;
    // EVP_EncodeBlock writes the standard alphabet with padding and no newlines.
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), bytes, static_cast<int>(length));
    out[n < 0 ? 0 : n] = 0;
    return out;
}

std::optional<uint32_t> value_of(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return std::nullopt;
}

}  // namespace

char* SzBase64EncBuffer(const unsigned char* bytes, size_t length) { return encode(bytes, length); }

char* SzBase64EncOneLine(const unsigned char* bytes, size_t length) {
    if (!bytes) return nullptr;
    const void* zero = memchr(bytes, 0, length);
    if (zero) length = static_cast<const unsigned char*>(zero) - bytes;
    return encode(bytes, length);
}

bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t* outlen) {
    if (!outlen) return false;
    size_t cap = *outlen;
    *outlen = 0;
    if (inlen < 2) return inlen == 0;
    if (!in || !out) return false;

    // Padding may only close the text: one "=" after three characters of the last
    // group or two after two.
    size_t data_len = inlen;
    size_t pad = 0;
    while (data_len > 0 && in[data_len - 1] == '=' && pad < 2) {
        --data_len;
        ++pad;
    }
    if (pad > 0 && inlen % 4 != 0) return false;
    size_t tail = data_len % 4;
    if (tail == 1) return false;
    if (pad > 0 && pad != 4 - tail) return false;

    size_t produced = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t k = 0; k < data_len; ++k) {
        const std::optional<uint32_t> v = value_of(static_cast<unsigned char>(in[k]));
        if (!v) return false;  // also catches "=" inside the text
        acc = (acc << 6) | *v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (produced >= cap) {
                *outlen = produced;
                return false;
            }
            out[produced++] = static_cast<unsigned char>((acc >> bits) & 0xFF);
        }
    }
    *outlen = produced;
    return true;
}
