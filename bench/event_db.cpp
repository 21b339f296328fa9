// Event database throughput: setEventInfo of 100,000 rows into a fresh database,
// then getEventInfo of each row. Reported as rows per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/file_event_db.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRows = 100000;

fs::path freshDir() {
    static int n = 0;
    fs::path d =
        fs::temp_directory_path() / ("nimbrel-bench-eventdb-" + std::to_string(getpid()) + "-" + std::to_string(n++));
    fs::remove_all(d);
    fs::create_directories(d / "db");
    return d;
}

std::vector<ClientFileEventInfo> makeRows() {
    std::vector<ClientFileEventInfo> rows(kRows);
    for (int i = 0; i < kRows; ++i) {
        ClientFileEventInfo& r = rows[i];
        r.fileType = 0;
        r.isExist = 1;
        r.syncID = static_cast<uint64_t>(i + 1);
        r.maxSyncID = r.syncID;
        r.fileSize = 4096;
        r.fileModTime = 1700000000u;
        r.fileCheckSum = "0123456789abcdef0123456789abcdef";
        // 100 directories of 1,000 files each, two levels deep.
        r.path = ("/d" + std::to_string(i / 1000) + "/s" + std::to_string((i / 100) % 10) + "/file-" +
                  std::to_string(i) + ".dat")
                     .c_str();
        r.baseName = ("file-" + std::to_string(i) + ".dat").c_str();
        r.updateClient = "bench";
    }
    return rows;
}

void BM_SetEventInfo(benchmark::State& state) {
    auto rows = makeRows();
    for (auto _ : state) {
        state.PauseTiming();
        fs::path d = freshDir();
        FileEventDB db;
        if (db.initialize((d / "db" / "event-db.sqlite").c_str()) != DbResult::kOk) state.SkipWithError("no database");
        state.ResumeTiming();
        for (const auto& r : rows) {
            if (db.setEventInfo(r) != DbResult::kOk) state.SkipWithError("setEventInfo failed");
        }
        state.PauseTiming();
        db.destroy();
        fs::remove_all(d);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_SetEventInfo)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_GetEventInfo(benchmark::State& state) {
    auto rows = makeRows();
    fs::path d = freshDir();
    FileEventDB db;
    if (db.initialize((d / "db" / "event-db.sqlite").c_str()) != DbResult::kOk) state.SkipWithError("no database");
    for (const auto& r : rows)
        if (db.setEventInfo(r) != DbResult::kOk) state.SkipWithError("setEventInfo failed");
    ClientFileEventInfo got;
    for (auto _ : state) {
        for (const auto& r : rows) {
            if (db.getEventInfo(r.path, got) != DbLookup::kFound) state.SkipWithError("getEventInfo missed a row");
        }
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    db.destroy();
    fs::remove_all(d);
}
BENCHMARK(BM_GetEventInfo)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
