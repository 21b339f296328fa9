#include "store/file_status_db.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store_test_util.h"

namespace fs = std::filesystem;
using storetest::query;

namespace {

std::string build(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char* r = SQLITEEscapeStringEX3(fmt, args);
    va_end(args);
    if (!r) return "<null>";
    std::string s(r);
    std::free(r);
    return s;
}

class FileStatusDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = storetest::makeTempDir("fstat");
        dbPath = dir / "fstat.sqlite";
        ASSERT_EQ(FileStatusDB::initialize(dbPath.c_str()), DbResult::kOk);
    }
    void TearDown() override {
        FileStatusDB::destroy();
        fs::remove_all(dir);
    }
    static void set(const char* path, int status, int type = SFT_FILE) {
        FileStatusInfo i;
        i.path = path;
        i.fileType = type;
        i.syncStatus = status;
        ASSERT_EQ(FileStatusDB::setFileSyncStat(i), DbResult::kOk);
    }
    std::vector<std::string> rows() { return query(dbPath, "SELECT path, syncStatus FROM fstatinfo ORDER BY path"); }

    fs::path dir, dbPath;
};

}  // namespace

TEST(StatementBuilderTest, PlaceholdersAreReplacedAndEscaped) {
    EXPECT_EQ(build("a = '@VARNEL:VAR'", "it's"), "a = 'it''s'");
    EXPECT_EQ(build("a = '@VARNEL:VAR'", static_cast<const char*>(nullptr)), "a = ''");
    EXPECT_EQ(build("p like '@VARNEL:LVAR'", "a_b%c\\d'e"), "p like 'a\\_b\\%c\\\\d''e' escape '\\'");
    EXPECT_EQ(build("n = @VARNEL:INT and m = @VARNEL:LLINT", int32_t{-7}, int64_t{-9000000000}),
              "n = -7 and m = -9000000000");
    EXPECT_EQ(build("x @VARNEL:NEVAR y", "raw'text"), "x raw'text y");
    // Only literals holding an LVAR get the escape clause; the format's own % stays as it is.
    EXPECT_EQ(
        build("a like '@VARNEL:LVAR/%%' and b = '@VARNEL:VAR' and c not like '@VARNEL:LVAR/%%/%%'", "d", "e", "f"),
        "a like 'd/%%' escape '\\' and b = 'e' and c not like 'f/%%/%%' escape '\\'");
    // A doubled quote in the format does not end the literal.
    EXPECT_EQ(build("a like 'it''s @VARNEL:LVAR'", "_"), "a like 'it''s \\_' escape '\\'");
    EXPECT_EQ(build("@VARNEL:LVAR", "_"), "\\_");  // outside a literal: nothing to attach to
}

TEST(StatementBuilderTest, BadInputGivesNull) {
    EXPECT_EQ(VARNELDBEscapeStringEX3(nullptr), nullptr);
    EXPECT_EQ(build("x = @VARNEL:FLOAT", 1.0), "<null>");
    EXPECT_EQ(build("x = @VARNEL:NEVAR", static_cast<const char*>(nullptr)), "<null>");
    EXPECT_EQ(build("no placeholders @ all"), "no placeholders @ all");
    std::string big(10000, 'q');
    EXPECT_EQ(build("'@VARNEL:VAR'", big.c_str()).size(), big.size() + 2);
    EXPECT_STREQ(grgVarnelParamList[SPID_LLINT], "@VARNEL:LLINT");
}

TEST_F(FileStatusDBTest, TableAndIndexAreCreated) {
    auto objects = query(dbPath, "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
    EXPECT_EQ(objects, (std::vector<std::string>{"table|fstatinfo", "index|fstatinfo_path_idx"}));
    EXPECT_EQ(query(dbPath, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
    EXPECT_EQ(FileStatusDB::initialize(""), DbResult::kFailed);
}

TEST_F(FileStatusDBTest, SettingAPathTwiceKeepsOneRow) {
    set("C:\\a\\f.txt", FSTAT_SYNCING);
    set("C:\\a\\f.txt", FSTAT_SYNCED);
    EXPECT_EQ(rows(), std::vector<std::string>{"C:\\a\\f.txt|1"});
    set("C:\\it's", FSTAT_SYNCING);
    FileStatusInfo got;
    ASSERT_EQ(FileStatusDB::getFileSyncStat("C:\\it's", &got), DbLookup::kFound);
    EXPECT_EQ(got.syncStatus, FSTAT_SYNCING);
}

TEST_F(FileStatusDBTest, RemovingASubTreeTakesOnlyWhatLiesBelowAndLiteralNames) {
    set("D:\\A", FSTAT_SYNCING);
    set("D:\\A\\b", FSTAT_SYNCING);
    set("D:\\A/b", FSTAT_SYNCING);  // the key of a sibling named "A\\b"
    set("D:\\AB", FSTAT_SYNCING);
    set("D:\\a\\b", FSTAT_SYNCING);
    FileStatusInfo i;
    i.path = "D:\\A";
    ASSERT_EQ(FileStatusDB::rmFileSyncStat(i), DbResult::kOk);
    EXPECT_EQ(rows(), (std::vector<std::string>{"D:\\A/b|2", "D:\\AB|2", "D:\\a\\b|2"}));
    ASSERT_EQ(FileStatusDB::rmFileStatByPath("D:\\A/b"), DbResult::kOk);

    set("D:\\[x]\\f", FSTAT_SYNCING);
    set("D:\\x\\f", FSTAT_SYNCING);
    i.path = "D:\\[x]";
    ASSERT_EQ(FileStatusDB::rmFileSyncStat(i), DbResult::kOk);
    EXPECT_EQ(rows(), (std::vector<std::string>{"D:\\AB|2", "D:\\a\\b|2", "D:\\x\\f|2"}));

    // Pattern characters are literal: "a[bx]", "a*", "a?" are none of them "ab".
    set("D:\\ab\\f", FSTAT_SYNCING);
    for (const char* name : {"D:\\a[bx]", "D:\\a*", "D:\\a?", "D:\\a%", "D:\\a_"}) {
        i.path = name;
        ASSERT_EQ(FileStatusDB::rmFileSyncStat(i), DbResult::kOk);
    }
    EXPECT_EQ(rows(), (std::vector<std::string>{"D:\\AB|2", "D:\\a\\b|2", "D:\\ab\\f|2", "D:\\x\\f|2"}));
    ASSERT_EQ(FileStatusDB::rmFileStatByPath("D:\\ab\\f"), DbResult::kOk);

    ASSERT_EQ(FileStatusDB::rmFileStatByPath("D:\\AB"), DbResult::kOk);
    ASSERT_EQ(FileStatusDB::rmFileStatByPath("D:\\a"), DbResult::kOk);  // that path only
    EXPECT_EQ(rows(), (std::vector<std::string>{"D:\\a\\b|2", "D:\\x\\f|2"}));
}

TEST_F(FileStatusDBTest, LikePatternsMatchOnlyTheLiteralPath) {
    set("C:\\axb", FSTAT_SYNCED);
    set("C:\\a_b", FSTAT_SYNCING);
    set("C:\\A_B", FSTAT_UNSUPPORT);
    set("C:\\50%", FSTAT_SYNCED);
    FileStatusInfo got;
    ASSERT_EQ(FileStatusDB::getFileSyncStat("C:\\a_b", &got), DbLookup::kFound);
    EXPECT_EQ(got.path, "C:\\a_b");
    EXPECT_EQ(got.syncStatus, FSTAT_SYNCING);
    EXPECT_EQ(got.fileType, SFT_FILE);
    ASSERT_EQ(FileStatusDB::getFileSyncStat("C:\\A_B", &got), DbLookup::kFound);
    EXPECT_EQ(got.syncStatus, FSTAT_UNSUPPORT);
    EXPECT_EQ(FileStatusDB::getFileSyncStat("C:\\5%", &got), DbLookup::kAbsent);
    EXPECT_EQ(FileStatusDB::getFileSyncStat("C:\\a%", &got), DbLookup::kAbsent);
    EXPECT_EQ(FileStatusDB::getFileSyncStat("", &got), DbLookup::kFailed);
    EXPECT_EQ(FileStatusDB::getFileSyncStat("C:\\a_b", nullptr), DbLookup::kFailed);
}

TEST_F(FileStatusDBTest, ChildrenPagesAndSyncingQueries) {
    set("C:\\s\\one", FSTAT_SYNCED);
    set("C:\\s\\two", FSTAT_SYNCING, SFT_DIR);
    set("C:\\s\\two\\deep", FSTAT_SYNCING);
    set("C:\\sx\\other", FSTAT_SYNCED);
    set("C:\\s_\\other", FSTAT_SYNCED);
    int count = -1;
    auto page = FileStatusDB::getFileSyncStats("C:\\s", 0, 10, count);
    ASSERT_EQ(count, 0);  // the children are "\"-separated: "/" is what the listing asks for
    EXPECT_EQ(page, nullptr);

    set("C:/s/one", FSTAT_SYNCED);
    set("C:/s/two", FSTAT_SYNCING, SFT_DIR);
    set("C:/s/two/deep", FSTAT_SYNCING);
    set("C:/s_/x", FSTAT_SYNCING);
    page = FileStatusDB::getFileSyncStats("C:/s", 0, 10, count);
    ASSERT_EQ(count, 2);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page[0].path, "C:/s/one");
    EXPECT_EQ(page[1].path, "C:/s/two");
    EXPECT_EQ(page[1].fileType, SFT_DIR);
    page = FileStatusDB::getFileSyncStats("C:/s", 1, 10, count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(page[0].path, "C:/s/two");
    EXPECT_EQ(FileStatusDB::getFileSyncStats("", 0, 10, count), nullptr);
    EXPECT_EQ(count, 0);

    EXPECT_TRUE(FileStatusDB::isAnyFileSyncing());
    EXPECT_TRUE(FileStatusDB::isAnySubFileDirSyncing("C:\\s"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("C:\\sx"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("C:\\s\\one"));
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing(""));
    ASSERT_EQ(FileStatusDB::updateAllSyncingEntry(), DbResult::kOk);
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
    EXPECT_FALSE(FileStatusDB::isAnySubFileDirSyncing("C:\\s"));
}

TEST_F(FileStatusDBTest, RemoveAllEntryEmptiesTheTable) {
    set("C:\\1", FSTAT_SYNCING);
    set("C:\\2", FSTAT_SYNCED);
    ASSERT_EQ(FileStatusDB::removeAllEntry(), DbResult::kOk);
    EXPECT_TRUE(rows().empty());
}

TEST_F(FileStatusDBTest, ClosedDatabaseFailsEveryOperation) {
    FileStatusDB::destroy();
    FileStatusInfo i;
    i.path = "C:\\x";
    EXPECT_EQ(FileStatusDB::setFileSyncStat(i), DbResult::kFailed);
    EXPECT_EQ(FileStatusDB::rmFileStatByPath("C:\\x"), DbResult::kFailed);
    EXPECT_EQ(FileStatusDB::removeAllEntry(), DbResult::kFailed);
    EXPECT_EQ(FileStatusDB::getFileSyncStat("C:\\x", &i), DbLookup::kFailed);
    EXPECT_FALSE(FileStatusDB::isAnyFileSyncing());
}

TEST_F(FileStatusDBTest, ConcurrentWritersShareTheOneHandle) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 30; ++i) {
                FileStatusInfo info;
                info.path = ("C:\\t" + std::to_string(t) + "\\" + std::to_string(i)).c_str();
                info.syncStatus = FSTAT_SYNCING;
                EXPECT_EQ(FileStatusDB::setFileSyncStat(info), DbResult::kOk);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(query(dbPath, "SELECT COUNT(*) FROM fstatinfo"), std::vector<std::string>{"90"});
}

// The queued writes leave exactly the rows (ids included) that the same writes made one
// by one leave, and an operation called after queuing is ordered after the queued marks.
TEST_F(FileStatusDBTest, QueuedMarksEndAsWritesOneByOne) {
    struct Op {
        bool remove;
        std::string path;
        int type;
    };
    std::vector<Op> ops;
    for (int round = 0; round < 3; ++round) {
        for (int n = 0; n < 200; ++n) {
            std::string p = "C:\\s\\d" + std::to_string(n % 7) + "\\f" + std::to_string(n);
            ops.push_back({false, p, n % 2});
            if (n % 3 == round) ops.push_back({true, p, 0});
        }
    }
    auto apply = [&](bool queued) {
        for (const Op& op : ops) {
            FileStatusInfo i;
            i.path = op.path.c_str();
            i.fileType = op.type;
            i.syncStatus = FSTAT_SYNCING;
            if (queued)
                ASSERT_EQ(op.remove ? FileStatusDB::queueRmByPath(op.path.c_str()) : FileStatusDB::queueSyncStat(i),
                          DbResult::kOk);
            else
                ASSERT_EQ(
                    op.remove ? FileStatusDB::rmFileStatByPath(op.path.c_str()) : FileStatusDB::setFileSyncStat(i),
                    DbResult::kOk);
        }
    };
    const char* all = "SELECT id, path, fileType, syncStatus FROM fstatinfo ORDER BY id";
    apply(false);
    const auto one_by_one = query(dbPath, all);
    EXPECT_EQ(one_by_one.size(), 134u);  // the last round removes n % 3 == 2

    // A fresh file: the same writes, queued.
    FileStatusDB::destroy();
    fs::remove_all(dir);
    fs::create_directories(dir);
    ASSERT_EQ(FileStatusDB::initialize(dbPath.c_str()), DbResult::kOk);
    apply(true);
    ASSERT_EQ(FileStatusDB::flush(), DbResult::kOk);
    EXPECT_EQ(query(dbPath, all), one_by_one);

    // The writer writes without being asked (no time limit checked here) ...
    ASSERT_EQ(FileStatusDB::queueSyncStat(FileStatusInfo{"C:\\late", SFT_FILE, FSTAT_SYNCING}), DbResult::kOk);
    for (int i = 0; i < 3000 && query(dbPath, "SELECT syncStatus FROM fstatinfo WHERE path = 'C:\\late'").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(query(dbPath, "SELECT syncStatus FROM fstatinfo WHERE path = 'C:\\late'"), std::vector<std::string>{"2"});
    // ... and a removal called after a queued mark comes after it; so does destroy.
    ASSERT_EQ(FileStatusDB::queueSyncStat(FileStatusInfo{"C:\\m", SFT_FILE, FSTAT_SYNCING}), DbResult::kOk);
    ASSERT_EQ(FileStatusDB::rmFileStatByPath("C:\\m"), DbResult::kOk);
    ASSERT_EQ(FileStatusDB::queueSyncStat(FileStatusInfo{"C:\\last", SFT_DIR, FSTAT_SYNCING}), DbResult::kOk);
    FileStatusDB::destroy();
    EXPECT_EQ(query(dbPath, "SELECT path FROM fstatinfo WHERE path IN ('C:\\m', 'C:\\last')"),
              std::vector<std::string>{"C:\\last"});
    EXPECT_EQ(FileStatusDB::queueSyncStat(FileStatusInfo{"C:\\x", SFT_FILE, FSTAT_SYNCING}), DbResult::kFailed);
    EXPECT_EQ(FileStatusDB::flush(), DbResult::kFailed);
}
