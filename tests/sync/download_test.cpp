// The download handler on a worker that was never started, against the real
// refserver: whole files, patches, the ways that need no transfer, resumed transfers,
// conflicts with local edits, type jumps and hostile hashes.
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "platform/tmpfs_mount.h"
#include "sync/transfer_fixture.h"

namespace {

using DownloadTest = TransferTest;

TEST_F(DownloadTest, NewFileArrivesWholeWithItsTimeAndAChangeArrivesAsPatch) {
    Start();
    std::string body = RandomBytes(300000, 1);
    EXPECT_EQ(Sync("/doc.bin", body), kDone);
    EXPECT_TRUE(Read(Local("/doc.bin")) == body);
    EXPECT_EQ(TimeOf("/doc.bin"), kServerTime);
    EXPECT_EQ(Row("/doc.bin").fileCheckSum.str(), Md4Of(body));
    EXPECT_EQ(server.CountLog("(whole, 300000 bytes from 0)"), 1);

    body.replace(150000, 5, "edit!");
    const uint64_t id = ServerPut("/doc.bin", body);
    EXPECT_EQ(Run(ServerEvent("/doc.bin", id, body)), kDone);
    EXPECT_TRUE(Read(Local("/doc.bin")) == body);
    EXPECT_EQ(Row("/doc.bin").syncID, id);
    EXPECT_EQ(server.CountLog("(delta,"), 1);
    EXPECT_EQ(Scratch(), 0);

    // A directory arrives too.
    EXPECT_EQ(Sync("/sub", "", true), kDone);
    EXPECT_TRUE(fs::is_directory(Local("/sub")));
    EXPECT_EQ(Row("/sub").fileType, 1);

    // Placed files get their stamps at a later download (a few together, once a
    // second has passed), unless they no longer hold what was placed: here a
    // same-size edit whose time was put back, which only the content tells.
    EXPECT_EQ(Sync("/kept.txt", "kept"), kDone);
    EXPECT_EQ(Sync("/edited.txt", "left"), kDone);
    Put("/edited.txt", "EDIT", kServerTime);
    usleep(1100 * 1000);
    EXPECT_EQ(Sync("/later.txt", "later"), kDone);
    EXPECT_TRUE(Row("/kept.txt").stamp.known());
    EXPECT_FALSE(Row("/edited.txt").stamp.known());
}

TEST_F(DownloadTest, EchoMergeRecycleAndLocalCopyTakeNoTransfer) {
    Start();
    // Echo: the row already holds this change.
    EXPECT_EQ(Sync("/a.txt", "alpha"), kDone);
    EXPECT_EQ(Run(ServerEvent("/a.txt", Row("/a.txt").syncID, "alpha")), kDone);
    // Merge: both sides made the same file.
    Put("/same.txt", "same bytes");
    const uint64_t same = ServerPut("/same.txt", "same bytes");
    EXPECT_EQ(Run(ServerEvent("/same.txt", same, "same bytes")), kDone);
    EXPECT_EQ(Row("/same.txt").syncID, same);
    EXPECT_EQ(TimeOf("/same.txt"), kServerTime);
    // Recycle folder: content that was removed comes back from there.
    fs::create_directories(Recycle());
    std::ofstream(Recycle() + "/Rb123456", std::ios::binary) << "recycled";
    ASSERT_EQ(session.event_db->addFileToRecycleBin("/Rb123456", 8, Md4Of("recycled"), ""), DbResult::kOk);
    const uint64_t back = ServerPut("/back.txt", "recycled");
    EXPECT_EQ(Run(ServerEvent("/back.txt", back, "recycled")), kDone);
    EXPECT_EQ(Read(Local("/back.txt")), "recycled");
    EXPECT_FALSE(fs::exists(Recycle() + "/Rb123456"));
    ustring found;
    EXPECT_EQ(session.event_db->getFilePathByHashFromRecycle(Md4Of("recycled"), "", found), DbLookup::kAbsent);
    // Another synchronised file holds the content: copied.
    const uint64_t copy = ServerPut("/copy.txt", "alpha");
    EXPECT_EQ(Run(ServerEvent("/copy.txt", copy, "alpha")), kDone);
    EXPECT_EQ(Read(Local("/copy.txt")), "alpha");
    EXPECT_EQ(Read(Local("/a.txt")), "alpha");
    EXPECT_EQ(Row("/copy.txt").syncID, copy);

    EXPECT_EQ(server.CountLog("resume_download: /a.txt"), 1);
    EXPECT_EQ(server.CountLog("resume_download:"), 1);
    EXPECT_EQ(Scratch(), 0);
}

TEST_F(DownloadTest, CutDownloadResumesFromTheStoredLength) {
    Start({"--fault", "cut-after=100000"});
    // Left by a transfer that was abandoned long ago: expires.
    const fs::path stale = server.data_root() / "resume" / std::string(32, 'a');
    std::ofstream(stale) << "old";
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(2));
    const std::string body = RandomBytes(250000, 2);
    EventManager::getInstance().PushServerEvent(ServerEvent("/big.bin", ServerPut("/big.bin", body), body));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_FALSE(fs::exists(Local("/big.bin")));  // never a partial file at the user's path
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_TRUE(Read(Local("/big.bin")) == body);
    EXPECT_EQ(server.CountLog("bytes from 100000 (fault)"), 1);
    EXPECT_EQ(server.CountLog("(whole, 50000 bytes from 200000)"), 1);
    EXPECT_EQ(server.CountLog("resume_get_token"), 1);
    EXPECT_EQ(Scratch(), 0);
    // The server keeps nothing of a finished transfer (it drops it once sent).
    for (int i = 0; i < 200 && !fs::is_empty(server.data_root() / "resume"); ++i) usleep(50000);
    EXPECT_TRUE(fs::is_empty(server.data_root() / "resume"));
}

TEST_F(DownloadTest, AFullDiskHandsTheEventBackAndChangesNothingUntilSpaceIsFreed) {
    fs::create_directories(at("s1/sync"));
    TmpfsMount disk(at("s1/sync"), 320 << 10);
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << disk.why;
    Start();
    auto finish = [&] {
        std::vector<int> actions;
        for (int i = 0; i < 4 && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
            actions.push_back(worker.RunOnce());
        return actions;
    };
    // A new file larger than the disk, received whole.
    const std::string big = RandomBytes(400000, 5);
    EventManager::getInstance().PushServerEvent(ServerEvent("/big.bin", ServerPut("/big.bin", big), big));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_FALSE(fs::exists(Local("/big.bin")));
    EXPECT_EQ(Scratch(), 0);
    ASSERT_TRUE(disk.Resize(1 << 20));
    EXPECT_EQ(finish(), kDone);
    EXPECT_TRUE(Read(Local("/big.bin")) == big);

    // A change that arrives as a patch, whose result does not fit beside the old
    // version: the disk is full, not the patch bad.
    std::string body = big;
    body.replace(200000, 2000, RandomBytes(2000, 6));
    ASSERT_TRUE(disk.Resize(520 << 10));
    const uint64_t id = ServerPut("/big.bin", body);
    EventManager::getInstance().PushServerEvent(ServerEvent("/big.bin", id, body));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_TRUE(Read(Local("/big.bin")) == big);
    EXPECT_EQ(Scratch(), 0);
    ASSERT_TRUE(disk.Resize(2 << 20));
    EXPECT_EQ(finish(), kDone);
    EXPECT_TRUE(Read(Local("/big.bin")) == body);
    EXPECT_EQ(Row("/big.bin").syncID, id);
    EXPECT_EQ(server.CountLog("(delta,"), 2);
    EXPECT_EQ(server.CountLog("(whole,"), 2);
    EXPECT_EQ(Scratch(), 0);

    // No entry left for the received file (or for a folder): as full as no room.
    struct statvfs v {};
    ASSERT_EQ(statvfs(session.local_path.c_str_utf8(), &v), 0);
    ASSERT_TRUE(disk.Resize(2 << 20, "nr_inodes=" + std::to_string(v.f_files - v.f_ffree)));
    EventManager::getInstance().PushServerEvent(ServerEvent("/small.txt", ServerPut("/small.txt", "small"), "small"));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EventManager::getInstance().PushServerEvent(ServerEvent("/dir", ServerPut("/dir", "", true), "", true));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETURN_EVENT);
    EXPECT_FALSE(fs::exists(Local("/small.txt")));
    EXPECT_FALSE(fs::exists(Local("/dir")));
    ASSERT_TRUE(disk.Resize(2 << 20, "nr_inodes=1000"));
    EXPECT_EQ(finish(), (std::vector<int>{Worker::ACTION_DONE, Worker::ACTION_DONE}));
    EXPECT_EQ(Read(Local("/small.txt")), "small");
    EXPECT_TRUE(fs::is_directory(Local("/dir")));
    EXPECT_EQ(Scratch(), 0);
}

// The same without root rights: the session root fails its changes on demand.
TEST_F(DownloadTest, InjectedWriteFaultsWaitForSpaceOrRetryAndChangeNothing) {
    Start();
    auto faults = std::make_shared<RootFaults>();
    ASSERT_TRUE(SessionRoot::OpenWithFaults(session.local_path, faults, session.root));
    Registry::getInstance().Set(session);
    const std::string body = RandomBytes(50000, 7);
    faults->fail_at = 1;  // ENOSPC from the first change on
    EXPECT_EQ(Run(ServerEvent("/f.bin", ServerPut("/f.bin", body), body), 1),
              std::vector<int>{Worker::ACTION_RETURN_EVENT});
    faults->err = EIO;
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_FALSE(fs::exists(Local("/f.bin")));
    EXPECT_EQ(Scratch(), 0);
    faults->fail_at = 0;
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_TRUE(Read(Local("/f.bin")) == body);
}

TEST_F(DownloadTest, RandomCutsSpendOneBudgetPerConnection) {
    // MIN = MAX: the budget is known. The first file spends 60000 of it, the second
    // is cut at the 40000 left and continues on a new connection with a new budget.
    Start({"--fault", "cut-after=random:100000-100000", "--fault-seed", "7"});
    const std::string one = RandomBytes(60000, 5), two = RandomBytes(60000, 6);
    EXPECT_EQ(Run(ServerEvent("/one.bin", ServerPut("/one.bin", one), one)), kDone);
    EventManager::getInstance().PushServerEvent(ServerEvent("/two.bin", ServerPut("/two.bin", two), two));
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_RETRY);
    EXPECT_EQ(worker.RunOnce(), Worker::ACTION_DONE);
    EXPECT_TRUE(Read(Local("/one.bin")) == one);
    EXPECT_TRUE(Read(Local("/two.bin")) == two);
    EXPECT_EQ(server.CountLog("cut after 40000 of 60000 bytes from 0 (fault)"), 1);
    EXPECT_EQ(server.CountLog("(whole, 20000 bytes from 40000)"), 1);
    EXPECT_EQ(server.CountLog("fault seed 7 "), 1);
    EXPECT_EQ(Scratch(), 0);
}

TEST_F(DownloadTest, LocalEditRacingServerChangeKeepsBoth) {
    Start();
    EXPECT_EQ(Sync("/n.txt", "version one"), kDone);
    Put("/n.txt", "my local edit, longer");
    EXPECT_EQ(Sync("/n.txt", "version two"), kDone);
    EXPECT_EQ(Read(Local("/n.txt")), "version two");
    const auto kept = Named(session.local_path.str(), "n_testbox_");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Read(kept[0]), "my local edit, longer");
}

TEST_F(DownloadTest, PendingEditIsKeptWhenTheNewContentIsCopiedFromAnotherFile) {
    Start();
    EXPECT_EQ(Sync("/a.txt", "first"), kDone);
    EXPECT_EQ(Sync("/b.txt", "content of b"), kDone);
    Put("/a.txt", "pending edit");
    const uint64_t id = ServerPut("/a.txt", "content of b");
    EXPECT_EQ(Run(ServerEvent("/a.txt", id, "content of b")), kDone);
    EXPECT_EQ(Read(Local("/a.txt")), "content of b");
    const auto kept = Named(session.local_path.str(), "a_testbox_");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Read(kept[0]), "pending edit");
    EXPECT_EQ(server.CountLog("resume_download: /a.txt"), 1);  // only the first version was sent
}

TEST_F(DownloadTest, ThreeCorruptPatchesEndWithTheServersContent) {
    Start({"--fault", "corrupt-delta"});
    std::string body = RandomBytes(200000, 3);
    EXPECT_EQ(Sync("/p.bin", body), kDone);
    body.replace(100000, 2000, RandomBytes(2000, 4));
    const uint64_t id = ServerPut("/p.bin", body);
    const std::vector<int> actions = Run(ServerEvent("/p.bin", id, body));
    EXPECT_EQ(actions, (std::vector<int>{Worker::ACTION_RETRY, Worker::ACTION_RETRY, Worker::ACTION_DONE}));
    EXPECT_TRUE(Read(Local("/p.bin")) == body);
    EXPECT_EQ(Row("/p.bin").syncID, id);
    EXPECT_EQ(server.CountLog("(delta,"), 3);
    EXPECT_EQ(server.CountLog("(whole,"), 2);
    EXPECT_EQ(Scratch(), 0);
}

TEST_F(DownloadTest, TypeJumpsNeverDeleteUnsynchronisedItems) {
    Start();
    // A directory holding an unsynchronised file becomes a file on the server.
    EXPECT_EQ(Sync("/d", "", true), kDone);
    Put("/d/new.txt", "not yet uploaded");
    // The download, then the upload of the kept directory and its file as new items.
    EXPECT_EQ(Sync("/d", "now a file"),
              (std::vector<int>{Worker::ACTION_DONE, Worker::ACTION_DONE, Worker::ACTION_DONE}));
    EXPECT_EQ(Read(Local("/d")), "now a file");
    auto kept = Named(session.local_path.str(), "d_testbox_");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Read(kept[0] + "/new.txt"), "not yet uploaded");
    const std::string kept_name = "/" + fs::path(kept[0]).filename().string();
    EXPECT_EQ(server.CountLog("upload: " + kept_name + ": stored as"), 1);
    EXPECT_EQ(server.CountLog("upload: " + kept_name + "/new.txt: stored as"), 1);

    // A directory whose contents are all synchronised goes to the recycle folder.
    EXPECT_EQ(Sync("/e", "", true), kDone);
    EXPECT_EQ(Sync("/e/known.txt", "known"), kDone);
    EXPECT_EQ(Sync("/e", "file e"), kDone);
    EXPECT_EQ(Read(Local("/e")), "file e");
    EXPECT_TRUE(Named(session.local_path.str(), "e_testbox_").empty());
    ustring found;
    EXPECT_EQ(session.event_db->getFilePathByHashFromRecycle(Md4Of("known"), "", found), DbLookup::kFound);
    EXPECT_EQ(Read(Recycle() + found.str()), "known");

    // The reverse: an edited file in the way of a new directory keeps its edit.
    EXPECT_EQ(Sync("/f", "file f"), kDone);
    Put("/f", "file f, edited here");
    EXPECT_EQ(Sync("/f", "", true), kDone);
    EXPECT_TRUE(fs::is_directory(Local("/f")));
    kept = Named(session.local_path.str(), "f_testbox_");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Read(kept[0]), "file f, edited here");
    // ... and an unchanged one goes to the recycle folder.
    EXPECT_EQ(Sync("/g", "file g"), kDone);
    EXPECT_EQ(Sync("/g", "", true), kDone);
    EXPECT_TRUE(fs::is_directory(Local("/g")));
    EXPECT_EQ(session.event_db->getFilePathByHashFromRecycle(Md4Of("file g"), "", found), DbLookup::kFound);
    // An empty folder nobody synchronised makes way for the server's file, unrenamed.
    fs::create_directories(Local("/h/empty"));
    EXPECT_EQ(Sync("/h", "file h"), kDone);
    EXPECT_EQ(Read(Local("/h")), "file h");
    EXPECT_TRUE(Named(session.local_path.str(), "h_testbox_").empty());
}

TEST_F(DownloadTest, AHashThatIsNoMD4MovesNothing) {
    Start();
    EXPECT_EQ(Sync("/other.txt", "other"), kDone);
    fs::create_directories(Recycle());
    std::ofstream(Recycle() + "/Rc123456", std::ios::binary) << "binned";
    ASSERT_EQ(session.event_db->addFileToRecycleBin("/Rc123456", 6, Md4Of("binned"), ""), DbResult::kOk);
    const uint64_t id = ServerPut("/inj.txt", "served");
    Event e = ServerEvent("/inj.txt", id, "served");
    e.m_data_hash = "x' OR '1'='1";
    EXPECT_EQ(Run(e), kDone);
    EXPECT_EQ(Read(Local("/inj.txt")), "served");
    EXPECT_EQ(Read(Local("/other.txt")), "other");
    EXPECT_EQ(Read(Recycle() + "/Rc123456"), "binned");
    EXPECT_TRUE(Worker::IsMD4Hex("0123456789abcdefABCDEF0123456789"));
    EXPECT_FALSE(Worker::IsMD4Hex("0123456789abcdefABCDEF012345678g"));
}

}  // namespace
