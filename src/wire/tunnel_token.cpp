#include "wire/tunnel_token.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kHeader = 24;
constexpr size_t kTrailer = 2;
constexpr size_t kBlock = 8;

void PutBE32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t GetBE32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool DeriveKey(const RelayKey& key, uint32_t seed, unsigned char out[24]) {
    unsigned char mapped[4];
    PutBE32(mapped, seed * key.multiplier + key.increment);
    unsigned char digests[EVP_MAX_MD_SIZE * 2];
    unsigned sha_len = 0, md5_len = 0;
    if (EVP_Digest(mapped, sizeof mapped, digests, &sha_len, EVP_sha1(), nullptr) != 1 || sha_len != 20) return false;
    if (EVP_Digest(mapped, sizeof mapped, digests + sha_len, &md5_len, EVP_md5(), nullptr) != 1 || md5_len != 16)
        return false;
    std::memcpy(out, digests, 24);
    return true;
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// One pass of Triple-DES CBC with PKCS#5 padding: true with the output length in `written`.
bool Crypt(bool encrypt, const unsigned char key[24], const unsigned char iv[8], unsigned char* out,
           const unsigned char* in, size_t len, size_t& written) {
    if (len > static_cast<size_t>(INT_MAX) - 2 * kBlock) return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1) return false;
    int n = 0, tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &n, in, static_cast<int>(len)) != 1) return false;
    if (EVP_CipherFinal_ex(ctx.get(), out + n, &tail) != 1) return false;
    written = static_cast<size_t>(n + tail);
    return true;
}

bool ParseU32(const std::string& text, uint32_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseRelayKey(const std::string& multiplier, const std::string& increment, const std::string& iv, RelayKey* key,
                   std::string* problem, bool* unset) {
    auto fail = [&](const char* name, const std::string& value) {
        *problem = name;
        *unset = value.empty();
        return false;
    };
    RelayKey k;
    if (!ParseU32(multiplier, &k.multiplier)) return fail("relay_key_multiplier", multiplier);
    if (!ParseU32(increment, &k.increment)) return fail("relay_key_increment", increment);
    if (iv.size() != 16) return fail("relay_iv", iv);
    for (size_t i = 0; i < 8; ++i) {
        int hi = HexDigit(iv[2 * i]), lo = HexDigit(iv[2 * i + 1]);
        if (hi < 0 || lo < 0) return fail("relay_iv", iv);
        k.iv[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    *key = k;
    problem->clear();
    *unset = false;
    return true;
}

size_t VARNELCryptoEncryptLength(size_t n) { return n + 34; }

bool VARNELCryptoEncrypt(const RelayKey& key, unsigned char* output, size_t output_size, const unsigned char* input,
                         size_t input_length, size_t* written) {
    if (!output || (!input && input_length != 0)) return false;
    size_t padded = (input_length / kBlock + 1) * kBlock;
    size_t total = kHeader + padded + kTrailer;
    if (total > output_size || total > static_cast<size_t>(INT_MAX)) return false;
    if (RAND_bytes(output, static_cast<int>(kHeader)) != 1) return false;
    output[0] = 0xFF;
    output[1] = 0xFF;
    output[2] = 0x00;
    output[3] = 0x01;
    uint32_t seed = GetBE32(output + 10);
    PutBE32(output + 20, static_cast<uint32_t>(padded));
    unsigned char k[24];
    if (!DeriveKey(key, seed, k)) return false;
    size_t n = 0;
    if (!Crypt(true, k, key.iv, output + kHeader, input, input_length, n) || n != padded) return false;
    if (RAND_bytes(output + kHeader + padded, static_cast<int>(kTrailer)) != 1) return false;
    *written = total;
    return true;
}

bool VARNELCryptoDecrypt(const RelayKey& key, unsigned char* output, size_t output_size, const unsigned char* token,
                         size_t token_length, size_t* written) {
    if (!output || !token || token_length < kHeader + kBlock + kTrailer) return false;
    if (token[0] != 0xFF || token[1] != 0xFF || token[2] != 0x00 || token[3] != 0x01) return false;
    size_t n = GetBE32(token + 20);
    if (n == 0 || n % kBlock != 0 || n != token_length - kHeader - kTrailer) return false;
    // Decryption writes up to n bytes before the padding is removed.
    if (output_size < n) return false;
    unsigned char k[24];
    if (!DeriveKey(key, GetBE32(token + 10), k)) return false;
    return Crypt(false, k, key.iv, output, token + kHeader, n, *written);
}

bool VARNELCryptoBase64Encode(char* output, size_t output_size, const unsigned char* input, size_t input_length,
                              size_t* written) {
    if (!output || output_size == 0) return false;
    output[0] = '\0';
    if (!input && input_length != 0) return false;
    size_t need = (input_length + 2) / 3 * 4 + 1;
    if (need > output_size || input_length > static_cast<size_t>(INT_MAX) / 2) return false;
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(output), input, static_cast<int>(input_length));
    if (n < 0) return false;
    if (written) *written = static_cast<size_t>(n);
    return true;
}
