#include "port_state.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/settings.h"
#include "platform/make_dirs.h"

namespace nimbrelctl {
namespace {

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
    // A relative $NIMBREL_HOME is taken against the working directory.
    const char* home = getenv("NIMBREL_HOME");
    if (home != nullptr && home[0] != '\0') return Absolute(home);
    return UserStateDir();
}

std::string DefaultConfigPath() { return UserConfigDir() + "/nimbreld.conf"; }

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

namespace {

// A folder that only we can reach: ours, not a link, no group or other bits. Anything
// else (a shared /tmp, a folder another user made for us) could hand our requests to
// someone else.
bool IsPrivateDir(const std::string& dir) {
    struct stat st {};
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string PortStatePath() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && IsPrivateDir(runtime))
        return std::string(runtime) + "/nimbrelctl.port";
    const std::string state = DefaultStateDir();
    if (MakeDirs(state, 0700) && IsPrivateDir(state)) return state + "/nimbrelctl.port";
    return std::string();
}

std::string StatePortPath(const std::string& state_dir) { return state_dir + "/daemon.port"; }

bool SavePort(int port, std::string& error) {
    const std::string path = PortStatePath();
    if (path.empty()) {
        error = "no private folder for the port file ($XDG_RUNTIME_DIR and " + DefaultStateDir() +
                " are missing, shared or not ours)";
        return false;
    }
    // Written aside (a fresh file, never through a planted link) and renamed, so a
    // reader never sees half a number.
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    const std::string text = std::to_string(port) + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

int LoadPort(const std::string& state_dir, bool state_only) {
    const int port = LoadStatePort(state_dir);
    if (port > 0 || state_only) return port;
    const std::string path = PortStatePath();
    if (path.empty()) return -1;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    char buf[16];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? ParsePortText(std::string(buf, static_cast<size_t>(n))) : -1;
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
    if (!MakePrivateDir(state_dir)) {
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
