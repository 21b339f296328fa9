#include "delta/file_reader.h"

FileReader::~FileReader() = default;

void FileReader::setHashString(ustring& out)
{
    md4_hash_handler = std::make_unique<MD4HashHandler>(&out);
}

void FileReader::setSignature(const ustring& file, uint32_t block_size, uint32_t hash_size)
{
    signature_output = file;
    signature_handler = std::make_unique<SignatureHandler>(file, block_size, hash_size);
}

int FileReader::begin()
{
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    for (FileHandler* h : handlers)
        if (h != nullptr && h->begin() != 0)
            return -1;
    return 0;
}

int FileReader::update(const uint8_t* data, size_t length)
{
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    for (FileHandler* h : handlers)
        if (h != nullptr && h->update(data, length) != 0)
            return -1;
    return 0;
}

int FileReader::wait()
{
    // Every handler is waited for even after a failure: none may still be writing
    // from the chunk when the reader reuses it.
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    int rc = 0;
    for (FileHandler* h : handlers)
        if (h != nullptr && h->wait() != 0)
            rc = -1;
    return rc;
}

int FileReader::end()
{
    FileHandler* handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                               md4_hash_handler.get()};
    int rc = 0;
    for (FileHandler* h : handlers)
        if (h != nullptr && h->end() != 0)
            rc = -1;
    return rc;
}

bool FileReader::aborted() const
{
    return abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0;
}

bool FileReader::outputClobbers(const ustring& input) const
{
    if (copy_handler && fd_same_file(copy_handler->target(), input))
        return true;
    if (signature_handler && fd_same_file(signature_output, input))
        return true;
    if (delta_handler && fd_same_file(delta_output, input))
        return true;
    return false;
}
