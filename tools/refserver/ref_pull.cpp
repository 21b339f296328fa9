// "pull_event" (command 6): the view's changes since the client's sync id, written to
// the channel as they are encoded (never one value in memory), keep-alives while the
// list is built, and the optional "wait": a pull that finds nothing new holds its
// reply, sending keep-alives, until the view changes or the wait ends.
#include <chrono>

#include "ref_connection.h"
#include "wire/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

// Well within the client's 90-second limit for one value.
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);
// The longest wait a client may ask for.
constexpr uint64_t kMaxPullWait = 300;
// Changes stored by another process (test helpers) are seen within this time.
constexpr auto kIndexLookEvery = std::chrono::milliseconds(1000);

}  // namespace

bool RefConnection::ViewReady(uint64_t view) {
    if (m_known_views.count(view)) return true;
    if (m_storage.EnsureView(view) < 0) return false;
    m_known_views.insert(view);
    return true;
}

int RefConnection::SendKeepAlive() {
    PObject ka;
    ka["type"] = "keep_alive";
    return WriteValue(m_channel, ka, {}) == 0 && m_channel.FlushWrite(0) == 0 ? 0 : -1;
}

uint64_t RefConnection::WaitForViewChange(uint64_t view, uint64_t since, uint64_t seconds, bool* broken) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    auto next_alive = Clock::now() + kKeepAliveEvery;
    for (;;) {
        const uint64_t seen = m_storage.ChangeCount();
        const uint64_t now_max = m_storage.MaxSyncId(view);
        const auto now = Clock::now();
        if (now_max != since || now >= until) return now_max;
        if (now >= next_alive) {
            if (SendKeepAlive() != 0) {
                *broken = true;
                return now_max;
            }
            next_alive = now + kKeepAliveEvery;
        }
        const auto slice = std::min({until - now, next_alive - now, Clock::duration(kIndexLookEvery)});
        m_storage.WaitForChange(
            seen, std::chrono::duration_cast<std::chrono::milliseconds>(slice) + std::chrono::milliseconds(1));
    }
}

RefConnection::After RefConnection::HandlePullEvent(const PObject& req, PObject& reply) {
    if (!req["view_id"].isInteger() || !req["sync_id"].isInteger() || !req["path"].isString()) {
        Log("pull_event: view_id, sync_id or path missing");
        Error(reply, REF_ERR_VIEW, "view_id, sync_id and path are required");
        return AFTER_NOTHING;
    }
    PullRequest pull;
    if (req.hasMember("condition") && !ReadPullCondition(req["condition"], &pull.condition)) {
        Log("pull_event: condition refused: %s", req["condition"].toString().c_str_utf8());
        Error(reply, REF_ERR_INTERNAL, "condition must be one of extension, prefix, name or min_size with max_size");
        return AFTER_NOTHING;
    }
    pull.view = req["view_id"].asUInt64();
    const uint64_t since = req["sync_id"].asUInt64();
    // A session of the whole view names it "" (paths are the remote folder plus the
    // event path) or "/".
    pull.root = req["path"].asString().str();
    if (pull.root.empty()) pull.root = "/";
    pull.recursive = req["recursive"].asBool();
    // Pooled connections serve every session, so a pull may name a view other than
    // the one its connection was opened for: views exist from their first use.
    if (!ViewReady(pull.view)) {
        Log("pull_event: view %llu cannot be stored: %s", (unsigned long long)pull.view, m_storage.error().c_str());
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    if (!Storage::IsValidPath(pull.root)) {
        Log("pull_event: bad path");
        Error(reply, REF_ERR_VIEW_PATH, "invalid path");
        return AFTER_NOTHING;
    }
    // The list and next_sync_id describe the same moment: rows added meanwhile come
    // with the next pull.
    pull.upto = m_storage.MaxSyncId(pull.view);
    // A condition pull answers at once; it names paths whatever their age.
    const uint64_t wait =
        pull.condition.kind == PullCondition::NONE ? std::min(req["wait"].asUInt64(), kMaxPullWait) : 0;
    if (wait != 0 && pull.upto == since) {
        bool broken = false;
        pull.upto = WaitForViewChange(pull.view, since, wait, &broken);
        if (broken) {
            Log("pull_event: client gone while waiting");
            return AFTER_CLOSE_NOW;
        }
    }
    // A condition names paths whatever their age: every matching path's latest
    // change, however old; the client's echo test keeps what it already has.
    pull.from = pull.condition.kind == PullCondition::NONE ? since : 0;
    const auto started = Clock::now();
    std::vector<PullEvent> events;
    auto last_alive = Clock::now();
    bool broken = false;
    auto between = [&] {
        if (Clock::now() - last_alive < kKeepAliveEvery) return true;
        last_alive = Clock::now();
        broken = SendKeepAlive() != 0;
        return !broken;
    };
    std::string error;
    if (pull.upto > pull.from && BuildPullList(m_storage, pull, between, &events, &error) != 0) {
        if (broken) {
            Log("pull_event: client gone while the list was built");
            return AFTER_CLOSE_NOW;
        }
        Log("pull_event: storage failure: %s", error.c_str());
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    if (WritePullReply(events, pull.upto) != 0) {
        Log("pull_event: reply could not be sent, closing");
        return AFTER_CLOSE_NOW;
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    Log("pull_event: view %llu since %llu%s%s: %zu events, next %llu (%lld ms)", (unsigned long long)pull.view,
        (unsigned long long)since, pull.condition.Describe().c_str(), wait ? " (waited)" : "", events.size(),
        (unsigned long long)pull.upto, (long long)took);
    return AFTER_SENT;
}

// {"alive", "event_list", "next_sync_id"}, keys in the order the value encoding sorts
// them, each event encoded and written as the list is walked.
int RefConnection::WritePullReply(const std::vector<PullEvent>& events, uint64_t next) {
    for (unsigned i = 0; i < m_opts.keepalive; ++i)
        if (SendKeepAlive() != 0) return -1;
    Channel& ch = m_channel;
    if (ch.WriteByte(PStream::TAG_MAP) || WriteValue(ch, PObject("alive"), {}) ||
        WriteValue(ch, PObject(m_opts.alive), {}) || WriteValue(ch, PObject("event_list"), {}) ||
        ch.WriteByte(PStream::TAG_ARRAY))
        return -1;
    std::map<std::string, std::string> raw;
    for (const PullEvent& ev : events) {
        const ChangeRow& r = ev.row;
        PObject e;
        e["is_removed"] = (uint64_t)(r.is_removed ? 1 : 0);
        e["is_dir"] = (uint64_t)(r.is_dir ? 1 : 0);
        e["sync_id"] = r.sync_id;
        if (r.is_dir) e["max_id"] = ev.max_id;
        raw.clear();
        if (ev.rel.find('\0') != std::string::npos) {
            // The value type cuts texts at a zero byte; send this one as it is stored.
            raw["@raw-text@"] = ev.rel;
            e["path"] = "@raw-text@";
        } else {
            e["path"] = ustring(ev.rel);
        }
        if (!r.is_dir && !r.is_removed) {
            e["file"]["hash"] = ustring(r.hash);
            e["file"]["size"] = r.size;
        }
        e["common_attribute"]["mtime"] = r.mtime;
        if (!r.mac_hash.empty()) e["mac_attribute"]["hash"] = ustring(r.mac_hash);
        if (r.exec_bit) e["exec_bit"] = (uint64_t)1;
        if (WriteValue(ch, e, raw) != 0) return -1;
    }
    if (ch.WriteByte(PStream::TAG_END) || WriteValue(ch, PObject("next_sync_id"), {}) ||
        WriteValue(ch, PObject(next), {}) || ch.WriteByte(PStream::TAG_END))
        return -1;
    return ch.FlushWrite(0) == 0 ? 0 : -1;
}
