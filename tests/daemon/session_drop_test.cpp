// The pause rendezvous: "pause" may return only after every worker busy with the
// paused session has given up its event; workers of other sessions and idle ones
// are left alone.
#include "daemon/session_drop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sync/worker.h"

namespace {

using Clock = std::chrono::steady_clock;

// A worker that holds one event of its session until it is told to abort, and then
// takes its time before it lets go, like a worker in the middle of a transfer.
class SlowWorker : public Worker {
public:
    SlowWorker(uint64_t session, int drop_delay_ms)
        : Worker(SyncServices::Process()), session(session), drop_delay_ms(drop_delay_ms) {}

    // One pass of the loop is one event, as in the real worker: the event is held
    // inside the pass, and the acknowledgement comes at the top of the next one.
    void DoTask() override {
        for (;;) {
            NotifyAbortDone();
            if (GetState() == STOP) break;
            if (session == 0) {
                usleep(5000);
                continue;
            }
            SetCurrentProcessEventInfo(session, "/big.bin", W_TYPE_UPLOAD);
            busy = true;
            while (GetAbortFlag() == 0 && GetState() == RUN) usleep(2000);  // the transfer
            std::this_thread::sleep_for(std::chrono::milliseconds(drop_delay_ms));
            ClearCurrentProcessEventInfo();
            dropped_at = Clock::now();
            ++drops;
            session = 0;  // the event went back; nothing more to do
        }
    }

    void WaitBusy() {
        while (!busy) usleep(1000);
    }

    uint64_t session;
    const int drop_delay_ms;
    std::atomic<bool> busy{false};
    std::atomic<int> drops{0};
    Clock::time_point dropped_at{};
};

class DropTest : public ::testing::Test {
protected:
    SlowWorker* Add(uint64_t session, int delay_ms) {
        owned.push_back(std::make_unique<SlowWorker>(session, delay_ms));
        SlowWorker* w = owned.back().get();
        EXPECT_TRUE(w->Run());
        if (session != 0) w->WaitBusy();
        workers.push_back(w);
        return w;
    }

    void TearDown() override {
        for (auto& w : owned) w->Stop();
        for (auto& w : owned) w->Join();
    }

    std::vector<std::unique_ptr<SlowWorker>> owned;
    std::vector<Worker*> workers;
};

}  // namespace

TEST_F(DropTest, ReturnsOnlyAfterTheBusyWorkersOfTheSessionDroppedTheirEvents) {
    SlowWorker* a = Add(7, 400);
    SlowWorker* b = Add(7, 150);
    SlowWorker* other = Add(8, 0);
    SlowWorker* idle = Add(0, 0);

    EXPECT_EQ(drop_session_workers(workers, 7), 2u);
    const auto returned = Clock::now();
    EXPECT_EQ(a->drops.load(), 1);
    EXPECT_EQ(b->drops.load(), 1);
    EXPECT_LE(a->dropped_at, returned);
    EXPECT_LE(b->dropped_at, returned);
    // Abort requests are withdrawn once the rendezvous is over.
    EXPECT_EQ(a->GetAbortFlag(), 0);
    EXPECT_EQ(b->GetAbortFlag(), 0);

    // The other session's worker keeps its event; the idle one was never asked.
    EXPECT_EQ(other->drops.load(), 0);
    Worker::ProcessEvent_T current;
    other->GetCurrentProcessEventInfo(current);
    EXPECT_EQ(current.session_id, 8u);
    EXPECT_EQ(idle->drops.load(), 0);
}

TEST_F(DropTest, SessionZeroDropsEveryBusyWorker) {
    SlowWorker* a = Add(1, 100);
    SlowWorker* b = Add(2, 300);
    Add(0, 0);
    EXPECT_EQ(drop_session_workers(workers, 0), 2u);
    EXPECT_EQ(a->drops.load(), 1);
    EXPECT_EQ(b->drops.load(), 1);
}

TEST_F(DropTest, NothingToDropReturnsAtOnce) {
    Add(0, 0);
    Add(3, 0);
    EXPECT_EQ(drop_session_workers(workers, 4), 0u);
    EXPECT_EQ(drop_session_workers({}, 0), 0u);
    std::vector<Worker*> with_null = {nullptr};
    EXPECT_EQ(drop_session_workers(with_null, 0), 0u);
}

TEST_F(DropTest, RepeatedPausesUnderLoad) {
    // Many rendezvous in a row with workers that drop at once: no lost signal may
    // leave the caller waiting.
    for (int round = 0; round < 20; ++round) {
        owned.clear();
        workers.clear();
        for (int i = 0; i < 4; ++i) Add(5, 0);
        EXPECT_EQ(drop_session_workers(workers, 5), 4u) << round;
        for (auto& w : owned) w->Stop();
        for (auto& w : owned) w->Join();
    }
}
