#include "port_state.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace nimbrelctl {

std::string PortStatePath() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0' && access(runtime, W_OK) == 0) {
        return std::string(runtime) + "/nimbrelctl.port";
    }
    return "/tmp/nimbrelctl-" + std::to_string(getuid()) + ".port";
}

bool SavePort(int port, std::string& error) {
    const std::string path = PortStatePath();
    // Written aside and renamed, so a reader never sees half a number.
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        error = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    fprintf(f, "%d\n", port);
    if (fclose(f) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

int LoadPort() {
    std::ifstream in(PortStatePath());
    long port = -1;
    if (!(in >> port)) return -1;
    if (port < 1 || port > 65535) return -1;
    return static_cast<int>(port);
}

void ForgetPort(int port) {
    if (LoadPort() == port) unlink(PortStatePath().c_str());
}

}  // namespace nimbrelctl
