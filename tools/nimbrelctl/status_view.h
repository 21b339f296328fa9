// What "nimbrelctl status" and "nimbrelctl watch" show: a get_status reply (as JSON)
// turned into a short table, and a running view of each session's progress that also
// takes in the daemon's notifications. No I/O here: the callers print.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace nimbrelctl {

// "1.5 MiB": bytes in binary units, one decimal from KiB up.
std::string HumanBytes(uint64_t bytes);

// Text from the daemon (paths come from the server) made safe for a terminal: control
// characters become '?', so a name cannot move the cursor or change colours.
std::string Printable(const std::string& text);

// A daemon result code (negative) as a sentence a person understands.
std::string ErrorSentence(int64_t code);

// The get_status reply as a few lines of text, each ending in a newline: sessions,
// connection, transfers. Members that are missing or of the wrong type are shown as
// absent, never fatal.
std::string StatusTable(const nlohmann::json& reply);

// One file a worker is moving.
struct Transfer {
    std::string path;
    std::string direction;  // "uploading" or "downloading"
    uint64_t progress = 0;
    uint64_t total_size = 0;
};

// What watch knows of one session.
struct SessionView {
    uint64_t session_id = 0;
    std::string status;        // from get_status: "syncing", "uptodate"
    std::string state;         // from get_status when the daemon tells: "paused", "waiting", ...
    std::string local_path;    // the folder, when the daemon tells
    uint64_t files_to_go = 0;  // pending events
    uint64_t bytes_to_go = 0;  // left of the whole queue when queue_known, else of the files being moved now
    double rate = 0;           // bytes per second: the daemon's, else moved since the previous poll
    bool queue_known = false;  // the daemon counts the bytes of its whole queue
    std::vector<Transfer> transfers;
    uint64_t files_done = 0;  // "recent_file" notifications seen
    std::string last_file;    // path of the latest "recent_file"
    int64_t last_error = 0;   // "error_type" of the latest session error, 0 for none
};

class WatchView {
public:
    // Takes one get_status reply, polled at now (seconds, any monotonic origin).
    void Update(const nlohmann::json& reply, double now);
    // Takes one notification ("recent_file", "error", ...); others are ignored.
    void Notify(const nlohmann::json& note);

    const std::map<uint64_t, SessionView>& sessions() const { return views; }
    const std::string& connection() const { return connection_status; }

    // One line per session without newlines, cut to width columns (0: no limit).
    std::vector<std::string> Lines(size_t width) const;
    // The whole state as one JSON object (one line of watch's JSON mode).
    nlohmann::json ToJson() const;

private:
    std::map<uint64_t, SessionView> views;
    std::string connection_status;  // "connected", "disconnected", "" without a pool
    uint64_t silent_seconds = 0;    // how long the server has not responded; 0 while it does
    // Progress last seen per (session, direction, path), for the rate.
    std::map<std::string, uint64_t> last_progress;
    double last_time = -1;
};

}  // namespace nimbrelctl
