#include "e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "wire/channel.h"
#include "wire/stream.h"

extern char** environ;

namespace e2e {
namespace {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int Remove(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
}

}  // namespace

std::string BinDir() {
    const char* dir = getenv("NIMBREL_BIN_DIR");
    if (dir != nullptr && dir[0] != '\0') return dir;
    return NIMBREL_BIN_DIR;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/nimbrel-e2e-XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir = pattern;
}

TempDir::~TempDir() {
    // NIMBREL_E2E_KEEP=1 keeps the folders and logs of a run for a look afterwards.
    const char* keep = getenv("NIMBREL_E2E_KEEP");
    if (keep != nullptr && keep[0] == '1') return;
    if (!dir.empty()) nftw(dir.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int CountLines(const std::string& text, const std::string& needle) {
    int n = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) ++n;
    }
    return n;
}

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return;

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string kv(*e);
        size_t eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    // The child starts with default signal handling whatever the test runner set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (posix_spawn(&child, args[0], &actions, &attr, args.data(), envp.data()) != 0) child = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_thread = std::thread(&Process::Pump, this, out_pipe[0], &out, &out_closed);
    err_thread = std::thread(&Process::Pump, this, err_pipe[0], &err, &err_closed);
}

Process::~Process() {
    if (child > 0 && !reaped) {
        kill(child, SIGKILL);
        Wait(30);
    }
    if (out_thread.joinable()) out_thread.join();
    if (err_thread.joinable()) err_thread.join();
}

void Process::Pump(int fd, std::string* sink, bool* closed) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(mutex);
        if (n <= 0) {
            *closed = true;
            cond.notify_all();
            break;
        }
        sink->append(buf, static_cast<size_t>(n));
        cond.notify_all();
    }
    close(fd);
}

bool Process::ReadLine(std::string& line, double timeout_seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    for (;;) {
        size_t nl = out.find('\n', out_pos);
        if (nl != std::string::npos) {
            line = out.substr(out_pos, nl - out_pos);
            out_pos = nl + 1;
            return true;
        }
        if (out_closed) return false;
        if (cond.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
}

bool Process::WaitForStderr(const std::string& needle, double timeout_seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cond.wait_for(lock, std::chrono::duration<double>(timeout_seconds), [&] {
        return err.find(needle) != std::string::npos || err_closed;
    }) && err.find(needle) != std::string::npos;
}

bool Process::WaitForOutputEnd(double timeout_seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cond.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                         [this] { return out_closed && err_closed; });
}

int Process::Wait(double timeout_seconds) {
    if (child <= 0) return -1;
    if (reaped) return status;
    const double deadline = Now() + timeout_seconds;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(child, &st, WNOHANG);
        if (r == child) {
            reaped = true;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status;
        }
        if (Now() > deadline) return -1;
        usleep(20 * 1000);
    }
}

void Process::Signal(int sig) {
    if (child > 0 && !reaped) kill(child, sig);
}

std::string Process::Stdout() {
    std::lock_guard<std::mutex> lock(mutex);
    return out;
}

std::string Process::Stderr() {
    std::lock_guard<std::mutex> lock(mutex);
    return err;
}

int Run(const std::vector<std::string>& argv, std::string& out, std::string& err,
        const std::map<std::string, std::string>& env, double timeout_seconds) {
    Process p(argv, env);
    int rc = p.Wait(timeout_seconds);
    if (rc < 0) p.Signal(SIGKILL);
    p.Wait(30);
    // The pipes close when the child is gone; both pumps must have drained them, or a
    // message on standard error may not have been read yet.
    p.WaitForOutputEnd(10);
    out = p.Stdout();
    err = p.Stderr();
    return rc;
}

Listener::Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0) {
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        listen_port = ntohs(addr.sin_port);
    }
}

Listener::~Listener() {
    if (fd >= 0) close(fd);
}

int Listener::Accept(double timeout_seconds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_seconds * 1000)) <= 0) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool Listener::Receive(PObject& value, double timeout_seconds, int* conn_fd) {
    int c = Accept(timeout_seconds);
    if (c < 0) return false;
    Channel channel(81920);
    if (channel.Open(dup(c), true) != 0) {
        close(c);
        return false;
    }
    channel.SetTimeout(static_cast<unsigned>(timeout_seconds) + 1);
    PStream stream;
    bool ok = stream.Recv(channel, value) == StreamResult::kOk;
    if (conn_fd != nullptr) {
        *conn_fd = c;
    } else {
        close(c);
    }
    return ok;
}

int AsOtherUser(const std::function<int()>& body) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(120);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int UnusedPort() {
    Listener l;
    return l.port();
}

int Request(int port, const PObject& request, PObject& reply, unsigned timeout_seconds) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    Channel channel(81920);
    if (channel.Open(fd, true) != 0) {
        close(fd);
        return -1;
    }
    channel.SetTimeout(timeout_seconds);
    PStream stream;
    if (stream.Send(channel, request) != StreamResult::kOk) return -1;
    PObject answer;
    if (stream.Recv(channel, answer) != StreamResult::kOk) return -1;
    reply.swap(answer);
    return 0;
}

PObject Action(const char* action) {
    PObject o;
    o["action"] = action;
    return o;
}

std::vector<std::string> Keys(const PObject& map) {
    std::vector<std::string> keys;
    for (const auto& kv : map.asMap()) keys.push_back(kv.first.str());
    return keys;
}

Daemon::Daemon(unsigned worker_count, const std::string& extra_config) {
    system_filter = dir.file("system.filter");
    WriteFile(system_filter, "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"tmp\"\n");
    WriteFile(dir.file("levels"),
              "client_debug = 7\nipc = 7\nworker_debug = 7\nsyncer_debug = 7\nprogress_syncer_debug = 7\n"
              "recycle_cleaner_debug = 7\ndetector_debug = 7\n");
    config_path = dir.file("nimbreld.conf");
    std::ostringstream c;
    c << "fstat_db_path = \"" << dir.file("fstat.sqlite") << "\"\n"
      << "filter_db_path = \"" << dir.file("filter.sqlite") << "\"\n"
      << "system_filter_path = \"" << system_filter << "\"\n"
      << "log_file_path = \"" << dir.file("nimbreld.log") << "\"\n"
      << "log_level_file_path = \"" << dir.file("levels") << "\"\n"
      << "worker_count = " << worker_count << "\n"
      << "ui_port = " << ui.port() << "\n"
      << extra_config;
    WriteFile(config_path, c.str());
}

Daemon::~Daemon() {
    if (process != nullptr) {
        if (port > 0 && process->Wait(0) < 0) Stop(60);
        delete process;
    }
}

bool Daemon::Start() {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {BinDir() + "/nimbreld", config_path, std::to_string(ui.port())});
    process = new Process(argv);
    PObject announcement;
    // Start-up under the sanitizers on a loaded machine can be slow.
    if (!ui.Receive(announcement, 120)) return false;
    if (!announcement["daemon_port"].isInteger()) return false;
    port = static_cast<int>(announcement["daemon_port"].asUInt64());
    return port > 0;
}

PObject Daemon::Send(const PObject& request) {
    PObject reply;
    if (Request(port, request, reply) != 0) {
        reply.clear();
        reply["transport_failure"] = "no reply";
    }
    return reply;
}

int Daemon::Stop(double timeout_seconds) {
    PObject reply;
    // "stop" is answered by closing the connection.
    Request(port, Action("stop"), reply);
    port = -1;
    return process->Wait(timeout_seconds);
}

}  // namespace e2e
