// PulledEvents: the event list of one pull reply on its way to the workers, the same
// for both pullers. The list streams into an EventSpool as it arrives (the reply keeps
// an empty array), each element checked as it comes; once the reply is known to be
// whole, the spooled events, less the echoes, go to the workers in batches and the
// puller waits for them after each. Neither the reply nor the event manager ever holds
// a long list whole.
//
// Owned and used by one puller's own thread; no lock.
#pragma once

#include <cstddef>
#include <functional>
#include <set>

#include "events/registry.h"
#include "events/sync_services.h"
#include "sync/event_spool.h"
#include "sync/pull_common.h"
#include "sync/step_result.h"
#include "wire/object.h"
#include "wire/stream.h"

class PulledEvents {
public:
    // Events pushed between two waits for the workers.
    static constexpr size_t kBatch = 10000;

    PulledEvents(const SyncServices& services, const PullerTexts& texts) : services(services), texts(texts) {}

    // Starts the pull of session sess: empties the spool and sends the elements of the
    // "event_list" that stream receives into it, until EndReceive. false (logged) when
    // no scratch file could be made.
    [[nodiscard]] bool Begin(PStream& stream, uint64_t sess);
    // Stops sending stream's list elements here; call after the exchange, whatever its
    // outcome.
    void EndReceive(PStream& stream);
    // Adds the elements of a list of session sess that was received whole (a reply
    // built whole). false when the spool cannot keep one.
    [[nodiscard]] bool AddAll(const PObject& list, uint64_t sess);
    // The spooled events of entry's session, less the echoes (need_local as for
    // IsServerEcho), to the workers kBatch at a time, calling wait after each batch and
    // at the end. 0; ERR_INT when a wait failed (what follows was never pushed: the
    // caller must not advance its sync id); ERR_SYS when the spool could not be read.
    // The spool is empty afterwards.
    [[nodiscard]] int Push(const Registry::Entry& entry, bool need_local, const std::function<StepResult()>& wait);

private:
    // One list element into the spool (dropped with a log line when unusable). kSys
    // when the spool cannot keep it.
    StreamResult Add(const PObject& item);

    const SyncServices services;
    const PullerTexts texts;
    const PStream* stream = nullptr;  // of the pull begun last: its cut texts apply
    uint64_t sess_id = 0;
    // The texts of the reply that the wire cut at a zero byte: a path among them is not
    // the path the server named.
    std::set<ustring> cut_paths;
    size_t cut_seen = 0;  // of the stream's cut texts, those already in cut_paths
    EventSpool spool;
};
