// The disk filling up during downloads: beta's folder is a small tmpfs, alpha writes a
// tree larger than it (in bytes, or in entries: every other run the disk runs out of
// inodes instead of room). Beta's downloads run into ENOSPC; the user is told (a session
// error with the local disk-full code), no file with other content than alpha's
// appears, alpha's files are never touched, and once space is freed the session
// resumes on its own and all three sides converge to what was written. No scratch
// file is left behind in the working directory.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstring>
#include <map>

#include "faults/fault_loop.h"
#include "foundation/error_codes.h"
#include "platform/tmpfs_mount.h"

namespace {

namespace fs = std::filesystem;
using faults::Check;
using faults::Tally;
using faults::World;

// Size, modification time and inode of every file below root but the daemon's working
// directory: what a touch changes.
std::map<std::string, std::string> Stamps(const std::string& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() == ".VarnelWorkingDirectory") {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        out[fs::relative(it->path(), root, ec).string()] =
            std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec) + "/" + std::to_string(st.st_ino);
    }
    return out;
}

// Regular files below dir (the daemon's working directory): scratch files left over,
// and with the recycle folder unless skip_recycle.
std::vector<std::string> FilesBelow(const std::string& dir, bool skip_recycle = false) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (skip_recycle && it->path().filename() == "#VarnelRecycle") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(ec)) out.push_back(fs::relative(it->path(), dir, ec).string());
    }
    return out;
}

template <class Pred>
bool WaitFor(Pred pred, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        faults::SleepMs(200);
    }
    return true;
}

// Bytes in use on the file system of dir.
uint64_t UsedBytes(const std::string& dir) {
    struct statvfs v {};
    if (statvfs(dir.c_str(), &v) != 0) return 0;
    return static_cast<uint64_t>(v.f_blocks - v.f_bfree) * v.f_frsize;
}

const int kFiles = 150;
const int kLarge = 4;
const size_t kLargeBytes = (faults::kSanitized ? 1u : 3u) << 20;
// Room and entries for everything many times over, once space is freed.
const uint64_t kRoomyBytes = 256ull << 20;
const char* const kRoomyEntries = "nr_inodes=100000";
// Scratch files a daemon may hold at once: the received data and a patch result for
// each of its two workers (e2e::Daemon's default of three tasks).
const size_t kScratchInFlight = 4;

// One filling of beta's disk: waits for the session error that tells the user, looks
// at what beta shows meanwhile (each file must be one of the versions alpha wrote,
// never a part of one), frees space and lets all three settle on expected.
bool FillAndFree(World& w, TmpfsMount& tmpfs, std::mt19937_64& rng, const std::string& phase, const e2e::Tree& expected,
                 const e2e::Tree& earlier, int errors_before, Check& check) {
    const bool told =
        WaitFor([&] { return w.b.SessionErrors(1, ERR_LOCAL_DISKFULL) > errors_before; }, faults::kConvergeSeconds);
    if (!told) ADD_FAILURE() << phase << ": beta reported no local disk-full session error";
    // It keeps trying into the full disk for a moment; what it abandons goes away.
    faults::SleepMs(faults::RandomMs(rng, 3000));
    const auto scratch = FilesBelow(w.b.sync + "/.VarnelWorkingDirectory", true);
    if (scratch.size() > kScratchInFlight) {
        check.extra += static_cast<int>(scratch.size());
        check.detail += "  " + phase + ": with the disk full, beta's working directory holds " +
                        std::to_string(scratch.size()) + " scratch files\n";
    }
    for (const auto& [path, hash] : e2e::LocalTree(w.b.sync)) {
        auto now = expected.find(path), before = earlier.find(path);
        if ((now == expected.end() || now->second != hash) && (before == earlier.end() || before->second != hash)) {
            ++check.corrupted;
            check.detail += "  " + phase + ": with the disk full, beta shows " + path + " with other content\n";
        }
    }
    if (!tmpfs.Resize(kRoomyBytes, kRoomyEntries)) ADD_FAILURE() << phase << ": cannot resize: " << strerror(errno);
    Check settled;
    const bool converged = w.Settle(expected, settled);
    if (!converged) settled.detail = phase + ": " + settled.detail;
    check.lost += settled.lost;
    check.corrupted += settled.corrupted;
    check.extra += settled.extra;
    check.detail += settled.detail;
    return converged;
}

TEST(Faults, DiskFullDuringDownloadsResumesOnceSpaceIsFreed) {
    Tally tally("disk full during downloads, space freed");
    for (int run = 0, runs = faults::Runs(2, 10); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        // New files: a disk that holds a quarter to three quarters of the tree, so that
        // it fills at a different point in every run; in odd runs it is the entries
        // (files and folders, about kFiles + 30) that run out, with room to spare.
        const uint64_t tree_bytes = kFiles * 12 * 1024ull + kLarge * kLargeBytes;
        const uint64_t entries = kFiles + 30;
        const bool out_of_entries = run % 2 == 1;
        TmpfsMount tmpfs(w.b.sync, out_of_entries ? kRoomyBytes : tree_bytes / 4 + rng() % (tree_bytes / 2),
                         out_of_entries ? "nr_inodes=" + std::to_string(entries / 4 + rng() % (entries / 2)) : "");
        if (!tmpfs.mounted) GTEST_SKIP() << "cannot mount a tmpfs on beta's folder: " << tmpfs.why;
        w.b.keep_notices = true;
        ASSERT_EQ(w.Start(), "");

        e2e::Tree expected;
        faults::WriteTree(w.a.sync, "from-alpha", rng(), kFiles, kLarge, kLargeBytes, expected);
        auto alpha_stamps = Stamps(w.a.sync);
        Check check;
        bool converged = FillAndFree(w, tmpfs, rng, out_of_entries ? "new files, out of entries" : "new files",
                                     expected, {}, 0, check);
        EXPECT_TRUE(Stamps(w.a.sync) == alpha_stamps) << "new files: alpha's files were touched";

        // Changes: every large file gets a new stretch, which travels as a patch whose
        // result needs a whole new copy beside the old; the disk keeps less than one
        // large file free.
        if (converged) {
            const e2e::Tree earlier = expected;
            const int errors = w.b.SessionErrors(1, ERR_LOCAL_DISKFULL);
            EXPECT_TRUE(tmpfs.Resize(UsedBytes(w.b.sync) + rng() % (kLargeBytes / 2))) << strerror(errno);
            for (int i = 0; i < kLarge; ++i) {
                const std::string rel = "from-alpha/large" + std::to_string(i) + ".bin";
                std::string body = e2e::ReadFile(w.a.path(rel));
                const size_t at = rng() % (body.size() - 65536);
                body.replace(at, 65536, e2e::Noise(65536, rng()));
                e2e::WriteFile(w.a.path(rel), body);
                expected[rel] = e2e::Md4OfFile(w.a.path(rel));
            }
            alpha_stamps = Stamps(w.a.sync);
            converged = FillAndFree(w, tmpfs, rng, "changes", expected, earlier, errors, check);
            EXPECT_TRUE(Stamps(w.a.sync) == alpha_stamps) << "changes: alpha's files were touched";
        }

        for (const std::string& left : FilesBelow(w.b.sync + "/.VarnelWorkingDirectory")) {
            // The versions the downloads replaced are kept there on purpose.
            if (left.rfind("#VarnelRecycle/", 0) == 0) continue;
            ++check.extra;
            check.detail += "  beta's working directory keeps " + left + "\n";
        }
        tally.Add(run, converged, check);
        w.b.Kill();  // before the tmpfs goes
    }
    tally.Report();
}

}  // namespace
