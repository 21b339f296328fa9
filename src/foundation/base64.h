// Base64 with the standard alphabet and "=" padding, no line breaks.
#pragma once

#include <cstddef>

// Largest input the encoders take: the text must fit a 3072-byte buffer with its
// terminating zero. Longer input is refused with a null result.
constexpr size_t kBase64MaxInput = 2301;

// Newly allocated (malloc) zero-terminated text; the caller frees it with free().
// Null for null input, input over kBase64MaxInput bytes or a failed allocation.
char* SzBase64EncBuffer(const unsigned char* bytes, size_t length);
// The same, but the input ends at its first zero byte if that comes first.
char* SzBase64EncOneLine(const unsigned char* bytes, size_t length);

// Decodes base64 text into out, at most *outlen bytes; *outlen becomes the number
// of bytes produced. False on a character outside the alphabet, misplaced padding,
// a dangling single character or an output buffer that is too small. A final group
// of two or three characters without padding is accepted.
bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t* outlen);
