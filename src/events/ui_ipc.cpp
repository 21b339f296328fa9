#include "events/ui_ipc.h"

#include <system_error>
#include <utility>

#include "events/session_health.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "platform/socket.h"
#include "wire/object.h"
#include "wire/stream.h"

namespace {

const ustring& LogChannel() {
    static const ustring channel("channel_ui_debug");
    return channel;
}

constexpr unsigned kChannelBuffer = 81920;
constexpr int kUiCloseWaitMillis = 2000;

// Opens a channel to the UI, sends msg and closes it. error_form selects the open-failure
// text: the two error notifications and the file notifications word it differently.
bool SendToUI(const PObject& msg, bool error_form) {
    Channel channel(kChannelBuffer);
    int port = Settings::getInstance().getUIPort();
    if (channel.Open("127.0.0.1", port) != 0 || channel.IsClosed()) {
        if (error_form)
            NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): Open ui socket failed\n");
        else
            NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): Open ui channel failed\n");
        return false;
    }
    // Whoever listens on the UI port hears file names: another user's listener (our UI
    // gone, its port taken) gets nothing.
    if (!SockPeerIsSelf(channel.GetFd())) {
        NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): the UI port %d belongs to another user; not sent\n", port);
        return false;
    }
    PStream stream;
    if (stream.Send(channel, msg) != StreamResult::kOk) {
        NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): send req failed\n");
        return false;
    }
    // Open until the UI has read it: the UI checks who we are while we are connected.
    (void)SockAwaitPeerClose(channel.GetFd(), kUiCloseWaitMillis);
    channel.Close();
    return true;
}

PObject FileMessage(const char* notify, const UiNotice& n) {
    PObject msg;
    msg["notify"] = notify;
    msg["session_id"] = n.sess_id;
    msg["path"] = n.path;
    msg["is_dir"] = n.is_dir;
    return msg;
}

// The notice goes to the running notifier, or out on this thread: 0 queued or sent,
// -1 not sent (the Report functions' answer).
int Report(UiNotice&& n) {
    AssertIoAllowed("UI_IPC report");
    if (UiNotifier::getInstance().Post(std::move(n))) return 0;
    return UiNotifier::Send(n) ? 0 : -1;
}

}  // namespace

UI_IPC::UI_IPC() : m_channel(kChannelBuffer) {}

UiNotice UiNotice::FromEvent(Kind kind, const Event& e) {
    UiNotice n;
    n.kind = kind;
    n.sess_id = e.m_sess_id;
    n.path = e.m_path;
    n.is_dir = e.isDir();
    n.event_type = static_cast<int32_t>(e.m_type);
    return n;
}

// What the UI hears of a session is also kept for the status (SessionHealth).
int UI_IPC::ReportSessionErrorToUI(uint64_t sess_id, int error) {
    SessionHealth::getInstance().NoteError(sess_id, error);
    UiNotice n;
    n.kind = UiNotice::SESSION_ERROR;
    n.sess_id = sess_id;
    n.code = static_cast<int32_t>(error);
    return Report(std::move(n));
}

int UI_IPC::ReportConnectionErrorToUI(int connection_id, int error) {
    UiNotice n;
    n.kind = UiNotice::CONNECTION_ERROR;
    n.connection_id = static_cast<int32_t>(connection_id);
    n.code = static_cast<int32_t>(error);
    return Report(std::move(n));
}

int UI_IPC::ReportFileLockedEventToUI(const Event& event, int error) {
    SessionHealth::getInstance().NoteItemFailed(event.m_sess_id, event.m_path, error);
    UiNotice n = UiNotice::FromEvent(UiNotice::LOCKED_FILE, event);
    n.code = static_cast<int32_t>(error);
    return Report(std::move(n));
}

int UI_IPC::ReportFileEventToUI(const Event& event) {
    SessionHealth::getInstance().NoteItemDone(event.m_sess_id, event.m_path);
    return Report(UiNotice::FromEvent(UiNotice::RECENT_FILE, event));
}

int UI_IPC::ReportFileSyncingEventToUI(const Event& event) {
    return Report(UiNotice::FromEvent(UiNotice::SYNCING_FILE, event));
}

int UI_IPC::ReportConflictToUI(uint64_t sess_id, const ustring& copy_path, const ustring& original,
                               const ustring& why, bool is_dir) {
    UiNotice n;
    n.kind = UiNotice::CONFLICT;
    n.is_dir = is_dir;
    n.sess_id = sess_id;
    n.path = copy_path;
    n.original = original;
    n.reason = why;
    return Report(std::move(n));
}

// ---------------------------------------------------------------------------------------
// UiNotifier

bool UiNotifier::Send(const UiNotice& n) {
    PObject msg;
    switch (n.kind) {
    case UiNotice::SESSION_ERROR:
        msg["notify"] = "error";
        msg["session_id"] = n.sess_id;
        msg["error_type"] = n.code;
        return SendToUI(msg, true);
    case UiNotice::CONNECTION_ERROR:
        msg["notify"] = "error";
        msg["connection_id"] = n.connection_id;
        msg["error_type"] = n.code;
        return SendToUI(msg, true);
    case UiNotice::LOCKED_FILE: {
        msg = FileMessage("locked_file", n);
        PObject reason;
        reason["reason"] = "file locked";
        reason["code"] = n.code;
        msg["error"] = reason;
        return SendToUI(msg, false);
    }
    case UiNotice::RECENT_FILE:
        msg = FileMessage("recent_file", n);
        msg["event_type"] = n.event_type;
        return SendToUI(msg, false);
    case UiNotice::SYNCING_FILE:
        msg = FileMessage("syncing_file", n);
        msg["event_type"] = n.event_type;
        return SendToUI(msg, false);
    case UiNotice::CONFLICT:
        msg = FileMessage("conflict", n);
        msg["original"] = n.original;
        msg["reason"] = n.reason;
        return SendToUI(msg, false);
    }
    return false;
}

UiNotifier& UiNotifier::getInstance() {
    static UiNotifier* instance = new UiNotifier;  // never destroyed: Stop ends the thread
    return *instance;
}

bool UiNotifier::Start(size_t cap) {
    MutexLock l(mu);
    if (running) return true;
    capacity = cap > 0 ? cap : 1;
    stopping = false;
    running = true;
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        running = false;
        NLOG(L_ERR, LogChannel(), "[ERROR] ui-ipc.cpp(%d): cannot start the notifier thread\n");
        return false;
    }
    return true;
}

void UiNotifier::Stop() {
    {
        MutexLock l(mu);
        if (!thread.joinable()) return;
        stopping = true;
        cv.Signal();
    }
    thread.join();
    MutexLock l(mu);
    stopping = false;
}

bool UiNotifier::Post(UiNotice&& n) {
    AssertIoAllowed("UiNotifier::Post");
    MutexLock l(mu);
    if (!running) return false;
    ++posted;
    const bool is_syncing = n.kind == UiNotice::SYNCING_FILE;
    if (is_syncing && queue.size() >= capacity && !syncing.empty()) {
        queue.erase(syncing.front());
        syncing.pop_front();
        ++dropped;
        ++dropped_unlogged;
        ++done;
    }
    queue.push_back(std::move(n));
    if (is_syncing) syncing.push_back(std::prev(queue.end()));
    if (queue.size() == 1) cv.Signal();
    return true;
}

void UiNotifier::Drain() {
    AssertIoAllowed("UiNotifier::Drain");
    MutexLock l(mu);
    const uint64_t target = posted;
    while (done < target && running) idle_cv.Wait(mu);
}

void UiNotifier::SetHeld(bool h) {
    MutexLock l(mu);
    held = h;
    cv.Signal();
}

uint64_t UiNotifier::DroppedCount() {
    MutexLock l(mu);
    return dropped;
}

void UiNotifier::Run() {
    for (;;) {
        UiNotice n;
        uint64_t to_log = 0;
        bool exit = false, have = false;
        {
            MutexLock l(mu);
            while (!stopping && (held || (queue.empty() && dropped_unlogged == 0))) cv.Wait(mu);
            if (queue.empty()) {
                // Drained: say once how many were dropped on the way, then wait or end.
                to_log = dropped_unlogged;
                dropped_unlogged = 0;
                if (stopping) {
                    running = false;
                    idle_cv.Broadcast();
                    exit = true;
                }
            } else {
                n = std::move(queue.front());
                if (n.kind == UiNotice::SYNCING_FILE) syncing.pop_front();
                queue.pop_front();
                have = true;
            }
        }
        if (to_log != 0)
            NLOG(L_WARNING, LogChannel(),
                 "[WARNING] ui-ipc.cpp(%d): %llu syncing_file notices dropped: the UI queue was full\n",
                 static_cast<unsigned long long>(to_log));
        if (exit) return;
        if (!have) continue;
        static_cast<void>(Send(n));  // a failure is logged; the next notice goes on
        MutexLock l(mu);
        ++done;
        idle_cv.Broadcast();
    }
}
