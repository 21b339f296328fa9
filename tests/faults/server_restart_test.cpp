// The reference server killed (SIGKILL) at a random moment while two daemons
// synchronise, and started again a little later on the same port with the same data:
// the daemons reconnect, and everything written arrives everywhere, once.
#include "faults/fault_loop.h"

namespace {

using faults::Check;
using faults::Tally;
using faults::World;

// How long the server stays down at most.
const int kDownMs = 1500;

TEST(Faults, ServerKilledAndRestartedMidSyncLosesNothing) {
    Tally tally("refserver SIGKILL mid-sync, restart");
    for (int run = 0, runs = faults::Runs(1, 20); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        ASSERT_EQ(w.Start(), "");
        const e2e::Tree expected = w.WriteTrees(rng);
        faults::SleepMs(faults::RandomMs(rng, faults::kWindowMs));
        w.server.Kill();
        faults::SleepMs(faults::RandomMs(rng, kDownMs));
        ASSERT_TRUE(w.server.StartAgain()) << w.server.Log().substr(0, 4000);
        Check check;
        const bool converged = w.Settle(expected, check);
        tally.Add(run, converged, check);
    }
    tally.Report();
}

}  // namespace
