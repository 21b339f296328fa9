#include "events/session_health.h"

#include <algorithm>

SessionHealth& SessionHealth::getInstance() {
    static SessionHealth instance;
    return instance;
}

void SessionHealth::NotePulled(uint64_t sess_id) {
    MutexLock l(lock);
    State& s = sessions[sess_id];
    s.pulled = true;
    s.last_error = 0;
    s.last_error_since = 0;
}

void SessionHealth::NoteError(uint64_t sess_id, int code) {
    MutexLock l(lock);
    State& s = sessions[sess_id];
    if (s.last_error != code) s.last_error_since = std::time(nullptr);
    s.last_error = code;
}

void SessionHealth::NoteItemFailed(uint64_t sess_id, const ustring& path, int code) {
    MutexLock l(lock);
    auto& failing = sessions[sess_id].failing;
    auto it = failing.find(path);
    if (it == failing.end()) {
        if (failing.size() >= kMaxItems) {
            auto oldest = std::min_element(failing.begin(), failing.end(), [](const auto& a, const auto& b) {
                return a.second.since < b.second.since;
            });
            failing.erase(oldest);
        }
        it = failing.emplace(path, Item{path, code, std::time(nullptr), 0}).first;
    }
    it->second.code = code;
    ++it->second.count;
}

void SessionHealth::NoteItemDone(uint64_t sess_id, const ustring& path) {
    MutexLock l(lock);
    auto it = sessions.find(sess_id);
    if (it != sessions.end()) it->second.failing.erase(path);
}

double SessionHealth::NoteMoved(uint64_t sess_id, uint64_t moved, double now) {
    MutexLock l(lock);
    State& s = sessions[sess_id];
    if (s.sample_at < 0 || moved < s.sample_moved) {
        s.sample_moved = moved;
        s.sample_at = s.last_move_at = now;
        s.rate = 0;
        return 0;
    }
    const double dt = now - s.sample_at;
    if (dt < 1) return s.rate;
    const double r = static_cast<double>(moved - s.sample_moved) / dt;
    if (moved != s.sample_moved) s.last_move_at = now;
    // Half the last rate, half the new one: steady, yet a stall shows within seconds.
    s.rate = now - s.last_move_at >= kRateIdle ? 0 : (s.rate == 0 ? r : (s.rate + r) / 2);
    s.sample_moved = moved;
    s.sample_at = now;
    return s.rate;
}

SessionHealth::Snapshot SessionHealth::Get(uint64_t sess_id) {
    MutexLock l(lock);
    Snapshot out;
    auto it = sessions.find(sess_id);
    if (it == sessions.end()) return out;
    out.pulled = it->second.pulled;
    out.last_error = it->second.last_error;
    out.last_error_since = it->second.last_error_since;
    for (const auto& [path, item] : it->second.failing) out.failing.push_back(item);
    return out;
}

void SessionHealth::Forget(uint64_t sess_id) {
    MutexLock l(lock);
    sessions.erase(sess_id);
}

void SessionHealth::Clear() {
    MutexLock l(lock);
    sessions.clear();
}
