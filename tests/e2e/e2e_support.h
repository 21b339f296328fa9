// Helpers for tests that run the real programs: temporary directories, child
// processes with captured output, and a stand-in UI that starts nimbreld and talks
// to it over its control port.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire/object.h"

namespace e2e {

// Where the programs under test are (NIMBREL_BIN_DIR, else the build's bin dir).
std::string BinDir();

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Counts the lines of text that contain needle.
int CountLines(const std::string& text, const std::string& needle);

// A child process with standard output and standard error captured.
class Process {
public:
    // env entries are added to (or replace) the test's own environment.
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
    ~Process();

    pid_t pid() const { return child; }
    // The next line of standard output (without the newline); false on time-out or end.
    bool ReadLine(std::string& line, double timeout_seconds);
    // Waits until the child's standard error holds needle; false on timeout or end. Its
    // two streams are read separately: a line on one says nothing about the other.
    bool WaitForStderr(const std::string& needle, double timeout_seconds);
    // Waits until the child's standard output and error are both closed; false on timeout.
    bool WaitForOutputEnd(double timeout_seconds);
    // Exit status as a shell shows it (128 + signal when killed); -1 on time-out.
    int Wait(double timeout_seconds);
    void Signal(int sig);
    std::string Stdout();
    std::string Stderr();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

private:
    void Pump(int fd, std::string* sink, bool* closed);

    pid_t child = -1;
    int status = -1;
    bool reaped = false;
    std::mutex mutex;
    std::condition_variable cond;
    std::string out, err;
    size_t out_pos = 0;
    bool out_closed = false, err_closed = false;
    std::thread out_thread, err_thread;
};

// Runs a program to its end; returns the exit status and fills out and err.
int Run(const std::vector<std::string>& argv, std::string& out, std::string& err,
        const std::map<std::string, std::string>& env = {}, double timeout_seconds = 120);

// A loopback listener on a free port.
class Listener {
public:
    Listener();
    ~Listener();
    int port() const { return listen_port; }
    // Accepts one connection and reads one value from it; false on time-out.
    bool Receive(PObject& value, double timeout_seconds, int* conn_fd = nullptr);
    // Accepts one connection (or -1 on time-out).
    int Accept(double timeout_seconds);

private:
    int fd = -1;
    int listen_port = 0;
};

// Runs body in a child process as the unused user 65534 (root only); its result
// becomes the child's exit status, which is returned (-1 when the child failed).
int AsOtherUser(const std::function<int()>& body);

// A port on which nothing listens (bound, read, released).
int UnusedPort();

// One control exchange: 0 and the reply, or -1 when no reply came (for "stop").
int Request(int port, const PObject& request, PObject& reply, unsigned timeout_seconds = 120);
PObject Action(const char* action);

// The keys of a map, in order.
std::vector<std::string> Keys(const PObject& map);

// A nimbreld started by the test acting as its UI, with every path in a private
// directory. The system filter file exists unless the test removes it.
class Daemon {
public:
    explicit Daemon(unsigned worker_count = 3, const std::string& extra_config = "");
    ~Daemon();

    // Starts nimbreld and waits for its announcement; false when that fails.
    bool Start();
    int control_port() const { return port; }
    PObject Send(const PObject& request);
    PObject Send(const char* action) { return Send(Action(action)); }
    // Sends "stop" and returns the exit status (-1 on time-out).
    int Stop(double timeout_seconds = 120);
    std::string Log() { return ReadFile(dir.file("nimbreld.log")); }

    TempDir dir;
    std::string config_path;
    std::string system_filter;
    // Put before the daemon's command line (e.g. a program that drops capabilities).
    std::vector<std::string> launcher;
    Listener ui;
    Process* process = nullptr;

private:
    int port = -1;
};

}  // namespace e2e
