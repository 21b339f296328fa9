#include "sync/proto_sites.h"

#include <string>

ProtoSite SyncerSite() { return ProtoSite(); }

ProtoSite ProgressSyncerSite() {
    ProtoSite site;
    site.channel = "progress_syncer_debug";
    site.file = "progress-syncer.cpp";
    return site;
}

ProtoSite WorkerSite(int worker_id, const ustring& recv_location, std::function<int(StreamResult)> map_stream_error) {
    ProtoSite site;
    site.channel = "worker_debug";
    site.file = "worker.cpp";
    site.who = ustring(("Worker (" + std::to_string(worker_id) + ")").c_str());
    site.texts.request = "%s: RunProtocol <<< %s\n";
    site.texts.reply = "%s: RunProtocol >>> %s\n";
    site.texts.send_header_failed = "%s: RunProtocol(%s): failed to send header, stream error code = %d.\n";
    site.texts.send_request_failed = "%s: RunProtocol(%s): failed to send request. stream error code = %d.\n";
    site.texts.recv_failed = "%s: RunProtocol(%s): failed to recv response. stream error code = %d.\n";
    site.texts.keep_alive = "%s: get keepalive message\n";
    // The worker's line names no address: "%.0s" takes it and prints nothing.
    site.texts.connect_failed = "%s: Failed to establish TCP connection to server. %.0s%s\n";
    site.transfer_errors_interrupt = true;
    site.recv_location = recv_location;
    site.reply_files = {"file.data"};  // a download's body; the rest of a reply is dropped
    site.map_stream_error = std::move(map_stream_error);
    return site;
}
