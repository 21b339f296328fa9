#include "delta/rs_constant.h"

#include <array>

namespace {

std::array<CmdInfo, 256> build_table() {
    std::array<CmdInfo, 256> table{};
    static constexpr uint8_t widths[4] = {1, 2, 4, 8};
    for (int op = 0; op < 256; ++op) {
        CmdInfo info{RSConstant::TYPE_INVALID, 0, 0, 0};
        if (op == RSConstant::OP_END) {
            info.type = RSConstant::TYPE_END;
        } else if (op <= RSConstant::MAX_IMMEDIATE_LITERAL) {
            info.type = RSConstant::TYPE_LITERAL;
            info.immediate = static_cast<uint8_t>(op);
        } else if (op <= RSConstant::OP_LITERAL_N8) {
            info.type = RSConstant::TYPE_LITERAL;
            info.len_1 = widths[op - RSConstant::OP_LITERAL_N1];
        } else if (op < RSConstant::OP_COPY_N1_N1 + 16) {
            int k = op - RSConstant::OP_COPY_N1_N1;
            info.type = RSConstant::TYPE_COPY;
            info.len_1 = widths[k / 4];
            info.len_2 = widths[k % 4];
        }
        table[op] = info;
    }
    return table;
}

}  // namespace

const CmdInfo& RSConstant::getInfo(uint8_t opcode) {
    static const std::array<CmdInfo, 256> table = build_table();
    return table[opcode];
}

int RSConstant::widthOf(uint64_t value) {
    if (value < 0x100) return 1;
    if (value < 0x10000) return 2;
    if (value < 0x100000000ull) return 4;
    return 8;
}

int RSConstant::widthIndex(int width) { return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3; }

size_t RSConstant::putBigEndian(uint8_t* out, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
    return static_cast<size_t>(width);
}

uint64_t RSConstant::getBigEndian(const uint8_t* in, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | in[i];
    return v;
}

size_t RSConstant::putLiteralHeader(uint8_t* out, uint64_t length) {
    if (length >= 1 && length <= MAX_IMMEDIATE_LITERAL) {
        out[0] = static_cast<uint8_t>(length);
        return 1;
    }
    int w = widthOf(length);
    out[0] = static_cast<uint8_t>(OP_LITERAL_N1 + widthIndex(w));
    return 1 + putBigEndian(out + 1, length, w);
}

size_t RSConstant::putCopy(uint8_t* out, uint64_t offset, uint64_t length) {
    int wo = widthOf(offset);
    int wl = widthOf(length);
    out[0] = static_cast<uint8_t>(OP_COPY_N1_N1 + 4 * widthIndex(wo) + widthIndex(wl));
    size_t n = 1;
    n += putBigEndian(out + n, offset, wo);
    n += putBigEndian(out + n, length, wl);
    return n;
}
