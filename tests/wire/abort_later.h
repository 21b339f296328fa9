// Test helper: raises an abort cell (as a Channel polls it) from another thread
// after a short delay, so that a blocked call can be seen to end on it.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

class AbortLater {
public:
    explicit AbortLater(std::atomic<int>& cell, int delay_ms = 300)
        : thread([&cell, delay_ms] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
              cell = 1;
          }) {}
    ~AbortLater() { join(); }
    void join() {
        if (thread.joinable()) thread.join();
    }

    AbortLater(const AbortLater&) = delete;
    AbortLater& operator=(const AbortLater&) = delete;

private:
    std::thread thread;
};
