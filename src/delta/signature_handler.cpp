#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "delta/signature_handler.h"

#include <openssl/md4.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "delta/error_output.h"
#include "delta/rolling_checksum.h"
#include "delta/rs_constant.h"

SignatureHandler::SignatureHandler(const ustring& target, uint32_t block, uint32_t hash)
    : file(target),
      block_size(block == 0 || block > MAX_BLOCK_SIZE ? DEFAULT_BLOCK_SIZE : block),
      hash_size(hash < 1 || hash > MAX_HASH_SIZE ? DEFAULT_HASH_SIZE : hash) {}

SignatureHandler::~SignatureHandler() { (void)end(); }

size_t SignatureHandler::makeRecord(const uint8_t* block, size_t length, uint32_t hash, uint8_t* out) {
    RSConstant::putBigEndian(out, RSRollingChecksum::of(block, length), 4);
    uint8_t digest[MD4_DIGEST_LENGTH];
    MD4(block, length, digest);
    std::memcpy(out + 4, digest, hash);
    return 4 + hash;
}

void SignatureHandler::emit(const uint8_t* block, size_t length) {
    write_buffer_size += makeRecord(block, length, hash_size, write_buffer.data() + write_buffer_size);
}

bool SignatureHandler::begin() {
    try {
        read_buffer.assign(2 * static_cast<size_t>(block_size), 0);
        write_buffer.assign(4 * (4 + hash_size), 0);
    } catch (const std::bad_alloc&) {
        delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
        return false;
    }
    read_buffer_size = 0;
    write_buffer_size = 0;
    if (!fd_open_write(file, fd)) {
        delta_error("api.cpp (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    uint8_t header[12];
    RSConstant::putBigEndian(header, RSConstant::MAGIC_SIGNATURE, 4);
    RSConstant::putBigEndian(header + 4, block_size, 4);
    RSConstant::putBigEndian(header + 8, hash_size, 4);
    if (fd_write(fd, header, sizeof header) != static_cast<int64_t>(sizeof header)) {
        delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
        return false;
    }
    return true;
}

bool SignatureHandler::update(const uint8_t* data, size_t length) {
    if (!fd_is_open(fd) || writing) return false;
    size_t need = (length / block_size + 2) * (hash_size + 4);
    if (write_buffer.size() < need) {
        try {
            write_buffer.resize(need);
        } catch (const std::bad_alloc&) {
            delta_error("xio.cpp (%d): malloc: Error Code %d\n", __LINE__, ENOMEM);
            return false;
        }
    }
    // Complete a partial block carried over from the previous chunk.
    if (read_buffer_size > 0) {
        size_t take = std::min(length, block_size - read_buffer_size);
        std::memcpy(read_buffer.data() + read_buffer_size, data, take);
        read_buffer_size += take;
        data += take;
        length -= take;
        if (read_buffer_size == block_size) {
            emit(read_buffer.data(), block_size);
            read_buffer_size = 0;
        }
    }
    while (length >= block_size) {
        emit(data, block_size);
        data += block_size;
        length -= block_size;
    }
    if (length > 0) {
        std::memcpy(read_buffer.data() + read_buffer_size, data, length);
        read_buffer_size += length;
    }
    return fd_aio_start(aio, fd, write_buffer.data(), write_buffer_size, writing);
}

bool SignatureHandler::wait() { return fd_aio_finish(aio, write_buffer_size, writing); }

bool SignatureHandler::end() {
    bool ok = wait();
    if (fd_is_open(fd) && ok && read_buffer_size > 0) {
        emit(read_buffer.data(), read_buffer_size);
        read_buffer_size = 0;
        if (fd_write(fd, write_buffer.data(), write_buffer_size) != static_cast<int64_t>(write_buffer_size)) {
            delta_error("api.cpp (%d): fd_write: Error Code %d\n", __LINE__, errno);
            ok = false;
        }
        write_buffer_size = 0;
    }
    fd_close(fd);
    read_buffer_size = 0;
    return ok;
}
