// Command line of the reference server.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "relay.h"

struct ServerOptions {
    int port = 0;
    uint64_t build = 3000;
    uint64_t alive = 30;
    unsigned keepalive = 0;
    // Seconds after which an unfinished transfer's data under ROOT/resume is removed.
    uint64_t resume_ttl = 3600;
    bool has_token = false;
    std::string token;
    std::string root;
    // Faults: "ACTION=0xCODE" answers every request of that action with that error
    // code; "ssl-stall" answers the SSL request but never takes part in the handshake;
    // "cut-after=N" closes a connection after N bytes of one binary (resume_upload
    // receiving, resume_download sending); "cut-after=random:MIN-MAX" draws N for each
    // connection from MIN..MAX and closes it once its binaries carried N bytes.
    std::map<std::string, uint32_t> fail_action;
    // "ACTION=0xCODE*N": only the first N requests of that action fail (0: every one).
    std::map<std::string, uint64_t> fail_times;
    bool ssl_stall = false;
    uint64_t cut_after = 0;
    // The range of "cut-after=random:MIN-MAX" (cut_min 0: no random cuts).
    uint64_t cut_min = 0, cut_max = 0;
    // --fault-seed: the draws of random faults, so that a run can be repeated (without
    // it the server picks one and logs it).
    bool has_fault_seed = false;
    uint64_t fault_seed = 0;
    // "corrupt-delta": every delta sent by resume_download has one byte changed.
    bool corrupt_delta = false;
    // --relay: serve as the tunnel relay instead of the storage server.
    RelayOptions relay;
};

// 0 on success; -1 with a message in error for a bad command line.
int ParseServerOptions(int argc, char** argv, ServerOptions* opts, std::string* error);
const char* ServerUsage();
