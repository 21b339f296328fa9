// Magic numbers and the opcode table of the signature and delta formats.
// All multi-byte integers in both formats are unsigned big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

struct CmdInfo {
    uint8_t type;       // TYPE_END, TYPE_LITERAL, TYPE_COPY or TYPE_INVALID
    uint8_t immediate;  // literal length carried by the opcode itself, else 0
    uint8_t len_1;      // byte width of the first parameter, 0 when absent
    uint8_t len_2;      // byte width of the second parameter, 0 when absent
};

class RSConstant {
public:
    static constexpr uint32_t MAGIC_SIGNATURE = 0x72730136;  // "rs" 0x01 '6'
    static constexpr uint32_t MAGIC_DELTA = 0x72730236;      // "rs" 0x02 '6'

    static constexpr uint8_t OP_END = 0x00;
    static constexpr uint8_t OP_LITERAL_N1 = 0x41;
    static constexpr uint8_t OP_LITERAL_N2 = 0x42;
    static constexpr uint8_t OP_LITERAL_N4 = 0x43;
    static constexpr uint8_t OP_LITERAL_N8 = 0x44;
    static constexpr uint8_t OP_COPY_N1_N1 = 0x45;
    static constexpr uint8_t OP_COPY_N2_N1 = 0x49;
    static constexpr uint8_t OP_COPY_N4_N1 = 0x4D;
    static constexpr uint8_t OP_COPY_N8_N1 = 0x51;
    static constexpr uint8_t MAX_IMMEDIATE_LITERAL = 0x40;

    static constexpr uint8_t TYPE_END = 0;
    static constexpr uint8_t TYPE_LITERAL = 1;
    static constexpr uint8_t TYPE_COPY = 2;
    static constexpr uint8_t TYPE_INVALID = 3;

    static const CmdInfo& getInfo(uint8_t opcode);

    // Narrowest width for a value: 1, 2, 4 or 8 bytes.
    static int widthOf(uint64_t value);
    // Index 0..3 of a width of 1, 2, 4 or 8 bytes.
    static int widthIndex(int width);

    // Encoders; each appends to out and returns the bytes written.
    static size_t putBigEndian(uint8_t* out, uint64_t value, int width);
    static uint64_t getBigEndian(const uint8_t* in, int width);
    // Opcode and length of a literal command (the data follows); at most 9 bytes.
    static size_t putLiteralHeader(uint8_t* out, uint64_t length);
    // A whole copy command; at most 17 bytes.
    static size_t putCopy(uint8_t* out, uint64_t offset, uint64_t length);
};
