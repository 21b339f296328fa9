#include "ui_host.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "control_client.h"
#include "desktop_notify.h"
#include "folder_control.h"
#include "foundation/config.h"
#include "json_convert.h"
#include "platform/socket.h"
#include "port_state.h"
#include "scratch_dir.h"
#include "wire/channel.h"
#include "wire/stream.h"

namespace nimbrelctl {
namespace {

volatile sig_atomic_t g_interrupts = 0;

void OnSignal(int) { g_interrupts = g_interrupts + 1; }

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string SelfDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = '\0';
    std::string path(buf);
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// --nimbreld, else the nimbreld next to this program, else the one on PATH.
std::string FindDaemon(const std::string& given) {
    if (!given.empty()) return given;
    const std::string sibling = SelfDir() + "/nimbreld";
    if (access(sibling.c_str(), X_OK) == 0) return sibling;
    return "nimbreld";
}

// The "ui_port" that the configuration sets, or -1.
int ConfiguredUiPort(const std::string& config) {
    if (config.empty()) return -1;
    Config c;
    if (!c.read(config.c_str())) return -1;
    if (c.store.find("ui_port") == c.store.end() || c.store["ui_port"].empty()) return -1;
    int port = c.get_int("ui_port");
    return port >= 1 && port <= 65534 ? port : -1;
}

// True when the configuration already sets "ui_multi_value" on.
bool ReadsSeveralValuesSet(const std::string& config) {
    Config c;
    if (!c.read(config.c_str())) return false;
    auto it = c.store.find("ui_multi_value");
    return it != c.store.end() && it->second == "true";
}

int ListenLoopback(int& port, std::string& error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        error = "cannot listen on UI port 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// The daemon sends its notifications to the "ui_port" setting, not to the port on
// its command line; when the two would differ, hand it a copy of the configuration
// with the port appended (a later line wins).
bool PrepareConfig(const std::string& config, int ui_port, const std::string& scratch, std::string& out,
                   std::string& error) {
    if (!config.empty() && ConfiguredUiPort(config) == ui_port && ReadsSeveralValuesSet(config)) {
        out = config;
        return true;
    }
    std::string content;
    if (!config.empty()) {
        std::ifstream in(config, std::ios::binary);
        if (!in) {
            error = "cannot read the configuration " + config + ": " + strerror(errno);
            return false;
        }
        std::ostringstream buf;
        buf << in.rdbuf();
        content = buf.str();
        if (!content.empty() && content.back() != '\n') content += '\n';
    }
    if (scratch.empty()) {
        error = "cannot create a temporary directory";
        return false;
    }
    out = scratch + "/nimbreld.conf";
    std::ofstream f(out, std::ios::binary | std::ios::trunc);
    f << content
      << "# added by nimbrelctl: notifications go to its UI port, which reads several values per "
         "connection\nui_port = "
      << ui_port << "\nui_multi_value = true\n";
    f.close();
    if (!f) {
        error = "cannot write " + out;
        return false;
    }
    return true;
}

pid_t StartDaemon(const std::string& program, const std::string& config, int ui_port, std::string& error) {
    const std::string port_text = std::to_string(ui_port);
    int pipefd[2];
    // Tells the parent whether exec worked (the pipe closes on a successful exec).
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + strerror(errno);
        close(pipefd[0]);
        close(pipefd[1]);
        return -1;
    }
    if (pid == 0) {
        // The daemon must not outlive us (even by SIGKILL): its UI port would be free
        // for another user to take. SIGTERM makes it stop in order; the check covers a
        // parent that died before the request took effect.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        // Own process group: Ctrl-C reaches nimbrelctl only, which stops the daemon
        // in order rather than letting the signal kill it.
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        // The daemon's usage text goes to standard error, keeping standard output JSON only.
        dup2(2, 1);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execlp(program.c_str(), program.c_str(), config.c_str(), port_text.c_str(), static_cast<char*>(nullptr));
        int err = errno;
        ssize_t ignored = write(pipefd[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(pipefd[1]);
    int err = 0;
    ssize_t n;
    do {
        n = read(pipefd[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(pipefd[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        waitpid(pid, nullptr, 0);
        error = "cannot start " + program + ": " + strerror(err);
        return -1;
    }
    return pid;
}

class UiHost {
public:
    UiHost(int listen_fd, StateClaim* claim, DesktopNotifier* desktop)
        : listen_fd(listen_fd), claim(claim), desktop(desktop) {}

    int control_port = -1;

    // An open connection of the daemon.
    struct Peer {
        std::unique_ptr<Channel> channel;
        bool several;  // announced itself as a kept-open connection
    };

    // Takes a waiting connection: kept, to read the values it carries as they come (the
    // daemon sends one value per connection, or many over one it keeps open).
    void Accept() {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        // Any local user can reach this port; what they send would be taken for the
        // daemon's announcement or its notifications. Nothing is read from them.
        if (!SockPeerIsSelf(fd) || peers.size() >= kMaxPeers) {
            close(fd);
            NoteRefusal();
            return;
        }
        auto channel = std::make_unique<Channel>(81920);
        if (channel->Open(fd, true) != 0) {
            close(fd);
            return;
        }
        // A value is small and sent at once; do not let a peer that stops half-way hold
        // the UI up for long.
        channel->SetTimeout(10);
        peers.push_back(Peer{std::move(channel), false});
    }

    // Reads the values a connection has ready; false when it is done with. A connection
    // carries one value, unless its first is the daemon's {"keep_open": 1}: then it
    // carries notifications until the daemon closes it.
    bool ReadPeer(Peer& peer) {
        Channel& channel = *peer.channel;
        do {
            if (channel.BufferedRead() == 0) {
                char byte;
                const ssize_t n = recv(channel.GetFd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
                if (n < 0) return true;
            }
            PStream stream;  // no folder for binaries: notifications never carry files
            stream.SetRecvLimit(PStream::kSmallRecvBytes);
            PObject value;
            if (stream.Recv(channel, value) != StreamResult::kOk) {
                fprintf(stderr, "nimbrelctl: dropped a UI connection that sent no complete value\n");
                return false;
            }
            const PObject& read = value;  // looking members up adds none
            if (!peer.several && read.isMap() && read.asMap().size() == 1 && read["keep_open"].isInteger() &&
                read["keep_open"].asUInt64() == 1) {
                peer.several = true;
                continue;
            }
            Print(value);
            if (!peer.several) return false;
        } while (channel.BufferedRead() > 0);
        return true;
    }

    void Print(const PObject& value) {
        if (control_port < 0 && value.isMap() && value.hasMember("daemon_port") && value["daemon_port"].isInteger()) {
            const uint64_t port = value["daemon_port"].asUInt64();
            if (port >= 1 && port <= 65535) {
                control_port = static_cast<int>(port);
                std::string error;
                if (!SavePort(control_port, error)) fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
                if (claim != nullptr && !claim->Announce(control_port, error)) {
                    fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
                }
                fprintf(stderr, "nimbrelctl: daemon control port %d\n", control_port);
            }
        }
        const nlohmann::json json = PObjectToJson(value, true);
        printf("%s\n", DumpLine(json).c_str());
        fflush(stdout);
        if (desktop != nullptr) desktop->Offer(json, Now());
    }

    // Waits up to millis for a connection or a value; serves what is ready. False when
    // nothing was.
    bool Poll(int millis) {
        std::vector<pollfd> fds{{listen_fd, POLLIN, 0}};
        for (const Peer& peer : peers) fds.push_back({peer.channel->GetFd(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), millis) <= 0) return false;
        // Connections first, in the order they came; then the new one.
        std::vector<Peer> open;
        for (size_t i = 0; i < peers.size(); ++i) {
            if (fds[i + 1].revents != 0 && !ReadPeer(peers[i])) {
                peers[i].channel->Close();
                continue;
            }
            open.push_back(std::move(peers[i]));
        }
        peers = std::move(open);
        if (fds[0].revents & POLLIN) Accept();
        return true;
    }

private:
    // One line per burst of refusals, not one per connection.
    void NoteRefusal() {
        ++refused;
        const double now = Now();
        if (now - last_refusal_note < 10) return;
        fprintf(stderr, "nimbrelctl: refused %u UI connection(s) of another user (or of one that closed at once)\n",
                refused);
        refused = 0;
        last_refusal_note = now;
    }

    // Open connections of the daemon; more than this at once are refused.
    static constexpr size_t kMaxPeers = 64;
    std::vector<Peer> peers;
    int listen_fd;
    StateClaim* claim;
    DesktopNotifier* desktop;
    unsigned refused = 0;
    double last_refusal_note = -100;
};

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

int RunDaemon(const DaemonOptions& options) {
    int ui_port = options.ui_port;
    if (ui_port < 0) {
        ui_port = ConfiguredUiPort(options.config);
        if (ui_port < 0) ui_port = 0;
    }
    if (!options.config.empty() && access(options.config.c_str(), R_OK) != 0) {
        fprintf(stderr, "nimbrelctl: cannot read the configuration %s: %s\n", options.config.c_str(), strerror(errno));
        return 1;
    }

    std::string error;
    // Claimed first: a second daemon on the same databases never starts.
    StateClaim claim;
    if (!options.state_dir.empty() && !claim.Claim(options.state_dir, error)) {
        fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
        return 1;
    }
    int listen_fd = ListenLoopback(ui_port, error);
    if (listen_fd < 0) {
        fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
        return 1;
    }
    ScratchDir scratch;
    std::string config;
    if (!PrepareConfig(options.config, ui_port, scratch.path(), config, error)) {
        fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
        close(listen_fd);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string program = FindDaemon(options.nimbreld);
    pid_t child = StartDaemon(program, config, ui_port, error);
    if (child < 0) {
        fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
        close(listen_fd);
        return 1;
    }
    fprintf(stderr, "nimbrelctl: started %s (pid %d), UI port %d\n", program.c_str(), static_cast<int>(child), ui_port);

    DesktopNotifier desktop;
    UiHost host(listen_fd, options.state_dir.empty() ? nullptr : &claim, options.desktop_notify ? &desktop : nullptr);
    int status = 0;
    bool exited = false;
    bool stop_requested = false;
    int handled_interrupts = 0;
    double stop_deadline = 0;

    // With a state folder, the remembered server and folders come back once the daemon
    // has announced itself, and are looked after every few seconds.
    bool restored = false;
    double next_tend = 0;
    std::set<std::string> said;
    std::set<uint64_t> failed;
    while (!exited) {
        host.Poll(200);
        if (!options.state_dir.empty() && host.control_port > 0 && !stop_requested && Now() >= next_tend) {
            if (!restored) {
                std::vector<std::string> messages;
                std::vector<uint64_t> waiting;
                Restore(host.control_port, options.state_dir, true, messages, waiting, &failed);
                for (const std::string& m : messages) {
                    said.insert(m);
                    fprintf(stderr, "nimbrelctl: %s\n", m.c_str());
                }
                restored = true;
            } else {
                Tend(host.control_port, options.state_dir, said, failed);
            }
            next_tend = Now() + 3;
        }
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) {
            exited = true;
            break;
        }
        if (g_interrupts > handled_interrupts) {
            handled_interrupts = g_interrupts;
            if (!stop_requested && host.control_port > 0) {
                // The orderly way: the daemon stops and joins its tasks, then exits.
                PObject stop;
                stop["action"] = "stop";
                if (SendControl(host.control_port, stop, nullptr, error) != 0) {
                    fprintf(stderr, "nimbrelctl: %s; terminating the daemon\n", error.c_str());
                    ::kill(child, SIGTERM);
                } else {
                    fprintf(stderr, "nimbrelctl: asked the daemon to stop\n");
                }
            } else {
                // No control port yet, or a second interrupt: do not wait any longer.
                ::kill(child, stop_requested ? SIGKILL : SIGTERM);
            }
            if (!stop_requested) stop_deadline = Now() + 120;
            stop_requested = true;
        }
        if (stop_requested && Now() > stop_deadline) {
            fprintf(stderr, "nimbrelctl: the daemon did not stop in time; killing it\n");
            ::kill(child, SIGKILL);
            stop_deadline = Now() + 3600;
        }
    }
    // Whatever is still queued on the UI port came before the end; show it too.
    while (host.Poll(0)) {
    }
    close(listen_fd);
    if (host.control_port > 0) ForgetPort(host.control_port);

    const int code = ExitCodeOf(status);
    if (code == 0) {
        fprintf(stderr, "nimbrelctl: the daemon exited normally\n");
        return 0;
    }
    if (WIFSIGNALED(status)) {
        fprintf(stderr, "nimbrelctl: the daemon was ended by signal %d\n", WTERMSIG(status));
    } else {
        fprintf(stderr, "nimbrelctl: the daemon exited with status %d%s\n", code,
                host.control_port < 0 ? " before announcing its control port" : "");
    }
    return 1;
}

}  // namespace nimbrelctl
