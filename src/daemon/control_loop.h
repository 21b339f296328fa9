// The control loop: serves one loopback connection at a time - one request value in,
// handed to the application object, its reply value out - until a "stop" request.
#pragma once

#include "daemon/control_app.h"
#include "daemon/ipc_listener.h"

// Reading one request, and sending its reply, each end after this many seconds.
constexpr unsigned kControlRequestSeconds = 10;

// Serves one readiness wait's worth of work. Returns 1 after a "stop" request was
// handed to the application (nothing is sent back), else 0.
int ServeOneControlRequest(IPCListener& listener, ControlApp& app);
// Repeats ServeOneControlRequest until "stop", or until RequestStop was called, which
// is then handled as a "stop" request (within one readiness wait).
void RunControlLoop(IPCListener& listener, ControlApp& app);
// Async-signal-safe: asks the running loop to stop in order (SIGTERM, e.g. when the
// UI that started us is gone).
void RequestStop();
