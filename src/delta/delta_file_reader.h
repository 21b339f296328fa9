// Applies a delta to a basis file in one pass; the patched bytes feed the handlers
// (the new file itself, its MD4, its signature), and optionally a reverse delta is written.
#pragma once

#include <memory>

#include "delta/file_reader.h"

struct PatchCommand {
    uint64_t start;  // basis offset of a copy, or delta offset of a literal's data
    uint64_t length;
    bool is_literal;
};

struct DeltaFileReaderImpl;

class DeltaFileReader : public FileReader {
public:
    DeltaFileReader();
    ~DeltaFileReader() override;

    void setFile(const ustring& patch_file, const ustring& basis_file);
    void setNewFile(const ustring& output);
    // Reads the basis from a descriptor the caller opened (it keeps and closes it)
    // instead of opening basis_file by name; basis_file then only names it in logs.
    void setBasisHandle(int fd);
    void setReverseDeltaFile(const ustring& file);

    [[nodiscard]] DeltaResult readFile() override;

private:
    [[nodiscard]] DeltaResult applyCommands();
    [[nodiscard]] DeltaResult readCommand(PatchCommand& command, bool& finished);
    [[nodiscard]] DeltaResult carryOut(const PatchCommand& command);
    [[nodiscard]] DeltaResult flushWork();
    [[nodiscard]] DeltaResult drainWork();

    std::unique_ptr<DeltaFileReaderImpl> impl;
};
