// UI_IPC: notifications from the daemon to the UI process. Each one is a single value
// (a map with the member "notify") sent over a fresh loopback connection to the
// "ui_port" setting; nothing is read back, and a notification that cannot be delivered
// is logged and dropped.
//
// While the notifier runs (UiNotifier::Start, done by the daemon when it links), the
// Report functions only queue the notice and its one thread sends them in order, each on
// its own connection, so that no caller waits for the UI. The queue holds about
// `capacity` notices: when it is full, the oldest queued "syncing_file" notice gives way
// to the newer one (a later notice supersedes what the UI shows as syncing; the file
// status database keeps every mark). "error", "locked_file" and "recent_file" notices
// are never dropped: the queue grows past its capacity for them rather than make a
// worker wait for the UI. The number dropped is logged in one line when the queue
// drains. Without the notifier (tools, tests) each Report sends on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <thread>

#include "foundation/mutex.h"
#include "store/event.h"
#include "wire/channel.h"

class UI_IPC {
public:
    UI_IPC();

    // Each returns 0 when the message was sent, or queued for the running notifier;
    // -1 when it could not be sent. Neither is done in a no-I/O zone (foundation/mutex.h).
    static int ReportSessionErrorToUI(uint64_t sess_id, int error);
    static int ReportConnectionErrorToUI(int connection_id, int error);
    static int ReportFileLockedEventToUI(const Event& event, int error);
    static int ReportFileEventToUI(const Event& event);
    static int ReportFileSyncingEventToUI(const Event& event);
    // "conflict": the copy at copy_path keeps a local version that the other version
    // (now at original) would have overwritten; why says what happened. Never dropped.
    static int ReportConflictToUI(uint64_t sess_id, const ustring& copy_path, const ustring& original,
                                  const ustring& why, bool is_dir);

private:
    Channel m_channel;  // kept for the object's layout; notifications use their own
};

// What one notification carries; the message is built when it is sent.
struct UiNotice {
    enum Kind { SESSION_ERROR, CONNECTION_ERROR, LOCKED_FILE, RECENT_FILE, SYNCING_FILE, CONFLICT };
    Kind kind = SYNCING_FILE;
    uint64_t sess_id = 0;
    int32_t connection_id = 0;
    int32_t code = 0;  // error_type, or the locked file's error code
    ustring path;
    bool is_dir = false;
    int32_t event_type = 0;
    ustring original, reason;  // CONFLICT only

    static UiNotice FromEvent(Kind kind, const Event& e);
};

class UiNotifier {
public:
    static constexpr size_t kDefaultCapacity = 4096;

    static UiNotifier& getInstance();

    // True: the thread runs (already ran); false: it could not be started (logged).
    [[nodiscard]] bool Start(size_t capacity = kDefaultCapacity) EXCLUDES(mu);
    // Sends every notice queued before the call, then ends the thread. Afterwards the
    // Report functions send on the caller's thread again.
    void Stop() EXCLUDES(mu);
    // True: queued; false: the notifier does not run, the caller sends the notice itself.
    [[nodiscard]] bool Post(UiNotice&& n) EXCLUDES(mu);
    // Blocks until every notice queued before the call has been sent (tests, bench).
    void Drain() EXCLUDES(mu);
    // While held, the thread sends nothing and the queue only fills (tests); Stop sends
    // everything all the same.
    void SetHeld(bool held) EXCLUDES(mu);
    // "syncing_file" notices dropped since the process started.
    uint64_t DroppedCount() EXCLUDES(mu);
    // Sends one notice now, on this thread: false when it was not sent (logged).
    [[nodiscard]] static bool Send(const UiNotice& n);

    UiNotifier(const UiNotifier&) = delete;
    UiNotifier& operator=(const UiNotifier&) = delete;

private:
    UiNotifier() = default;
    void Run() EXCLUDES(mu);

    Mutex mu;
    CondVar cv;       // the thread waits for work
    CondVar idle_cv;  // Drain waits for sent
    bool running GUARDED_BY(mu) = false;
    bool stopping GUARDED_BY(mu) = false;
    bool held GUARDED_BY(mu) = false;
    size_t capacity GUARDED_BY(mu) = kDefaultCapacity;
    // Notices in sending order, and the "syncing_file" ones among them, oldest first:
    // the oldest of those is the one a full queue drops.
    std::list<UiNotice> queue GUARDED_BY(mu);
    std::deque<std::list<UiNotice>::iterator> syncing GUARDED_BY(mu);
    uint64_t posted GUARDED_BY(mu) = 0;  // queued or dropped, ever
    uint64_t done GUARDED_BY(mu) = 0;    // sent (or failed) or dropped, ever
    uint64_t dropped GUARDED_BY(mu) = 0;
    uint64_t dropped_unlogged GUARDED_BY(mu) = 0;
    std::thread thread;  // started by Start, joined by Stop (the daemon's control thread)
};
