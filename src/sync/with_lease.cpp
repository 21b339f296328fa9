#include "sync/with_lease.h"

#include "foundation/error_codes.h"
#include "wire/connection.h"
#include "wire/connection_pool.h"
#include "wire/object.h"

LeaseOutcome WithLease(PoolSlot& slot, const std::atomic<int>* abort, const ProtoSite& site, uint64_t view_id,
                       const PObject& reply, const std::function<int(Channel&)>& exchange) {
    ConnectionPool* pool = slot.get();
    if (pool == nullptr) return {ERR_IO, LeaseStage::kNoPool};
    ConnectionLease lease(*pool, abort);
    int rc = RequestChannel(site, lease.get(), *pool, view_id);
    if (rc != 0) {
        lease->Drop();
        return {rc, LeaseStage::kSetUp};
    }
    rc = exchange(*lease->GetChannel());
    if (rc < 0) {
        lease->Drop();
        return {rc, LeaseStage::kExchange};
    }
    lease->Update(reply["alive"].asUInt32());
    return {rc, LeaseStage::kDone};
}
