// Two daemons synchronising one view through the reference server: changes made on
// either side arrive on the other, racing edits keep both contents, a large file with
// small edits crosses as a delta, and a daemon killed in a transfer converges. Every
// case ends with both folders and the server's view equal, hash by hash.
#include "e2e/two_clients.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;
using e2e::Client;
using e2e::kDirMark;
using e2e::Tree;

#if defined(__SANITIZE_THREAD__)
constexpr bool kTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kTsan = true;
#else
constexpr bool kTsan = false;
#endif
#else
constexpr bool kTsan = false;
#endif

// Generous: the sanitizer builds on a shared two-core machine are slow.
constexpr double kConvergeSeconds = 90;

using e2e::Noise;

// Writes bytes over the file at offset, in place.
void Patch(const std::string& path, off_t offset, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

std::string Md4Of(const std::string& bytes, const std::string& scratch) {
    e2e::WriteFile(scratch, bytes);
    std::string h = e2e::Md4OfFile(scratch);
    unlink(scratch.c_str());
    return h;
}

class TwoClients : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start({})) << "nimbrel-refserver did not start";
        a.keep_notices = b.keep_notices = true;
        ASSERT_EQ(a.Start(server), "");
        ASSERT_EQ(b.Start(server), "");
    }

    void ExpectConverged() {
        std::string why;
        EXPECT_TRUE(e2e::Converge(a, b, server, kConvergeSeconds, why)) << why;
    }

    // The payload of the uploads of path stored as deltas, from the server's log.
    uint64_t DeltaBytesReceived(const std::string& path) {
        std::istringstream in(server.Log());
        std::string line;
        uint64_t total = 0;
        const std::string needle = ": " + path + ": stored as ";
        while (std::getline(in, line)) {
            size_t at = line.find(needle);
            size_t d = line.find("(delta, ");
            if (at == std::string::npos || d == std::string::npos) continue;
            total += std::stoull(line.substr(d + 8));
        }
        return total;
    }

    // Runs nimbrelctl against c's daemon; its exit status.
    int Ctl(Client& c, std::vector<std::string> args, std::string& out, std::string& err) {
        args.insert(args.begin(), e2e::BinDir() + "/nimbrelctl");
        args.insert(args.end(), {"--port", std::to_string(c.daemon->control_port())});
        return e2e::Run(args, out, err, {{"XDG_RUNTIME_DIR", scratch.path()}, {"NIMBREL_HOME", scratch.file("home")}});
    }

    RefServer server;
    Client a{"alpha"}, b{"beta"};
    e2e::TempDir scratch;
};

TEST_F(TwoClients, ChangesOnEitherSideArriveOnTheOther) {
    // Created on a: files, a nested folder, an empty folder.
    fs::create_directories(a.path("docs/deep"));
    fs::create_directories(a.path("empty"));
    e2e::WriteFile(a.path("top.txt"), "top v1");
    e2e::WriteFile(a.path("docs/note.md"), "note");
    e2e::WriteFile(a.path("docs/deep/data.bin"), Noise(300000, 1));
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("docs/deep/data.bin")), Noise(300000, 1));

    // Edited, created, renamed and moved on b.
    e2e::WriteFile(b.path("top.txt"), "top v2, longer than before");
    e2e::WriteFile(b.path("docs/new.txt"), "from beta");
    fs::create_directories(b.path("old/sub"));
    e2e::WriteFile(b.path("old/a.txt"), "a");
    e2e::WriteFile(b.path("old/sub/b.txt"), "b");
    fs::rename(b.path("docs/note.md"), b.path("docs/renamed.md"));
    fs::rename(b.path("docs/deep/data.bin"), b.path("moved.bin"));
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(a.path("top.txt")), "top v2, longer than before");
    EXPECT_EQ(e2e::ReadFile(a.path("docs/renamed.md")), "note");

    // On a: a folder renamed with what it holds, a file, an empty and a full folder deleted.
    fs::rename(a.path("docs"), a.path("papers"));
    fs::remove(a.path("moved.bin"));
    fs::remove_all(a.path("empty"));
    fs::remove_all(a.path("old"));
    ExpectConverged();

    auto h = [&](const std::string& bytes) { return Md4Of(bytes, scratch.file("h")); };
    const Tree expect = {{"top.txt", h("top v2, longer than before")},
                         {"papers", kDirMark},
                         {"papers/deep", kDirMark},
                         {"papers/renamed.md", h("note")},
                         {"papers/new.txt", h("from beta")}};
    EXPECT_EQ(e2e::LocalTree(b.sync), expect) << e2e::Describe(e2e::LocalTree(b.sync));
}

// A replaced file keeps its mode (a private file stays private), and a script made
// on one side stays runnable on the other.
TEST_F(TwoClients, ReplacedFilesKeepTheirModeAndTheExecuteBitTravels) {
    e2e::WriteFile(a.path("run.sh"), "#!/bin/sh\n");
    e2e::WriteFile(a.path("secret.txt"), "v1");
    fs::permissions(a.path("run.sh"), fs::perms::owner_exec, fs::perm_options::add);
    ExpectConverged();
    EXPECT_NE(fs::status(b.path("run.sh")).permissions() & fs::perms::owner_exec, fs::perms::none);
    fs::permissions(b.path("secret.txt"), fs::perms::owner_read | fs::perms::owner_write);
    e2e::WriteFile(a.path("secret.txt"), "v2, changed");
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("secret.txt")), "v2, changed");
    EXPECT_EQ(fs::status(b.path("secret.txt")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(TwoClients, RacingEditsKeepBothContents) {
    e2e::WriteFile(a.path("shared.txt"), "original");
    e2e::WriteFile(a.path("other.doc"), "original too");
    ExpectConverged();

    // Both sides change the same files within moments of each other.
    const std::string a1 = "alpha's edit " + Noise(5000, 2), b1 = "beta's edit " + Noise(7000, 3);
    const std::string a2 = "alpha again", b2 = "beta again, longer";
    e2e::WriteFile(a.path("shared.txt"), a1);
    e2e::WriteFile(b.path("shared.txt"), b1);
    e2e::WriteFile(b.path("other.doc"), b2);
    e2e::WriteFile(a.path("other.doc"), a2);
    ExpectConverged();

    // Each name holds one version and a conflict copy beside it holds the other; every
    // version written is in the folders (and so on the server, which they equal).
    const Tree tree = e2e::LocalTree(a.sync);
    std::multiset<std::string> contents;
    int conflicts = 0;
    for (const auto& [path, hash] : tree) {
        contents.insert(hash);
        if (path.find("Conflict") != std::string::npos) ++conflicts;
    }
    EXPECT_EQ(tree.size(), 4u) << e2e::Describe(tree);
    EXPECT_EQ(conflicts, 2) << e2e::Describe(tree);
    EXPECT_TRUE(tree.count("shared.txt") && tree.count("other.doc")) << e2e::Describe(tree);
    for (const std::string* v : {&a1, &b1, &a2, &b2})
        EXPECT_EQ(contents.count(Md4Of(*v, scratch.file("h"))), 1u) << v->substr(0, 12) << "\n" << e2e::Describe(tree);

    // Each race is one entry of "nimbrelctl conflicts" on the client that made the
    // copy, and one "conflict" notice from it.
    int listed = 0, noticed = 0;
    for (Client* c : {&a, &b}) {
        std::string out, err;
        ASSERT_EQ(Ctl(*c, {"conflicts", "--json"}, out, err), 0) << err;
        const nlohmann::json reply = nlohmann::json::parse(out);
        const size_t here = reply["conflicts"].size();
        listed += static_cast<int>(here);
        for (const auto& item : reply["conflicts"]) {
            const std::string copy = item["path"].get<std::string>(), original = item["original"].get<std::string>();
            EXPECT_TRUE(fs::exists(copy) && copy.find("Conflict") != std::string::npos) << copy;
            EXPECT_TRUE(original == c->path("shared.txt") || original == c->path("other.doc")) << original;
        }
        for (const PObject& n : c->Notices()) noticed += n["notify"].asString() == "conflict";
        ASSERT_EQ(Ctl(*c, {"conflicts"}, out, err), 0) << err;
        EXPECT_NE(out.find(here > 0 ? "keeps a version of" : "no conflict copies"), std::string::npos) << out;
    }
    EXPECT_EQ(listed, 2);
    EXPECT_EQ(noticed, 2);
}

TEST_F(TwoClients, RemovedAndReplacedFilesComeBack) {
    e2e::WriteFile(a.path("gone.txt"), "keep me");
    e2e::WriteFile(a.path("notes.txt"), "first version");
    ExpectConverged();
    fs::remove(b.path("gone.txt"));
    e2e::WriteFile(b.path("notes.txt"), "second version, from beta");
    ExpectConverged();
    // What a keeps outlives a crash and a start.
    a.Kill();
    ASSERT_EQ(a.Start(server), "");

    std::string out, err;
    ASSERT_EQ(Ctl(a, {"recycle", "list"}, out, err), 0) << err;
    auto line_of = [&out](const std::string& path) {
        const size_t at = out.find("  " + path + "\n");
        return at == std::string::npos ? std::string() : out.substr(out.rfind('\n', at) + 1, at - out.rfind('\n', at));
    };
    EXPECT_NE(line_of(a.path("gone.txt")).find(" removed "), std::string::npos) << out;
    EXPECT_NE(line_of(a.path("notes.txt")).find(" replaced "), std::string::npos) << out;
    EXPECT_NE(line_of(a.path("notes.txt")).find(" 13 B"), std::string::npos) << out;

    // Back in its place and up to the server; the replaced version never over the
    // new one, but beside it.
    ASSERT_EQ(Ctl(a, {"recycle", "restore", a.path("gone.txt")}, out, err), 0) << err;
    EXPECT_EQ(Ctl(a, {"recycle", "restore", a.path("notes.txt")}, out, err), 1);
    EXPECT_NE(err.find("destination exists"), std::string::npos) << err;
    ASSERT_EQ(Ctl(a, {"recycle", "restore", a.path("notes.txt"), "--to", a.path("old/notes.txt")}, out, err), 0) << err;
    EXPECT_EQ(out, "restored " + a.path("old/notes.txt") + "\n");
    ExpectConverged();
    EXPECT_EQ(e2e::ReadFile(b.path("gone.txt")), "keep me");
    EXPECT_EQ(e2e::ReadFile(b.path("old/notes.txt")), "first version");
    EXPECT_EQ(e2e::ReadFile(b.path("notes.txt")), "second version, from beta");
    ASSERT_EQ(Ctl(a, {"recycle", "list", a.sync}, out, err), 0) << err;
    EXPECT_EQ(out, "the recycle folders are empty\n");
}

TEST_F(TwoClients, SmallEditsOfALargeFileCrossAsADelta) {
    // Scaled down under ThreadSanitizer, where hashing runs many times slower.
    const size_t size = (kTsan ? 16u : 64u) << 20;
    // A writer held up mid-file (as write-back may): the first upload is still whole.
    const std::string content = Noise(size, 4);
    std::ofstream big(a.path("big.bin"), std::ios::binary);
    big.write(content.data(), static_cast<std::streamsize>(size / 2)).flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    big.write(content.data() + size / 2, static_cast<std::streamsize>(size - size / 2));
    big.close();
    ExpectConverged();
    ASSERT_EQ(DeltaBytesReceived("/big.bin"), 0u);

    for (int i = 0; i < 5; ++i)
        Patch(a.path("big.bin"), static_cast<off_t>(size / 5 * i + 12345 * i), Noise(100, 10 + i));
    ExpectConverged();
    const uint64_t sent = DeltaBytesReceived("/big.bin");
    EXPECT_GT(sent, 0u) << server.Log();
    EXPECT_LT(sent, size / 200) << "a delta of " << sent << " bytes for " << size;
    RecordProperty("delta_bytes", std::to_string(sent));
}

TEST_F(TwoClients, DaemonKilledInATransferConverges) {
    const size_t size = (kTsan ? 8u : 32u) << 20;
    // Waits (bounded) for a transfer to be under way; a transfer that ends first
    // still leaves a valid case: the kill then lands between events.
    auto kill_in_transfer = [&](Client& c) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!c.Transferring() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.Kill();
        ASSERT_EQ(c.Start(server), "");
    };

    // The uploader dies.
    e2e::WriteFile(a.path("first.bin"), Noise(size, 5));
    kill_in_transfer(a);
    ExpectConverged();

    // The downloader dies, while it also holds a local change of its own.
    e2e::WriteFile(a.path("second.bin"), Noise(size, 6));
    e2e::WriteFile(b.path("local.txt"), "written before the kill");
    kill_in_transfer(b);
    ExpectConverged();

    EXPECT_EQ(e2e::Md4OfFile(b.path("first.bin")), Md4Of(Noise(size, 5), scratch.file("h")));
    EXPECT_EQ(e2e::Md4OfFile(b.path("second.bin")), Md4Of(Noise(size, 6), scratch.file("h")));
    EXPECT_EQ(e2e::ReadFile(a.path("local.txt")), "written before the kill");
}

// The rotation on a client with a short keep time and a size cap: the oldest entry
// goes as soon as the cap is passed, the rest once the keep time is over.
TEST(RecycleRotation, KeepTimeAndSizeCapAreHonoured) {
    RefServer server;
    ASSERT_TRUE(server.Start({})) << "nimbrel-refserver did not start";
    Client a("alpha", "recycle_keep_seconds = 8\nrecycle_max_bytes = 10\n"), b("beta");
    ASSERT_EQ(a.Start(server), "");
    ASSERT_EQ(b.Start(server), "");
    e2e::WriteFile(a.path("one.txt"), "first!");
    e2e::WriteFile(a.path("two.txt"), "second");
    std::string why;
    ASSERT_TRUE(e2e::Converge(a, b, server, kConvergeSeconds, why)) << why;
    e2e::TempDir home;
    auto listed = [&]() {
        std::string out, err;
        e2e::Run({e2e::BinDir() + "/nimbrelctl", "recycle", "list", "--port", std::to_string(a.daemon->control_port())},
                 out, err, {{"XDG_RUNTIME_DIR", home.path()}, {"NIMBREL_HOME", home.file("home")}});
        return out;
    };
    auto wait_for = [&](auto done) {
        for (int i = 0; i < 300 && !done(listed()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return listed();
    };
    fs::remove(b.path("one.txt"));
    std::string out = wait_for([&](const std::string& o) { return o.find(a.path("one.txt")) != std::string::npos; });
    ASSERT_NE(out.find(a.path("one.txt")), std::string::npos) << out;
    // 6 + 6 bytes pass the cap of 10: the older entry goes at once.
    fs::remove(b.path("two.txt"));
    out = wait_for([&](const std::string& o) {
        return o.find(a.path("two.txt")) != std::string::npos && o.find(a.path("one.txt")) == std::string::npos;
    });
    EXPECT_EQ(out.find(a.path("one.txt")), std::string::npos) << out;
    EXPECT_NE(out.find(a.path("two.txt")), std::string::npos) << out;
    // And the keep time empties the folder.
    out = wait_for([](const std::string& o) { return o == "the recycle folders are empty\n"; });
    EXPECT_EQ(out, "the recycle folders are empty\n");
    EXPECT_TRUE(fs::is_empty(a.sync + "/.VarnelWorkingDirectory/#VarnelRecycle"));
}

}  // namespace
