// Where later nimbrelctl commands find a daemon without --port.
//
// Two places, read in this order:
// - the daemon's state folder (its databases and logs): "nimbrelctl daemon --state DIR"
//   holds DIR/daemon.port locked for as long as it (or the nimbreld it started) runs
//   and writes the announced control port into it. A file that nobody holds is stale
//   and is ignored. The lock also keeps a second daemon off the same databases.
// - the runtime port file, the port that any "nimbrelctl daemon" of this user last
//   announced, for daemons started without a state folder.
#pragma once

#include <string>

namespace nimbrelctl {

// $NIMBREL_HOME, else $XDG_STATE_HOME/nimbrel, else ~/.local/state/nimbrel.
std::string DefaultStateDir();
// $XDG_CONFIG_HOME/nimbrel/nimbreld.conf, else ~/.config/nimbrel/nimbreld.conf.
std::string DefaultConfigPath();
// path made absolute against the working directory (unchanged when it already is).
std::string Absolute(const std::string& path);

// $XDG_RUNTIME_DIR/nimbrelctl.port when that folder is private (ours, mode 0700, not a
// link), else DefaultStateDir()/nimbrelctl.port (made 0700, checked the same way);
// empty when neither is private. Never a shared folder such as /tmp.
std::string PortStatePath();
// DIR/daemon.port.
std::string StatePortPath(const std::string& state_dir);
// false with a reason when the runtime port file cannot be written.
bool SavePort(int port, std::string& error);
// The port announced in state_dir by a running daemon, else (unless state_only: the
// caller named that folder) the runtime port file's, else -1 (also for a file that
// holds no valid port). state_dir may be empty.
int LoadPort(const std::string& state_dir, bool state_only = false);
// Removes the runtime port file if it still names port.
void ForgetPort(int port);

// One running "nimbrelctl daemon"'s hold on its state folder.
class StateClaim {
public:
    StateClaim() = default;
    // Empties the port file (never removes it: a waiting claimant could otherwise lock
    // a removed file while a third one locks a new one) and lets go.
    ~StateClaim();
    // Makes the folder if needed and locks its port file. false with a reason when the
    // folder cannot be made or another daemon holds it. The lock belongs to the open
    // file, which the started nimbreld inherits on purpose: a daemon that outlives its
    // nimbrelctl keeps the folder claimed and stays reachable through the port it
    // announced.
    bool Claim(const std::string& state_dir, std::string& error);
    // Writes the control port. false with a reason when it cannot.
    bool Announce(int port, std::string& error);

    StateClaim(const StateClaim&) = delete;
    StateClaim& operator=(const StateClaim&) = delete;

private:
    int fd = -1;
    std::string path;
};

}  // namespace nimbrelctl
