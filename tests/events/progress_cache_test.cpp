#include "events/progress_cache.h"

#include <gtest/gtest.h>

namespace {

ResumeCondition C(uint64_t sess, uint64_t sync, int type = -12, const char* desc = "*.tmp") {
    ResumeCondition c;
    c.sess_id = sess;
    c.sync_id = sync;
    c.filter_type = type;
    c.filter_desc = desc;
    return c;
}

class ProgressCacheTest : public ::testing::Test {
protected:
    void SetUp() override { cache.clear(); }
    void TearDown() override { cache.clear(); }
    ProgressCache& cache = ProgressCache::getInstance();
};

}  // namespace

TEST_F(ProgressCacheTest, EmptyCacheLeavesOutputAlone) {
    ProgressCache::Entry e;
    e.row_id = 42;
    e.condition.filter_desc = "keep";
    EXPECT_FALSE(cache.getProgressEntry(e));
    EXPECT_EQ(42u, e.row_id);
    EXPECT_EQ("keep", e.condition.filter_desc.str());
}

TEST_F(ProgressCacheTest, FirstEntryStaysQueued) {
    cache.addProgressEntry(1, C(10, 100, -13, "big"));
    cache.addProgressEntry(2, C(11, 200));
    ProgressCache::Entry e;
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(1u, e.row_id);
    EXPECT_EQ(10u, e.condition.sess_id);
    EXPECT_EQ(100u, e.condition.sync_id);
    EXPECT_EQ(-13, e.condition.filter_type);
    EXPECT_EQ("big", e.condition.filter_desc.str());
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(1u, e.row_id);
    cache.rmProgressEntry(1);
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(2u, e.row_id);
}

TEST_F(ProgressCacheTest, DuplicateRowIdsTouchOnlyTheFirst) {
    cache.addProgressEntry(7, C(1, 10));
    cache.addProgressEntry(8, C(2, 20));
    cache.addProgressEntry(7, C(3, 30));
    cache.updateProgressSyncId(7, 99);
    ProgressCache::Entry e;
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(99u, e.condition.sync_id);
    cache.rmProgressEntry(7);
    EXPECT_EQ(2u, cache.size());
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(8u, e.row_id);
    cache.rmProgressEntry(8);
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(7u, e.row_id);
    EXPECT_EQ(30u, e.condition.sync_id);  // the second duplicate was never updated
    EXPECT_EQ(3u, e.condition.sess_id);
    cache.updateProgressSyncId(12345, 1);  // unknown: nothing happens
    cache.rmProgressEntry(12345);
    EXPECT_EQ(1u, cache.size());
}

TEST_F(ProgressCacheTest, SessionMembership) {
    EXPECT_FALSE(cache.isInProgrssCache(5));
    cache.addProgressEntry(1, C(5, 0));
    cache.addProgressEntry(2, C(5, 77));
    EXPECT_TRUE(cache.isInProgrssCache(5));
    EXPECT_FALSE(cache.isInProgrssCache(6));
    cache.rmProgressEntry(1);
    EXPECT_TRUE(cache.isInProgrssCache(5));
    cache.rmProgressEntry(2);
    EXPECT_FALSE(cache.isInProgrssCache(5));
}

TEST_F(ProgressCacheTest, SkippedSessionsAndRemovedSessions) {
    cache.addProgressEntry(1, C(10, 100));
    cache.addProgressEntry(2, C(11, 200));
    cache.addProgressEntry(3, C(10, 300));
    cache.addProgressEntry(4, C(12, 400));
    ProgressCache::Entry e;
    ASSERT_TRUE(cache.getProgressEntry(e, {10}));
    EXPECT_EQ(2u, e.row_id);
    ASSERT_TRUE(cache.getProgressEntry(e, {10, 11}));
    EXPECT_EQ(4u, e.row_id);
    EXPECT_FALSE(cache.getProgressEntry(e, {10, 11, 12}));
    EXPECT_EQ(4u, e.row_id);
    // Skipping deletes nothing; removing a session takes all of its entries, in place.
    EXPECT_EQ(0u, cache.rmSessionEntries(10, [](uint64_t) { return false; }));
    EXPECT_EQ(2u, cache.rmSessionEntries(10, [](uint64_t id) { return id == 10; }));
    EXPECT_EQ(0u, cache.rmSessionEntries(10));
    EXPECT_FALSE(cache.isInProgrssCache(10));
    ASSERT_TRUE(cache.getProgressEntry(e));
    EXPECT_EQ(2u, e.row_id);
    EXPECT_EQ(2u, cache.size());
}
