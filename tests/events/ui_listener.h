// A stand-in for the UI process: accepts loopback connections on a free port and
// keeps the one value that each connection carries, or every value of a connection
// whose first is {"keep_open": 1}.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/settings.h"
#include "platform/socket.h"
#include "wire/channel.h"
#include "wire/object.h"
#include "wire/stream.h"

namespace events_test {

class UIListener {
public:
    UIListener() {
        fd = SockCreateTcp();
        if (fd >= 0 && SockBindLoopback(fd, 0) == 0 && SockListen(fd, 64) == 0) port = SockLocalPort(fd);
        worker = std::thread([this] { Run(); });
    }
    ~UIListener() {
        stop = true;
        worker.join();
        CloseSocket(fd);
    }
    int Port() const { return port; }
    // Connections accepted so far.
    std::atomic<unsigned> connections{0};

    // Waits (generously: the CI machine is slow) until n values have arrived.
    bool WaitFor(size_t n, int seconds = 30) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::seconds(seconds), [&] { return values.size() >= n; });
    }
    // Waits until n values hold "notify": kind.
    bool WaitForKind(const std::string& kind, size_t n, int seconds = 30) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, std::chrono::seconds(seconds), [&] {
            size_t count = 0;
            for (const PObject& v : values) count += v["notify"].asString() == kind.c_str();
            return count >= n;
        });
    }
    std::vector<PObject> Values() {
        std::lock_guard<std::mutex> l(mu);
        return values;
    }
    void Reset() {
        std::lock_guard<std::mutex> l(mu);
        values.clear();
    }

private:
    void Run() {
        while (!stop) {
            timeval wait{0, 50000};
            if (SockWaitReady(fd, false, wait) != 1) continue;
            SOCKET c = SockAccept(fd);
            if (c < 0) continue;
            Channel ch(81920);
            if (ch.Open(c, true) != 0) {
                CloseSocket(c);
                continue;
            }
            ++connections;
            PStream stream;
            PObject v;
            bool several = false;
            while (stream.Recv(ch, v) == StreamResult::kOk) {
                if (!several && v.hasMember("keep_open")) {
                    several = true;
                    continue;
                }
                std::lock_guard<std::mutex> l(mu);
                values.push_back(v);
                cv.notify_all();
                if (!several) break;
                v.clear();
            }
        }
    }

    SOCKET fd = -1;
    int port = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<PObject> values;
};

// A loopback port on which nobody listens (bound, then released).
inline int DeadPort() {
    SOCKET s = SockCreateTcp();
    SockBindLoopback(s, 0);
    int p = SockLocalPort(s);
    CloseSocket(s);
    return p;
}

// Points the "ui_port" setting at port (through a settings file, as the daemon does).
// With several, the UI reads several values per connection ("ui_multi_value").
inline void SetUIPort(int port, bool several = false) {
    std::string path = "/tmp/nimbrel_events_test_" + std::to_string(getpid()) + ".conf";
    {
        std::ofstream f(path);
        f << "ui_port=" << port << "\n";
        if (several) f << "ui_multi_value=true\n";
    }
    EXPECT_TRUE(Settings::getInstance().loadConfigSettings(path.c_str()));
    std::remove(path.c_str());
}

}  // namespace events_test
