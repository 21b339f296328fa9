#include "scratch_dir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace nimbrelctl {

ScratchDir::ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/nimbrelctl-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) dir = buf.data();
}

ScratchDir::~ScratchDir() {
    if (!dir.empty()) RemoveTree(dir);
}

void RemoveTree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) -> int {
            remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace nimbrelctl
