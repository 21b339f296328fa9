// Connections cut after a random number of bytes while two daemons synchronise: every
// connection of the reference server gets its own byte budget for transfer data, and
// the transfer that exceeds it breaks mid-way. Each attempt keeps what passed (the
// server holds an upload's prefix for its resume token, the daemon its partial
// download), so every file gets through in the end and nothing may be lost or mixed.
#include "faults/fault_loop.h"

namespace {

using faults::Check;
using faults::Tally;
using faults::World;

// Budgets from a few KB (a cut within the first small files) to about half a large
// file: a large file is cut a few times on its way, small files now and then.
const std::string kCut = faults::kSanitized ? "cut-after=random:4096-700000" : "cut-after=random:4096-2000000";

TEST(Faults, ConnectionsCutAfterRandomByteCountsLoseNothing) {
    Tally tally("connection cut after a random number of bytes");
    for (int run = 0, runs = faults::Runs(1, 50); run < runs; ++run) {
        auto rng = tally.Rng(run);
        World w;
        ASSERT_EQ(w.Start({"--fault", kCut, "--fault-seed", std::to_string(rng())}), "");
        const e2e::Tree expected = w.WriteTrees(rng);
        Check check;
        const bool converged = w.Settle(expected, check);
        // Without cuts the run would prove nothing.
        EXPECT_GT(w.server.CountLog("connection cut (fault)"), 0) << "run " << run << ": no transfer was cut";
        tally.Add(run, converged, check);
    }
    tally.Report();
}

}  // namespace
