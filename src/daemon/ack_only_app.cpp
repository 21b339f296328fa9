#include "daemon/ack_only_app.h"

int AckOnlyApp::send_message(const PObject&, PObject& reply) {
    reply["ack"] = "ok";
    return 0;
}

std::unique_ptr<ControlApp> AckOnlyApp::Create() { return std::make_unique<AckOnlyApp>(); }
