#include "daemon/ack_only_app.h"

AppResult AckOnlyApp::send_message(const PObject&, PObject& reply) {
    reply["ack"] = "ok";
    return AppResult::kOk;
}

std::unique_ptr<ControlApp> AckOnlyApp::Create() { return std::make_unique<AckOnlyApp>(); }
