#include "delta/file_reader.h"

FileReader::~FileReader() = default;

void FileReader::setHashString(ustring& out) { md4_hash_handler = std::make_unique<MD4HashHandler>(&out); }

void FileReader::setSignature(const ustring& file, uint32_t block_size, uint32_t hash_size) {
    signature_output = file;
    signature_handler = std::make_unique<SignatureHandler>(file, block_size, hash_size);
}

bool FileReader::begin() {
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    for (FileHandler* h : handlers)
        if (h != nullptr && !h->begin()) return false;
    return true;
}

bool FileReader::update(const uint8_t* data, size_t length) {
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    for (FileHandler* h : handlers)
        if (h != nullptr && !h->update(data, length)) return false;
    return true;
}

bool FileReader::wait() {
    // Every handler is waited for even after a failure: none may still be writing
    // from the chunk when the reader reuses it.
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    bool ok = true;
    for (FileHandler* h : handlers)
        if (h != nullptr && !h->wait()) ok = false;
    return ok;
}

bool FileReader::end() {
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    bool ok = true;
    for (FileHandler* h : handlers)
        if (h != nullptr && !h->end()) ok = false;
    return ok;
}

bool FileReader::aborted() const { return abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0; }

bool FileReader::outputClobbers(const ustring& input) const {
    if (copy_handler && fd_same_file(copy_handler->target(), input)) return true;
    if (signature_handler && fd_same_file(signature_output, input)) return true;
    if (delta_handler && fd_same_file(delta_output, input)) return true;
    return false;
}
