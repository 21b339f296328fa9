// One control exchange with the daemon over its loopback port.
#pragma once

#include <string>

#include "wire/object.h"

namespace nimbrelctl {

// Connects to 127.0.0.1:port, writes the request and, when reply is given, reads
// one value back; without reply it waits until the daemon closes the connection
// (what it does after "stop"). 0, or -1 with a one-line reason in error.
int SendControl(int port, const PObject& request, PObject* reply, std::string& error);

// A connected loopback TCP socket, or -1 with a reason in error.
int ConnectLoopback(int port, std::string& error);

}  // namespace nimbrelctl
