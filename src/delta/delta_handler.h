// Computes the delta of the bytes of the pass against an old file's signature: copy
// commands for every run of whole blocks found in the old file, literals for the rest.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/file_handler.h"
#include "delta/file_io.h"
#include "delta/rolling_checksum.h"
#include "foundation/ustring.h"

struct DeltaBlock {
    uint32_t weaksum;
    uint32_t index;
};

// One slot of the open-addressed table from a weak sum to its first entry in the sorted
// block table; first == EMPTY marks a free slot.
struct WeakSlot {
    static constexpr uint32_t EMPTY = UINT32_MAX;
    uint32_t weaksum = 0;
    uint32_t first = EMPTY;
};

class DeltaHandler : public FileHandler {
public:
    DeltaHandler(const ustring& delta_file, const ustring& signature_file);
    ~DeltaHandler() override;

    [[nodiscard]] bool begin() override;
    [[nodiscard]] bool update(const uint8_t* data, size_t length) override;
    [[nodiscard]] bool wait() override;
    [[nodiscard]] bool end() override;

    // Writes the delta to a descriptor the caller opened (for writing, empty) instead
    // of creating delta_file; the handler closes its own duplicate, the caller keeps
    // out_fd.
    void setOutputHandle(int out_fd) { output_handle = out_fd; }

private:
    [[nodiscard]] bool loadSignature();
    bool mayHave(uint32_t weak) const;
    size_t firstWithWeak(uint32_t weak) const;
    size_t skipMisses(const uint8_t* buf, size_t pos, size_t len);
    bool matchBlock(const uint8_t* window);
    bool findMatch(const uint8_t* window, uint32_t weak);
    const uint8_t* strongOf(const uint8_t* window);
    void closeMatch();
    void emitLiteral(const uint8_t* data, size_t length);
    void reserveWrite(size_t more);

    ustring delta_file;
    int output_handle = -1;
    ustring signature_file;
    fd_t fd;
    fd_aio_t aio;
    uint32_t block_size = 0;
    uint32_t hash_size = 0;
    std::vector<uint8_t> sig_body;     // the signature's block records as read
    std::vector<DeltaBlock> sig_stat;  // sorted by weak sum, then index
    uint32_t sig_block_count = 0;
    std::vector<uint64_t> weak_filter;  // two bits in one word per weak sum present
    int filter_shift = 64;
    std::vector<WeakSlot> weak_slots;  // weak sum -> first index into sig_stat
    int slot_shift = 32;
    std::vector<uint8_t> read_buffer;
    size_t read_buffer_size = 0;
    std::vector<uint8_t> write_buffer;
    size_t write_buffer_size = 0;
    std::vector<uint32_t> match_possibility;
    uint64_t match_start = 0;
    uint64_t match_count = 0;
    static constexpr size_t NO_MISMATCH = SIZE_MAX;
    size_t mismatch_start = NO_MISMATCH;  // index into read_buffer
    RSRollingChecksum checksum;
    // MD4 of the current window, computed at most once per position.
    uint8_t window_strong[16] = {};
    bool window_strong_valid = false;
    bool writing = false;
    bool begun = false;
};
