// Cutting UTF-8 text to a byte budget without splitting a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest prefix of s that is at most size bytes and does not end inside a
// UTF-8 sequence (continuation bytes are never left without their lead byte).
inline std::string CutUtf8(std::string_view s, size_t size) {
    if (s.size() <= size) return std::string(s);
    while (size > 0 && (static_cast<unsigned char>(s[size]) & 0xC0) == 0x80) --size;
    return std::string(s.substr(0, size));
}
