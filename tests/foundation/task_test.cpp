#include "foundation/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

namespace {

// Follows the body loop every task uses: stop ends, pause idles, run does work.
class CountingTask : public Task {
public:
    void DoTask() override {
        for (;;) {
            State s = GetState();
            if (s == STOP) return;
            if (s == PAUSE) {
                usleep(1000 * 1000);
                continue;
            }
            ++units;
            Wait(1);
        }
    }
    std::atomic<int> units{0};
};

TEST(Task, RunTwiceNeedsAJoinBetween) {
    CountingTask t;
    EXPECT_EQ(t.GetState(), Task::STOP);
    EXPECT_EQ(t.GetId(), -1);
    EXPECT_EQ(t.Join(), -1);
    ASSERT_EQ(t.Run(), 0);
    int first = t.GetId();
    EXPECT_GE(first, 0);
    EXPECT_EQ(t.Run(), -1);
    t.Stop();
    EXPECT_EQ(t.Join(), 0);
    EXPECT_EQ(t.GetId(), -1);
    ASSERT_EQ(t.Run(), 0);
    EXPECT_GT(t.GetId(), first);
    t.Stop();
    t.Join();
    EXPECT_EQ(t.GetState(), Task::STOP);
}

TEST(Task, WaitReturnsEarlyWhenNotRunning) {
    Task t;
    EXPECT_EQ(t.Wait(0), 0);  // no state check at all
    EXPECT_EQ(t.Wait(3), -1);  // a fresh task is stopped
    t.SetState(Task::RUN);
    EXPECT_EQ(t.Wait(1), 0);
    t.Pause();
    EXPECT_EQ(t.Wait(3), -1);
}

TEST(Task, StoppingAPausedTaskEndsItsThread) {
    CountingTask t;
    ASSERT_EQ(t.Run(), 0);
    usleep(50 * 1000);
    t.Pause();
    EXPECT_EQ(t.GetState(), Task::PAUSE);
    t.Resume();
    EXPECT_EQ(t.GetState(), Task::RUN);
    t.Pause();
    t.Stop();
    EXPECT_EQ(t.Join(), 0);
    EXPECT_GE(t.units.load(), 1);
}

}  // namespace
