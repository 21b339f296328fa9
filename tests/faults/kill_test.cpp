// Daemons killed (SIGKILL, as a crash or power cut would) at random moments while they
// synchronise (and while a user renames a folder back and forth, changes an item's
// type or renames a file to a name that cannot sync and, after the restart, back to a
// valid one): after a restart everything written arrives everywhere, and every database
// the daemon keeps is whole.
#include "faults/fault_loop.h"

namespace {

using faults::Check;
using faults::Tally;
using faults::World;

TEST(Faults, DaemonKilledAtARandomMomentLosesNothing) {
    Tally tally("daemon SIGKILL at a random moment, restart");
    for (int run = 0, runs = faults::Runs(1, 100); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        ASSERT_EQ(w.Start(), "");
        e2e::Tree expected = w.WriteTrees(rng);
        faults::SleepMs(faults::RandomMs(rng, faults::kWindowMs / 2));
        const faults::TreeView view = faults::UserMove(w.a.sync, "from-alpha", rng, expected, w.b.sync);
        faults::SleepMs(faults::RandomMs(rng, faults::kWindowMs / 2));
        e2e::Client& victim = rng() % 2 ? w.a : w.b;
        const auto renamed = faults::RenameToUnsyncable(w.a.sync, "from-alpha", rng, expected);
        victim.Kill();
        ASSERT_EQ(victim.Start(w.server), "");
        // Back to a valid name once alpha has settled: it goes out as a rename.
        for (int i = 0; !renamed.first.empty() && i < 600 && !w.a.Idle(); ++i) faults::SleepMs(200);
        if (!renamed.first.empty()) std::filesystem::rename(renamed.first, renamed.second);
        Check check;
        const bool converged = w.Settle(expected, check, view);
        tally.Add(run, converged, check);
    }
    tally.Report();
}

TEST(Faults, KillDuringHeavyDatabaseWritesLeavesDatabasesWhole) {
    Tally tally("SIGKILL in heavy database writes: databases whole, restart converges");
    for (int run = 0, runs = faults::Runs(1, 50); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        ASSERT_EQ(w.Start(), "");
        // Many tiny files: each is several rows in the event, file status and filter
        // databases on both sides.
        e2e::Tree expected;
        faults::WriteTree(w.a.sync, "many", rng(), faults::kSanitized ? 600 : 1500, 0, 0, expected);
        faults::SleepMs(faults::RandomMs(rng, faults::kWindowMs));
        e2e::Client& victim = rng() % 2 ? w.a : w.b;
        victim.Kill();
        Check check;
        const auto dbs = faults::IntegrityOfDatabases(victim.daemon->dir.path());
        EXPECT_GE(dbs.size(), 3u) << "the daemon's databases were not found";
        for (const auto& [path, result] : dbs)
            if (result != "ok") {
                ++check.corrupted;
                check.detail += "  " + path + ": " + result + "\n";
            }
        ASSERT_EQ(victim.Start(w.server), "");
        Check settled;
        const bool converged = w.Settle(expected, settled);
        settled.corrupted += check.corrupted;
        settled.detail = check.detail + settled.detail;
        tally.Add(run, converged, settled);
    }
    tally.Report();
}

}  // namespace
