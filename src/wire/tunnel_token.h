// The relay's authentication token: the target text encrypted with Triple-DES (EDE,
// three keys, CBC, PKCS#5 padding) under a key derived from a random seed, framed as
// below (all integers big-endian):
//
//   0-1 0xFFFF | 2-3 version 1 | 4-9 random | 10-13 key seed | 14-19 random |
//   20-23 ciphertext length n | 24.. ciphertext | 2 random bytes
//
// Key: the seed is mapped to seed * multiplier + increment (mod 2^32), written as 4
// big-endian bytes, and hashed with SHA-1 and with MD5; the first 24 of the 36 digest
// bytes (SHA-1 first) are the key. The multiplier, the increment and the 8-byte
// initialisation vector must match the relay's; they come from the settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct RelayKey {
    uint32_t multiplier = 0;
    uint32_t increment = 0;
    unsigned char iv[8] = {};
};

// Reads the three settings texts: the constants as unsigned 32-bit numbers (decimal or
// 0x-hexadecimal), the IV as exactly 16 hex digits. True, or false with the name of
// the first missing or malformed setting in *problem (one of "relay_key_multiplier",
// "relay_key_increment", "relay_iv") and *unset true when that setting is empty.
[[nodiscard]] bool ParseRelayKey(const std::string& multiplier, const std::string& increment, const std::string& iv,
                                 RelayKey* key, std::string* problem, bool* unset);

// Buffer size to allow for the token of an n-byte input (n + 34).
size_t VARNELCryptoEncryptLength(size_t n);
// Builds the token of the input in output: true with its length in *written (the input
// rounded up to the next multiple of 8, plus 26), false when output_size is too small
// or the crypto library failed; nothing is cut.
[[nodiscard]] bool VARNELCryptoEncrypt(const RelayKey& key, unsigned char* output, size_t output_size,
                                       const unsigned char* input, size_t input_length, size_t* written);
// Reverses VARNELCryptoEncrypt (the relay's side): true with the plaintext length in
// *written, false for a malformed token, a wrong key (bad padding) or an output buffer
// that is too small.
[[nodiscard]] bool VARNELCryptoDecrypt(const RelayKey& key, unsigned char* output, size_t output_size,
                                       const unsigned char* token, size_t token_length, size_t* written);
// Standard base64 without line breaks, zero-terminated: true with the number of
// characters in *written (when not null), false when the text and its terminator do
// not fit output_size (then output holds an empty text if output_size > 0); nothing is
// cut.
[[nodiscard]] bool VARNELCryptoBase64Encode(char* output, size_t output_size, const unsigned char* input,
                                            size_t input_length, size_t* written);
