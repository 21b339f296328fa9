// The daemon's process entry: command line, process preparation, settings, logging,
// the application object, the control listener, the port announcement to the UI and
// the control loop. Returns the process exit code.
#pragma once

#include "daemon/control_app.h"

int DaemonMain(int argc, char** argv);
// As above with the application object built by `factory`.
int DaemonMain(int argc, char** argv, ControlAppFactory factory);
