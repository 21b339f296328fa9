#include "events/ui_ipc.h"

#include "foundation/logger.h"
#include "foundation/settings.h"
#include "wire/object.h"
#include "wire/stream.h"

namespace {

const ustring& LogChannel() {
    static const ustring channel("channel_ui_debug");
    return channel;
}

constexpr unsigned kChannelBuffer = 81920;

// Opens a channel to the UI, sends msg and closes it. error_form selects the open-failure
// text: the two error notifications and the file notifications word it differently.
int SendToUI(const PObject& msg, bool error_form) {
    Channel channel(kChannelBuffer);
    int port = Settings::getInstance().getUIPort();
    if (channel.Open("127.0.0.1", port) != 0 || channel.IsClosed()) {
        if (error_form)
            NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): Open ui socket failed\n");
        else
            NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): Open ui channel failed\n");
        return -1;
    }
    PStream stream;
    if (stream.Send(channel, msg) != 0) {
        NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): send req failed\n");
        return -1;
    }
    channel.Close();
    return 0;
}

PObject FileMessage(const char* notify, const Event& event) {
    PObject msg;
    msg["notify"] = notify;
    msg["session_id"] = event.m_sess_id;
    msg["path"] = event.m_path;
    msg["is_dir"] = event.isDir();
    return msg;
}

}  // namespace

UI_IPC::UI_IPC() : m_channel(kChannelBuffer) {}

int UI_IPC::ReportSessionErrorToUI(uint64_t sess_id, int error) {
    PObject msg;
    msg["notify"] = "error";
    msg["session_id"] = sess_id;
    msg["error_type"] = static_cast<int32_t>(error);
    return SendToUI(msg, true);
}

int UI_IPC::ReportConnectionErrorToUI(int connection_id, int error) {
    PObject msg;
    msg["notify"] = "error";
    msg["connection_id"] = static_cast<int32_t>(connection_id);
    msg["error_type"] = static_cast<int32_t>(error);
    return SendToUI(msg, true);
}

int UI_IPC::ReportFileLockedEventToUI(const Event& event, int error) {
    PObject msg = FileMessage("locked_file", event);
    PObject reason;
    reason["reason"] = "file locked";
    reason["code"] = static_cast<int32_t>(error);
    msg["error"] = reason;
    return SendToUI(msg, false);
}

int UI_IPC::ReportFileEventToUI(const Event& event) {
    PObject msg = FileMessage("recent_file", event);
    msg["event_type"] = static_cast<int32_t>(event.m_type);
    return SendToUI(msg, false);
}

int UI_IPC::ReportFileSyncingEventToUI(const Event& event) {
    PObject msg = FileMessage("syncing_file", event);
    msg["event_type"] = static_cast<int32_t>(event.m_type);
    return SendToUI(msg, false);
}
