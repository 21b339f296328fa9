// ControlApp: what the process entry needs from the application object. The control
// loop hands every request to it and sends back the reply it fills.
#pragma once

#include <memory>

#include "wire/object.h"

// Results of handing work to the application's request thread; a family of their own.
enum class AppResult {
    kOk = 0,
    kAlreadyRunning,  // run: the request thread was started before
    kNoThread,        // run: the thread could not be created
    kNotRunning,      // send_message: the request thread is not (or no longer) running
};

class ControlApp {
public:
    virtual ~ControlApp() = default;
    // Starts the thread that executes requests: kOk, kAlreadyRunning or kNoThread.
    [[nodiscard]] virtual AppResult run() = 0;
    // Executes one request and blocks until the reply is filled: kOk, or kNotRunning
    // (the reply is left alone).
    [[nodiscard]] virtual AppResult send_message(const PObject& request, PObject& reply) = 0;
    // Stops the request thread and waits for it.
    virtual void kill() = 0;
};

// Builds the application object used by the daemon.
using ControlAppFactory = std::unique_ptr<ControlApp> (*)();
