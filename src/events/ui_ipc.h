// UI_IPC: notifications from the daemon to the UI process. Each one is a single value
// (a map with the member "notify") sent over a fresh loopback connection to the
// "ui_port" setting; nothing is read back, and a notification that cannot be delivered
// is logged and dropped.
#pragma once

#include <cstdint>

#include "store/event.h"
#include "wire/channel.h"

class UI_IPC {
public:
    UI_IPC();

    // Each returns 0 when the message was sent, -1 otherwise.
    static int ReportSessionErrorToUI(uint64_t sess_id, int error);
    static int ReportConnectionErrorToUI(int connection_id, int error);
    static int ReportFileLockedEventToUI(const Event& event, int error);
    static int ReportFileEventToUI(const Event& event);
    static int ReportFileSyncingEventToUI(const Event& event);

private:
    Channel m_channel;  // kept for the object's layout; notifications use their own
};
