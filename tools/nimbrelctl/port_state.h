// The control port that "nimbrelctl daemon" last announced, kept in a small file so
// that later commands can find the daemon without --port.
#pragma once

#include <string>

namespace nimbrelctl {

// $XDG_RUNTIME_DIR/nimbrelctl.port, else /tmp/nimbrelctl-<uid>.port.
std::string PortStatePath();
// false with a reason when the file cannot be written.
bool SavePort(int port, std::string& error);
// The saved port, or -1 when there is none (or it is not a valid port).
int LoadPort();
// Removes the file if it still names port.
void ForgetPort(int port);

}  // namespace nimbrelctl
