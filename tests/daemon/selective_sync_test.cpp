// Selective-sync reconciliation against a real filter database: which rules change,
// which resume conditions are stored and queued, and what happens to the local folder
// of a newly excluded path.
#include "daemon/selective_sync.h"

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "daemon/daemon_test_util.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "filter/black_list.h"
#include "filter/filter_parser.h"
#include "filter/white_list.h"
#include "store/file_event_db.h"
#include "store/filter_db.h"

namespace {

int RemoveEntry(const char* p, const struct stat*, int, struct FTW*) {
    remove(p);
    return 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

using Conditions = std::list<std::pair<uint64_t, ResumeCondition>>;

class SelectiveSyncTest : public ::testing::Test {
protected:
    static constexpr uint64_t kSess = 21;

    void SetUp() override {
        char pattern[] = "/tmp/nimbrel-ssync-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        sync = dir + "/sync";
        filter_file = dir + "/blacklist.filter";
        ASSERT_EQ(mkdir(sync.c_str(), 0755), 0);
        ASSERT_EQ(FilterDB::getInstance().initialize(dir + "/filter.sqlite"), DbResult::kOk);
        ProgressCache::getInstance().clear();
    }

    void TearDown() override {
        Registry::getInstance().Clear();
        ProgressCache::getInstance().clear();
        FilterDB::getInstance().destroy();
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // A black list with the given selective-sync lines.
    void Filter(const std::string& common, const std::string& file = "") {
        WriteFile(filter_file, "[Version]\nmajor = 1\nminor = 0\n[Common]\n" + common + "\n[File]\n" + file + "\n");
    }

    bool Reload(uint64_t sync_id = 50) { return reload_filter(kSess, sync_id, filter_file, sync); }

    SelectiveSyncInfo Stored() {
        SelectiveSyncInfo info;
        EXPECT_EQ(FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(kSess, info), DbResult::kOk);
        return info;
    }

    Conditions Resumes() {
        Conditions list;
        EXPECT_EQ(FilterDB::getInstance().getResumeConditionsBySession(kSess, list), DbResult::kOk);
        return list;
    }

    // Registers the session with an event database, as "add_session" does.
    FileEventDB* Register() {
        mkdir((dir + "/db").c_str(), 0755);
        std::shared_ptr<FileEventDB> db = Registry::MakeEventDB();
        EXPECT_EQ(db->initialize(dir + "/db/event-db.sqlite"), DbResult::kOk);
        Registry::Entry entry;
        entry.sess_id = kSess;
        entry.local_path = sync;
        entry.event_db = db;
        entry.black_list = std::make_shared<BlackList2>();
        entry.white_list = std::make_shared<WhiteListCpp>();
        entry.pause = true;
        Registry::getInstance().Set(entry);
        return db.get();  // the registry keeps it
    }

    std::string dir, sync, filter_file;
};

}  // namespace

TEST(ResumeSizeDesc, EncodesAndDecodesBothBounds) {
    ustring text;
    ASSERT_TRUE(EncodeResumeSizeFilterDesc(1000, 5000, text));
    EXPECT_EQ(text, ustring("from=1000,to=5000"));
    uint64_t lo = 1, hi = 1;
    ASSERT_TRUE(EncodeResumeSizeFilterDesc(0, UINT64_MAX, text));
    ASSERT_TRUE(DecodeResumeSizeFilterDesc(text, lo, hi));
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, UINT64_MAX);

    lo = hi = 7;
    for (const char* bad : {"", "from=1", "to=5,from=1", "1000,5000", "from=x,to=2"}) {
        EXPECT_FALSE(DecodeResumeSizeFilterDesc(bad, lo, hi)) << bad;
    }
    EXPECT_EQ(lo, 7u);
    EXPECT_EQ(hi, 7u);
}

TEST(SelectiveSyncPrefix, OnlyFoldersBelowTheSessionMayBeActedOn) {
    for (const char* good : {"/videos", "/a/b c/d", "/videos/", "//videos", "/..hidden", "/a.b"})
        EXPECT_TRUE(IsSafeSelectiveSyncPrefix(good)) << good;
    for (const char* bad : {"", "/", "//", "videos", "/..", "/a/../b", "/.", "/a/./b", "../x"})
        EXPECT_FALSE(IsSafeSelectiveSyncPrefix(bad)) << bad;
}

TEST_F(SelectiveSyncTest, FileRulesAreConvertedWithTheCurrentSyncId) {
    Filter("black_path_prefix_selective_sync = \"/b\", \"/a\"",
           "black_name_selective_sync = \"x.iso\"\nblack_ext_selective_sync = \"mkv\", \"avi\"\n"
           "max_size_selective_sync = 4096");
    ::Filter filter;
    filter_init(&filter);
    ASSERT_TRUE(filter_read(&filter, filter_file));
    SelectiveSyncInfo info;
    ConvertFilterFileToSelectiveSyncInfo(kSess, 77, filter, info);
    filter_destroy(&filter);

    ASSERT_EQ(info.black_prefix.size(), 2u);
    EXPECT_EQ(info.black_prefix.begin()->filter_desc, ustring("/a"));
    EXPECT_EQ(info.black_prefix.begin()->sync_id, 77u);
    EXPECT_EQ(info.black_name.size(), 1u);
    EXPECT_EQ(info.black_ext.size(), 2u);
    EXPECT_EQ(info.black_size.filter_desc, ustring("4096"));
    EXPECT_EQ(info.black_size.sync_id, 77u);

    Filter("");
    filter_init(&filter);
    ASSERT_TRUE(filter_read(&filter, filter_file));
    SelectiveSyncInfo none;
    ConvertFilterFileToSelectiveSyncInfo(kSess, 1, filter, none);
    filter_destroy(&filter);
    EXPECT_EQ(none.black_size.filter_desc, ustring("0"));
}

TEST_F(SelectiveSyncTest, IdenticalRulesChangeNothing) {
    Filter(
        "black_path_prefix_selective_sync = \"/photos\"",
        "black_name_selective_sync = \"big.iso\"\nblack_ext_selective_sync = \"mkv\"\nmax_size_selective_sync = 1000");
    ASSERT_TRUE(Reload(10));
    ASSERT_TRUE(Resumes().empty());
    SelectiveSyncInfo first = Stored();

    ASSERT_TRUE(Reload(99));
    SelectiveSyncInfo second = Stored();
    EXPECT_TRUE(Resumes().empty());
    EXPECT_EQ(ProgressCache::getInstance().size(), 0u);
    ASSERT_EQ(second.black_prefix.size(), 1u);
    // The sync ids of the stored rules are those of their first appearance.
    EXPECT_EQ(second.black_prefix.begin()->sync_id, 0u);  // path prefixes always 0
    EXPECT_EQ(second.black_name.begin()->sync_id, 10u);
    EXPECT_EQ(second.black_ext.begin()->sync_id, 10u);
    EXPECT_EQ(second.black_size.filter_desc, ustring("1000"));
    EXPECT_EQ(second.black_size.sync_id, 10u);
    EXPECT_EQ(first.black_name.begin()->sync_id, second.black_name.begin()->sync_id);
}

TEST_F(SelectiveSyncTest, RemovedPrefixLeavesAResumeConditionWithItsStoredSyncId) {
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 42, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/photos"),
              DbResult::kOk);
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 43, FILTER_NAME_SELECTIVE_SYNC, "core"), DbResult::kOk);
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 44, FILTER_EXT_SELECTIVE_SYNC, "iso"), DbResult::kOk);
    // Another session's rule is not this session's business.
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess + 1, 5, FILTER_PATH_PREFIX_SELECTIVE_SYNC, "/photos"),
              DbResult::kOk);
    Filter("");

    std::set<uint64_t> rows;
    ASSERT_TRUE(reload_filter(kSess, 60, filter_file, sync, &rows));
    Conditions list = Resumes();
    ASSERT_EQ(list.size(), 3u);
    auto it = list.begin();
    EXPECT_EQ(it->second.filter_type, FILTER_PATH_PREFIX_SELECTIVE_SYNC);
    EXPECT_EQ(it->second.sync_id, 42u);
    EXPECT_EQ(it->second.filter_desc, ustring("/photos"));
    ++it;
    EXPECT_EQ(it->second.filter_type, FILTER_NAME_SELECTIVE_SYNC);
    EXPECT_EQ(it->second.sync_id, 43u);
    ++it;
    EXPECT_EQ(it->second.filter_type, FILTER_EXT_SELECTIVE_SYNC);
    EXPECT_EQ(it->second.sync_id, 44u);

    SelectiveSyncInfo stored = Stored();
    EXPECT_TRUE(stored.black_prefix.empty());
    EXPECT_TRUE(stored.black_name.empty());
    EXPECT_TRUE(stored.black_ext.empty());

    // Queued in the same order, under their row ids.
    EXPECT_EQ(ProgressCache::getInstance().size(), 3u);
    EXPECT_EQ(rows.size(), 3u);
    ProgressCache::Entry front;
    ASSERT_TRUE(ProgressCache::getInstance().getProgressEntry(front));
    EXPECT_EQ(front.row_id, list.begin()->first);
    EXPECT_EQ(front.condition.filter_desc, ustring("/photos"));
    EXPECT_EQ(rows.count(front.row_id), 1u);

    SelectiveSyncInfo other;
    ASSERT_EQ(FilterDB::getInstance().ConvertFilterDBToSelectiveSyncInfo(kSess + 1, other), DbResult::kOk);
    EXPECT_EQ(other.black_prefix.size(), 1u);
}

TEST_F(SelectiveSyncTest, PrefixAddedAndDroppedAgainResumesFromSyncIdZero) {
    Filter("black_path_prefix_selective_sync = \"/photos\"");
    ASSERT_TRUE(Reload(80));
    Filter("");
    ASSERT_TRUE(Reload(90));
    Conditions list = Resumes();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.begin()->second.sync_id, 0u);
    EXPECT_EQ(list.begin()->second.filter_type, -13);
}

TEST_F(SelectiveSyncTest, AddedPrefixMovesTheLocalFolderIntoTheRecycleFolder) {
    FileEventDB* db = Register();
    ClientFileEventInfo row;
    row.path = "/videos/clip.mp4";
    row.baseName = "clip.mp4";
    row.fileCheckSum = "abc";
    row.fileSize = 8;
    row.syncID = 3;
    ASSERT_EQ(db->setEventInfo(row), DbResult::kOk);

    ASSERT_EQ(mkdir((sync + "/videos").c_str(), 0755), 0);
    WriteFile(sync + "/videos/clip.mp4", "precious");
    WriteFile(sync + "/videos2", "sibling");
    Filter("black_path_prefix_selective_sync = \"/videos\"");
    ASSERT_TRUE(Reload());

    SelectiveSyncInfo stored = Stored();
    ASSERT_EQ(stored.black_prefix.size(), 1u);
    EXPECT_EQ(stored.black_prefix.begin()->sync_id, 0u);
    EXPECT_TRUE(Resumes().empty());

    EXPECT_FALSE(Exists(sync + "/videos"));
    EXPECT_EQ(ReadFile(sync + "/videos2"), "sibling");
    const std::string recycle = sync + "/.VarnelWorkingDirectory/#VarnelRecycle";
    std::vector<std::string> names = List(recycle);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(ReadFile(recycle + "/" + names[0] + "/clip.mp4"), "precious");

    // Recorded for the rotation, which is started.
    std::set<ustring> due;
    ASSERT_EQ(db->getRotateList(UINT32_MAX, due), DbResult::kOk);
    EXPECT_EQ(due.count(ustring("/" + names[0])), 1u);
    ustring found;
    EXPECT_EQ(db->getFilePathByHashFromRecycle("abc", "", found), DbLookup::kFound);
    Registry::Entry entry;
    ASSERT_EQ(Registry::getInstance().Find(kSess, entry), 1);
    EXPECT_NE(entry.recycle_time, 0u);

    // The rule is known now: a second reload moves nothing more.
    ASSERT_EQ(mkdir((sync + "/videos").c_str(), 0755), 0);
    ASSERT_TRUE(Reload());
    EXPECT_TRUE(Exists(sync + "/videos"));
}

TEST_F(SelectiveSyncTest, AddedPrefixWithoutLocalFolderOrThroughALinkLeavesTheDiskAlone) {
    const std::string outside = dir + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0755), 0);
    WriteFile(outside + "/sub/keep", "keep");
    ASSERT_EQ(symlink(outside.c_str(), (sync + "/link").c_str()), 0);

    Filter("black_path_prefix_selective_sync = \"/absent\", \"/link/sub\"");
    ASSERT_TRUE(Reload());
    EXPECT_EQ(Stored().black_prefix.size(), 2u);
    EXPECT_EQ(ReadFile(outside + "/sub/keep"), "keep");
    EXPECT_TRUE(List(sync + "/.VarnelWorkingDirectory/#VarnelRecycle").empty());
}

TEST_F(SelectiveSyncTest, UnsafePrefixIsRefusedBeforeAnythingChanges) {
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 9, FILTER_NAME_SELECTIVE_SYNC, "old"), DbResult::kOk);
    WriteFile(sync + "/file", "data");
    for (const char* prefix : {"/", "/a/../..", "relative", "/."}) {
        Filter(std::string("black_path_prefix_selective_sync = \"/fine\", \"") + prefix + "\"");
        EXPECT_FALSE(Reload()) << prefix;
        SelectiveSyncInfo stored = Stored();
        EXPECT_TRUE(stored.black_prefix.empty()) << prefix;
        EXPECT_EQ(stored.black_name.size(), 1u);
        EXPECT_TRUE(Resumes().empty());
        EXPECT_EQ(ReadFile(sync + "/file"), "data");
    }
    // Straight through CompareFilterList as well.
    std::set<FilterInfo> db_set, file_set;
    file_set.insert(FilterInfo{0, "/.."});
    EXPECT_FALSE(CompareFilterList(kSess, FILTER_PATH_PREFIX_SELECTIVE_SYNC, db_set, file_set, sync));
    EXPECT_TRUE(Stored().black_prefix.empty());
}

TEST_F(SelectiveSyncTest, UnreadableFilterFails) {
    EXPECT_FALSE(Reload());  // no file
    WriteFile(filter_file, "[Common\n");
    EXPECT_FALSE(Reload());
    EXPECT_TRUE(Resumes().empty());
}

TEST_F(SelectiveSyncTest, SizeLimitChanges) {
    // No rule stored and none in the file: nothing.
    Filter("", "max_size_selective_sync = 0");
    ASSERT_TRUE(Reload(5));
    EXPECT_TRUE(Stored().black_size.filter_desc.empty());

    Filter("", "max_size_selective_sync = 1000");
    ASSERT_TRUE(Reload(5));
    EXPECT_EQ(Stored().black_size.filter_desc, ustring("1000"));
    EXPECT_EQ(Stored().black_size.sync_id, 5u);
    EXPECT_TRUE(Resumes().empty());

    // Looser: resume the range that becomes allowed, from the rule's sync id.
    Filter("", "max_size_selective_sync = 5000");
    ASSERT_TRUE(Reload(6));
    Conditions list = Resumes();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.back().second.filter_desc, ustring("from=1000,to=5000"));
    EXPECT_EQ(list.back().second.filter_type, FILTER_FILE_SIZE_SELECTIVE_SYNC);
    EXPECT_EQ(list.back().second.sync_id, 5u);
    EXPECT_EQ(Stored().black_size.filter_desc, ustring("5000"));

    // Stricter: only the rule changes.
    Filter("", "max_size_selective_sync = 1000");
    ASSERT_TRUE(Reload(7));
    EXPECT_EQ(Resumes().size(), 1u);
    EXPECT_EQ(Stored().black_size.filter_desc, ustring("1000"));

    // Lifted: the upper bound is written as 10 GiB and the rule becomes 0.
    Filter("", "max_size_selective_sync = 0");
    ASSERT_TRUE(Reload(8));
    list = Resumes();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.back().second.filter_desc, ustring("from=1000,to=10737418240"));
    EXPECT_EQ(Stored().black_size.filter_desc, ustring("0"));

    // From no limit to a limit is stricter, not looser; the one rule is updated.
    Filter("", "max_size_selective_sync = 3000");
    ASSERT_TRUE(Reload(9));
    EXPECT_EQ(Resumes().size(), 2u);
    EXPECT_EQ(Stored().black_size.filter_desc, ustring("3000"));
    FilterInfo size;
    ASSERT_EQ(FilterDB::getInstance().getSizeFilter(kSess, size), DbResult::kOk);
    EXPECT_EQ(size.filter_desc, ustring("3000"));
    EXPECT_EQ(ProgressCache::getInstance().size(), 2u);
}

TEST_F(SelectiveSyncTest, NewNameAndExtensionRulesKeepTheFileSyncId) {
    std::set<FilterInfo> db_set, file_set;
    db_set.insert(FilterInfo{3, "a"});
    db_set.insert(FilterInfo{3, "c"});
    file_set.insert(FilterInfo{12, "b"});
    file_set.insert(FilterInfo{12, "c"});
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 3, FILTER_EXT_SELECTIVE_SYNC, "a"), DbResult::kOk);
    ASSERT_EQ(FilterDB::getInstance().setFilter(kSess, 3, FILTER_EXT_SELECTIVE_SYNC, "c"), DbResult::kOk);
    ASSERT_TRUE(CompareFilterList(kSess, FILTER_EXT_SELECTIVE_SYNC, db_set, file_set, sync));
    SelectiveSyncInfo stored = Stored();
    ASSERT_EQ(stored.black_ext.size(), 2u);
    EXPECT_EQ(stored.black_ext.begin()->filter_desc, ustring("b"));
    EXPECT_EQ(stored.black_ext.begin()->sync_id, 12u);
    EXPECT_EQ(stored.black_ext.rbegin()->sync_id, 3u);  // "c" unchanged
    Conditions list = Resumes();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().second.filter_desc, ustring("a"));
}
