#include "status_view.h"

#include <cstdio>
#include <ctime>
#include <set>

namespace nimbrelctl {
namespace {

using json = nlohmann::json;

// A member of a map, or null when the value is not a map or lacks it.
const json& Member(const json& object, const char* key) {
    static const json kNull;
    if (!object.is_object()) return kNull;
    auto it = object.find(key);
    return it == object.end() ? kNull : *it;
}

// A non-negative integer member, else 0.
uint64_t UInt(const json& object, const char* key) {
    const json& v = Member(object, key);
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    return v.is_number_integer() && v.get<int64_t>() >= 0 ? static_cast<uint64_t>(v.get<int64_t>()) : 0;
}

bool HasUInt(const json& object, const char* key) {
    const json& v = Member(object, key);
    return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

std::string Text(const json& object, const char* key) {
    const json& v = Member(object, key);
    return v.is_string() ? v.get<std::string>() : std::string();
}

// The items of a list member that are maps (a missing list is an empty one).
std::vector<json> Items(const json& reply, const char* key) {
    std::vector<json> out;
    const json& list = Member(reply, key);
    if (!list.is_array()) return out;
    for (const json& item : list) {
        if (item.is_object()) out.push_back(item);
    }
    return out;
}

std::string Percent(uint64_t done, uint64_t total) {
    if (total == 0) return "0%";
    const uint64_t p = done >= total ? 100 : done * 100 / total;
    return std::to_string(p) + "%";
}

std::string StatusWord(const std::string& status) {
    if (status == "uptodate") return "up to date";
    if (status == "waiting") return "waiting for its folder (missing or not mounted)";
    if (status == "unadded") return "not synchronised (see nimbrelctl list)";
    if (status == "incomplete") return "not everything synchronised (see below)";
    if (status == "not_responding") return "the server is not responding";
    return status.empty() ? std::string("unknown") : Printable(status);
}

// "3m20s": a duration as a person reads it.
std::string Duration(uint64_t seconds) {
    char buf[32];
    if (seconds < 60)
        snprintf(buf, sizeof buf, "%llus", static_cast<unsigned long long>(seconds));
    else if (seconds < 3600)
        snprintf(buf, sizeof buf, "%llum%02llus", static_cast<unsigned long long>(seconds / 60),
                 static_cast<unsigned long long>(seconds % 60));
    else
        snprintf(buf, sizeof buf, "%lluh%02llum", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned long long>(seconds / 60 % 60));
    return buf;
}

// ", 3 files, 1.5 MiB to go, 200.0 KiB/s, ETA 8s": what is left of a session's queue;
// empty when nothing is. The bytes count the transfers whose size is known.
std::string ToGo(uint64_t files, uint64_t bytes, double rate) {
    if (files == 0 && bytes == 0) return "";
    std::string out = ", " + std::to_string(files) + (files == 1 ? " file" : " files");
    if (bytes > 0) out += ", " + HumanBytes(bytes);
    out += " to go";
    if (rate >= 1) {
        out += ", " + HumanBytes(static_cast<uint64_t>(rate)) + "/s";
        if (bytes > 0) out += ", ETA " + Duration(static_cast<uint64_t>(static_cast<double>(bytes) / rate + 0.5));
    }
    return out;
}

// The connection as words: its status, and how long the server has been silent.
std::string ConnectionWords(const std::string& status, uint64_t silent_seconds) {
    std::string out = StatusWord(status);
    if (silent_seconds > 0) out += ", the server is not responding (silent for " + Duration(silent_seconds) + ")";
    return out;
}

std::string Clock(uint64_t epoch) {
    const time_t t = static_cast<time_t>(epoch);
    struct tm local;
    char buf[32];
    if (localtime_r(&t, &local) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local) == 0) return "?";
    return buf;
}

// A session of a daemon that tells its folders and states: the folder line, then its
// last error and the items that keep failing, indented.
std::string FolderLines(const json& s) {
    std::string out = "folder " + std::to_string(UInt(s, "session_id")) + "  " + Printable(Text(s, "local_path")) +
                      ": " + StatusWord(Text(s, "state"));
    out += ToGo(UInt(s, "unfinished_files"), UInt(s, "bytes_to_go"), static_cast<double>(UInt(s, "bytes_per_second")));
    out += "\n";
    const std::string waiting_for = Text(s, "waiting_for");
    if (!waiting_for.empty()) out += "    " + Printable(waiting_for) + "\n";
    if (HasUInt(s, "last_error")) {
        out += "    since " + Clock(UInt(s, "last_error_since")) + ": " +
               ErrorSentence(static_cast<int64_t>(UInt(s, "last_error"))) + "\n";
    }
    for (const json& n : Items(s, "not_synchronised")) {
        out += "    not synchronised: " + Printable(Text(n, "path")) + " (" + Printable(Text(n, "reason")) + ")\n";
    }
    const size_t listed = Items(s, "not_synchronised").size();
    if (UInt(s, "not_synchronised_count") > listed)
        out += "    ... and " + std::to_string(UInt(s, "not_synchronised_count") - listed) + " more not synchronised\n";
    for (const json& f : Items(s, "failing")) {
        out += "    cannot synchronise " + Printable(Text(f, "path")) + ": " +
               ErrorSentence(static_cast<int64_t>(UInt(f, "error"))) + " (since " + Clock(UInt(f, "since")) + ", " +
               std::to_string(UInt(f, "count")) + (UInt(f, "count") == 1 ? " try)\n" : " tries)\n");
    }
    return out;
}

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// Cuts at width bytes without splitting a UTF-8 sequence.
std::string Cut(const std::string& text, size_t width) {
    if (width == 0 || text.size() <= width) return text;
    size_t end = width;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// The daemon's error codes are signed 32-bit values sign-extended into the value type.
int64_t SignedCode(const json& note) { return static_cast<int64_t>(UInt(note, "error_type")); }

}  // namespace

std::string ErrorSentence(int64_t code) {
    switch (static_cast<int32_t>(code)) {
        case -1:
            return "interrupted";
        case -2:
            return "the connection to the server failed";
        case -3:
            return "a local operation failed (see the daemon's log)";
        case -5:
            return "the server answered something this client does not understand";
        case -6:
            return "the server refused the account";
        case -7:
            return "the server reported an error";
        case -9:
            return "the server does not answer";
        case -10:
            return "the server's version is not supported";
        case -15:
            return "the account's quota on the server is used up";
        case -16:
            return "the server's disk is full";
        case -17:
            return "the folder is missing or not mounted";
        case -18:
            return "the view is missing on the server";
        case -19:
            return "the server refused: no permission";
        case -20:
            return "the remote path is missing on the server";
        case -22:
            return "the local disk is full";
        case -23:
            return "the file is in use or cannot be written here (permissions)";
        default:
            return "error " + std::to_string(static_cast<int32_t>(code));
    }
}

std::string HumanBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024;
        ++unit;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[unit]);
    return buf;
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char u = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (u < 0x20 || u == 0x7F) {
            out += '?';
        } else if (u == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080..U+009F: the C1 controls, CSI among them.
            out += '?';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string StatusTable(const json& reply) {
    std::string out;
    const std::vector<json> sessions = Items(reply, "session_list");
    const bool with_folders = !sessions.empty() && Member(sessions.front(), "state").is_string();
    if (sessions.empty()) {
        out += "no sessions\n";
    } else if (with_folders) {
        for (const json& s : sessions) out += FolderLines(s);
    } else {
        out += "SESSION  STATUS      FILES TO GO\n";
        for (const json& s : sessions) {
            out += Pad(std::to_string(UInt(s, "session_id")), 9) + Pad(StatusWord(Text(s, "status")), 12) +
                   std::to_string(UInt(s, "unfinished_files")) + "\n";
        }
    }
    const std::vector<json> connections = Items(reply, "connection_list");
    if (connections.empty()) {
        out += "no connection\n";
    } else {
        for (const json& c : connections) {
            out += "connection " + std::to_string(UInt(c, "connection_id")) + ": " +
                   ConnectionWords(Text(c, "status"), UInt(c, "silent_seconds")) + "\n";
        }
    }
    for (const json& w : Items(reply, "worker_list")) {
        const uint64_t done = UInt(w, "progress"), total = UInt(w, "total_size");
        out += "session " + std::to_string(UInt(w, "session_id")) + " " + StatusWord(Text(w, "status")) + " " +
               Printable(Text(w, "path")) + ": " + HumanBytes(done) + " of " + HumanBytes(total) + " (" +
               Percent(done, total) + ")\n";
    }
    const std::string error = Text(reply, "error");
    if (!error.empty()) out += "error: " + Printable(error) + "\n";
    return out;
}

void WatchView::Update(const json& reply, double now) {
    const double elapsed = last_time < 0 ? 0 : now - last_time;
    last_time = now;

    std::set<uint64_t> listed;
    for (const json& s : Items(reply, "session_list")) {
        const uint64_t id = UInt(s, "session_id");
        listed.insert(id);
        SessionView& v = views[id];
        v.session_id = id;
        v.status = Text(s, "status");
        v.state = Text(s, "state");
        v.local_path = Text(s, "local_path");
        v.files_to_go = UInt(s, "unfinished_files");
        // A daemon that counts the whole queue says so; else the transfers' rest is summed.
        v.queue_known = HasUInt(s, "bytes_to_go");
        v.bytes_to_go = UInt(s, "bytes_to_go");
        v.rate = static_cast<double>(UInt(s, "bytes_per_second"));
        v.transfers.clear();
    }
    // Removed sessions go, with whatever the notifications told of them.
    for (auto it = views.begin(); it != views.end();) {
        it = listed.count(it->first) ? std::next(it) : views.erase(it);
    }

    std::map<uint64_t, uint64_t> moved;
    std::map<std::string, uint64_t> progress_now;
    for (const json& w : Items(reply, "worker_list")) {
        const uint64_t id = UInt(w, "session_id");
        auto it = views.find(id);
        if (it == views.end()) continue;
        Transfer t{Text(w, "path"), Text(w, "status"), UInt(w, "progress"), UInt(w, "total_size")};
        if (!it->second.queue_known && t.total_size > t.progress) it->second.bytes_to_go += t.total_size - t.progress;
        // A file seen before counts what it gained since; a new one all it has done.
        const std::string key = std::to_string(id) + '\n' + t.direction + '\n' + t.path;
        auto prev = last_progress.find(key);
        const uint64_t before = prev != last_progress.end() && prev->second <= t.progress ? prev->second : 0;
        moved[id] += t.progress - before;
        progress_now[key] = t.progress;
        it->second.transfers.push_back(std::move(t));
    }
    last_progress.swap(progress_now);

    for (auto& [id, v] : views) {
        if (!v.queue_known) v.rate = elapsed > 0 ? static_cast<double>(moved[id]) / elapsed : 0;
    }

    const std::vector<json> connections = Items(reply, "connection_list");
    connection_status = connections.empty() ? std::string() : Text(connections.front(), "status");
    silent_seconds = connections.empty() ? 0 : UInt(connections.front(), "silent_seconds");
}

void WatchView::Notify(const json& note) {
    const std::string kind = Text(note, "notify");
    if (!HasUInt(note, "session_id")) {
        if (kind == "error" && HasUInt(note, "connection_id")) {
            connection_status = "error " + std::to_string(SignedCode(note));
        }
        return;
    }
    SessionView& v = views[UInt(note, "session_id")];
    v.session_id = UInt(note, "session_id");
    if (kind == "recent_file") {
        ++v.files_done;
        v.last_file = Text(note, "path");
        v.last_error = 0;
    } else if (kind == "error") {
        v.last_error = SignedCode(note);
    } else if (kind == "locked_file") {
        v.last_error = static_cast<int64_t>(UInt(Member(note, "error"), "code"));
    }
}

std::vector<std::string> WatchView::Lines(size_t width) const {
    std::vector<std::string> lines;
    const std::string connection = connection_status.empty()
                                       ? std::string("no connection")
                                       : "connection " + ConnectionWords(connection_status, silent_seconds);
    if (views.empty()) {
        lines.push_back(Cut("no sessions, " + connection, width));
        return lines;
    }
    for (const auto& [id, v] : views) {
        std::string line = v.local_path.empty() ? "session " + std::to_string(id) : Printable(v.local_path);
        line += ": " + StatusWord(v.state.empty() ? v.status : v.state);
        line += ToGo(v.files_to_go, v.bytes_to_go, v.rate);
        if (!v.transfers.empty()) {
            const Transfer& t = v.transfers.front();
            line += ", " + Printable(t.direction) + " " + Printable(t.path) + " " + Percent(t.progress, t.total_size);
            if (v.transfers.size() > 1) line += " (+" + std::to_string(v.transfers.size() - 1) + " more)";
        } else if (!v.last_file.empty()) {
            line += ", last " + Printable(v.last_file);
        }
        if (v.files_done > 0) line += ", " + std::to_string(v.files_done) + " done";
        if (v.last_error != 0) {
            line += v.state.empty() ? ", error " + std::to_string(v.last_error) : ", " + ErrorSentence(v.last_error);
        }
        if (connection_status != "connected" || silent_seconds > 0) line += " (" + connection + ")";
        lines.push_back(Cut(line, width));
    }
    return lines;
}

json WatchView::ToJson() const {
    json sessions = json::array();
    for (const auto& [id, v] : views) {
        json transfers = json::array();
        for (const Transfer& t : v.transfers) {
            transfers.push_back(
                {{"path", t.path}, {"status", t.direction}, {"progress", t.progress}, {"total_size", t.total_size}});
        }
        sessions.push_back({{"session_id", id},
                            {"status", v.status},
                            {"files_to_go", v.files_to_go},
                            {"bytes_to_go", v.bytes_to_go},
                            {"rate", static_cast<uint64_t>(v.rate)},
                            {"transfers", transfers},
                            {"files_done", v.files_done},
                            {"last_file", v.last_file},
                            {"last_error", v.last_error}});
        // What a daemon that tells folders and states adds.
        if (!v.state.empty()) sessions.back()["state"] = v.state;
        if (!v.local_path.empty()) sessions.back()["local_path"] = v.local_path;
    }
    json out = {{"connection", connection_status}, {"sessions", sessions}};
    if (silent_seconds > 0) out["silent_seconds"] = silent_seconds;
    return out;
}

}  // namespace nimbrelctl
