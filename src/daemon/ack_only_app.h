// AckOnlyApp: the stand-in application object. Every request is answered with
// {"ack": "ok"}; the control loop itself ends the process on "stop".
#pragma once

#include "daemon/control_app.h"

class AckOnlyApp : public ControlApp {
public:
    [[nodiscard]] AppResult run() override { return AppResult::kOk; }
    [[nodiscard]] AppResult send_message(const PObject& request, PObject& reply) override;
    void kill() override {}

    static std::unique_ptr<ControlApp> Create();
};
