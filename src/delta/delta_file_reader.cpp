#include "delta/delta_file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "delta/error_output.h"
#include "delta/reverse_delta.h"
#include "delta/rs_constant.h"

struct DeltaFileReaderImpl {
    ustring patch_file;
    ustring basis_file;
    ustring rpatch_file;
    fd_t patch_fd;
    fd_bio_t patch_bio;
    uint64_t patch_offset = 0;  // bytes of the delta consumed, magic included
    uint64_t patch_size = 0;
    fd_t basis_fd;
    int basis_handle = -1;  // the caller's descriptor, or -1
    uint64_t basis_size = 0;
    // Two work buffers: the handlers write out one (in the background) while the next
    // is filled from the basis and the delta, so reading and writing overlap.
    uint8_t* work = nullptr;
    uint8_t* spare = nullptr;
    bool spare_busy = false;  // handed to the handlers and not yet waited for
    size_t work_fill = 0;     // patched bytes in work not yet given to the handlers
    uint64_t new_size = 0;    // bytes produced so far
    std::vector<Block> blocks;
};

DeltaFileReader::DeltaFileReader() : impl(std::make_unique<DeltaFileReaderImpl>()) {}

DeltaFileReader::~DeltaFileReader() {
    fd_bio_unload(impl->patch_bio);
    fd_close(impl->patch_fd);
    fd_close(impl->basis_fd);
    std::free(impl->work);
    std::free(impl->spare);
}

void DeltaFileReader::setFile(const ustring& patch_file, const ustring& basis_file) {
    impl->patch_file = patch_file;
    impl->basis_file = basis_file;
}

void DeltaFileReader::setNewFile(const ustring& output) { copy_handler = std::make_unique<CopyHandler>(output); }

void DeltaFileReader::setBasisHandle(int fd) { impl->basis_handle = fd; }

void DeltaFileReader::setReverseDeltaFile(const ustring& file) { impl->rpatch_file = file; }

// Reads one command. The delta's length is known, so a command that claims more bytes
// than remain is reported as a format error rather than read into.
DeltaResult DeltaFileReader::readCommand(PatchCommand& command, bool& finished) {
    DeltaFileReaderImpl& d = *impl;
    finished = false;
    uint8_t opcode;
    if (d.patch_offset >= d.patch_size) {
        delta_error("api.cpp (%d): expect command byte\n", __LINE__);
        return DeltaResult::kFileFormat;
    }
    if (!fd_bio_read(d.patch_bio, &opcode, 1)) {
        delta_error("api.cpp (%d): expect command byte\n", __LINE__);
        return DeltaResult::kSystemCall;
    }
    d.patch_offset += 1;
    const CmdInfo& info = RSConstant::getInfo(opcode);
    uint64_t params[2] = {0, 0};
    const uint8_t widths[2] = {info.len_1, info.len_2};
    for (int i = 0; i < 2; ++i) {
        if (widths[i] == 0) continue;
        uint8_t raw[8];
        if (d.patch_size - d.patch_offset < widths[i]) {
            delta_error("api.cpp (%d): expect parameter %d with %u bytes\n", __LINE__, i + 1,
                        static_cast<unsigned>(widths[i]));
            return DeltaResult::kFileFormat;
        }
        if (!fd_bio_read(d.patch_bio, raw, widths[i])) {
            delta_error("api.cpp (%d): expect parameter %d with %u bytes\n", __LINE__, i + 1,
                        static_cast<unsigned>(widths[i]));
            return DeltaResult::kSystemCall;
        }
        d.patch_offset += widths[i];
        params[i] = RSConstant::getBigEndian(raw, widths[i]);
    }
    switch (info.type) {
        case RSConstant::TYPE_END:
            finished = true;
            return DeltaResult::kDone;
        case RSConstant::TYPE_LITERAL:
            command.is_literal = true;
            command.length = info.immediate != 0 ? info.immediate : params[0];
            command.start = d.patch_offset;
            if (command.length > d.patch_size - d.patch_offset) {
                delta_error("api.cpp (%d): literal longer than the rest of the patch (length = %llu)\n", __LINE__,
                            static_cast<unsigned long long>(command.length));
                return DeltaResult::kFileFormat;
            }
            return DeltaResult::kDone;
        case RSConstant::TYPE_COPY:
            command.is_literal = false;
            command.start = params[0];
            command.length = params[1];
            if (command.start > d.basis_size || command.length > d.basis_size - command.start) {
                delta_error("api.cpp (%d): copy beyond the end of the basis (offset = %llu, length = %llu)\n", __LINE__,
                            static_cast<unsigned long long>(command.start),
                            static_cast<unsigned long long>(command.length));
                return DeltaResult::kFileFormat;
            }
            return DeltaResult::kDone;
        default:
            delta_error("api.cpp (%d): unexpected kind: %u\n", __LINE__, static_cast<unsigned>(opcode));
            return DeltaResult::kFileFormat;
    }
}

// Appends the command's bytes to the work buffer and hands every full buffer to the
// handlers. Short commands thus share one update: a file patched from many small copies
// and literals costs as many handler calls as one read in 1 MiB chunks.
DeltaResult DeltaFileReader::carryOut(const PatchCommand& command) {
    DeltaFileReaderImpl& d = *impl;
    if (!command.is_literal && command.length > 0 && !fd_seek(d.basis_fd, command.start)) {
        delta_error("api.cpp (%d): fd_seek: Error Code %d\n", __LINE__, errno);
        delta_error("api.cpp (%d): fd_seek: offset = %llu\n", __LINE__, static_cast<unsigned long long>(command.start));
        return DeltaResult::kSystemCall;
    }
    uint64_t left = command.length;
    while (left > 0) {
        if (aborted()) return DeltaResult::kAbort;
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, CHUNK_SIZE - d.work_fill));
        uint8_t* to = d.work + d.work_fill;
        if (command.is_literal) {
            if (!fd_bio_read(d.patch_bio, to, piece)) {
                delta_error("api.cpp (%d): fd_bio_read: Error Code %d\n", __LINE__, errno);
                return DeltaResult::kSystemCall;
            }
            d.patch_offset += piece;
        } else {
            size_t got = 0;
            while (got < piece) {
                int64_t n = fd_read(d.basis_fd, to + got, piece - got);
                if (n <= 0) {
                    delta_error("api.cpp (%d): fd_read: Error Code %d\n", __LINE__, errno);
                    delta_error("api.cpp (%d): fd_read: length = %u, return code = %d\n", __LINE__,
                                static_cast<unsigned>(piece), static_cast<int>(n));
                    return DeltaResult::kSystemCall;
                }
                got += static_cast<size_t>(n);
            }
        }
        d.work_fill += piece;
        left -= piece;
        if (d.work_fill == CHUNK_SIZE) {
            DeltaResult rc = flushWork();
            if (rc != DeltaResult::kDone) return rc;
        }
    }
    return DeltaResult::kDone;
}

// Hands the filled work buffer to the handlers without waiting for them; the buffer
// handed over before is waited for first, so at most one is out at a time.
DeltaResult DeltaFileReader::flushWork() {
    DeltaFileReaderImpl& d = *impl;
    if (d.work_fill == 0) return DeltaResult::kDone;
    DeltaResult rc = drainWork();
    if (rc != DeltaResult::kDone) return rc;
    // An abort raised while the previous buffer went out stops before the next.
    if (aborted()) return DeltaResult::kAbort;
    const bool updated = update(d.work, d.work_fill);
    d.work_fill = 0;
    std::swap(d.work, d.spare);
    d.spare_busy = true;
    if (!updated) {
        (void)drainWork();  // the update failure is the one reported
        return DeltaResult::kHandlerCall;
    }
    return DeltaResult::kDone;
}

DeltaResult DeltaFileReader::drainWork() {
    DeltaFileReaderImpl& d = *impl;
    if (!d.spare_busy) return DeltaResult::kDone;
    d.spare_busy = false;
    return wait() ? DeltaResult::kDone : DeltaResult::kHandlerCall;
}

DeltaResult DeltaFileReader::applyCommands() {
    DeltaFileReaderImpl& d = *impl;
    uint8_t magic_bytes[4];
    if (d.patch_size < sizeof magic_bytes) {
        delta_error("api.cpp (%d): fd_bio_read<int>: Error Code %d\n", __LINE__, 0);
        delta_error("api.cpp (%d): invalid patch file (%x)\n", __LINE__, 0u);
        return DeltaResult::kFileFormat;
    }
    if (!fd_bio_read(d.patch_bio, magic_bytes, sizeof magic_bytes)) {
        delta_error("api.cpp (%d): fd_bio_read<int>: Error Code %d\n", __LINE__, errno);
        return DeltaResult::kSystemCall;
    }
    d.patch_offset = sizeof magic_bytes;
    uint32_t magic = static_cast<uint32_t>(RSConstant::getBigEndian(magic_bytes, 4));
    if (magic != RSConstant::MAGIC_DELTA) {
        delta_error("api.cpp (%d): invalid patch file (%x)\n", __LINE__, magic);
        return DeltaResult::kFileFormat;
    }
    d.work = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
    d.spare = static_cast<uint8_t*>(std::malloc(CHUNK_SIZE));
    if (d.work == nullptr || d.spare == nullptr) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, errno);
        return DeltaResult::kSystemCall;
    }
    const bool reverse = !d.rpatch_file.empty();
    for (;;) {
        if (aborted()) return DeltaResult::kAbort;
        PatchCommand command{};
        bool finished = false;
        DeltaResult rc = readCommand(command, finished);
        if (rc != DeltaResult::kDone) return rc;
        if (finished) {
            rc = flushWork();
            if (rc != DeltaResult::kDone) return rc;
            rc = drainWork();
            if (rc != DeltaResult::kDone) return rc;
            break;
        }
        if (reverse && !command.is_literal && command.length > 0) {
            try {
                d.blocks.push_back(Block{command.start, command.length, d.new_size});
            } catch (const std::bad_alloc&) {
                delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
                return DeltaResult::kSystemCall;
            }
        }
        rc = carryOut(command);
        if (rc != DeltaResult::kDone) return rc;
        d.new_size += command.length;
    }
    if (reverse && !writeReverseDelta(d.rpatch_file, std::move(d.blocks), d.basis_fd, d.basis_size, d.work, CHUNK_SIZE))
        return DeltaResult::kSystemCall;
    return DeltaResult::kDone;
}

DeltaResult DeltaFileReader::readFile() {
    DeltaFileReaderImpl& d = *impl;
    if (d.basis_file.empty() || d.patch_file.empty()) {
        delta_error("api.cpp (%d): invalid arguments (basis_file = '%s', patch_file = '%s'\n", __LINE__,
                    d.basis_file.c_str_utf8(), d.patch_file.c_str_utf8());
        return DeltaResult::kArgument;
    }
    // Writing the output over an input would destroy it before it is read.
    if (outputClobbers(d.basis_file) || outputClobbers(d.patch_file) ||
        (!d.rpatch_file.empty() &&
         (fd_same_file(d.rpatch_file, d.basis_file) || fd_same_file(d.rpatch_file, d.patch_file)))) {
        delta_error("api.cpp (%d): an output file is also an input (basis_file = '%s', patch_file = '%s')\n", __LINE__,
                    d.basis_file.c_str_utf8(), d.patch_file.c_str_utf8());
        return DeltaResult::kArgument;
    }
    if (!begin()) {
        (void)end();  // cleanup; the failure that led here is the one reported
        return DeltaResult::kHandlerCall;
    }
    DeltaResult rc = DeltaResult::kDone;
    bool basis_open = false;
    if (d.basis_handle >= 0) {
        // A copy of the caller's descriptor, read from its start.
        d.basis_fd.handle = fcntl(d.basis_handle, F_DUPFD_CLOEXEC, 0);
        basis_open = d.basis_fd.handle >= 0 && lseek(d.basis_fd.handle, 0, SEEK_SET) == 0;
    } else {
        basis_open = fd_open_read(d.basis_file, d.basis_fd);
    }
    if (!fd_open_read(d.patch_file, d.patch_fd) || !basis_open) {
        delta_error("api.cpp (%d): fd_open_read: Error Code %d\n", __LINE__, errno);
        rc = DeltaResult::kSystemCall;
    } else if (!fd_stat(d.patch_fd, d.patch_size) || !fd_stat(d.basis_fd, d.basis_size)) {
        delta_error("api.cpp (%d): fd_stat: Error Code %d\n", __LINE__, errno);
        rc = DeltaResult::kSystemCall;
    } else if (!fd_bio_load(d.patch_bio, d.patch_fd, CHUNK_SIZE)) {
        rc = DeltaResult::kSystemCall;
    } else {
        d.patch_offset = 0;
        d.work_fill = 0;
        d.new_size = 0;
        d.blocks.clear();
        rc = applyCommands();
    }
    // end() waits for every handler, so neither buffer is still being written from.
    if (!end() && rc == DeltaResult::kDone) rc = DeltaResult::kHandlerCall;
    d.spare_busy = false;
    fd_bio_unload(d.patch_bio);
    fd_close(d.patch_fd);
    fd_close(d.basis_fd);
    std::free(d.work);
    d.work = nullptr;
    std::free(d.spare);
    d.spare = nullptr;
    d.blocks.clear();
    return rc;
}
