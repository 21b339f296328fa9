// One pass over a plain file: copy, hash, signature and delta in any combination.
#pragma once

#include "delta/file_reader.h"

class SimpleFileReader : public FileReader {
public:
    void setFile(const ustring& source) { file = source; }
    void setCopyFile(const ustring& target);
    // Delta of the source against the signature of its old version.
    void setDelta(const ustring& delta_file, const ustring& signature_file);

    int readFile() override;

private:
    ustring file;
    ustring signature_input;
};
