// Two real nimbreld, each with its own folder and home, linked to one
// nimbrel-refserver and the same view; snapshots of both folders and of the server's
// view as path -> MD4, and a bounded wait until all three agree.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delta/simple_file_reader.h"
#include "e2e/e2e_support.h"
#include "e2e/refserver_harness.h"

namespace e2e {

// Relative path -> MD4 hex of the content, or kDirMark for a folder.
using Tree = std::map<std::string, std::string>;
inline const char* const kDirMark = "<dir>";
inline const uint64_t kView = 1;

// Bytes that do not repeat, so that no block of one part matches another.
inline std::string Noise(size_t size, uint64_t seed) {
    std::string s(size, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(&s[i], &x, std::min<size_t>(8, size - i));
    }
    return s;
}

inline std::string Md4OfFile(const std::string& path) {
    ustring out;
    SimpleFileReader r;
    r.setFile(path);
    r.setHashString(out);
    return r.readFile() == DeltaResult::kDone ? out.str() : "<unreadable>";
}

// Every entry below root except the daemon's working directory.
inline Tree LocalTree(const std::string& root) {
    namespace fs = std::filesystem;
    Tree tree;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), root, ec).string();
        if (rel == ".VarnelWorkingDirectory") {
            it.disable_recursion_pending();
            continue;
        }
        tree[rel] = it->is_directory(ec) ? kDirMark : Md4OfFile(it->path().string());
    }
    return tree;
}

// The view as the server holds it: the latest change per path, removals left out. A
// file's value is the MD4 of its stored blob, so a blob that does not match its
// recorded hash shows as a difference. false when the index could not be read.
inline bool ServerTree(const RefServer& server, Tree& tree) {
    tree.clear();
    const std::string root = server.data_root().string();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((root + "/index.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 10000);
    const char* sql =
        "SELECT path, is_dir, is_removed, hash FROM changes c WHERE view_id = ?1 AND sync_id = "
        "(SELECT MAX(sync_id) FROM changes WHERE view_id = ?1 AND path = c.path)";
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK;
    if (ok) sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(kView));
    int rc = SQLITE_DONE;
    while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        std::string path = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (path == "/" || sqlite3_column_int(st, 2) != 0) continue;
        const char* hash = reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
        tree[path.substr(1)] =
            sqlite3_column_int(st, 1) != 0 ? kDirMark : Md4OfFile(root + "/blobs/" + (hash ? hash : ""));
    }
    ok = ok && rc == SQLITE_DONE;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return ok;
}

inline std::string Describe(const Tree& tree) {
    std::string s;
    for (const auto& [path, hash] : tree) s += "  " + path + " " + hash + "\n";
    return s;
}

// One daemon acting as its own UI: it links to the server and synchronises its folder
// with the view. Notifications are accepted and dropped, so that they never pile up,
// unless keep_notices is set before Start: then each is read and kept for Notices().
class Client {
public:
    // extra_config: lines added to the daemon's configuration.
    explicit Client(std::string name, const std::string& extra_config = "") : computer(std::move(name)) {
        if (!extra_config.empty()) daemon = std::make_unique<Daemon>(3, extra_config);
        sync = daemon->dir.file("sync");
        config = daemon->dir.file("session");
        mkdir(sync.c_str(), 0755);
        mkdir(config.c_str(), 0755);
        mkdir((config + "/conf").c_str(), 0755);
        WriteFile(config + "/conf/blacklist.filter", "[Version]\nmajor = 1\nminor = 0\n");
        WriteFile(config + "/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"*\"\n");
    }
    ~Client() { StopDrain(); }

    std::string path(const std::string& rel) const { return sync + "/" + rel; }

    // Starts (or starts again) the daemon, links it and lets its session run; the
    // databases of an earlier run are kept. An empty text on success, else what failed.
    std::string Start(const RefServer& server) {
        StopDrain();
        if (!daemon->Start()) return "nimbreld did not start";
        StartDrain();
        std::string failed;
        auto send = [&](const PObject& r) {
            PObject reply = daemon->Send(r);
            if (failed.empty() && (reply.hasMember("error") || reply.hasMember("transport_failure")))
                failed = r["action"].asString().str() + ": " + reply.toString().c_str_utf8();
        };
        send(Action("link"));
        PObject link = Action("link_connection");
        link["connection_id"] = static_cast<uint64_t>(1);
        link["server_ip"] = "127.0.0.1";
        link["server_port"] = static_cast<uint64_t>(server.port());
        link["session"] = "demo";
        link["computer_name"] = computer;
        link["use_ssl"] = static_cast<uint64_t>(1);
        link["ssl_fingerprint"] = server.fingerprint();
        send(link);
        PObject add = Action("add_session");
        add["connection_id"] = static_cast<uint64_t>(1);
        add["session_id"] = static_cast<uint64_t>(1);
        add["view_id"] = kView;
        add["config_path"] = config;
        add["sync_folder"] = sync;
        send(add);
        PObject resume = Action("resume");
        resume["session_id"] = static_cast<uint64_t>(1);
        send(resume);
        return failed;
    }

    // Ends the daemon at once, as a crash or power cut would.
    void Kill() {
        daemon->process->Signal(SIGKILL);
        daemon->process->Wait(60);
        StopDrain();
        delete daemon->process;
        daemon->process = nullptr;
    }

    // Its session reports nothing pending and no worker is busy.
    bool Idle() {
        PObject status = daemon->Send("get_status");
        if (!status.hasMember("session_list") || status.hasMember("worker_list")) return false;
        for (const PObject& s : status["session_list"].asArray())
            if (s["status"].asString() != "uptodate") return false;
        return true;
    }

    // Whether a worker is transferring a file now (bytes sent so far above zero).
    bool Transferring() {
        PObject status = daemon->Send("get_status");
        if (!status.hasMember("worker_list")) return false;
        for (const PObject& w : status["worker_list"].asArray())
            if (w["progress"].asUInt64() > 0) return true;
        return false;
    }

    // Every notification received so far, in the order of arrival (keep_notices).
    std::vector<PObject> Notices() {
        std::lock_guard<std::mutex> l(notices_lock);
        return notices;
    }
    // How many "error" notices with this session id and code have arrived (keep_notices).
    int SessionErrors(uint64_t session_id, int code) {
        std::lock_guard<std::mutex> l(notices_lock);
        int n = 0;
        for (const PObject& v : notices)
            n += v["notify"].asString() == "error" && v.hasMember("session_id") &&
                 v["session_id"].asUInt64() == session_id && v["error_type"].asInt32() == code;
        return n;
    }

    std::unique_ptr<Daemon> daemon = std::make_unique<Daemon>();
    std::string computer, sync, config;
    bool keep_notices = false;

private:
    void StartDrain() {
        draining = true;
        drain = std::thread([this] {
            while (draining) {
                if (keep_notices) {
                    PObject notice;
                    if (daemon->ui.Receive(notice, 0.1)) {
                        std::lock_guard<std::mutex> l(notices_lock);
                        notices.push_back(notice);
                    }
                    continue;
                }
                int fd = daemon->ui.Accept(0.1);
                if (fd >= 0) close(fd);
            }
        });
    }
    void StopDrain() {
        draining = false;
        if (drain.joinable()) drain.join();
        // What an earlier run left in the queue would be read as the next announcement.
        for (int fd; (fd = daemon->ui.Accept(0)) >= 0;) close(fd);
    }

    std::atomic<bool> draining{false};
    std::thread drain;
    std::mutex notices_lock;
    std::vector<PObject> notices;
};

// Polls until both clients are idle and their folders and the server's view hold the
// same entries with the same content, twice in a row. false after seconds, with the
// three trees in why. Paths for which local_only holds (names that cannot be
// synchronised, and what they keep on the server) are left out of the comparison.
inline bool Converge(Client& a, Client& b, const RefServer& server, double seconds, std::string& why,
                     const std::function<bool(const std::string&)>& local_only = nullptr) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int agreed = 0;
    Tree ta, tb, ts;
    auto kept = [&](Tree& t) {
        if (local_only) std::erase_if(t, [&](const auto& entry) { return local_only(entry.first); });
        return t;
    };
    for (;;) {
        bool same = a.Idle() && b.Idle();
        if (same) {
            ta = LocalTree(a.sync);
            tb = LocalTree(b.sync);
            same = ServerTree(server, ts) && kept(ta) == kept(tb) && ta == kept(ts);
        }
        agreed = same ? agreed + 1 : 0;
        if (agreed >= 2) return true;
        if (std::chrono::steady_clock::now() > until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ta = LocalTree(a.sync);
    tb = LocalTree(b.sync);
    ServerTree(server, ts);
    why = "idle " + std::to_string(a.Idle()) + "/" + std::to_string(b.Idle()) + "\n" + a.computer + ":\n" +
          Describe(ta) + b.computer + ":\n" + Describe(tb) + "server:\n" + Describe(ts);
    return false;
}

}  // namespace e2e
