#include "events/session_health.h"

#include <gtest/gtest.h>

TEST(SessionHealth, RateFollowsBytesMovedAndStartsOverWhenTheyDrop) {
    SessionHealth& h = SessionHealth::getInstance();
    h.Forget(901);
    EXPECT_EQ(h.NoteMoved(901, 1000, 100), 0);     // one sample: no rate yet
    EXPECT_EQ(h.NoteMoved(901, 1500, 100.5), 0);   // too soon to tell
    EXPECT_EQ(h.NoteMoved(901, 3000, 102), 1000);  // 2000 bytes in 2 s
    EXPECT_EQ(h.NoteMoved(901, 6000, 103), 2000);  // (1000 + 3000) / 2
    EXPECT_EQ(h.NoteMoved(901, 6000, 104), 1000);  // a stall halves it
    EXPECT_EQ(h.NoteMoved(901, 6000, 104 + SessionHealth::kRateIdle), 0);
    EXPECT_EQ(h.NoteMoved(901, 10, 200), 0);  // a smaller total (a transfer began again)
    EXPECT_EQ(h.NoteMoved(901, 110, 201), 100);
    h.Forget(901);
}
