// The control loop: serves one loopback connection at a time - one request value in,
// handed to the application object, its reply value out - until a "stop" request.
#pragma once

#include "daemon/control_app.h"
#include "daemon/ipc_listener.h"

// Serves one readiness wait's worth of work. Returns 1 after a "stop" request was
// handed to the application (nothing is sent back), else 0.
int ServeOneControlRequest(IPCListener& listener, ControlApp& app);
// Repeats ServeOneControlRequest until "stop".
void RunControlLoop(IPCListener& listener, ControlApp& app);
