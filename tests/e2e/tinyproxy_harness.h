// Starts a real tinyproxy on a free loopback port with its own configuration file in a
// scratch directory (optionally with Basic authentication), and stops it again.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "e2e/e2e_support.h"
#include "platform/socket.h"

class TinyProxy {
public:
    // The tinyproxy binary, or empty when it is not installed.
    static std::string Binary() {
        for (const char* p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "/usr/local/bin/tinyproxy"})
            if (access(p, X_OK) == 0) return p;
        return std::string();
    }

    // Starts it; with user set, only Basic credentials user:password are let through.
    bool Start(const std::string& user = "", const std::string& password = "") {
        std::string bin = Binary();
        if (bin.empty()) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = e2e::UnusedPort();
            std::string conf = "Port " + std::to_string(port_) +
                               "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 200\nLogLevel Info\n";
            if (!user.empty()) conf += "BasicAuth " + user + " " + password + "\n";
            e2e::WriteFile(dir_.file("tinyproxy.conf"), conf);
            process_ =
                std::make_unique<e2e::Process>(std::vector<std::string>{bin, "-d", "-c", dir_.file("tinyproxy.conf")});
            if (WaitListening()) return true;
            process_.reset();  // the port was taken meanwhile: try another
        }
        return false;
    }

    int port() const { return port_; }
    // What tinyproxy logged so far.
    std::string Log() { return process_ ? process_->Stdout() + process_->Stderr() : std::string(); }

private:
    bool WaitListening() {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            if (process_->Wait(0) >= 0) return false;
            SOCKET s = SockCreateTcp();
            bool ok = SockConnectStart(s, "127.0.0.1", port_) == 0;
            CloseSocket(s);
            if (ok) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    e2e::TempDir dir_;
    std::unique_ptr<e2e::Process> process_;
    int port_ = 0;
};
