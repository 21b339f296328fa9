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

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/mutex.h"
#include "store/event.h"
#include "wire/channel.h"
#include "wire/object.h"

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
    // RECENT_SUMMARY: "recent_files", how many "recent_file" notices of a session the
    // rate limit held back (count).
    enum Kind { SESSION_ERROR, CONNECTION_ERROR, LOCKED_FILE, RECENT_FILE, SYNCING_FILE, CONFLICT, RECENT_SUMMARY };
    Kind kind = SYNCING_FILE;
    uint64_t sess_id = 0;
    int32_t connection_id = 0;
    int32_t code = 0;  // error_type, or the locked file's error code
    ustring path;
    bool is_dir = false;
    int32_t event_type = 0;
    ustring original, reason;  // CONFLICT only
    uint64_t count = 0;        // RECENT_SUMMARY only

    static UiNotice FromEvent(Kind kind, const Event& e);
    // The value the UI receives; error_form (when given) tells whether it is one of the
    // two error notifications.
    [[nodiscard]] PObject Message(bool* error_form = nullptr) const;
};

// Without a kept connection every notice costs the UI a connection: under load the
// "recent_file" notices beyond per_second in one second are held back and counted per
// session, and one "recent_files" summary per session replaces them. Used by the
// notifier's thread only.
class RecentLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kDefaultPerSecond = 20;
    explicit RecentLimiter(unsigned per_second = kDefaultPerSecond) : per_second(per_second) {}
    // True when n is a "recent_file" notice held back (counted); false: send it.
    bool Take(const UiNotice& n, Clock::time_point now);
    // True when something is held back and its second is over.
    bool WindowOver(Clock::time_point now) const;
    bool Pending() const { return !held_back.empty(); }
    // The summaries of what was held back; nothing is held afterwards.
    std::vector<UiNotice> TakeSummaries();

private:
    unsigned per_second;
    Clock::time_point window_start{};
    unsigned sent_in_window = 0;
    std::map<uint64_t, uint64_t> held_back;  // session -> notices held back
};

// The kept-open connection to a UI that reads several values per connection. Used by
// the notifier's thread only.
class UiLink {
public:
    // Sends the notices as one write, over the kept connection (opened, with the peer's
    // uid checked, when there is none or the UI closed it). True when sent; false when not (logged).
    [[nodiscard]] bool SendAll(const std::vector<UiNotice>& batch);
    void Close();

private:
    std::unique_ptr<Channel> channel;
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
    static constexpr size_t kBatch = 256;                    // notices taken from the queue at once
    static constexpr std::chrono::milliseconds kGather{10};  // see Run
    // The thread's own: the kept connection and the rate limit of the other mode.
    UiLink link;
    RecentLimiter summaries;
    std::thread thread;  // started by Start, joined by Stop (the daemon's control thread)
};
