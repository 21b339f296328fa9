// The one exchange sequence every task runs on a borrowed connection: borrow from the
// pool (the abort flag is polled while waiting), make the connection usable for the
// view (RequestChannel), run the caller's exchange on its channel, and give it back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "wire/protocol.h"

class Channel;
class ConnectionPool;
class PObject;
class PoolSlot;

// Where the sequence stopped, so that each caller keeps its own log lines.
enum class LeaseStage {
    kNoPool,    // the slot holds no pool (ERR_IO)
    kSetUp,     // RequestChannel failed (its code)
    kExchange,  // the exchange returned a negative result code
    kDone,      // the exchange returned 0 (or another non-negative value)
};

struct LeaseOutcome {
    int code = 0;  // ERR_IO, RequestChannel's code, or the exchange's result
    LeaseStage stage = LeaseStage::kDone;
};

// Runs exchange(channel) on a connection borrowed from slot and made usable for
// view_id with site's set-up. After a failed set-up or a negative exchange result the
// connection is dropped (its stream position is unknown: the next borrower
// reconnects); otherwise it goes back with the "alive" seconds of reply, which the
// exchange fills.
[[nodiscard]] LeaseOutcome WithLease(PoolSlot& slot, const std::atomic<int>* abort, const ProtoSite& site,
                                     uint64_t view_id, const PObject& reply,
                                     const std::function<int(Channel&)>& exchange);
