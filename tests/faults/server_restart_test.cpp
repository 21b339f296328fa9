// The reference server killed (SIGKILL) at a random moment while two daemons
// synchronise, and started again a little later on the same port with the same data:
// the daemons reconnect, and everything written arrives everywhere, once.
#include "faults/fault_loop.h"

namespace {

using faults::Check;
using faults::Tally;
using faults::World;

const int kFiles = 150;
const size_t kLarge = (faults::kSanitized ? 1u : 4u) << 20;
// The kill is drawn from this window after the tree is written, the time the server
// stays down from the next one.
const int kWindowMs = faults::kSanitized ? 8000 : 3000;
const int kDownMs = 1500;

TEST(Faults, ServerKilledAndRestartedMidSyncLosesNothing) {
    Tally tally("refserver SIGKILL mid-sync, restart");
    for (int run = 0, runs = faults::Runs(1, 20); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        ASSERT_EQ(w.Start(), "");
        e2e::Tree expected;
        faults::WriteTree(w.a.sync, "from-alpha", rng(), kFiles, 2, kLarge, expected);
        faults::WriteTree(w.b.sync, "from-beta", rng(), kFiles, 1, kLarge, expected);
        faults::SleepMs(faults::RandomMs(rng, kWindowMs));
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
