// The reverse of an applied delta: a delta that turns the new file back into the basis.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/file_io.h"
#include "foundation/ustring.h"

// New-file bytes [new_start, new_start + length) equal basis bytes [start, start + length).
struct Block {
    uint64_t start;
    uint64_t length;
    uint64_t new_start;
};

// Sorts by start and trims overlaps so that no basis byte is covered twice.
void normalizeBlocks(std::vector<Block>& blocks);

// Writes the reverse delta: for each block the basis bytes before it as a literal, then a
// copy of it from the new file; then the basis bytes after the last block. The basis
// handle is read with seeks. True on success.
[[nodiscard]] bool writeReverseDelta(const ustring& file, std::vector<Block> blocks, fd_t& basis, uint64_t basis_size,
                                     uint8_t* work, size_t work_size);
