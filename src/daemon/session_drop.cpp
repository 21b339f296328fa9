#include "daemon/session_drop.h"

#include "foundation/logger.h"
#include "sync/worker.h"

namespace {
const char* const kChannel = "client_debug";
}  // namespace

unsigned drop_session_workers(const std::vector<Worker*>& workers, uint64_t sess_id) {
    std::vector<Worker*> selected;
    for (Worker* worker : workers) {
        if (worker == nullptr) continue;
        Worker::ProcessEvent_T current;
        worker->GetCurrentProcessEventInfo(current);
        if (current.session_id == 0) continue;
        if (sess_id != 0 && current.session_id != sess_id) continue;
        NLOG_AT(L_INFO, kChannel, "app.cpp", "pause worker %d\n", worker->GetId());
        selected.push_back(worker);
    }

    if (!selected.empty()) {
        Worker::PauseType_T rendezvous;
        // Held while the record is handed out, so that no worker can decrement the
        // count (and signal) before this thread waits.
        rendezvous.pause_mutex.Lock();
        rendezvous.count = static_cast<uint32_t>(selected.size());
        for (Worker* worker : selected) {
            worker->setPauseInstance(&rendezvous);
            NLOG_AT(L_INFO, kChannel, "app.cpp", "abort worker %d\n", worker->GetId());
            worker->SetAbort(true);
        }
        NLOG_AT(L_INFO, kChannel, "app.cpp", "wait for worker drop ...\n");
        while (rendezvous.count > 0) rendezvous.pause_cond.Wait(rendezvous.pause_mutex);
        NLOG_AT(L_INFO, kChannel, "app.cpp", "worker drop session done, continue\n");
        rendezvous.pause_mutex.Unlock();

        for (Worker* worker : selected) worker->SetAbort(false);
    }

    NLOG_AT(L_INFO, kChannel, "app.cpp", "drop session %llu done\n", static_cast<unsigned long long>(sess_id));
    return static_cast<unsigned>(selected.size());
}
