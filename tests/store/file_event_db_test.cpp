#include "store/file_event_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include "store_test_util.h"

namespace fs = std::filesystem;
using storetest::query;

namespace {

class FileEventDBTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = storetest::makeTempDir("eventdb");
        dbPath = dir / "db" / "event-db.sqlite";
        fs::create_directories(dbPath.parent_path());
        ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    }
    void TearDown() override {
        db.destroy();
        fs::remove_all(dir);
    }

    ClientFileEventInfo file(const char* path, uint64_t sync, const char* hash = "h") {
        ClientFileEventInfo i;
        i.fileType = 0;
        i.isExist = 1;
        i.syncID = sync;
        i.maxSyncID = sync;
        i.fileSize = 100;
        i.fileModTime = 1000;
        i.fileCheckSum = hash;
        i.path = path;
        std::string p(path);
        i.baseName = p.substr(p.rfind('/') + 1);
        i.updateClient = "me";
        return i;
    }
    ClientFileEventInfo directory(const char* path, uint64_t sync) {
        ClientFileEventInfo i = file(path, sync, "");
        i.fileType = 1;
        i.fileSize = 0;
        return i;
    }
    // A signature for `path` created in a scratch place and moved into the store.
    DbResult setWithSignature(ClientFileEventInfo i, const std::string& content) {
        fs::path scratch = dir / ("scratch-" + std::to_string(counter++));
        storetest::writeFile(scratch, content);
        i.signaturePath = scratch.c_str();
        return db.setEventInfo(i);
    }
    ustring sigOf(const char* path) {
        ClientFileEventInfo got;
        EXPECT_EQ(db.getEventInfo(path, got), DbLookup::kFound) << path;
        return got.signaturePath;
    }
    std::vector<std::string> paths() { return query(dbPath, "SELECT path FROM eventinfo ORDER BY path"); }

    fs::path dir, dbPath;
    FileEventDB db;
    int counter = 0;
};

}  // namespace

TEST(FileEventDBNames, SignatureNamesFollowTheRowIdBytes) {
    EXPECT_EQ(FileEventDB::SignatureName(1), ".01");
    EXPECT_EQ(FileEventDB::SignatureName(0x12c), "01/.2c");
    EXPECT_EQ(FileEventDB::SignatureName(0x1234), "12/.34");
    EXPECT_EQ(FileEventDB::SignatureName(0xabcdef), "ab/cd/.ef");
    EXPECT_EQ(FileEventDB::SignatureName(256), "01/.00");
    EXPECT_EQ(FileEventDB::SignatureName(0x0100000000000000ull), "01/00/00/00/00/00/00/.00");
    EXPECT_EQ(FileEventDB::SignatureName(0), "");
}

TEST_F(FileEventDBTest, SchemaIsCreatedAsDescribed) {
    auto objects = query(dbPath, "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
    std::vector<std::string> expected = {
        "table|config_table",
        "table|conflict_table",
        "table|eventinfo",
        "trigger|eventinfo_delete_trigger",
        "index|eventinfo_fileCheckSum_idx",
        "index|eventinfo_stampInode_idx",
        "table|recycle_bin_table",
        "index|recycle_bin_table_fileCheckSum_idx",
        "index|recycle_bin_table_macHash_idx",
        "index|recycle_bin_table_time_idx",
    };
    EXPECT_EQ(objects, expected);

    // A database from before had indexes no query uses: opening it drops them and
    // keeps its rows.
    ClientFileEventInfo row = file("/kept", 3);
    ASSERT_EQ(db.setEventInfo(row), DbResult::kOk);
    db.destroy();
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &h), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(h,
                           "CREATE INDEX eventinfo_isExist_idx ON eventinfo(isExist);"
                           "CREATE INDEX eventinfo_path_idx ON eventinfo(path);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(h);
    ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    EXPECT_EQ(
        query(dbPath, "SELECT name FROM sqlite_master WHERE name IN ('eventinfo_isExist_idx', 'eventinfo_path_idx')"),
        std::vector<std::string>{});
    EXPECT_EQ(paths(), std::vector<std::string>{"kept"});

    auto cols = query(dbPath, "SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info('eventinfo')");
    std::vector<std::string> expectedCols = {
        "id|INTEGER|0|NULL|1",           "fileType|INTEGER|1|NULL|0",    "isExist|INTEGER|1|NULL|0",
        "syncID|NUMERIC|1|NULL|0",       "maxSyncID|NUMERIC|1|NULL|0",   "pDirID|NUMERIC|0|NULL|0",
        "fileSize|NUMERIC|1|NULL|0",     "fileModTime|NUMERIC|1|NULL|0", "fileCheckSum|TEXT|1|NULL|0",
        "baseName|TEXT|1|NULL|0",        "path|TEXT|1|NULL|0",           "filePrivilege|TEXT|0|NULL|0",
        "updateClient|TEXT|1|NULL|0",    "signPath|TEXT|0|NULL|0",       "macHash|TEXT|0|NULL|0",
        "windowsHash|TEXT|0|NULL|0",     "linuxHash|TEXT|0|NULL|0",      "varnelHash|TEXT|0|NULL|0",
        "inode|INTEGER|0|NULL|0",        "execBit|INTEGER|0|0|0",        "stampMtimeNs|INTEGER|0|NULL|0",
        "stampCtimeNs|INTEGER|0|NULL|0", "stampInode|INTEGER|0|NULL|0",
    };
    EXPECT_EQ(cols, expectedCols);
    EXPECT_EQ(
        query(dbPath, "SELECT COUNT(*) FROM pragma_index_list('eventinfo') WHERE \"unique\" = 1 AND origin = 'u'"),
        std::vector<std::string>{"1"});

    auto rcols = query(dbPath, "SELECT name, type, \"notnull\" FROM pragma_table_info('recycle_bin_table')");
    EXPECT_EQ(rcols,
              (std::vector<std::string>{"id|INTEGER|0", "path|TEXT|1", "fileSize|NUMERIC|1", "fileCheckSum|TEXT|1",
                                        "macHash|TEXT|0", "time|NUMERIC|1", "origPath|TEXT|0", "reason|TEXT|0"}));

    auto trig = query(dbPath, "SELECT sql FROM sqlite_master WHERE name = 'eventinfo_delete_trigger'");
    ASSERT_EQ(trig.size(), 1u);
    EXPECT_NE(trig[0].find("AFTER DELETE ON eventinfo"), std::string::npos);
    EXPECT_NE(trig[0].find("UPDATE config_table SET value = '' WHERE rowid = remove_signature(OLD.id);"),
              std::string::npos);

    EXPECT_EQ(query(dbPath, "SELECT key, value FROM config_table ORDER BY key"),
              (std::vector<std::string>{"sync_id|0", "version|7"}));
    EXPECT_EQ(query(dbPath, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});

    // Opening again keeps the stored state and adds nothing.
    ASSERT_EQ(db.setSyncId(77), DbResult::kOk);
    db.destroy();
    ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    EXPECT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);  // second call: no-op
    uint64_t sid = 0;
    ASSERT_EQ(db.getSyncId(sid), DbResult::kOk);
    EXPECT_EQ(sid, 77u);
    EXPECT_EQ(db.getSignDir(), ustring((dir / "db" / "sign").c_str()));
}

TEST_F(FileEventDBTest, OpenFailsCleanlyOnAnUnusableLocation) {
    FileEventDB other;
    EXPECT_EQ(other.initialize((dir / "missing" / "x" / "event-db.sqlite").c_str()), DbResult::kFailed);
    fs::path junk = dir / "junk.sqlite";
    storetest::writeFile(junk, std::string(4096, 'j'));
    EXPECT_EQ(other.initialize(junk.c_str()), DbResult::kFailed);
    ClientFileEventInfo i;
    EXPECT_EQ(other.getEventInfo("/a", i), DbLookup::kFailed);
    EXPECT_EQ(other.setEventInfo(file("/a", 1)), DbResult::kFailed);
}

TEST_F(FileEventDBTest, SetEventInfoCreatesAncestorsWithRaisedMaxSyncId) {
    ASSERT_EQ(db.setEventInfo(file("/a/b/c.txt", 5)), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT path, fileType, syncID, maxSyncID, isExist FROM eventinfo ORDER BY path"),
              (std::vector<std::string>{"a|1|5|5|1", "a/b|1|5|5|1", "a/b/c.txt|0|5|5|1"}));

    ClientFileEventInfo got;
    ASSERT_EQ(db.getEventInfo("/a/b/c.txt", got), DbLookup::kFound);
    EXPECT_EQ(got.path, "/a/b/c.txt");
    EXPECT_EQ(got.baseName, "c.txt");
    EXPECT_EQ(got.fileSize, 100u);
    EXPECT_EQ(got.fileModTime, 1000u);
    EXPECT_EQ(got.updateClient, "me");
    EXPECT_TRUE(got.filePrivilege.empty());
    ASSERT_EQ(db.getEventInfo("/a", got), DbLookup::kFound);
    EXPECT_TRUE(got.signaturePath.empty());

    // A higher sync id further down lifts every ancestor; a lower one lifts none.
    ASSERT_EQ(db.setEventInfo(file("/a/b/d.txt", 9)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/a/e.txt", 2)), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT path, maxSyncID FROM eventinfo WHERE fileType = 1 ORDER BY path"),
              (std::vector<std::string>{"a|9", "a/b|9"}));

    // A removal stored on the server lifts the ancestors the same way, makes no row,
    // and never lowers one.
    ASSERT_EQ(db.rmEventInfo("/a/b/d.txt"), DbResult::kOk);
    ASSERT_EQ(db.raiseAncestorsMaxSyncId("/a/b/d.txt", 14), DbResult::kOk);
    ASSERT_EQ(db.raiseAncestorsMaxSyncId("/a/e.txt", 5), DbResult::kOk);
    ASSERT_EQ(db.raiseAncestorsMaxSyncId("/x/y/z", 20), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT path, maxSyncID FROM eventinfo WHERE fileType = 1 ORDER BY path"),
              (std::vector<std::string>{"a|14", "a/b|14"}));
    // Rewriting a folder's own row keeps what its contents raised it to (a removal of
    // the folder names that version); a file in its place takes its own.
    ASSERT_EQ(db.setEventInfo(directory("/a/b", 13)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/a", 15)), DbResult::kOk);
    EXPECT_EQ(
        query(dbPath, "SELECT path, syncID, maxSyncID FROM eventinfo WHERE fileType = 1 OR path = 'a' ORDER BY path"),
        (std::vector<std::string>{"a|15|15", "a/b|13|14"}));
}

TEST_F(FileEventDBTest, OlderSyncIdDoesNotOverwriteANewerRow) {
    ASSERT_EQ(db.setEventInfo(file("/a/f", 10, "new")), DbResult::kOk);
    ClientFileEventInfo older = file("/a/f", 7, "old");
    older.fileSize = 1;
    ASSERT_EQ(db.setEventInfo(older), DbResult::kOk);  // not an error, just not applied
    ClientFileEventInfo got;
    ASSERT_EQ(db.getEventInfo("/a/f", got), DbLookup::kFound);
    EXPECT_EQ(got.syncID, 10u);
    EXPECT_EQ(got.fileCheckSum, "new");
    EXPECT_EQ(got.fileSize, 100u);

    // Equal or newer replaces the content columns but keeps the name columns.
    ClientFileEventInfo newer = file("/a/f", 12, "newer");
    newer.baseName = "changed";
    newer.updateClient = "other";
    newer.execBit = 1;
    ASSERT_EQ(db.setEventInfo(newer), DbResult::kOk);
    ASSERT_EQ(db.getEventInfo("/a/f", got), DbLookup::kFound);
    EXPECT_EQ(got.syncID, 12u);
    EXPECT_EQ(got.fileCheckSum, "newer");
    EXPECT_EQ(got.baseName, "f");
    EXPECT_EQ(got.updateClient, "me");
    EXPECT_EQ(got.execBit, 1u);
    EXPECT_EQ(query(dbPath, "SELECT maxSyncID FROM eventinfo WHERE path = 'a'"), std::vector<std::string>{"12"});
}

TEST_F(FileEventDBTest, SignatureIsMovedToTheRowIdLocation) {
    ASSERT_EQ(setWithSignature(file("/s.bin", 3), "sig-1"), DbResult::kOk);
    ustring sig = sigOf("/s.bin");
    EXPECT_EQ(sig, ustring((dir / "db" / "sign" / ".01").c_str()));
    EXPECT_TRUE(fs::exists(sig.c_str_utf8()));
    EXPECT_EQ(fs::file_size(sig.c_str_utf8()), 5u);

    // A newer version replaces the signature in place.
    ASSERT_EQ(setWithSignature(file("/s.bin", 4), "sig-two"), DbResult::kOk);
    EXPECT_EQ(sigOf("/s.bin"), sig);
    EXPECT_EQ(fs::file_size(sig.c_str_utf8()), 7u);

    // An older version leaves both row and signature alone, and the caller's file in place.
    fs::path scratch = dir / "stale-sig";
    storetest::writeFile(scratch, "stale-signature");
    ClientFileEventInfo stale = file("/s.bin", 1);
    stale.signaturePath = scratch.c_str();
    ASSERT_EQ(db.setEventInfo(stale), DbResult::kOk);
    EXPECT_EQ(fs::file_size(sig.c_str_utf8()), 7u);
    EXPECT_TRUE(fs::exists(scratch));

    // A signature that is already in place is kept.
    ClientFileEventInfo same = file("/s.bin", 5);
    same.signaturePath = sig;
    ASSERT_EQ(db.setEventInfo(same), DbResult::kOk);
    EXPECT_TRUE(fs::exists(sig.c_str_utf8()));

    // A missing source fails and leaves the row as it was.
    ClientFileEventInfo bad = file("/s.bin", 6);
    bad.signaturePath = (dir / "no-such-file").c_str();
    EXPECT_EQ(db.setEventInfo(bad), DbResult::kFailed);
    ClientFileEventInfo got;
    ASSERT_EQ(db.getEventInfo("/s.bin", got), DbLookup::kFound);
    EXPECT_EQ(got.syncID, 5u);
    // A failed new row leaves no row and no ancestors behind.
    ClientFileEventInfo badNew = file("/new/dir/f", 6);
    badNew.signaturePath = (dir / "no-such-file").c_str();
    EXPECT_EQ(db.setEventInfo(badNew), DbResult::kFailed);
    EXPECT_EQ(paths(), std::vector<std::string>{"s.bin"});
    // ...and the connection is usable afterwards (no transaction left open).
    EXPECT_EQ(db.setEventInfo(file("/ok", 1)), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT COUNT(*) FROM eventinfo"), std::vector<std::string>{"2"});
}

TEST_F(FileEventDBTest, DeepRowIdsUseSubdirectories) {
    ASSERT_EQ(query(dbPath, "SELECT 1").size(), 1u);
    // Move the next row id to 256 so that its signature goes to "01/.00".
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath.c_str(), &h), SQLITE_OK);
        ASSERT_EQ(
            sqlite3_exec(h,
                         "INSERT INTO eventinfo (id, fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
                         "fileCheckSum, baseName, path, updateClient) VALUES (255, 0, 1, 0, 0, 0, 0, '', '', "
                         "'placeholder', '')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(h);
    }
    ASSERT_EQ(setWithSignature(file("/deep", 1), "x"), DbResult::kOk);
    EXPECT_EQ(sigOf("/deep"), ustring((dir / "db" / "sign" / "01" / ".00").c_str()));
    EXPECT_TRUE(fs::exists(dir / "db" / "sign" / "01" / ".00"));
}

TEST_F(FileEventDBTest, EveryWayOfDeletingARowTakesItsSignature) {
    auto make = [&](const char* path) {
        EXPECT_EQ(setWithSignature(file(path, 1), path), DbResult::kOk);
        return fs::path(sigOf(path).c_str_utf8());
    };
    // rmEventInfo removes the sub-tree but not a sibling sharing the prefix.
    fs::path s1 = make("/a/b/c.txt");
    fs::path s2 = make("/ab");
    ASSERT_TRUE(fs::exists(s1) && fs::exists(s2));
    EXPECT_EQ(db.rmEventInfo("/a"), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s1));
    EXPECT_TRUE(fs::exists(s2));
    EXPECT_EQ(paths(), std::vector<std::string>{"ab"});

    fs::path s3 = make("/x/y/z");
    EXPECT_EQ(db.rmEventInfoV3("/x/y"), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s3));
    fs::path s4 = make("/top");
    EXPECT_EQ(db.rmEventInfoV3("/top"), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s4));

    fs::path s5 = make("/d/inside");
    EXPECT_EQ(db.rmAllFolders(), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s5));
    EXPECT_TRUE(fs::exists(s2));                         // top-level files stay
    EXPECT_EQ(paths(), std::vector<std::string>{"ab"});  // "x" was a directory row

    EXPECT_EQ(db.dumpFileToRecycleBin("/R1", "/ab"), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s2));

    fs::path s6 = make("/m/n/o");
    EXPECT_EQ(db.dumpDirToRecycleBin("/R2", "/m"), DbResult::kOk);
    EXPECT_FALSE(fs::exists(s6));
    EXPECT_TRUE(paths().empty());

    EXPECT_EQ(db.rmEventInfo(""), DbResult::kFailed);
}

TEST_F(FileEventDBTest, WildcardsInPathsAreMatchedLiterally) {
    ASSERT_EQ(db.setEventInfo(file("/a[1]/f", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/a1/g", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/s*/h", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/sx/i", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/q?/j", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/qq/k", 1)), DbResult::kOk);
    EXPECT_EQ(db.rmEventInfo("/a[1]"), DbResult::kOk);
    EXPECT_EQ(db.rmEventInfo("/s*"), DbResult::kOk);
    EXPECT_EQ(db.rmEventInfoV3("/q?/j"), DbResult::kOk);
    EXPECT_EQ(paths(), (std::vector<std::string>{"a1", "a1/g", "q?", "qq", "qq/k", "sx", "sx/i"}));
    // A bracket set names itself only: "ab/" and "ax/" keep their rows and signatures.
    for (const char* p : {"/a[bx]/f", "/ab/g", "/ax/h"}) ASSERT_EQ(setWithSignature(file(p, 1), p), DbResult::kOk);
    const fs::path ab = sigOf("/ab/g").c_str_utf8(), ax = sigOf("/ax/h").c_str_utf8();
    EXPECT_EQ(db.rmEventInfo("/a[bx]"), DbResult::kOk);
    EXPECT_TRUE(fs::exists(ab) && fs::exists(ax));
    ClientFileEventInfo kept;
    EXPECT_EQ(db.getEventInfo("/ab/g", kept), DbLookup::kFound);
    EXPECT_EQ(db.getEventInfo("/ax/h", kept), DbLookup::kFound);
    EXPECT_EQ(db.getEventInfo("/a[bx]/f", kept), DbLookup::kAbsent);
    EXPECT_EQ(db.dumpDirToRecycleBin("/Rbx", "/a[b"), DbResult::kOk);  // an unmatched bracket is a name too
    EXPECT_EQ(db.getEventInfo("/ab/g", kept), DbLookup::kFound);

    StringBuffer buf;
    FileList l(buf);
    ASSERT_EQ(db.getFileListWithoutRecursive(&l, "/s?"), DbResult::kOk);  // no directory called "s?"
    EXPECT_EQ(l.rbegin()->path, "");
    // Quotes go through the quoting too.
    ASSERT_EQ(db.setEventInfo(file("/it's/a 'file'", 1, "o'hash")), DbResult::kOk);
    ClientFileEventInfo got;
    ASSERT_EQ(db.getEventInfo("/it's/a 'file'", got), DbLookup::kFound);
    EXPECT_EQ(got.fileCheckSum, "o'hash");
    EXPECT_EQ(db.rmEventInfo("/it's"), DbResult::kOk);
    EXPECT_EQ(db.getEventInfo("/it's/a 'file'", got), DbLookup::kAbsent);
}

TEST_F(FileEventDBTest, LookupsByHashBindTheHash) {
    ASSERT_EQ(db.setEventInfo(file("/d/one", 1, "aa")), DbResult::kOk);
    ustring found;
    EXPECT_EQ(db.getFilePathByHash("aa", "", found), DbLookup::kFound);
    EXPECT_EQ(found, "d/one");
    EXPECT_EQ(db.getFilePathByHash("bb", "", found), DbLookup::kAbsent);
    // Directories (empty checksum) are never a content source.
    EXPECT_EQ(db.getFilePathByHash("", "", found), DbLookup::kAbsent);
    ClientFileEventInfo d = directory("/dir-with-hash", 1);
    d.fileCheckSum = "dd";
    ASSERT_EQ(db.setEventInfo(d), DbResult::kOk);
    EXPECT_EQ(db.getFilePathByHash("dd", "", found), DbLookup::kAbsent);
    // A hash with a quote, or an injection attempt, is a plain value.
    EXPECT_EQ(db.getFilePathByHash("x' OR '1'='1", "", found), DbLookup::kAbsent);
    EXPECT_EQ(db.getFilePathByHash("it's", "", found), DbLookup::kAbsent);
    ASSERT_EQ(db.setEventInfo(file("/d/two", 1, "it's")), DbResult::kOk);
    EXPECT_EQ(db.getFilePathByHash("it's", "", found), DbLookup::kFound);
    EXPECT_EQ(found, "d/two");

    ASSERT_EQ(db.addFileToRecycleBin("/R9", 5, "q'uote", ""), DbResult::kOk);
    EXPECT_EQ(db.getFilePathByHashFromRecycle("q'uote", "", found), DbLookup::kFound);
    EXPECT_EQ(found, "/R9");
    EXPECT_EQ(db.getFilePathByHashFromRecycle("x' OR '1'='1", "", found), DbLookup::kAbsent);
    ASSERT_EQ(db.dumpDirToRecycleBin("/RD", "/d"), DbResult::kOk);  // records "/RD" with an empty checksum
    EXPECT_EQ(db.getFilePathByHashFromRecycle("", "", found), DbLookup::kAbsent);
    EXPECT_EQ(db.getFilePathByHashFromRecycle("aa", "", found), DbLookup::kFound);
    EXPECT_EQ(found, "/RD/one");
    ASSERT_EQ(db.setEventInfo(file("/d/one", 2, "aa")), DbResult::kOk);

    // Rows that no longer exist are not a source.
    ASSERT_EQ(query(dbPath, "SELECT 1").size(), 1u);
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath.c_str(), &h), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(h, "UPDATE eventinfo SET isExist = 0 WHERE path = 'd/one'", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(h);
    }
    EXPECT_EQ(db.getFilePathByHash("aa", "", found), DbLookup::kAbsent);
}

TEST_F(FileEventDBTest, RecycleBinIndex) {
    ASSERT_EQ(db.setEventInfo(file("/dir/b/c.txt", 3, "h1")), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/dir/d.txt", 3, "h2")), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/dirx", 3, "h3")), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/f.txt", 3, "h4")), DbResult::kOk);
    time_t before = time(nullptr);
    ASSERT_EQ(db.dumpDirToRecycleBin("/AbCdEfGh", "/dir"), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT path, fileSize, fileCheckSum FROM recycle_bin_table ORDER BY path"),
              (std::vector<std::string>{"/AbCdEfGh|0|", "/AbCdEfGh/b/c.txt|100|h1", "/AbCdEfGh/d.txt|100|h2"}));
    EXPECT_EQ(paths(), (std::vector<std::string>{"dirx", "f.txt"}));
    auto times = query(dbPath, "SELECT DISTINCT time FROM recycle_bin_table");
    ASSERT_EQ(times.size(), 1u);
    EXPECT_GE(std::stoll(times[0]), static_cast<long long>(before));

    ASSERT_EQ(db.dumpFileToRecycleBin("/ZzZzZzZz", "/f.txt"), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT fileCheckSum FROM recycle_bin_table WHERE path = '/ZzZzZzZz'"),
              std::vector<std::string>{"h4"});

    // A clashing recycle name fails as a whole: nothing moves and nothing stays half-done.
    ASSERT_EQ(db.setEventInfo(file("/dir2/x", 3, "h5")), DbResult::kOk);
    EXPECT_EQ(db.dumpDirToRecycleBin("/AbCdEfGh/d.txt", "/dir2"), DbResult::kFailed);
    EXPECT_EQ(paths(), (std::vector<std::string>{"dir2", "dir2/x", "dirx"}));
    EXPECT_EQ(query(dbPath, "SELECT COUNT(*) FROM recycle_bin_table"), std::vector<std::string>{"4"});
    EXPECT_EQ(db.setSyncId(5), DbResult::kOk);  // no transaction left open
    EXPECT_EQ(query(dbPath, "SELECT value FROM config_table WHERE key='sync_id'"), std::vector<std::string>{"5"});

    // Rotation: top-level entries at or before the time only.
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath.c_str(), &h), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(h, "UPDATE recycle_bin_table SET time = 100 WHERE path LIKE '/AbCdEfGh%'", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(h);
    }
    std::set<ustring> rotate;
    ASSERT_EQ(db.getRotateList(100, rotate), DbResult::kOk);
    EXPECT_EQ(rotate, std::set<ustring>{"/AbCdEfGh"});
    rotate.clear();
    ASSERT_EQ(db.getRotateList(99, rotate), DbResult::kOk);
    EXPECT_TRUE(rotate.empty());
    uint32_t oldest = 0;
    ASSERT_EQ(db.getOldestRecyleTime(oldest), DbResult::kOk);
    EXPECT_EQ(oldest, 100u);
    ASSERT_EQ(db.rmRotateRecords(100), DbResult::kOk);
    EXPECT_EQ(query(dbPath, "SELECT path FROM recycle_bin_table"), std::vector<std::string>{"/ZzZzZzZz"});
    ASSERT_EQ(db.rmRecycleByPath("/ZzZzZzZz"), DbResult::kOk);
    ASSERT_EQ(db.getOldestRecyleTime(oldest), DbResult::kOk);
    EXPECT_EQ(oldest, 0u);
    ASSERT_EQ(db.addFileToRecycleBin("/Q", 1, "c", "m"), DbResult::kOk);
    ASSERT_EQ(db.resetRecycleBin(), DbResult::kOk);
    EXPECT_TRUE(query(dbPath, "SELECT path FROM recycle_bin_table").empty());
}

TEST_F(FileEventDBTest, FileListsForRescans) {
    ASSERT_EQ(db.setEventInfo(file("/a/b/c.txt", 3)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(directory("/a/e", 4)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/a/old", 9)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/A/upper", 1)), DbResult::kOk);
    ASSERT_EQ(db.setEventInfo(file("/top.txt", 1)), DbResult::kOk);

    auto walk = [](const FileList& l) {
        std::vector<std::string> out;
        for (auto it = l.rbegin(); it != l.rend(); ++it) out.push_back((it->is_dir() ? "D:" : "F:") + it->path.str());
        return out;
    };
    {
        StringBuffer buf;
        FileList l(buf);
        ASSERT_EQ(db.getFileList(&l, "/a"), DbResult::kOk);
        EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/old", "D:/e", "F:/b/c.txt", "D:/b", "D:"}));
        auto it = l.rbegin();
        EXPECT_EQ(it->mtime, 1000u);
        EXPECT_EQ(it->size, 100u);
    }
    {
        StringBuffer buf;
        FileList l(buf);
        ASSERT_EQ(db.getFileList(&l, "/"), DbResult::kOk);
        EXPECT_EQ(walk(l).size(), 9u);
    }
    {
        StringBuffer buf;
        FileList l(buf);
        ASSERT_EQ(db.getFileListWithoutRecursive(&l, "/"), DbResult::kOk);
        EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/top.txt", "D:/a", "D:/A", "D:"}));
    }
    {
        StringBuffer buf;
        FileList l(buf);
        ASSERT_EQ(db.getFileListWithoutRecursive(&l, "/a"), DbResult::kOk);
        EXPECT_EQ(walk(l), (std::vector<std::string>{"F:/old", "D:/e", "D:/b", "D:"}));
    }
    {
        StringBuffer buf;
        FileList l(buf);
        ASSERT_EQ(db.getFileListWithoutRecursive(&l, "/a", 4), DbResult::kOk);
        // b keeps the sync id it was created with (3); only its maxSyncID rose.
        EXPECT_EQ(walk(l), (std::vector<std::string>{"D:/e", "D:/b", "D:"}));
    }
    {
        StringBuffer buf;
        FileList l(buf);
        EXPECT_EQ(db.getFileList(&l, ""), DbResult::kOk);
        EXPECT_EQ(walk(l).size(), 1u);
    }
}

TEST_F(FileEventDBTest, SyncIdKeepsTheFullRange) {
    uint64_t v = 1;
    ASSERT_EQ(db.getSyncId(v), DbResult::kOk);
    EXPECT_EQ(v, 0u);
    ASSERT_EQ(db.setSyncId(18446744073709551615ull), DbResult::kOk);
    ASSERT_EQ(db.getSyncId(v), DbResult::kOk);
    EXPECT_EQ(v, 18446744073709551615ull);
}

TEST_F(FileEventDBTest, EmptyPathAndMissingRows) {
    ClientFileEventInfo got;
    EXPECT_EQ(db.getEventInfo("", got), DbLookup::kFailed);
    EXPECT_EQ(db.getEventInfo("/nothing", got), DbLookup::kAbsent);
    FileEventDB::EventInfo ei;
    EXPECT_EQ(db.contains("/nothing", ei), DbLookup::kAbsent);
    ASSERT_EQ(db.setEventInfo(file("/yes", 4)), DbResult::kOk);
    EXPECT_EQ(db.contains("/yes", ei), DbLookup::kFound);
    EXPECT_EQ(ei.sync_id, 4u);
    EXPECT_EQ(ei.row_id, 1u);
    EXPECT_EQ(db.setEventInfo(file("/", 1)), DbResult::kFailed);
}

TEST_F(FileEventDBTest, StampsAreKeptAndRowsFromBeforeThemHaveNone) {
    // A database from before the stamp columns: its rows read with an unknown stamp.
    ASSERT_EQ(db.setEventInfo(file("/old", 1)), DbResult::kOk);
    db.destroy();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(
        sqlite3_exec(raw,
                     "DROP INDEX eventinfo_stampInode_idx; ALTER TABLE eventinfo DROP COLUMN stampMtimeNs; "
                     "ALTER TABLE eventinfo DROP COLUMN stampCtimeNs; ALTER TABLE eventinfo DROP COLUMN stampInode;",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(raw);
    ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    ClientFileEventInfo got;
    ASSERT_EQ(db.getEventInfo("/old", got), DbLookup::kFound);
    EXPECT_FALSE(got.stamp.known());

    ClientFileEventInfo a = file("/a", 2), b = file("/b", 3);
    a.stamp = b.stamp = LocalStamp{-1234567890123, 1700000000123456789, 42};  // times before 1970 too
    ASSERT_TRUE(db.setEventInfo(a) == DbResult::kOk && db.setEventInfo(b) == DbResult::kOk &&
                db.getEventInfo("/a", got) == DbLookup::kFound);
    EXPECT_EQ(got.stamp, a.stamp);
    std::vector<ustring> links;
    ASSERT_EQ(db.getPathsByInode(42, links), DbResult::kOk);
    EXPECT_EQ(links, (std::vector<ustring>{"/a", "/b"}));
    a.syncID = 4;
    a.stamp = LocalStamp();  // written without a stamp: unknown again, never a stale one
    ASSERT_TRUE(db.setEventInfo(a) == DbResult::kOk && db.getEventInfo("/a", got) == DbLookup::kFound);
    EXPECT_FALSE(got.stamp.known());

    // A verified stamp lands only on the row of the version it was verified against.
    const LocalStamp seen{1, 2, 7};
    ASSERT_EQ(db.setStamps({{"/a", 3, a.fileCheckSum, a.execBit, seen},
                            {"/old", 1, "other", 0, seen},
                            {"/b", 3, b.fileCheckSum, b.execBit, seen}}),
              DbResult::kOk);
    for (const char* p : {"/a", "/old"}) {
        ASSERT_EQ(db.getEventInfo(p, got), DbLookup::kFound);
        EXPECT_FALSE(got.stamp.known()) << p;
    }
    ASSERT_EQ(db.getEventInfo("/b", got), DbLookup::kFound);
    EXPECT_EQ(got.stamp, seen);
}

TEST_F(FileEventDBTest, ConcurrentWritersAreSerialised) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                std::string p = "/t" + std::to_string(t) + "/f" + std::to_string(i);
                EXPECT_EQ(db.setEventInfo(file(p.c_str(), static_cast<uint64_t>(i + 1))), DbResult::kOk);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(query(dbPath, "SELECT COUNT(*) FROM eventinfo"), std::vector<std::string>{"204"});
    EXPECT_EQ(query(dbPath, "SELECT DISTINCT maxSyncID FROM eventinfo WHERE fileType = 1"),
              std::vector<std::string>{"50"});
}

// A database from before the origin columns opens with its recycle rows kept; origins,
// the lookup of a path inside a recycled folder and the conflict records then work.
TEST(FileEventDBRecovery, OldDatabaseGainsOriginsAndConflicts) {
    const fs::path dir = storetest::makeTempDir("eventdb-old");
    const std::string file = (dir / "event-db.sqlite").string();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE recycle_bin_table (id integer primary key, path text unique NOT NULL, "
                           "fileSize NUMERIC NOT NULL, fileCheckSum text NOT NULL, macHash text default NULL, "
                           "time NUMERIC NOT NULL);"
                           "INSERT INTO recycle_bin_table (path, fileSize, fileCheckSum, time) VALUES ('/mFqUgMzO', 7, "
                           "'h', 100);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    FileEventDB db;
    ASSERT_EQ(db.initialize(file.c_str()), DbResult::kOk);
    std::vector<FileEventDB::RecycleItem> items;
    ASSERT_EQ(db.listRecycle(items), DbResult::kOk);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "/mFqUgMzO");
    EXPECT_EQ(items[0].origPath, "");
    EXPECT_EQ(items[0].bytes, 7u);

    // A folder: its own row and one file below; a later file removed from the same place.
    ASSERT_EQ(db.addRecycleEntry("/photos~A", "/photos", "removed", 0, "", "", 200), DbResult::kOk);
    ASSERT_EQ(db.addFileToRecycleBin("/photos~A/a.jpg", 40, "ha", ""), DbResult::kOk);
    ASSERT_EQ(db.addRecycleEntry("/photos~B", "/photos", "removed", 5, "hb", "", 300), DbResult::kOk);
    ASSERT_EQ(db.setRecycleOrigin("/mFqUgMzO", "/old.txt", "removed"), DbResult::kOk);
    std::vector<FileEventDB::RecycleItem> found;
    ASSERT_EQ(db.findRecycleFor("/photos/a.jpg", found), DbResult::kOk);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "/photos~B");  // the newest removal from there first
    found.clear();
    EXPECT_EQ(db.findRecycleFor("/photosX", found), DbResult::kOk);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(db.findRecycleFor("/old.txt", found), DbResult::kOk);
    EXPECT_EQ(found.size(), 1u);
    items.clear();
    ASSERT_EQ(db.listRecycle(items), DbResult::kOk);
    ASSERT_EQ(items.size(), 3u);  // top-level entries only, oldest first
    EXPECT_EQ(items[1].name, "/photos~A");
    EXPECT_EQ(items[1].bytes, 40u);

    ASSERT_EQ(db.addConflict("/a_PC_Conflict.txt", "/a.txt", "changed here and on the server", 5), DbResult::kOk);
    ASSERT_EQ(db.addConflict("/a_PC_Conflict.txt", "/a.txt", "again", 6), DbResult::kOk);
    std::vector<FileEventDB::ConflictItem> conflicts;
    ASSERT_EQ(db.listConflicts(conflicts), DbResult::kOk);
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_EQ(conflicts[0].reason, "again");
    ASSERT_EQ(db.rmConflict("/a_PC_Conflict.txt"), DbResult::kOk);
    conflicts.clear();
    ASSERT_EQ(db.listConflicts(conflicts), DbResult::kOk);
    EXPECT_TRUE(conflicts.empty());
    db.destroy();
    fs::remove_all(dir);
}

// Workers finishing files together share commits: every call still reports its own
// row, a failing row takes no other down, and a reader in between sees whole rows.
TEST_F(FileEventDBTest, ConcurrentWritersAllCommitted) {
    constexpr int kThreads = 4, kRows = 60;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRows; ++i) {
                const std::string path = "/w" + std::to_string(t) + "/f" + std::to_string(i);
                if (db.setEventInfo(file(path.c_str(), 10 + i)) != DbResult::kOk) ++failures;
                if (i % 10 == 0 && db.setEventInfo(file("", 1)) != DbResult::kFailed) ++failures;
                FileEventDB::EventInfo got;
                if (db.contains(path.c_str(), got) != DbLookup::kFound) ++failures;
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(failures.load(), 0);
    // Every row and its folder, after the handle is closed and opened again.
    db.destroy();
    ASSERT_EQ(db.initialize(dbPath.c_str()), DbResult::kOk);
    EXPECT_EQ(paths().size(), static_cast<size_t>(kThreads * (kRows + 1)));
}
