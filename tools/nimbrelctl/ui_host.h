// "nimbrelctl daemon": plays the UI process. Listens on the UI port, starts
// nimbreld, prints its announcement and every notification as one JSON line, and
// on Ctrl-C (or SIGTERM) asks the daemon to stop and waits for it.
#pragma once

#include <string>

namespace nimbrelctl {

struct DaemonOptions {
    std::string config;           // configuration file; empty: none
    int ui_port = -1;             // -1: the configuration's "ui_port", else any free port; 0: any free port
    std::string nimbreld;         // daemon executable; empty: next to nimbrelctl, else from PATH
    std::string state_dir;        // claimed for the daemon's lifetime, its port announced there; empty: none
    bool desktop_notify = false;  // errors and conflicts also go to the desktop (notify-send)
};

// Exit code for the process: 0 when the daemon ended with 0, 1 otherwise (also when
// the state folder is held by another daemon).
int RunDaemon(const DaemonOptions& options);

}  // namespace nimbrelctl
