// Rescan of a session folder of 100,000 files (100 folders of 10 subfolders of 100
// files) whose rows all agree with the disk: the walk, the database list, and the
// comparison, as a worker runs them at every start. Reported: the time of one rescan
// (rescan_s), the process's peak resident memory (peak_rss_mb) and how much the
// rescans added to it (rescan_rss_mb).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "events/event_manager.h"
#include "events/registry.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "sync/worker.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 100000;
constexpr time_t kTime = 1700000000;

double PeakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

std::string FileOf(int i) {
    return "d" + std::to_string(i / 1000) + "/s" + std::to_string((i / 100) % 10) + "/file-" + std::to_string(i) +
           ".dat";
}

// The folder and its rows, written once: the files with one time, the rows in one
// transaction (the event database's own writer is measured elsewhere).
bool Prepare(const fs::path& base, Registry::Entry& entry) {
    fs::remove_all(base);
    fs::create_directories(base / "sync");
    fs::create_directories(base / "config" / "db");
    for (int i = 0; i < kFiles; ++i) {
        const fs::path f = base / "sync" / FileOf(i);
        if (i % 100 == 0) fs::create_directories(f.parent_path());
        std::ofstream(f) << "x";
        utimbuf t{kTime, kTime};
        utime(f.c_str(), &t);
    }
    const std::string db_file = (base / "config" / "db" / "event-db.sqlite").string();
    {
        FileEventDB schema;
        if (schema.initialize(db_file) != DbResult::kOk) return false;
        schema.destroy();
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(db_file.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO eventinfo (fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
                       "fileCheckSum, baseName, path, updateClient) VALUES (?, 1, 1, 1, ?, ?, ?, ?, ?, 'bench')",
                       -1, &st, nullptr);
    auto row = [&](int type, int64_t size, const std::string& path) {
        sqlite3_bind_int(st, 1, type);
        sqlite3_bind_int64(st, 2, size);
        sqlite3_bind_int64(st, 3, kTime);
        sqlite3_bind_text(st, 4, type ? "" : "0123456789abcdef0123456789abcdef", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, fs::path(path).filename().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 6, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    };
    for (int i = 0; i < kFiles; ++i) {
        const std::string f = FileOf(i);
        if (i % 1000 == 0) row(1, 0, "d" + std::to_string(i / 1000));
        if (i % 100 == 0) row(1, 0, fs::path(f).parent_path().string());
        row(0, 1, f);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    // The folders' times as the rows have them are not compared: only files are.

    entry.sess_id = 1;
    entry.view_id = 1;
    if (!SessionRoot::Open((base / "sync").string(), entry.root)) return false;
    entry.local_path = entry.root->path();
    entry.root_dev = entry.root->device();
    entry.remote_path = "/";
    entry.config_path = (base / "config").string();
    entry.event_db = Registry::MakeEventDB();
    return entry.event_db->initialize(db_file) == DbResult::kOk;
}

void BM_Rescan100kUnchanged(benchmark::State& state) {
    const fs::path base = fs::temp_directory_path() / ("nimbrel-bench-rescan-" + std::to_string(getpid()));
    Registry::Entry entry;
    if (!Prepare(base, entry)) {
        state.SkipWithError("preparing the folder failed");
        return;
    }
    Registry::getInstance().Set(entry);
    Worker worker{SyncServices::Process()};
    const double rss_before = PeakRssMb();
    double seconds = 0;
    int64_t rounds = 0;
    for (auto _ : state) {
        EventManager::getInstance().IssueRescan(1, "/", false);
        const auto t0 = std::chrono::steady_clock::now();
        const int action = worker.RunOnce();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        seconds += s;
        ++rounds;
        if (action != Worker::ACTION_DONE) state.SkipWithError("rescan not done");
        if (EventManager::getInstance().GetAllPendingEventCount(1) != 0) state.SkipWithError("rescan queued events");
    }
    state.counters["files"] = kFiles;
    state.counters["rescan_s"] = seconds / static_cast<double>(rounds ? rounds : 1);
    state.counters["peak_rss_mb"] = PeakRssMb();
    state.counters["rescan_rss_mb"] = PeakRssMb() - rss_before;
    EventManager::getInstance().Clear();
    Registry::getInstance().Clear();
    fs::remove_all(base);
}
BENCHMARK(BM_Rescan100kUnchanged)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
