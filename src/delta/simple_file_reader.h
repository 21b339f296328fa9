// One pass over a plain file: copy, hash, signature and delta in any combination.
#pragma once

#include "delta/file_reader.h"

class SimpleFileReader : public FileReader {
public:
    void setFile(const ustring& source) { file = source; }
    // Reads from an open descriptor instead (from where it stands); the caller keeps
    // and closes it. Lets a caller that resolves names itself (beneath a folder,
    // never through a link) hand the file over.
    void setFileHandle(int fd) { handle = fd; }
    void setCopyFile(const ustring& target);
    // Delta of the source against the signature of its old version.
    void setDelta(const ustring& delta_file, const ustring& signature_file);
    // The same, written to a descriptor the caller opened for writing (an empty file
    // named delta_file); the caller keeps and closes it.
    void setDeltaHandle(int delta_fd, const ustring& delta_file, const ustring& signature_file);

    [[nodiscard]] DeltaResult readFile() override;

private:
    ustring file;
    int handle = -1;
    ustring signature_input;
};
