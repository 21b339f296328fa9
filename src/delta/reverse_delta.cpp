#include "delta/reverse_delta.h"

#include <algorithm>
#include <cerrno>

#include "delta/error_output.h"
#include "delta/rs_constant.h"

void normalizeBlocks(std::vector<Block>& blocks) {
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) {
        return a.start != b.start ? a.start < b.start : a.length > b.length;
    });
    std::vector<Block> kept;
    kept.reserve(blocks.size());
    uint64_t covered = 0;  // end of the basis range covered so far
    for (Block b : blocks) {
        uint64_t end = b.start + b.length;
        if (b.length == 0 || end <= covered) continue;
        if (b.start < covered) {
            uint64_t cut = covered - b.start;
            b.start += cut;
            b.new_start += cut;
            b.length -= cut;
        }
        kept.push_back(b);
        covered = end;
    }
    blocks.swap(kept);
}

namespace {

bool literal_from_basis(fd_bio_t& out, fd_t& basis, uint64_t from, uint64_t to, uint8_t* work, size_t work_size) {
    if (to <= from) return true;
    uint8_t header[9];
    size_t n = RSConstant::putLiteralHeader(header, to - from);
    if (!fd_bio_write(out, header, n)) {
        delta_error("api.cpp (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    if (!fd_seek(basis, from)) {
        delta_error("api.cpp (%d): fd_seek: Error Code %d\n", __LINE__, errno);
        delta_error("api.cpp (%d): fd_seek: offset = %llu\n", __LINE__, static_cast<unsigned long long>(from));
        return false;
    }
    uint64_t left = to - from;
    while (left > 0) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, work_size));
        size_t got = 0;
        while (got < piece) {
            int64_t r = fd_read(basis, work + got, piece - got);
            if (r <= 0) {
                delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
                delta_error("api.cpp (%d): fd_read: length = %u, return code = %d\n", __LINE__,
                            static_cast<unsigned>(piece), static_cast<int>(r));
                return false;
            }
            got += static_cast<size_t>(r);
        }
        if (!fd_bio_write(out, work, piece)) {
            delta_error("api.cpp (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
            return false;
        }
        left -= piece;
    }
    return true;
}

}  // namespace

bool writeReverseDelta(const ustring& file, std::vector<Block> blocks, fd_t& basis, uint64_t basis_size, uint8_t* work,
                       size_t work_size) {
    normalizeBlocks(blocks);
    fd_t rpatch_fd;
    if (!fd_open_write(file, rpatch_fd)) {
        delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    fd_bio_t rpatch_bio;
    bool ok = fd_bio_load(rpatch_bio, rpatch_fd, work_size);
    uint8_t cmd[17];
    if (ok) {
        RSConstant::putBigEndian(cmd, RSConstant::MAGIC_DELTA, 4);
        ok = fd_bio_write(rpatch_bio, cmd, 4);
    }
    uint64_t done = 0;
    for (size_t i = 0; ok && i < blocks.size(); ++i) {
        const Block& b = blocks[i];
        if (b.start + b.length > basis_size) break;  // the patch already refused such copies; never read past the end
        ok = literal_from_basis(rpatch_bio, basis, done, b.start, work, work_size);
        if (ok) ok = fd_bio_write(rpatch_bio, cmd, RSConstant::putCopy(cmd, b.new_start, b.length));
        done = b.start + b.length;
    }
    if (ok) ok = literal_from_basis(rpatch_bio, basis, done, basis_size, work, work_size);
    if (ok) {
        cmd[0] = RSConstant::OP_END;
        ok = fd_bio_write(rpatch_bio, cmd, 1);
    }
    if (ok) ok = fd_bio_flush(rpatch_bio);
    if (!ok) delta_error("api.cpp (%d): fd_bio_write: Error Code %d\n", __LINE__, errno);
    fd_bio_unload(rpatch_bio);
    fd_close(rpatch_fd);
    return ok;
}
