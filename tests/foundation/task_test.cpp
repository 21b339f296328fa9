#include "foundation/task.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

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
    EXPECT_FALSE(t.Join());
    ASSERT_TRUE(t.Run());
    int first = t.GetId();
    EXPECT_GE(first, 0);
    EXPECT_FALSE(t.Run());
    t.Stop();
    EXPECT_TRUE(t.Join());
    EXPECT_EQ(t.GetId(), -1);
    ASSERT_TRUE(t.Run());
    EXPECT_GT(t.GetId(), first);
    t.Stop();
    t.Join();
    EXPECT_EQ(t.GetState(), Task::STOP);
}

TEST(Task, WaitReturnsEarlyWhenNotRunning) {
    Task t;
    EXPECT_TRUE(t.Wait(0));   // no state check at all
    EXPECT_FALSE(t.Wait(3));  // a fresh task is stopped
    t.SetState(Task::RUN);
    EXPECT_TRUE(t.Wait(1));
    t.Pause();
    EXPECT_FALSE(t.Wait(3));
}

TEST(Task, StoppingAPausedTaskEndsItsThread) {
    CountingTask t;
    ASSERT_TRUE(t.Run());
    usleep(50 * 1000);
    t.Pause();
    EXPECT_EQ(t.GetState(), Task::PAUSE);
    t.Resume();
    EXPECT_EQ(t.GetState(), Task::RUN);
    t.Pause();
    t.Stop();
    EXPECT_TRUE(t.Join());
    EXPECT_GE(t.units.load(), 1);
}

}  // namespace
