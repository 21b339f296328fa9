// Local change detector, running as its task on a real folder:
//  - CloseToEvent: a file is written and closed; the time from the start of its close
//    until its event reaches the event manager's door (the detector's sink), over 300
//    files one after another.
//    Median and p90 in microseconds.
//  - Burst10k: 10,000 new files written as fast as possible into a new directory; the
//    wall time until every file's event arrived, the CPU time of the process, and that
//    time less the writing thread's own (what the detector cost).
// The sink only records arrivals: the event manager's own work per event (file status
// database, UI notice) is not the detector's and is measured elsewhere.
#include "sync/detector.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class ArrivalSink : public DetectorSink {
public:
    void PushLocalEvent(const Event& e) override {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> g(mu);
        arrived.emplace(e.m_path.str(), now);  // the first arrival counts
        cv.notify_all();
    }
    void IssueRescan(uint64_t, const ustring&, bool) override {
        std::lock_guard<std::mutex> g(mu);
        ++rescans;
        cv.notify_all();
    }
    void ReportSessionError(uint64_t, int) override {}
    void Warning(uint64_t, const std::string& line) override { fprintf(stderr, "warning: %s\n", line.c_str()); }

    // The arrival time of path, or nothing after 10 s.
    bool WaitFor(const std::string& path, Clock::time_point& at) {
        std::unique_lock<std::mutex> g(mu);
        const bool ok = cv.wait_for(g, std::chrono::seconds(10), [&] { return arrived.count(path) != 0; });
        if (ok) at = arrived[path];
        return ok;
    }
    bool WaitForCount(size_t n, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, limit, [&] { return arrived.size() >= n || rescans != 0; }) && rescans == 0;
    }
    Clock::time_point Latest() {
        std::lock_guard<std::mutex> g(mu);
        Clock::time_point t{};
        for (const auto& [path, at] : arrived) t = std::max(t, at);
        return t;
    }
    void Reset() {
        std::lock_guard<std::mutex> g(mu);
        arrived.clear();
        rescans = 0;
    }

private:
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::string, Clock::time_point> arrived;
    int rescans = 0;
};

struct Folder {
    Folder() {
        path = (fs::temp_directory_path() / ("nimbrel-bench-detector-" + std::to_string(getpid()))).string();
        fs::remove_all(path);
        fs::create_directories(path);
        sink = std::make_shared<ArrivalSink>();
        detector = std::make_unique<Detector>(SyncServices::Process(), nullptr, sink);
    }
    ~Folder() {
        detector->Stop();
        detector->Join();
        detector.reset();
        fs::remove_all(path);
    }
    void Start() {
        detector->AddWatch(path, 1);
        if (!detector->Run()) std::abort();
    }
    std::string path;
    std::shared_ptr<ArrivalSink> sink;
    std::unique_ptr<Detector> detector;
};

// Returns the time the file began to close: its event may arrive before close()
// itself returns.
Clock::time_point WriteFile(const std::string& full, const char* text, size_t n) {
    const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Clock::now();
    if (write(fd, text, n) < 0) perror("write");
    const Clock::time_point closing = Clock::now();
    close(fd);
    return closing;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double CpuMs(const timeval& tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; }

double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void BM_CloseToEvent(benchmark::State& state) {
    constexpr int kFiles = 300;
    Folder folder;
    for (int i = 0; i < kFiles; ++i) WriteFile(folder.path + "/f" + std::to_string(i), "start", 5);
    folder.Start();
    std::vector<double> us;
    for (auto _ : state) {
        for (int i = 0; i < kFiles; ++i) {
            const std::string rel = "/f" + std::to_string(i);
            const Clock::time_point closed = WriteFile(folder.path + rel, "changed content", 15);
            Clock::time_point at;
            if (!folder.sink->WaitFor(rel, at)) {
                state.SkipWithError("an event did not arrive");
                return;
            }
            us.push_back(std::chrono::duration<double, std::micro>(at - closed).count());
        }
    }
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p90 = us[us.size() * 9 / 10];
    state.counters["median_us"] = median;
    state.counters["p90_us"] = p90;
    printf("close to event over %zu files: median %.0f us, p90 %.0f us, max %.0f us\n", us.size(), median, p90,
           us.back());
}
BENCHMARK(BM_CloseToEvent)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Burst10k(benchmark::State& state) {
    constexpr int kFiles = 10000;
    Folder folder;
    folder.Start();
    fs::create_directories(folder.path + "/burst");
    Clock::time_point at;
    if (!folder.sink->WaitFor("/burst", at)) {
        state.SkipWithError("the directory's event did not arrive");
        return;
    }
    folder.sink->Reset();
    for (auto _ : state) {
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        const double writer_before = ThreadCpuMs();
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kFiles; ++i)
            WriteFile(folder.path + "/burst/file-" + std::to_string(i) + ".txt", "some content\n", 13);
        const double writer_ms = ThreadCpuMs() - writer_before;
        const Clock::time_point written = Clock::now();
        if (!folder.sink->WaitForCount(kFiles, std::chrono::seconds(60))) {
            state.SkipWithError("not every event arrived (or the queue overflowed)");
            return;
        }
        const Clock::time_point done = folder.sink->Latest();
        getrusage(RUSAGE_SELF, &after);
        const double process_ms =
            CpuMs(after.ru_utime) + CpuMs(after.ru_stime) - CpuMs(before.ru_utime) - CpuMs(before.ru_stime);
        state.counters["wall_ms"] = Ms(done - start);
        state.counters["process_cpu_ms"] = process_ms;
        state.counters["detector_cpu_ms"] = process_ms - writer_ms;
        printf(
            "burst of %d files: written in %.0f ms, last event %.0f ms after the first write "
            "(%.0f ms after the last), process CPU %.0f ms, of which writing %.0f ms, detector %.0f ms\n",
            kFiles, Ms(written - start), Ms(done - start), Ms(done - written), process_ms, writer_ms,
            process_ms - writer_ms);
    }
}
BENCHMARK(BM_Burst10k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
