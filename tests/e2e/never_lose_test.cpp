// Two daemons and the reference server, with changes as users and their programs make
// them: nothing may be lost on either side, and every case must converge.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/two_clients.h"

namespace {

namespace fs = std::filesystem;
using e2e::Client;

constexpr double kConvergeSeconds = 120;

class NeverLose : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start({})) << "nimbrel-refserver did not start";
        ASSERT_EQ(a.Start(server), "");
        ASSERT_EQ(b.Start(server), "");
    }
    void ExpectConverged(const std::function<bool(const std::string&)>& local_only = nullptr) {
        std::string why;
        EXPECT_TRUE(e2e::Converge(a, b, server, kConvergeSeconds, why, local_only)) << why;
    }
    // Same size, same times: only the client's own stamp tells the change.
    static void RewriteKeepingTimes(const std::string& path, const std::string& content) {
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        e2e::WriteFile(path, content);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    RefServer server;
    Client a{"alpha"}, b{"beta"};
};

TEST_F(NeverLose, UnsyncableNamesAndQuickRenamesKeepEveryFile) {
    e2e::WriteFile(a.path("doc.txt"), "the document");
    fs::create_directories(a.path("proj/in"));
    e2e::WriteFile(a.path("proj/in/plan.txt"), "the plan");
    fs::create_directories(a.path("dir1/sub"));
    for (int i = 0; i < 30; ++i) e2e::WriteFile(a.path("dir1/sub/f" + std::to_string(i)), "file " + std::to_string(i));
    ExpectConverged();

    fs::rename(a.path("doc.txt"), a.path("doc\\back.txt"));
    fs::rename(a.path("proj"), a.path("proj\xff"));
    e2e::WriteFile(a.path("new\\one.txt"), "never leaves");
    for (const char* to : {"dir2", "dir1", "dir2", "dir1"})
        fs::rename(a.path(to[3] == '2' ? "dir1" : "dir2"), a.path(to));
    // Left out of the comparison: unsyncable names and what they keep elsewhere.
    const auto unsyncable = [](const std::string& p) {
        return p.find('\\') != std::string::npos || p.find('\xff') != std::string::npos || p == "doc.txt" ||
               p.rfind("proj", 0) == 0;
    };
    ExpectConverged(unsyncable);
    EXPECT_EQ(e2e::ReadFile(b.path("doc.txt")), "the document");
    EXPECT_EQ(e2e::ReadFile(b.path("proj/in/plan.txt")), "the plan");
    EXPECT_EQ(e2e::ReadFile(b.path("dir1/sub/f29")), "file 29");

    // Each listed once, with its reason; the server never saw the refused name.
    std::string listed;
    const PObject status = a.daemon->Send("get_status");
    for (const PObject& item : status["session_list"][0]["not_synchronised"].asArray())
        listed += item["path"].asString().str() + ": " + item["reason"].asString().str() + "\n";
    EXPECT_NE(listed.find("/new\\one.txt: the name holds a \"\\\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("/proj\\xff: the name is not valid UTF-8"), std::string::npos) << listed;
    EXPECT_EQ(server.Log().find("one.txt"), std::string::npos);

    // A restart (its rescan merges) neither fetches the old names back nor lets the
    // held removals go; renamed back below, they go out as renames all the same.
    a.Kill();
    ASSERT_EQ(a.Start(server), "");
    ExpectConverged(unsyncable);
    EXPECT_FALSE(fs::exists(a.path("doc.txt")) || fs::exists(a.path("proj")));
    EXPECT_EQ(e2e::ReadFile(b.path("proj/in/plan.txt")), "the plan");

    // A name ending in a blank is renamed, but not while a program still writes by it.
    fs::create_directories(a.path("notes "));
    e2e::WriteFile(a.path("notes /log.txt"), "line 1\n");
    for (int i = 2; i <= 4; ++i, usleep(400 * 1000))
        EXPECT_TRUE(std::ofstream(a.path("notes /log.txt"), std::ios::app) << "line " << i << "\n") << i;

    // Valid names again: renames.
    fs::rename(a.path("doc\\back.txt"), a.path("doc2.txt"));
    fs::rename(a.path("proj\xff"), a.path("proj2"));
    // Only the names still unsyncable are left out now: the old names must go too.
    ExpectConverged([](const std::string& p) { return p.find('\\') != std::string::npos; });
    EXPECT_FALSE(fs::exists(b.path("doc.txt")));
    EXPECT_EQ(e2e::ReadFile(b.path("doc2.txt")), "the document");
    EXPECT_EQ(e2e::ReadFile(b.path("proj2/in/plan.txt")), "the plan");
    EXPECT_EQ(e2e::ReadFile(b.path("notes/log.txt")), "line 1\nline 2\nline 3\nline 4\n");
}

TEST_F(NeverLose, SameSizeRewritesAndHardLinksReachTheOtherSide) {
    e2e::WriteFile(a.path("kept.txt"), "version 1");
    e2e::WriteFile(a.path("one.txt"), "first  one");
    e2e::WriteFile(a.path("two.txt"), "second two");
    e2e::WriteFile(a.path("linked.txt"), "linked v1");
    ASSERT_EQ(link(a.path("linked.txt").c_str(), a.path("other-name.txt").c_str()), 0);
    ExpectConverged();

    RewriteKeepingTimes(a.path("kept.txt"), "version 2");  // cp -p, rsync -t, touch -r
    fs::rename(a.path("two.txt"), a.path("one.txt"));      // written together, one second
    e2e::WriteFile(a.path("linked.txt"), "linked v2");     // the other name changes too
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("kept.txt")), "version 2");
    EXPECT_EQ(e2e::ReadFile(b.path("one.txt")), "second two");
    EXPECT_EQ(e2e::ReadFile(b.path("other-name.txt")), "linked v2");

    // Made while the daemon was down: found by the rescan at start.
    a.Kill();
    RewriteKeepingTimes(a.path("kept.txt"), "version 3");
    ASSERT_EQ(a.Start(server), "");
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("kept.txt")), "version 3");
}

TEST_F(NeverLose, ConflictOnALongNameKeepsBothVersionsWithinTheNameLimit) {
    std::string file;  // 240 bytes of three-byte characters, and an extension
    for (int i = 0; i < 80; ++i) file += "\xe2\x82\xac";
    file += ".txt";
    e2e::WriteFile(a.path(file), "original");
    ExpectConverged();
    e2e::WriteFile(a.path(file), "alpha's edit");
    e2e::WriteFile(b.path(file), "beta's edit, longer");
    ExpectConverged();
    const e2e::Tree tree = e2e::LocalTree(a.sync);
    EXPECT_EQ(tree.size(), 2u) << e2e::Describe(tree);
    for (const auto& [path, hash] : tree)
        EXPECT_TRUE(path.size() <= 255 && ustring::is_valid(ustring(path.c_str())) && path.ends_with(".txt")) << path;
}

TEST_F(NeverLose, TypeChangesEndWithTheNewTypeEverywhere) {
    e2e::WriteFile(a.path("item"), "a file first");
    fs::create_directories(a.path("box"));
    e2e::WriteFile(a.path("box/child.txt"), "inside");
    ExpectConverged();

    // File to folder and folder to file, on one side.
    fs::remove(a.path("item"));
    fs::create_directories(a.path("item"));
    e2e::WriteFile(a.path("item/inside.txt"), "now a folder");
    fs::remove_all(a.path("box"));
    e2e::WriteFile(a.path("box"), "now a file");
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("item/inside.txt")), "now a folder");
    EXPECT_EQ(e2e::ReadFile(b.path("box")), "now a file");

    // Six flips in a row converge, on the other side this time.
    for (int i = 0; i < 6; ++i) {
        const bool was_dir = fs::is_directory(b.path("item"));
        fs::remove_all(b.path("item"));
        if (!was_dir) fs::create_directories(b.path("item"));
        e2e::WriteFile(b.path(was_dir ? "item" : "item/f"), "flip " + std::to_string(i));
    }
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(a.path("item/f")), "flip 5");
    for (const auto& [path, hash] : e2e::LocalTree(a.sync))
        EXPECT_EQ(path.find("Conflict_a"), std::string::npos) << "a conflict name renamed again: " << path;
}

TEST_F(NeverLose, UnreadableFoldersAndFilesGrownPastMaxSizeStayHere) {
    a.Kill();
    e2e::WriteFile(a.config + "/conf/blacklist.filter",
                   "[Version]\nmajor = 1\nminor = 0\n[File]\nmax_size = 1048576\n");
    // Root reads whatever the modes say: a runs without that capability.
    if (geteuid() == 0)
        a.daemon->launcher = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    ASSERT_EQ(a.Start(server), "");
    const auto status = [&] { return a.daemon->Send("get_status")["session_list"][0].toString().str(); };
    const auto here = [](const std::string& p) { return p.starts_with("grown"); };
    const auto hidden = [&](const std::string& p) { return here(p) || p.starts_with("late") || p.starts_with("keep"); };
    fs::create_directories(a.path("keep"));
    e2e::WriteFile(a.path("keep/k1"), "kept");
    // Written in place: the first event sees an empty file, the upload a large one.
    const std::string chunk = e2e::Noise(100 * 1024, 3);
    for (const char* name : {"grown0", "grown1", "grown2"}) {
        std::ofstream out(a.path(name), std::ios::binary);
        for (int k = 0; k < 50; ++k, usleep(5000)) ASSERT_TRUE(out.write(chunk.data(), chunk.size()).flush());
    }
    ExpectConverged(here);

    // One folder made unreadable in place, one moved in unreadable with content.
    const std::string outside = a.daemon->dir.file("late");
    fs::create_directories(outside + "/sub");
    e2e::WriteFile(outside + "/sub/f", "late content");
    ASSERT_TRUE(chmod(a.path("keep").c_str(), 0) == 0 && chmod(outside.c_str(), 0) == 0);
    fs::rename(outside, a.path("late"));
    ExpectConverged(hidden);
    EXPECT_NE(status().find("/late\", \"reason\": \"permission denied"), std::string::npos) << status();

    // Never read as emptied, also by the rescan after a restart, nor tried again and
    // again; changes made meanwhile (by someone who may) wait for the folder.
    a.Kill();
    ASSERT_EQ(a.Start(server), "");
    fs::remove(a.path("keep/k1"));
    e2e::WriteFile(a.path("keep/k2"), "new");
    ExpectConverged(hidden);
    EXPECT_EQ(e2e::ReadFile(b.path("keep/k1")), "kept");
    EXPECT_TRUE(status().find("/keep\", \"reason\": \"permission denied") != std::string::npos &&
                status().find("failing") == std::string::npos)
        << status();

    for (const char* folder : {"keep", "late"}) ASSERT_EQ(chmod(a.path(folder).c_str(), 0755), 0);
    ExpectConverged(here);
    for (const char* name : {"grown0", "grown1", "grown2"}) EXPECT_FALSE(fs::exists(b.path(name))) << name;
    EXPECT_EQ(status().find("not_synchronised"), std::string::npos) << status();

    // A paused session's queue is work to do, never "up to date".
    PObject session = a.daemon->Send("pause");  // no count in the reply: the status is asked below
    e2e::WriteFile(a.path("while-paused.txt"), "waits");
    for (int i = 0; i < 100 && session["unfinished_files"].asUInt64() == 0; ++i, usleep(100 * 1000))
        session = a.daemon->Send("get_status")["session_list"][0];
    EXPECT_EQ(session["state"].asString() + " " + session["status"].asString(), "paused syncing");
}

// What a kill leaves when it lands before a type change reached the server: the rows
// still name the old type, the folder holds the new one. The restart's merge must
// keep the new item (and send it), never fetch the old one back over it.
TEST_F(NeverLose, TypeChangesMadeWhileTheDaemonIsDownWinAfterTheRestart) {
    for (const std::string d : {"box", "gone", "edited"}) {
        fs::create_directories(a.path(d + "/sub"));
        e2e::WriteFile(a.path(d + "/sub/x.txt"), d);
    }
    e2e::WriteFile(a.path("item"), "a file first");
    ExpectConverged();
    a.Kill();
    // Meanwhile the server's copies of two changed (one removed, one edited): the new
    // items stay all the same, and so does the edited tree, beside a conflict copy.
    fs::remove_all(b.path("gone"));
    e2e::WriteFile(b.path("edited/sub/x.txt"), "beta's v2");
    const std::string v1 = e2e::Md4OfFile(a.path("edited/sub/x.txt"));
    e2e::Tree t = {{"gone", ""}};
    for (int i = 0; i < 300 && (t.count("gone") || t["edited/sub/x.txt"] == v1); ++i, usleep(100000))
        e2e::ServerTree(server, t);
    for (const std::string d : {"box", "gone", "edited", "item"}) {
        fs::remove_all(a.path(d));
        if (d == "item") fs::create_directories(a.path(d));
        e2e::WriteFile(a.path(d == "item" ? "item/inside.txt" : d), "new " + d);
    }
    ASSERT_EQ(a.Start(server), "");
    ExpectConverged();
    for (const std::string d : {"box", "gone", "item/inside.txt"})
        EXPECT_EQ(e2e::ReadFile(b.path(d)), "new " + d.substr(0, 4));
    EXPECT_EQ(e2e::ReadFile(b.path("edited/sub/x.txt")), "beta's v2");
    const e2e::Tree tree = e2e::LocalTree(a.sync);
    ASSERT_EQ(tree.size(), 8u) << e2e::Describe(tree);  // one conflict copy
    EXPECT_EQ(e2e::ReadFile(a.path(std::next(tree.find("edited/sub/x.txt"))->first)), "new edited");
}

}  // namespace
