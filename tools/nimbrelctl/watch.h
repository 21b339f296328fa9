// "nimbrelctl watch": polls get_status and shows one line per session, redrawn in place
// on a terminal, one JSON line per change otherwise.
#pragma once

#include <string>

namespace nimbrelctl {

struct WatchOptions {
    int port = -1;                // the daemon's control port
    unsigned interval_ms = 1000;  // between two polls
    unsigned count = 0;           // stop after this many polls; 0: until interrupted
    bool json = false;            // JSON lines even on a terminal
    // JSON lines of notifications as "nimbrelctl daemon" prints them (its standard
    // output sent to a file); followed from its end. Empty: none.
    std::string notifications;
};

// 0 after count polls or an interrupt (SIGINT, SIGTERM); 1 with a message on standard
// error when the daemon cannot be reached.
int RunWatch(const WatchOptions& options);

}  // namespace nimbrelctl
