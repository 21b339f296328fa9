// Two daemons synchronising one view through the reference server: changes made on
// either side arrive on the other, racing edits keep both contents, a large file with
// small edits crosses as a delta, and a daemon killed in a transfer converges. Every
// case ends with both folders and the server's view equal, hash by hash.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "e2e/two_clients.h"

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
}

TEST_F(TwoClients, SmallEditsOfALargeFileCrossAsADelta) {
    // Scaled down under ThreadSanitizer, where hashing runs many times slower.
    const size_t size = (kTsan ? 16u : 64u) << 20;
    e2e::WriteFile(a.path("big.bin"), Noise(size, 4));
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

}  // namespace
