// One binary value of 1 GiB sent over loopback from file to file through Channel and
// PStream: the sender streams it from disk, the receiver writes it to disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "wire/channel.h"
#include "wire/stream.h"

namespace {

constexpr uint64_t kSize = 1ull << 30;

struct Files {
    std::string dir, src, dst;
    Files() {
        char tmpl[] = "/tmp/nimbrel-bench-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        src = dir + "/src";
        dst = dir + "/dst";
        std::vector<char> block(1 << 20);
        std::mt19937_64 rng(1);
        int fd = ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (uint64_t done = 0; done < kSize; done += block.size()) {
            for (size_t i = 0; i < block.size(); i += 8) *reinterpret_cast<uint64_t*>(&block[i]) = rng();
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
        }
        ::close(fd);
    }
    ~Files() { std::filesystem::remove_all(dir); }
};

// Sends one 1 GiB binary per round. to_disk false receives into /dev/null, which
// separates the transport's own cost from the disk's.
void Transfer(benchmark::State& state, bool to_disk) {
    static Files files;  // made once: writing the 1 GiB source takes a while
    for (auto _ : state) {
        // Each round writes a new file, as a download does.
        state.PauseTiming();
        ::unlink(files.dst.c_str());
        state.ResumeTiming();
        SOCKET l = SockCreateTcp();
        SockBindLoopback(l, 0);
        SockListen(l, 1);
        Channel tx(81920), rx(81920);
        if (tx.Open("127.0.0.1", SockLocalPort(l)) != 0) {
            state.SkipWithError("connect failed");
            break;
        }
        rx.Open(SockAccept(l), true);
        ::close(l);

        StreamResult recv_result = StreamResult::kIo;
        PObject target(PObject::binary_type(to_disk ? files.dst : ustring("/dev/null"), 0, 0));
        std::thread receiver([&] {
            PStream in;
            recv_result = in.Recv(rx, target);
        });
        PStream out;
        const StreamResult send_result = out.Send(tx, PObject(PObject::binary_type(files.src, 0, kSize)));
        receiver.join();
        if (send_result != StreamResult::kOk || recv_result != StreamResult::kOk || target.asBinary().length != kSize) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_BinaryFileToFile(benchmark::State& state) { Transfer(state, true); }
void BM_BinaryFileToDevNull(benchmark::State& state) { Transfer(state, false); }

}  // namespace

BENCHMARK(BM_BinaryFileToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BinaryFileToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_MAIN();
