// Starts the real nimbrel-refserver (from NIMBREL_BIN_DIR) on a free loopback port
// with a fresh ROOT, and stops it again. stderr (one line per request) goes to a file
// that tests can read.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class RefServer {
public:
    RefServer() = default;
    ~RefServer() { Stop(); }
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    static std::string BinDir() {
        const char* env = getenv("NIMBREL_BIN_DIR");
        return env && *env ? env : NIMBREL_BIN_DIR;
    }

    // Starts the server with the given options; false when it did not come up.
    bool Start(const std::vector<std::string>& options) {
        static int serial = 0;
        root_ = std::filesystem::temp_directory_path() /
                ("nimbrel-refserver-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        log_ = (root_.parent_path() / (root_.filename().string() + ".log")).string();
        options_ = options;
        return Launch(options, O_TRUNC);
    }

private:
    // Runs the server on root_/data, stderr to the log (truncated or appended to), and
    // reads its port and fingerprint.
    bool Launch(const std::vector<std::string>& options, int log_mode) {
        std::string bin = BinDir() + "/nimbrel-refserver";
        std::vector<std::string> args{bin};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back((root_ / "data").string());

        int out[2];
        if (pipe(out) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = open(log_.c_str(), O_WRONLY | O_CREAT | log_mode, 0600);
            if (err >= 0) dup2(err, 2);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* in = fdopen(out[0], "r");
        if (!in) return false;
        char line[256];
        bool ok = false;
        if (fgets(line, sizeof line, in) && sscanf(line, "listening on 127.0.0.1:%d", &port_) == 1) ok = true;
        if (ok && fgets(line, sizeof line, in)) {
            char hex[128] = {0};
            if (sscanf(line, "certificate sha256 %127s", hex) == 1) fingerprint_ = hex;
        }
        fclose(in);
        return ok && port_ > 0;
    }

public:
    // Ends the server at once (SIGKILL, as a crash would), keeping its root and log.
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // Starts the server again after Kill (killing it first if it still runs) on the
    // same port with the same root and options; its log continues. false when it did
    // not come up or its certificate changed (the clients pinned the old one).
    bool StartAgain() {
        Kill();
        const int port = port_;
        const std::string fingerprint = fingerprint_;
        std::vector<std::string> options = options_;
        options.push_back("--port");
        options.push_back(std::to_string(port));
        return Launch(options, O_APPEND) && port_ == port && fingerprint_ == fingerprint;
    }

    // Ends the server (SIGTERM) and starts it again with new options on the same data
    // root, port and certificate, as a server that went down and came back. The
    // request log starts afresh. false when it did not come up on the old port.
    bool Restart(const std::vector<std::string>& options) {
        if (root_.empty()) return false;
        Terminate();
        const int old_port = port_;
        std::vector<std::string> with_port{"--port", std::to_string(old_port)};
        with_port.insert(with_port.end(), options.begin(), options.end());
        options_ = options;
        return Launch(with_port, O_TRUNC) && port_ == old_port;
    }

    void Stop() {
        Terminate();
        // NIMBREL_E2E_KEEP=1 keeps the root and the log for a look afterwards.
        const char* keep = getenv("NIMBREL_E2E_KEEP");
        if (keep && keep[0] == '1') root_.clear();
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
            std::filesystem::remove(log_, ec);
            root_.clear();
        }
    }

    int port() const { return port_; }
    // Sends a signal to the running server (SIGSTOP freezes it, SIGCONT thaws it).
    bool Signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }
    const std::string& fingerprint() const { return fingerprint_; }
    std::filesystem::path data_root() const { return root_ / "data"; }

    std::string Log() const {
        std::ifstream f(log_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Lines of the request log that contain text.
    int CountLog(const std::string& text) const {
        std::istringstream in(Log());
        std::string l;
        int n = 0;
        while (std::getline(in, l))
            if (l.find(text) != std::string::npos) ++n;
        return n;
    }
    // Waits (generously) until the log holds at least n lines with text.
    bool WaitLog(const std::string& text, int n, int seconds = 30) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (CountLog(text) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return CountLog(text) >= n;
    }

private:
    void Terminate() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string fingerprint_;
    std::vector<std::string> options_;
    std::filesystem::path root_;
    std::string log_;
};
