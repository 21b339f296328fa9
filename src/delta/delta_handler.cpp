#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "delta/delta_handler.h"

#include <fcntl.h>
#include <openssl/md4.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "delta/error_output.h"
#include "delta/rs_constant.h"
#include "delta/signature_handler.h"

namespace {
constexpr size_t INITIAL_BUFFER = 500;
// Old blocks with the same weak sum examined per position. Natural data has few; a
// signature crafted with thousands would otherwise make every position cost thousands
// of comparisons. Missing a match only makes the delta larger, never wrong.
constexpr int MAX_WEAK_CANDIDATES = 1024;

inline uint32_t filter_hash(uint32_t weak) { return weak * 0x9E3779B1u; }

// The filter is a Bloom filter blocked into 64-bit words: a weak sum picks one word
// (top bits of a 64-bit product) and sets three bits in it (middle bits), so a lookup is
// one load and false hits are rare enough that the table behind it is seldom touched.
struct FilterProbe {
    size_t word;
    uint64_t mask;
};

inline FilterProbe filter_probe(uint32_t weak, int word_shift) {
    uint64_t h = uint64_t(weak) * 0x9E3779B97F4A7C15ull;
    return {static_cast<size_t>(h >> word_shift),
            (uint64_t(1) << ((h >> 22) & 63)) | (uint64_t(1) << ((h >> 28) & 63)) | (uint64_t(1) << ((h >> 34) & 63))};
}
}  // namespace

DeltaHandler::DeltaHandler(const ustring& delta, const ustring& signature)
    : delta_file(delta), signature_file(signature) {}

DeltaHandler::~DeltaHandler() { (void)end(); }

bool DeltaHandler::loadSignature() {
    fd_t sfd;
    if (!fd_open_read(signature_file, sfd)) {
        delta_error("api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        return false;
    }
    uint64_t size = 0;
    uint8_t header[12];
    bool ok = true;
    if (!fd_stat(sfd, size)) {
        delta_error("api.cpp (%d): fd_stat: Error Code %d\n", __LINE__, errno);
        ok = false;
    } else if (size < sizeof header) {
        delta_error("api.cpp (%d): invalid signature header\n", __LINE__);
        ok = false;
    }
    size_t got = 0;
    while (ok && got < sizeof header) {
        int64_t n = fd_read(sfd, header + got, sizeof header - got);
        if (n <= 0) {
            delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
            ok = false;
        }
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (ok) {
        uint32_t magic = static_cast<uint32_t>(RSConstant::getBigEndian(header, 4));
        block_size = static_cast<uint32_t>(RSConstant::getBigEndian(header + 4, 4));
        hash_size = static_cast<uint32_t>(RSConstant::getBigEndian(header + 8, 4));
        uint64_t record = 4 + static_cast<uint64_t>(hash_size);
        if (magic != RSConstant::MAGIC_SIGNATURE) {
            delta_error("api.cpp (%d): invalid signature header\n", __LINE__);
            ok = false;
        } else if (block_size == 0 || block_size > SignatureHandler::MAX_BLOCK_SIZE) {
            delta_error("api.cpp (%d): invalid signature block size\n", __LINE__);
            ok = false;
        } else if (hash_size < 1 || hash_size > SignatureHandler::MAX_HASH_SIZE) {
            delta_error("api.cpp (%d): invalid signature hash size\n", __LINE__);
            ok = false;
        } else if ((size - sizeof header) % record != 0 || (size - sizeof header) / record > UINT32_MAX) {
            // A cut-off record means the signature is damaged; matching against it
            // could copy the wrong bytes.
            delta_error("api.cpp (%d): invalid signature length %llu\n", __LINE__,
                        static_cast<unsigned long long>(size));
            ok = false;
        }
    }
    if (ok) {
        size_t body = static_cast<size_t>(size - sizeof header);
        try {
            sig_body.resize(body);
        } catch (const std::bad_alloc&) {
            delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
            ok = false;
        }
        got = 0;
        while (ok && got < body) {
            int64_t n = fd_read(sfd, sig_body.data() + got, body - got);
            if (n <= 0) {
                delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
                ok = false;
            }
            got += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    fd_close(sfd);
    if (!ok) return false;

    size_t record = 4 + hash_size;
    sig_block_count = static_cast<uint32_t>(sig_body.size() / record);
    sig_stat.resize(sig_block_count);
    for (uint32_t i = 0; i < sig_block_count; ++i) {
        sig_stat[i].weaksum = static_cast<uint32_t>(RSConstant::getBigEndian(&sig_body[i * record], 4));
        sig_stat[i].index = i;
    }
    std::sort(sig_stat.begin(), sig_stat.end(), [](const DeltaBlock& x, const DeltaBlock& y) {
        return x.weaksum != y.weaksum ? x.weaksum < y.weaksum : x.index < y.index;
    });

    // A filter in front of the lookup: most positions of changed data miss every block,
    // and a miss then costs one load. About 32 bits a block keep false hits near 0.1%
    // while the filter stays small enough for the cache; it stays within 16 MiB.
    int bits = 16;
    while (bits < 27 && (uint64_t(1) << bits) < uint64_t(sig_block_count) * 32) ++bits;
    filter_shift = 64 - (bits - 6);
    weak_filter.assign((size_t(1) << bits) / 64, 0);
    for (const DeltaBlock& b : sig_stat) {
        FilterProbe p = filter_probe(b.weaksum, filter_shift);
        weak_filter[p.word] |= p.mask;
    }
    // The weak sums present, each with its first entry in the sorted table, open-addressed
    // at most half full: a filter hit costs one or two probes instead of a binary search.
    int slot_bits = 4;
    while (slot_bits < 31 && (uint64_t(1) << slot_bits) < uint64_t(sig_block_count) * 2) ++slot_bits;
    slot_shift = 32 - slot_bits;
    weak_slots.assign(size_t(1) << slot_bits, WeakSlot{});
    const size_t slot_mask = weak_slots.size() - 1;
    for (uint32_t i = 0; i < sig_block_count; ++i) {
        if (i > 0 && sig_stat[i].weaksum == sig_stat[i - 1].weaksum) continue;
        size_t s = filter_hash(sig_stat[i].weaksum) >> slot_shift;
        while (weak_slots[s].first != WeakSlot::EMPTY) s = (s + 1) & slot_mask;
        weak_slots[s] = WeakSlot{sig_stat[i].weaksum, i};
    }
    return true;
}

bool DeltaHandler::begin() {
    begun = true;
    try {
        read_buffer.resize(INITIAL_BUFFER);
        write_buffer.resize(INITIAL_BUFFER);
    } catch (const std::bad_alloc&) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
        return false;
    }
    if (!loadSignature()) return false;
    if (output_handle >= 0) {
        fd.handle = fcntl(output_handle, F_DUPFD_CLOEXEC, 0);
        if (fd.handle < 0) {
            delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
            return false;
        }
    } else if (!fd_open_write(delta_file, fd)) {
        delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    uint8_t magic[4];
    RSConstant::putBigEndian(magic, RSConstant::MAGIC_DELTA, 4);
    if (fd_write(fd, magic, sizeof magic) != static_cast<int64_t>(sizeof magic)) {
        delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

inline bool DeltaHandler::mayHave(uint32_t weak) const {
    FilterProbe p = filter_probe(weak, filter_shift);
    return (weak_filter[p.word] & p.mask) == p.mask;
}

size_t DeltaHandler::firstWithWeak(uint32_t weak) const {
    const size_t mask = weak_slots.size() - 1;
    for (size_t s = filter_hash(weak) >> slot_shift;; s = (s + 1) & mask) {
        const WeakSlot& slot = weak_slots[s];
        if (slot.first == WeakSlot::EMPTY) return SIZE_MAX;
        if (slot.weaksum == weak) return slot.first;
    }
}

// Rolls the window forward from pos past every position whose weak sum no block has,
// stopping at a possible hit or at the last whole window; returns the new position.
// The state is held in locals: through the byte pointer the compiler would otherwise
// reload and store it for every byte.
size_t DeltaHandler::skipMisses(const uint8_t* buf, size_t pos, size_t len) {
    const size_t B = block_size;
    const uint64_t* filter = weak_filter.data();
    const int shift = filter_shift;
    const uint32_t n = static_cast<uint32_t>(checksum.count);
    uint32_t a = checksum.a;
    uint32_t b = checksum.b;
    while (pos + B < len) {
        FilterProbe p = filter_probe((b << 16) | (a & 0xFFFF), shift);
        if ((filter[p.word] & p.mask) == p.mask) break;
        uint32_t out = buf[pos];
        a += static_cast<uint32_t>(buf[pos + B]) - out;
        b += a - n * (out + RSRollingChecksum::CHAR_OFFSET);
        ++pos;
    }
    checksum.a = a;
    checksum.b = b;
    return pos;
}

const uint8_t* DeltaHandler::strongOf(const uint8_t* window) {
    if (!window_strong_valid) {
        MD4(window, block_size, window_strong);
        window_strong_valid = true;
    }
    return window_strong;
}

void DeltaHandler::reserveWrite(size_t more) {
    if (write_buffer_size + more > write_buffer.size())
        write_buffer.resize(std::max(write_buffer.size() * 2, write_buffer_size + more));
}

void DeltaHandler::emitLiteral(const uint8_t* data, size_t length) {
    if (length == 0) return;
    reserveWrite(9 + length);
    write_buffer_size += RSConstant::putLiteralHeader(write_buffer.data() + write_buffer_size, length);
    std::memcpy(write_buffer.data() + write_buffer_size, data, length);
    write_buffer_size += length;
}

void DeltaHandler::closeMatch() {
    if (match_count > 0) {
        reserveWrite(17);
        write_buffer_size += RSConstant::putCopy(write_buffer.data() + write_buffer_size, match_start * block_size,
                                                 match_count * block_size);
    }
    match_count = 0;
    match_possibility.clear();
}

bool DeltaHandler::findMatch(const uint8_t* window, uint32_t weak) {
    if (!mayHave(weak)) return false;
    size_t first = firstWithWeak(weak);
    if (first == SIZE_MAX) return false;
    auto it = sig_stat.begin() + static_cast<ptrdiff_t>(first);
    size_t record = 4 + hash_size;
    int examined = 0;
    for (; it != sig_stat.end() && it->weaksum == weak && examined < MAX_WEAK_CANDIDATES; ++it, ++examined) {
        const uint8_t* strong = strongOf(window);
        if (std::memcmp(&sig_body[static_cast<size_t>(it->index) * record + 4], strong, hash_size) == 0) {
            match_possibility.assign(1, it->index);
            return true;
        }
    }
    return false;
}

// Tries to extend the open match or open a new one at the window; true when the block
// at the window was matched.
bool DeltaHandler::matchBlock(const uint8_t* window) {
    uint32_t weak = checksum.digest();
    window_strong_valid = false;
    size_t record = 4 + hash_size;
    if (match_count > 0) {
        size_t kept = 0;
        for (uint32_t candidate : match_possibility) {
            uint64_t next = candidate + match_count;
            if (next >= sig_block_count) continue;
            const uint8_t* rec = &sig_body[static_cast<size_t>(next) * record];
            if (RSConstant::getBigEndian(rec, 4) != weak) continue;
            if (std::memcmp(rec + 4, strongOf(window), hash_size) != 0) continue;
            match_possibility[kept++] = candidate;
        }
        match_possibility.resize(kept);
        if (kept > 0) {
            ++match_count;
            return true;
        }
        closeMatch();
    }
    if (findMatch(window, weak)) {
        if (mismatch_start != NO_MISMATCH) {
            emitLiteral(read_buffer.data() + mismatch_start,
                        static_cast<size_t>(window - read_buffer.data()) - mismatch_start);
            mismatch_start = NO_MISMATCH;
        }
        match_start = match_possibility.front();
        match_count = 1;
        return true;
    }
    if (mismatch_start == NO_MISMATCH) mismatch_start = static_cast<size_t>(window - read_buffer.data());
    return false;
}

bool DeltaHandler::update(const uint8_t* data, size_t length) {
    if (!fd_is_open(fd) || writing) return false;
    try {
        if (read_buffer_size + length > read_buffer.size()) read_buffer.resize(read_buffer_size + length);
    } catch (const std::bad_alloc&) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
        return false;
    }
    std::memcpy(read_buffer.data() + read_buffer_size, data, length);
    read_buffer_size += length;

    const uint8_t* buf = read_buffer.data();
    const size_t len = read_buffer_size;
    const size_t B = block_size;
    if (checksum.count < B) {
        size_t upto = std::min(B, len);
        if (upto > checksum.count) checksum.update(buf + checksum.count, upto - checksum.count);
    }
    size_t pos = 0;
    while (len - pos >= B) {
        if (match_count == 0 && mismatch_start != NO_MISMATCH) {
            // Inside unmatched data: roll quickly past positions whose weak sum no
            // block has.
            pos = skipMisses(buf, pos, len);
        }
        if (matchBlock(buf + pos)) {
            pos += B;
            checksum.reset();
            size_t n = std::min(B, len - pos);
            checksum.update(buf + pos, n);
            if (n < B) break;
        } else if (pos + B < len) {
            checksum.rotate(buf[pos], buf[pos + B]);
            ++pos;
        } else {
            checksum.rollout(buf[pos]);
            ++pos;
        }
    }
    if (mismatch_start != NO_MISMATCH) {
        emitLiteral(buf + mismatch_start, pos - mismatch_start);
        mismatch_start = NO_MISMATCH;
    }
    std::memmove(read_buffer.data(), buf + pos, len - pos);
    read_buffer_size = len - pos;

    return fd_aio_start(aio, fd, write_buffer.data(), write_buffer_size, writing);
}

bool DeltaHandler::wait() { return fd_aio_finish(aio, write_buffer_size, writing); }

bool DeltaHandler::end() {
    if (!begun) return true;
    begun = false;
    bool ok = wait();
    if (fd_is_open(fd) && ok) {
        closeMatch();
        // The tail shorter than a block always travels as a literal.
        emitLiteral(read_buffer.data(), read_buffer_size);
        read_buffer_size = 0;
        reserveWrite(1);
        write_buffer[write_buffer_size++] = RSConstant::OP_END;
        if (fd_write(fd, write_buffer.data(), write_buffer_size) != static_cast<int64_t>(write_buffer_size)) {
            delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
            ok = false;
        }
        write_buffer_size = 0;
    }
    fd_close(fd);
    sig_body.clear();
    sig_body.shrink_to_fit();
    sig_stat.clear();
    sig_stat.shrink_to_fit();
    weak_filter.clear();
    weak_slots.clear();
    read_buffer.clear();
    write_buffer.clear();
    match_possibility.clear();
    match_count = 0;
    checksum.reset();
    return ok;
}
