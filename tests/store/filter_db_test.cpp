#include "store/filter_db.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "store_test_util.h"

namespace fs = std::filesystem;
using storetest::query;

namespace {

class FilterDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = storetest::makeTempDir("filterdb");
        dbPath = dir / "filter.sqlite";
        ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    }
    void TearDown() override {
        db.destroy();
        fs::remove_all(dir);
    }
    FilterLocalEvent ev(uint64_t sess, const char* path, int filtered = FILTER_PATH_PREFIX_SELECTIVE_SYNC) {
        FilterLocalEvent e;
        e.sess_id = sess;
        e.path = path;
        e.file_type = 0;
        e.is_exist = 1;
        e.sync_id = 3;
        e.file_size = 1234;
        e.file_mod_time = 4000000000u;
        e.file_checksum = "sum";
        e.base_name = "base";
        e.mac_hash = "m'h";
        e.inode = 77;
        e.filtered_type = filtered;
        return e;
    }

    fs::path dir, dbPath;
    FilterDB db;
};

}  // namespace

TEST_F(FilterDBTest, SchemaIsCreated) {
    auto objects =
        query(dbPath, "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name");
    std::vector<std::string> expected = {
        "index|filter_range_table_desc_idx",
        "index|filter_range_table_sess_id_idx",
        "index|filter_range_table_type_idx",
        "index|filter_resume_table_sess_id_idx",
        "index|filter_table_desc_idx",
        "index|filter_table_sess_id_idx",
        "index|filter_table_type_idx",
        "index|filtered_local_event_table_base_name_idx",
        "index|filtered_local_event_table_file_size_idx",
        "index|filtered_local_event_table_filtered_type_idx",
        "index|filtered_local_event_table_path_idx",
        "index|filtered_local_event_table_sess_id_idx",
        "table|config_table",
        "table|filter_range_table",
        "table|filter_resume_table",
        "table|filter_table",
        "table|filtered_local_event_table",
    };
    EXPECT_EQ(objects, expected);
    EXPECT_EQ(query(dbPath, "SELECT key, value FROM config_table"), std::vector<std::string>{"version|1"});
    EXPECT_EQ(query(dbPath, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    EXPECT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);  // no-op
    db.destroy();
    db.destroy();  // a second one is a no-op
    EXPECT_EQ(db.setFilter(1, 1, FILTER_NAME_SELECTIVE_SYNC, "x"), DbResult::kFailed);
    ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
}

TEST_F(FilterDBTest, FreshDatabaseReportsOverflow) {
    int stat = -5;
    ASSERT_EQ(db.checkEventOverflow(stat), DbResult::kOk);
    EXPECT_EQ(stat, E_OVERFLOW);
    ASSERT_EQ(db.setConfigItem("event_overflow", "0"), DbResult::kOk);
    ASSERT_EQ(db.checkEventOverflow(stat), DbResult::kOk);
    EXPECT_EQ(stat, E_NOT_OVERFLOW);
    ASSERT_EQ(db.setConfigItem("event_overflow", "1"), DbResult::kOk);  // replaces
    ASSERT_EQ(db.checkEventOverflow(stat), DbResult::kOk);
    EXPECT_EQ(stat, E_OVERFLOW);
}

TEST_F(FilterDBTest, DuplicateRulesKeepTheFirstRow) {
    ASSERT_EQ(db.setFilter(1, 10, FILTER_NAME_SELECTIVE_SYNC, "tmp"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(1, 20, FILTER_NAME_SELECTIVE_SYNC, "tmp"), DbResult::kOk);  // ignored, not an error
    ASSERT_EQ(db.setFilter(1, 30, FILTER_EXT_SELECTIVE_SYNC, "tmp"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(2, 40, FILTER_NAME_SELECTIVE_SYNC, "tmp"), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT sess_id, sync_id, filter_type, filter_desc FROM filter_table ORDER BY sync_id"),
              (std::vector<std::string>{"1|10|-14|tmp", "1|30|-12|tmp", "2|40|-14|tmp"}));
    ASSERT_EQ(db.rmFilter(1, FILTER_NAME_SELECTIVE_SYNC, "tmp"), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT COUNT(*) FROM filter_table"), std::vector<std::string>{"2"});
}

TEST_F(FilterDBTest, ConvertSortsRulesByKind) {
    ASSERT_EQ(db.setFilter(1, 5, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/photos"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(1, 6, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/a'b"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(1, 7, FILTER_NAME_SELECTIVE_SYNC, "Thumbs.db"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(1, 8, FILTER_EXT_SELECTIVE_SYNC, "iso"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(1, 9, FILTER_NAME, "ignored"), DbResult::kOk);
    ASSERT_EQ(db.setFilter(2, 9, FILTER_EXT_SELECTIVE_SYNC, "other-session"), DbResult::kOk);
    ASSERT_EQ(db.setSizeFilter(1, 11, 1000), DbResult::kOk);

    SelectiveSyncInfo info;
    ASSERT_EQ(db.ConvertFilterDBToSelectiveSyncInfo(1, info), DbResult::kOk);
    ASSERT_EQ(info.black_prefix.size(), 2u);
    EXPECT_EQ(info.black_prefix.begin()->filter_desc, "/a'b");
    EXPECT_EQ(info.black_prefix.begin()->sync_id, 6u);
    ASSERT_EQ(info.black_name.size(), 1u);
    EXPECT_EQ(info.black_name.begin()->filter_desc, "Thumbs.db");
    ASSERT_EQ(info.black_ext.size(), 1u);
    EXPECT_EQ(info.black_ext.begin()->sync_id, 8u);
    EXPECT_EQ(info.black_size.filter_desc, "1000");
    EXPECT_EQ(info.black_size.sync_id, 11u);

    SelectiveSyncInfo none;
    ASSERT_EQ(db.ConvertFilterDBToSelectiveSyncInfo(3, none), DbResult::kOk);
    EXPECT_TRUE(none.black_size.filter_desc.empty());
    EXPECT_TRUE(none.black_prefix.empty());
}

TEST_F(FilterDBTest, SizeRules) {
    FilterInfo fi;
    fi.sync_id = 99;
    ASSERT_EQ(db.getSizeFilter(1, fi), DbResult::kOk);
    EXPECT_EQ(fi.sync_id, 0u);
    EXPECT_TRUE(fi.filter_desc.empty());
    ASSERT_EQ(db.setSizeFilter(1, 4, 1000), DbResult::kOk);
    ASSERT_EQ(db.updateSizeFilter(1, 1000, 5000), DbResult::kOk);
    ASSERT_EQ(db.getSizeFilter(1, fi), DbResult::kOk);
    EXPECT_EQ(fi.filter_desc, "5000");
    EXPECT_EQ(fi.sync_id, 4u);
    ASSERT_EQ(db.updateSizeFilter(1, 1234, 1), DbResult::kOk);  // no such rule: nothing changes
    ASSERT_EQ(db.getSizeFilter(1, fi), DbResult::kOk);
    EXPECT_EQ(fi.filter_desc, "5000");
    ASSERT_EQ(db.rmSizeFilter(1, 5000), DbResult::kOk);
    ASSERT_EQ(db.getSizeFilter(1, fi), DbResult::kOk);
    EXPECT_TRUE(fi.filter_desc.empty());
}

TEST_F(FilterDBTest, ResumeConditions) {
    uint64_t id = 0, id2 = 0, got = 0;
    ResumeCondition c;
    EXPECT_EQ(db.getResumeCondition(got, c), DbLookup::kAbsent);
    c.sess_id = 1;
    c.sync_id = 50;
    c.filter_type = FILTER_FILE_SIZE_SELECTIVE_SYNC;
    c.filter_desc = "from=1000,to=5000";
    ASSERT_EQ(db.setResumeCondition(c, id), DbResult::kOk);
    c.sess_id = 2;
    c.filter_desc = "it's";
    ASSERT_EQ(db.setResumeCondition(c, id2), DbResult::kOk);
    EXPECT_GT(id2, id);

    ResumeCondition first;
    ASSERT_EQ(db.getResumeCondition(got, first), DbLookup::kFound);
    EXPECT_EQ(got, id);
    EXPECT_EQ(first.sess_id, 1u);
    EXPECT_EQ(first.filter_desc, "from=1000,to=5000");

    ASSERT_EQ(db.updateResumeSyncId(id2, 77), DbResult::kOk);
    std::list<std::pair<uint64_t, ResumeCondition>> list;
    ASSERT_EQ(db.getResumeConditionsBySession(2, list), DbResult::kOk);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().first, id2);
    EXPECT_EQ(list.front().second.sync_id, 77u);
    EXPECT_EQ(list.front().second.filter_desc, "it's");
    EXPECT_EQ(list.front().second.filter_type, FILTER_FILE_SIZE_SELECTIVE_SYNC);

    ASSERT_EQ(db.rmResumeCondition(id), DbResult::kOk);
    ASSERT_EQ(db.getResumeCondition(got, first), DbLookup::kFound);
    EXPECT_EQ(got, id2);
}

TEST_F(FilterDBTest, LocalFilteredEvents) {
    ASSERT_EQ(db.setLocalFilteredEvent(ev(1, "/a")), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(ev(1, "/a/b")), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(ev(1, "/ab")), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(ev(1, "/[a]/x")), DbResult::kOk);
    ASSERT_EQ(db.setLocalFilteredEvent(ev(2, "/a/b")), DbResult::kOk);

    FilterLocalEvent got;
    ASSERT_EQ(db.getLocalFilteredEventByPath(1, "/a/b", got), DbLookup::kFound);
    EXPECT_EQ(got.path, "/a/b");
    EXPECT_EQ(got.file_size, 1234u);
    EXPECT_EQ(got.file_mod_time, 4000000000u);
    EXPECT_EQ(got.mac_hash, "m'h");
    EXPECT_EQ(got.inode, 77u);
    EXPECT_EQ(got.filtered_type, FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(got.is_exist, 1);
    EXPECT_EQ(db.getLocalFilteredEventByPath(1, "/zz", got), DbLookup::kAbsent);

    // Replacing keeps one row per (session, path).
    ASSERT_EQ(db.setLocalFilteredEvent(ev(1, "/ab", FILTER_NAME_SELECTIVE_SYNC)), DbResult::kOk);
    std::set<FilterLocalEvent> all;
    ASSERT_EQ(db.dumpLocalFilteredEvent(1, all), DbResult::kOk);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all.begin()->path, "/[a]/x");
    EXPECT_EQ(std::prev(all.end())->filtered_type, FILTER_NAME_SELECTIVE_SYNC);

    ASSERT_EQ(db.rmLocalFilteredEventByPath(1, "/a"), DbResult::kOk);
    ASSERT_EQ(db.rmLocalFilteredEventByPath(1, "/[a]"), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT sess_id, path FROM filtered_local_event_table ORDER BY sess_id, path"),
              (std::vector<std::string>{"1|/ab", "2|/a/b"}));
    ASSERT_EQ(db.cleanLocalFilteredEventBySession(2), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT sess_id, path FROM filtered_local_event_table"), std::vector<std::string>{"1|/ab"});

    // A session found without events skips the removal; one recorded later is still
    // removed (the remembered answer follows every change).
    for (uint64_t sess : {3u, 2u}) {
        ASSERT_EQ(db.rmLocalFilteredEventByPath(sess, "/q"), DbResult::kOk);
        ASSERT_EQ(db.setLocalFilteredEvent(ev(sess, "/q")), DbResult::kOk);
        ASSERT_EQ(db.rmLocalFilteredEventByPath(sess, "/q"), DbResult::kOk);
        EXPECT_EQ(db.getLocalFilteredEventByPath(sess, "/q", got), DbLookup::kAbsent) << sess;
    }
}

TEST(FilterDBSingleton, OneInstance) { EXPECT_EQ(&FilterDB::getInstance(), &FilterDB::getInstance()); }
