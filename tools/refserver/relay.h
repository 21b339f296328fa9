// The relay mode of the reference server (--relay): accepts the client's SSL
// connection, reads its relay handshake, checks the token with the configured key,
// answers with a status line and "X-Target-Status", connects to the named loopback
// target and then copies bytes both ways over the bare sockets.
#pragma once

#include <string>

#include "platform/socket.h"

struct RelayOptions {
    bool enabled = false;
    std::string key_multiplier, key_increment, iv;  // as for the daemon's settings
    // Faults for tests, applied after the token was checked and before any target is
    // connected: answer 101 with "x-target-status: N" (lower case); answer status N
    // without the header; or never answer.
    int fault_status = 0;
    int fault_no_header = 0;
    bool fault_stall = false;
};

// Checks the key texts; empty when usable, else what is wrong.
std::string CheckRelayOptions(const RelayOptions& opts);
// Serves relay connections on listen_fd until the process ends; returns (2) only when
// the key options are unusable.
int RunRelay(SOCKET listen_fd, const RelayOptions& opts);
