// How each task appears on the wire: its log channel, source name and texts, and the
// connection set-up it asks for. The wire layer takes these as given.
#pragma once

#include <functional>

#include "foundation/ustring.h"
#include "wire/protocol.h"

// The server event puller: "Syncer" lines in syncer.cpp on "syncer_debug".
ProtoSite SyncerSite();
// The selective-sync progress puller: the same texts in progress-syncer.cpp.
ProtoSite ProgressSyncerSite();
// Worker worker_id: its own texts in worker.cpp on "worker_debug", SSL requested
// inside "connect", transfer error classes meaning an interruption. File bodies are
// received into recv_location; map_stream_error maps a broken exchange's stream code.
ProtoSite WorkerSite(int worker_id, const ustring& recv_location = ustring(),
                     std::function<int(StreamResult)> map_stream_error = {});
