// A private temporary directory, removed with its contents when the object goes.
#pragma once

#include <string>

namespace nimbrelctl {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    // Empty when the directory could not be made.
    const std::string& path() const { return dir; }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    std::string dir;
};

// Removes path and everything below it (symbolic links are removed, never followed).
void RemoveTree(const std::string& path);

}  // namespace nimbrelctl
