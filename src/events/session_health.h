// SessionHealth: what the daemon knows of each session beyond its queue, for the status
// it reports: whether the server puller has completed a pass over it, its last error
// with the time it first appeared, and the items that keep failing. Filled where the
// UI is told of errors and finished files (ui_ipc.cpp) and by the server puller; read
// by "get_status". Process-wide, one lock; never held while anything else is locked.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

class SessionHealth {
public:
    // One item that failed, with the error code of its latest failure.
    struct Item {
        ustring path;
        int code = 0;
        std::time_t since = 0;  // first failure in the current run of failures
        unsigned count = 0;     // failures since then
    };
    struct Snapshot {
        bool pulled = false;  // a pull of the session completed at least once
        int last_error = 0;   // 0: none since the last completed pull
        std::time_t last_error_since = 0;
        std::vector<Item> failing;  // by path
    };

    static SessionHealth& getInstance();

    // A pull of the session completed (its events done, its sync id stored or found
    // current): the session has seen the server, and its session error is over.
    void NotePulled(uint64_t sess_id) EXCLUDES(lock);
    // A session error (a negative result code). The time is kept from its first report
    // until another code or a completed pull.
    void NoteError(uint64_t sess_id, int code) EXCLUDES(lock);
    // An item failed, or was finished (which ends its run of failures).
    void NoteItemFailed(uint64_t sess_id, const ustring& path, int code) EXCLUDES(lock);
    void NoteItemDone(uint64_t sess_id, const ustring& path) EXCLUDES(lock);
    // The session's transfer rate in bytes per second. moved: the bytes it has moved so
    // far (a total that only grows; a smaller one starts over), sampled at now (seconds
    // on a steady clock). Smoothed over samples at least a second apart; 0 until a
    // second sample, and when nothing moved for kRateIdle seconds.
    double NoteMoved(uint64_t sess_id, uint64_t moved, double now) EXCLUDES(lock);
    static constexpr double kRateIdle = 30;
    // A copy of what is known; a session never noted gives an empty snapshot.
    Snapshot Get(uint64_t sess_id) EXCLUDES(lock);
    // The session is gone (removed, or the daemon unlinked): nothing of it is kept.
    void Forget(uint64_t sess_id) EXCLUDES(lock);
    void Clear() EXCLUDES(lock);

    // At most this many failing items are kept per session; the oldest go first.
    static constexpr size_t kMaxItems = 100;

private:
    SessionHealth() = default;
    struct State {
        bool pulled = false;
        int last_error = 0;
        std::time_t last_error_since = 0;
        std::map<ustring, Item> failing;
        uint64_t sample_moved = 0;
        double sample_at = -1;  // no sample yet
        double last_move_at = 0;
        double rate = 0;
    };
    Mutex lock;
    std::map<uint64_t, State> sessions GUARDED_BY(lock);
};
