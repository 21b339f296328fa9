#include "events/ui_ipc.h"

#include <memory>
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

// Opens a channel to the UI; null when it cannot be opened or its peer is not this
// user. error_form selects the open-failure text: the two error notifications and the
// file notifications word it differently.
std::unique_ptr<Channel> OpenUiChannel(bool error_form) {
    auto channel = std::make_unique<Channel>(kChannelBuffer);
    int port = Settings::getInstance().getUIPort();
    if (channel->Open("127.0.0.1", port) != 0 || channel->IsClosed()) {
        if (error_form)
            NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "Open ui socket failed\n");
        else
            NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "Open ui channel failed\n");
        return nullptr;
    }
    // Whoever listens on the UI port hears file names: another user's listener (our UI
    // gone, its port taken) gets nothing.
    if (!SockPeerIsSelf(channel->GetFd())) {
        NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "the UI port %d belongs to another user; not sent\n", port);
        return nullptr;
    }
    return channel;
}

// Opens a channel to the UI, sends msg and closes it.
bool SendToUI(const PObject& msg, bool error_form) {
    std::unique_ptr<Channel> channel = OpenUiChannel(error_form);
    if (!channel) return false;
    PStream stream;
    if (stream.Send(*channel, msg) != StreamResult::kOk) {
        NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "send req failed\n");
        return false;
    }
    // Open until the UI has read it: the UI checks who we are while we are connected.
    (void)SockAwaitPeerClose(channel->GetFd(), kUiCloseWaitMillis);
    channel->Close();
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

int UI_IPC::ReportConflictToUI(uint64_t sess_id, const ustring& copy_path, const ustring& original, const ustring& why,
                               bool is_dir) {
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

PObject UiNotice::Message(bool* error_form) const {
    PObject msg;
    bool error = false;
    switch (kind) {
        case SESSION_ERROR:
            msg["notify"] = "error";
            msg["session_id"] = sess_id;
            msg["error_type"] = code;
            error = true;
            break;
        case CONNECTION_ERROR:
            msg["notify"] = "error";
            msg["connection_id"] = connection_id;
            msg["error_type"] = code;
            error = true;
            break;
        case LOCKED_FILE: {
            msg = FileMessage("locked_file", *this);
            PObject reason;
            reason["reason"] = "file locked";
            reason["code"] = code;
            msg["error"] = reason;
            break;
        }
        case RECENT_FILE:
            msg = FileMessage("recent_file", *this);
            msg["event_type"] = event_type;
            break;
        case SYNCING_FILE:
            msg = FileMessage("syncing_file", *this);
            msg["event_type"] = event_type;
            break;
        case CONFLICT:
            msg = FileMessage("conflict", *this);
            msg["original"] = original;
            msg["reason"] = reason;
            break;
        case RECENT_SUMMARY:
            msg["notify"] = "recent_files";
            msg["session_id"] = sess_id;
            msg["count"] = count;
            break;
    }
    if (error_form) *error_form = error;
    return msg;
}

bool UiNotifier::Send(const UiNotice& n) {
    bool error_form = false;
    const PObject msg = n.Message(&error_form);
    return SendToUI(msg, error_form);
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
        NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "cannot start the notifier thread\n");
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
    std::vector<UiNotice> batch;
    for (;;) {
        uint64_t to_log = 0;
        bool exit = false;
        batch.clear();
        const bool kept = Settings::getInstance().uiReadsSeveralValues();
        {
            MutexLock l(mu);
            while (!stopping && (held || (queue.empty() && dropped_unlogged == 0))) {
                // Held-back notices wait for their second to end, not for more work.
                if (held || !summaries.Pending()) {
                    cv.Wait(mu);
                } else {
                    if (summaries.WindowOver(std::chrono::steady_clock::now())) break;
                    cv.WaitFor(mu, std::chrono::milliseconds(100));
                }
            }
            // On a kept connection the notices of the next few milliseconds go out in
            // the same write: under load one wake-up and one write serve many files.
            // Post wakes only the first of them; Stop and SetHeld end the wait early.
            if (kept && !stopping && !held && !queue.empty() && queue.size() < kBatch) cv.WaitFor(mu, kGather);
            if (queue.empty()) {
                // Drained: say once how many were dropped on the way, then wait or end.
                to_log = dropped_unlogged;
                dropped_unlogged = 0;
                if (stopping) exit = true;
            } else {
                // Everything queued goes out together (one write on a kept connection).
                while (!queue.empty() && batch.size() < kBatch) {
                    if (queue.front().kind == UiNotice::SYNCING_FILE) syncing.pop_front();
                    batch.push_back(std::move(queue.front()));
                    queue.pop_front();
                }
            }
        }
        if (to_log != 0)
            NLOG_AT(L_WARNING, LogChannel(), "ui-ipc.cpp", "%llu syncing_file notices dropped: the UI queue was full\n",
                    static_cast<unsigned long long>(to_log));
        if (kept) {
            (void)link.SendAll(batch);
        } else {
            for (const UiNotice& n : batch)
                if (!summaries.Take(n, std::chrono::steady_clock::now())) (void)Send(n);
        }
        // Summaries of what was held back go out once its second ended.
        if (exit || summaries.WindowOver(std::chrono::steady_clock::now()))
            for (const UiNotice& n : summaries.TakeSummaries()) (void)Send(n);
        if (exit) {
            link.Close();
            MutexLock l(mu);
            running = false;
            idle_cv.Broadcast();
            return;
        }
        if (batch.empty()) continue;
        MutexLock l(mu);
        done += batch.size();
        idle_cv.Broadcast();
    }
}

// ---------------------------------------------------------------------------------------
// RecentLimiter

bool RecentLimiter::Take(const UiNotice& n, Clock::time_point now) {
    if (n.kind != UiNotice::RECENT_FILE) return false;
    if (now - window_start >= std::chrono::seconds(1)) {
        window_start = now;
        sent_in_window = 0;
    }
    if (sent_in_window < per_second) {
        ++sent_in_window;
        return false;
    }
    ++held_back[n.sess_id];
    return true;
}

bool RecentLimiter::WindowOver(Clock::time_point now) const {
    return !held_back.empty() && now - window_start >= std::chrono::seconds(1);
}

std::vector<UiNotice> RecentLimiter::TakeSummaries() {
    std::vector<UiNotice> out;
    for (const auto& [sess, count] : held_back) {
        UiNotice n;
        n.kind = UiNotice::RECENT_SUMMARY;
        n.sess_id = sess;
        n.count = count;
        out.push_back(std::move(n));
    }
    held_back.clear();
    return out;
}

// ---------------------------------------------------------------------------------------
// UiLink

bool UiLink::SendAll(const std::vector<UiNotice>& batch) {
    if (batch.empty()) return true;
    // A UI that went away (or restarted) is noticed before writing: it never sends, so
    // anything readable is its end. A broken write gets one fresh connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (channel && SockWaitReady(channel->GetFd(), false, timeval{0, 0}) != 0) Close();
        PStream stream;
        bool sent = true;
        if (!channel) {
            channel = OpenUiChannel(false);
            if (!channel) return false;
            // Tells the UI that this connection carries notifications until we close it.
            PObject hello;
            hello["keep_open"] = uint64_t{1};
            sent = stream.SendBuffered(*channel, hello) == StreamResult::kOk;
        }
        for (const UiNotice& n : batch) sent = sent && stream.SendBuffered(*channel, n.Message()) == StreamResult::kOk;
        if (sent && channel->FlushWrite(0) == 0) return true;
        Close();
    }
    NLOG_AT(L_ERR, LogChannel(), "ui-ipc.cpp", "send req failed\n");
    return false;
}

void UiLink::Close() {
    if (!channel) return;
    channel->Close();
    channel.reset();
}
