// OpenSSL 3 keeps MD4 only in its deprecated low-level interface (the EVP one needs the
// legacy provider); it is the hash the formats are defined with.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "delta/md4_hash_handler.h"

bool MD4HashHandler::begin() {
    started = MD4_Init(&state) == 1;
    return started;
}

bool MD4HashHandler::update(const uint8_t* data, size_t length) {
    if (!started) return false;
    return MD4_Update(&state, data, length) == 1;
}

bool MD4HashHandler::end() {
    if (!started) return true;
    started = false;
    if (MD4_Final(result, &state) != 1) return false;
    if (result_string != nullptr) *result_string = toHex(result, sizeof result);
    return true;
}

ustring MD4HashHandler::toHex(const uint8_t* digest, size_t length) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return ustring(text);
}
