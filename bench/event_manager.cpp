// The event path: local events queued through EventManager with the file status database
// open and a UI listening on a loopback port (it accepts every connection and reads the
// notice), and how long pushing the removal of a folder with 5,000 waiting children keeps
// the manager's lock. bench/compare_event_path.sh builds this file against the baseline
// code as well (NIMBREL_BENCH_BASELINE: no notifier to start, nothing to flush).
//
// Counters: events_per_s (pushes only), events_per_s_written (until every mark is in the
// database and every notice was sent or dropped), removal_call_ms (the push of the
// removal; the lock is held for at most that long) and lock_wait_max_ms (the longest a
// second thread waited for the lock meanwhile).
#include "events/event_manager.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "../tests/events/ui_listener.h"
#include "events/registry.h"
#include "events/ui_ipc.h"
#include "store/file_status_db.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kSession = 1;
constexpr int kChildren = 5000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The database, the session and the UI for one run; everything is undone at the end.
struct EventPath {
    fs::path dir = fs::temp_directory_path() / ("nimbrel-bench-evpath-" + std::to_string(getpid()));
    events_test::UIListener ui;

    EventPath() {
        fs::remove_all(dir);
        fs::create_directories(dir);
        static_cast<void>(FileStatusDB::initialize((dir / "fstat.sqlite").c_str()));
        Registry::Entry e;
        e.sess_id = kSession;
        e.local_path = (dir / "folder").c_str();
        Registry::getInstance().Set(e);
        events_test::SetUIPort(ui.Port());
#ifndef NIMBREL_BENCH_BASELINE
        static_cast<void>(UiNotifier::getInstance().Start());
#endif
    }
    ~EventPath() {
#ifndef NIMBREL_BENCH_BASELINE
        UiNotifier::getInstance().Stop();
#endif
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        FileStatusDB::destroy();
        Settings::getInstance().reset();
        fs::remove_all(dir);
    }
    // Until every mark is written and every notice is out.
    static void Settle() {
#ifndef NIMBREL_BENCH_BASELINE
        static_cast<void>(FileStatusDB::flush());
        UiNotifier::getInstance().Drain();
#endif
    }
};

Event Local(Event::Type type, const std::string& path, uint32_t mode = 0) {
    Event e;
    e.m_type = type;
    e.m_path = path.c_str();
    e.m_mode = mode;
    e.m_sess_id = kSession;
    e.m_data_size = 4096;
    return e;
}

void BM_PushLocalEvents(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    EventPath env;
    EventManager& mgr = EventManager::getInstance();
    double push_s = 0, written_s = 0;
    int64_t events = 0;
    int round = 0;
    for (auto _ : state) {
        mgr.Clear();
        static_cast<void>(FileStatusDB::removeAllEntry());
        ++round;
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i)
            mgr.PushLocalEvent(Local(Event::EV_MODIFY, "/r" + std::to_string(round) + "/d" + std::to_string(i % 100) +
                                                           "/f" + std::to_string(i) + ".dat"));
        const auto t1 = Clock::now();
        EventPath::Settle();
        const auto t2 = Clock::now();
        push_s += Seconds(t1 - t0);
        written_s += Seconds(t2 - t0);
        events += n;
        state.SetIterationTime(Seconds(t2 - t0));
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events) / push_s);
    state.counters["events_per_s_written"] = benchmark::Counter(static_cast<double>(events) / written_s);
    state.counters["ui_received"] = benchmark::Counter(static_cast<double>(env.ui.Values().size()));
}

void BM_RemoveFolderWith5000Waiting(benchmark::State& state) {
    EventPath env;
    EventManager& mgr = EventManager::getInstance();
    double call_max = 0, wait_max = 0;
    for (auto _ : state) {
        state.PauseTiming();
        mgr.Clear();
        for (int i = 0; i < kChildren; ++i) mgr.PushLocalEvent(Local(Event::EV_MODIFY, "/big/f" + std::to_string(i)));
        EventPath::Settle();
        // A second thread takes the lock over and over and keeps its longest wait.
        std::atomic<bool> stop{false}, started{false};
        double longest = 0;
        std::thread probe([&] {
            while (!stop) {
                const auto t = Clock::now();
                mgr.GetReadyQueueSize();
                longest = std::max(longest, Seconds(Clock::now() - t));
                started = true;
            }
        });
        while (!started) std::this_thread::yield();
        state.ResumeTiming();
        const auto t0 = Clock::now();
        mgr.PushLocalEvent(Local(Event::EV_REMOVE, "/big", Event::F_DIR));
        const double call = Seconds(Clock::now() - t0);
        state.PauseTiming();
        stop = true;
        probe.join();
        if (mgr.GetAllPendingEventCount(kSession) != 1) state.SkipWithError("the children were not pruned");
        EventPath::Settle();
        state.SetIterationTime(call);
        call_max = std::max(call_max, call);
        wait_max = std::max(wait_max, longest);
        state.ResumeTiming();
    }
    state.counters["removal_call_ms"] = benchmark::Counter(call_max * 1000);
    state.counters["lock_wait_max_ms"] = benchmark::Counter(wait_max * 1000);
}

}  // namespace

BENCHMARK(BM_PushLocalEvents)->Arg(20000)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveFolderWith5000Waiting)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
