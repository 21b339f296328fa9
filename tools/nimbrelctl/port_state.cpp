#include "port_state.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/make_dirs.h"

namespace nimbrelctl {
namespace {

// An XDG base directory variable counts only when it holds an absolute path.
std::string XdgDir(const char* variable, const char* fallback_below_home) {
    const char* value = getenv(variable);
    if (value != nullptr && value[0] == '/') return value;
    std::string home;
    const char* env_home = getenv("HOME");
    if (env_home != nullptr && env_home[0] != '\0') {
        home = env_home;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    return home + "/" + fallback_below_home;
}

int ParsePortText(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    long port = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || (*end != '\0' && *end != '\n') || port < 1 || port > 65535) return -1;
    return static_cast<int>(port);
}

// The port in a state folder's file, when a running daemon holds it.
int LoadStatePort(const std::string& state_dir) {
    if (state_dir.empty()) return -1;
    int fd = open(StatePortPath(state_dir).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    int port = -1;
    if (fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        char buf[16];
        ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        if (n > 0) port = ParsePortText(std::string(buf, static_cast<size_t>(n)));
    }
    close(fd);
    return port;
}

}  // namespace

std::string DefaultStateDir() {
    const char* home = getenv("NIMBREL_HOME");
    if (home != nullptr && home[0] != '\0') return Absolute(home);
    return XdgDir("XDG_STATE_HOME", ".local/state") + "/nimbrel";
}

std::string DefaultConfigPath() { return XdgDir("XDG_CONFIG_HOME", ".config") + "/nimbrel/nimbreld.conf"; }

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

std::string PortStatePath() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0' && access(runtime, W_OK) == 0) {
        return std::string(runtime) + "/nimbrelctl.port";
    }
    return "/tmp/nimbrelctl-" + std::to_string(getuid()) + ".port";
}

std::string StatePortPath(const std::string& state_dir) { return state_dir + "/daemon.port"; }

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

int LoadPort(const std::string& state_dir) {
    const int port = LoadStatePort(state_dir);
    if (port > 0) return port;
    std::ifstream in(PortStatePath());
    std::string text;
    if (!std::getline(in, text)) return -1;
    return ParsePortText(text);
}

void ForgetPort(int port) {
    if (LoadPort("") == port) unlink(PortStatePath().c_str());
}

StateClaim::~StateClaim() {
    if (fd < 0) return;
    if (ftruncate(fd, 0) != 0) fprintf(stderr, "nimbrelctl: cannot empty %s: %s\n", path.c_str(), strerror(errno));
    close(fd);
}

bool StateClaim::Claim(const std::string& state_dir, std::string& error) {
    if (MakeDirs(state_dir, 0700) != 0) {
        error = "cannot make the state folder " + state_dir + ": " + strerror(errno);
        return false;
    }
    path = StatePortPath(state_dir);
    // Not close-on-exec: see the header.
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const int err = errno;
        close(fd);
        fd = -1;
        error = err == EAGAIN || err == EACCES
                    ? "another daemon already runs with the state folder " + state_dir + " (" + path + " is held)"
                    : "cannot lock " + path + ": " + strerror(err);
        return false;
    }
    if (ftruncate(fd, 0) != 0) {
        error = "cannot empty " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool StateClaim::Announce(int port, std::string& error) {
    // One short write at the start of an empty file: a reader sees the whole number or none.
    const std::string text = std::to_string(port) + "\n";
    if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace nimbrelctl
