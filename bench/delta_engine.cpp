// Delta engine against rdiff, side by side on the same files in one run: signature,
// delta and patch, plus the MD4 of the file against merely reading it.
//
// Files: a random file of NIMBREL_BENCH_MIB MiB (default 256) and a copy with 1% of its
// 2048-byte blocks changed (one byte each), and one with half its blocks replaced by new
// random bytes, made under /tmp at start and deleted at exit.
// rdiff is run as a separate process; its benchmarks are skipped when it is missing.
// Every figure is wall time of one whole operation (Iterations(1)), repeated.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"

extern char** environ;

namespace {

std::string g_dir, g_old, g_new, g_half, g_sig, g_delta, g_out, g_rdiff;

std::string find_rdiff() {
    const char* env = std::getenv("PATH");
    std::string paths = env ? env : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= paths.size()) {
        size_t end = paths.find(':', start);
        if (end == std::string::npos) end = paths.size();
        std::string c = paths.substr(start, end - start) + "/rdiff";
        if (::access(c.c_str(), X_OK) == 0) return c;
        start = end + 1;
    }
    return "";
}

bool run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
    std::fclose(f);
}

void make_files(size_t mib) {
    char templ[] = "/tmp/nimbrel-bench-delta-XXXXXX";
    if (::mkdtemp(templ) == nullptr) std::abort();
    g_dir = templ;
    g_old = g_dir + "/old";
    g_new = g_dir + "/new";
    g_half = g_dir + "/half";
    g_sig = g_dir + "/sig";
    g_delta = g_dir + "/delta";
    g_out = g_dir + "/out";
    std::vector<uint8_t> data(mib << 20);
    std::mt19937_64 gen(12345);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
        uint64_t v = gen();
        std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, &data[i]);
    }
    write_file(g_old, data);
    // 1% of the blocks get one changed byte each.
    size_t blocks = data.size() / 2048;
    std::vector<uint8_t> half = data;
    for (size_t blk = 0; blk < blocks; ++blk) {
        if (gen() & 1) continue;
        for (size_t i = 0; i < 2048; i += 8) {
            uint64_t v = gen();
            std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, &half[blk * 2048 + i]);
        }
    }
    write_file(g_half, half);
    half = {};
    std::vector<size_t> idx(blocks);
    for (size_t i = 0; i < blocks; ++i) idx[i] = i;
    std::shuffle(idx.begin(), idx.end(), gen);
    for (size_t k = 0; k < blocks / 100; ++k) data[idx[k] * 2048 + gen() % 2048] ^= 0xA5;
    write_file(g_new, data);
    // The common inputs of delta and patch.
    SimpleFileReader sig;
    sig.setFile(g_old);
    sig.setSignature(g_sig);
    SimpleFileReader delta;
    delta.setFile(g_new);
    delta.setDelta(g_delta, g_sig);
    if (sig.readFile() != DeltaResult::kDone || delta.readFile() != DeltaResult::kDone) std::abort();
}

void remove_files() {
    for (const std::string* f : {&g_old, &g_new, &g_half, &g_sig, &g_delta, &g_out}) ::unlink(f->c_str());
    ::unlink((g_dir + "/tmp").c_str());
    ::rmdir(g_dir.c_str());
}

// Output of one operation; removed before each run so that no run truncates a file
// still being written back.
std::string fresh_output() {
    std::string out = g_dir + "/tmp";
    ::unlink(out.c_str());
    return out;
}

void BM_ReadFile(benchmark::State& state) {
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        int fd = ::open(g_old.c_str(), O_RDONLY);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
    }
}

void BM_Md4(benchmark::State& state) {
    for (auto _ : state) {
        SimpleFileReader r;
        ustring hex;
        r.setFile(g_old);
        r.setHashString(hex);
        if (r.readFile() != DeltaResult::kDone) state.SkipWithError("md4 failed");
    }
}

void BM_Signature_Ours(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        SimpleFileReader r;
        r.setFile(g_old);
        r.setSignature(out);
        if (r.readFile() != DeltaResult::kDone) state.SkipWithError("signature failed");
    }
}

void BM_Signature_Rdiff(benchmark::State& state) {
    if (g_rdiff.empty()) {
        state.SkipWithError("rdiff not installed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        if (!run({g_rdiff, "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", g_old, out}))
            state.SkipWithError("rdiff signature failed");
    }
}

void delta_ours(benchmark::State& state, const std::string& file) {
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        SimpleFileReader r;
        r.setFile(file);
        r.setDelta(out, g_sig);
        if (r.readFile() != DeltaResult::kDone) state.SkipWithError("delta failed");
    }
}

void delta_rdiff(benchmark::State& state, const std::string& file) {
    if (g_rdiff.empty()) {
        state.SkipWithError("rdiff not installed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        if (!run({g_rdiff, "-f", "delta", g_sig, file, out})) state.SkipWithError("rdiff delta failed");
    }
}

void BM_Delta_Ours(benchmark::State& state) { delta_ours(state, g_new); }

void BM_Delta_Rdiff(benchmark::State& state) { delta_rdiff(state, g_new); }

void BM_DeltaHalfNew_Ours(benchmark::State& state) { delta_ours(state, g_half); }

void BM_DeltaHalfNew_Rdiff(benchmark::State& state) { delta_rdiff(state, g_half); }

void BM_Patch_Ours(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        DeltaFileReader r;
        r.setFile(g_delta, g_old);
        r.setNewFile(out);
        if (r.readFile() != DeltaResult::kDone) state.SkipWithError("patch failed");
    }
}

void BM_Patch_Rdiff(benchmark::State& state) {
    if (g_rdiff.empty()) {
        state.SkipWithError("rdiff not installed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::string out = fresh_output();
        state.ResumeTiming();
        if (!run({g_rdiff, "-f", "patch", g_old, g_delta, out})) state.SkipWithError("rdiff patch failed");
    }
}

void configure(benchmark::internal::Benchmark* b) { b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond); }

}  // namespace

BENCHMARK(BM_ReadFile)->Apply(configure);
BENCHMARK(BM_Md4)->Apply(configure);
BENCHMARK(BM_Signature_Ours)->Apply(configure);
BENCHMARK(BM_Signature_Rdiff)->Apply(configure);
BENCHMARK(BM_Delta_Ours)->Apply(configure);
BENCHMARK(BM_Delta_Rdiff)->Apply(configure);
BENCHMARK(BM_DeltaHalfNew_Ours)->Apply(configure);
BENCHMARK(BM_DeltaHalfNew_Rdiff)->Apply(configure);
BENCHMARK(BM_Patch_Ours)->Apply(configure);
BENCHMARK(BM_Patch_Rdiff)->Apply(configure);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* mib = std::getenv("NIMBREL_BENCH_MIB");
    size_t size = mib != nullptr ? std::strtoul(mib, nullptr, 10) : 256;
    g_rdiff = find_rdiff();
    make_files(std::max<size_t>(size, 1));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_files();
    return 0;
}
