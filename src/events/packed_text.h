// PackedText: a string held in 24 bytes for the millions of nodes of an event tree.
// Up to 22 bytes are kept inline; longer texts get one exact-size heap block. A text
// stored with Hex() that is exactly 32 lower-case hex digits (an MD4 or MD5 in hex) is
// kept as its 16 bytes, inline; any other text stored that way is kept as it is, so
// reading a PackedText always gives back exactly what was stored.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "foundation/ustring.h"

class PackedText {
public:
    PackedText() { Reset(); }
    PackedText(std::string_view s) { Set(s, false); }  // NOLINT: stands in for a ustring
    PackedText(const ustring& s) : PackedText(std::string_view(s.c_str_utf8(), s.length())) {}  // NOLINT
    PackedText(const char* s) : PackedText(std::string_view(s)) {}                              // NOLINT
    PackedText(const PackedText& o) { CopyFrom(o); }
    PackedText(PackedText&& o) noexcept {
        std::memcpy(bytes, o.bytes, sizeof bytes);
        o.Reset();
    }
    ~PackedText() { Free(); }
    PackedText& operator=(const PackedText& o) {
        if (this != &o) {
            Free();
            CopyFrom(o);
        }
        return *this;
    }
    PackedText& operator=(PackedText&& o) noexcept {
        if (this != &o) {
            Free();
            std::memcpy(bytes, o.bytes, sizeof bytes);
            o.Reset();
        }
        return *this;
    }

    // As the constructor, but 32 lower-case hex digits are packed into 16 bytes.
    static PackedText Hex(const ustring& s) {
        PackedText t;
        t.Free();
        t.Set(std::string_view(s.c_str_utf8(), s.length()), true);
        return t;
    }

    bool empty() const { return Tag() == 0; }
    uint32_t length() const {
        uint8_t tag = Tag();
        return tag == kHeap ? HeapLen() : tag == kHexTag ? 32 : tag;
    }
    // The text as a ustring (hex-packed texts are spelled out again).
    ustring str() const {
        if (Tag() != kHexTag) return ustring(Data(), length());
        char out[32];
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 16; ++i) {
            out[2 * i] = digits[bytes[i] >> 4];
            out[2 * i + 1] = digits[bytes[i] & 15];
        }
        return ustring(out, 32);
    }
    operator ustring() const { return str(); }  // NOLINT
    // Valid for texts not hex-packed (names and paths are never).
    std::string_view view() const { return std::string_view(Data(), length()); }
    const char* c_str_utf8() const { return Data(); }

private:
    static constexpr uint8_t kInlineMax = 22;
    static constexpr uint8_t kHeap = 0x80;
    static constexpr uint8_t kHexTag = 0x81;

    uint8_t Tag() const { return bytes[23]; }
    void Reset() { std::memset(bytes, 0, sizeof bytes); }
    char* HeapPtr() const {
        char* p;
        std::memcpy(&p, bytes, sizeof p);
        return p;
    }
    uint32_t HeapLen() const {
        uint32_t n;
        std::memcpy(&n, bytes + 8, sizeof n);
        return n;
    }
    const char* Data() const { return Tag() == kHeap ? HeapPtr() : reinterpret_cast<const char*>(bytes); }
    void Free() {
        if (Tag() == kHeap) std::free(HeapPtr());
        Reset();
    }
    static int HexDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; }
    void Set(std::string_view s, bool hex) {
        Reset();
        if (hex && s.size() == 32) {
            uint8_t packed[16];
            bool ok = true;
            for (int i = 0; i < 16 && ok; ++i) {
                int hi = HexDigit(s[2 * i]);
                int lo = HexDigit(s[2 * i + 1]);
                ok = hi >= 0 && lo >= 0;
                packed[i] = static_cast<uint8_t>((hi << 4) | (lo & 15));
            }
            if (ok) {
                std::memcpy(bytes, packed, 16);
                bytes[23] = kHexTag;
                return;
            }
        }
        if (s.size() <= kInlineMax) {
            if (!s.empty()) std::memcpy(bytes, s.data(), s.size());
            bytes[23] = static_cast<uint8_t>(s.size());
            return;
        }
        char* p = static_cast<char*>(std::malloc(s.size() + 1));
        if (p == nullptr) throw std::bad_alloc();
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        uint32_t n = static_cast<uint32_t>(s.size());
        std::memcpy(bytes, &p, sizeof p);
        std::memcpy(bytes + 8, &n, sizeof n);
        bytes[23] = kHeap;
    }
    void CopyFrom(const PackedText& o) {
        if (o.Tag() == kHeap) {
            Set(o.view(), false);
        } else {
            std::memcpy(bytes, o.bytes, sizeof bytes);
        }
    }

    // Inline: the bytes, a zero, the length in bytes[23]. Heap: pointer, length, tag.
    // Hex: 16 bytes, tag.
    alignas(8) uint8_t bytes[24];
};
