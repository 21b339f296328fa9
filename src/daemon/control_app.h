// ControlApp: what the process entry needs from the application object. The control
// loop hands every request to it and sends back the reply it fills.
#pragma once

#include <memory>

#include "wire/object.h"

class ControlApp {
public:
    virtual ~ControlApp() = default;
    // Starts the thread that executes requests; 0 or -1.
    virtual int run() = 0;
    // Executes one request and blocks until the reply is filled; 0.
    virtual int send_message(const PObject& request, PObject& reply) = 0;
    // Stops the request thread and waits for it.
    virtual void kill() = 0;
};

// Builds the application object used by the daemon.
using ControlAppFactory = std::unique_ptr<ControlApp> (*)();
