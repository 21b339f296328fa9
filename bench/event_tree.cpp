// Event tree throughput: push many file events, then hand them all out and complete
// them, as a handful of workers would (up to 8 events out at a time). The heap the
// queued tree holds is reported per event (tree_bytes_per_event); the process's peak
// memory is what the tree holds plus the paths prepared for it (about 30 MB a million).
#include "events/event_tree.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

Event FileEvent(const std::string& path) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_path = path;
    e.m_data_size = 4096;
    e.m_data_hash = "0123456789abcdef0123456789abcdef";
    e.m_sess_id = 1;
    return e;
}

// Pops up to `workers` events, completes them, repeats until the tree is empty.
int64_t Drain(EventList2& tree, int workers) {
    int64_t done = 0;
    std::vector<Event> out(static_cast<size_t>(workers));
    for (;;) {
        int n = 0;
        while (n < workers && tree.Pop(out[static_cast<size_t>(n)])) ++n;
        if (n == 0) break;
        for (int i = 0; i < n; ++i) {
            if (tree.DoneEvent(out[static_cast<size_t>(i)])) ++done;
        }
    }
    return done;
}

void Run(benchmark::State& state, int64_t total, int64_t dirs) {
    using clock = std::chrono::steady_clock;
    double push_s = 0, drain_s = 0, tree_bytes = 0;
    int64_t events = 0;
    for (auto _ : state) {
        EventList2 tree;
        // One block of text for all paths, so that the bench's own strings do not
        // outweigh the tree. Interleaved over the directories, so every push looks its
        // directory up among all the others and then its name among the files there.
        std::string text;
        std::vector<size_t> ends;
        ends.reserve(static_cast<size_t>(total));
        for (int64_t i = 0; i < total; ++i) {
            text += "/dir" + std::to_string(i % dirs) + "/file" + std::to_string(i / dirs) + ".dat";
            ends.push_back(text.size());
        }
        size_t heap_before = mallinfo2().uordblks;
        auto t0 = clock::now();
        size_t start = 0;
        for (size_t end : ends) {
            static_cast<void>(tree.Push(FileEvent(text.substr(start, end - start))));
            start = end;
        }
        auto t1 = clock::now();
        tree_bytes += static_cast<double>(mallinfo2().uordblks - heap_before);
        int64_t done = Drain(tree, 8);
        auto t2 = clock::now();
        if (done != total || !tree.IsEmpty()) state.SkipWithError("not every event was completed");
        push_s += std::chrono::duration<double>(t1 - t0).count();
        drain_s += std::chrono::duration<double>(t2 - t1).count();
        events += total;
        state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
    }
    state.SetItemsProcessed(events);
    state.counters["push_per_s"] = benchmark::Counter(static_cast<double>(events) / push_s);
    state.counters["pop_done_per_s"] = benchmark::Counter(static_cast<double>(events) / drain_s);
    state.counters["tree_bytes_per_event"] = benchmark::Counter(tree_bytes / static_cast<double>(events));
}

void BM_MillionOver10kDirs(benchmark::State& state) { Run(state, 1000000, 10000); }
void BM_100kInOneDir(benchmark::State& state) { Run(state, 100000, 1); }

}  // namespace

BENCHMARK(BM_MillionOver10kDirs)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_100kInOneDir)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
