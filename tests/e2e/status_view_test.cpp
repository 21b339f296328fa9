// What "nimbrelctl status" and "nimbrelctl watch" make of canned get_status replies
// and notifications.
#include "status_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nimbrelctl::WatchView;
using nlohmann::json;

namespace {

// A get_status reply with one connection and the given sessions and workers. Lists
// are made with json::array: a braced single element is an array to g++ but the
// element itself to clang.
json Reply(json sessions, json workers = nullptr) {
    json r = {{"ack", "ok"}, {"connection_list", json::array({{{"connection_id", 1}, {"status", "connected"}}})}};
    if (!sessions.is_null()) r["session_list"] = std::move(sessions);
    if (!workers.is_null()) r["worker_list"] = std::move(workers);
    return r;
}

json Session(uint64_t id, const char* status, uint64_t pending) {
    return {{"session_id", id}, {"status", status}, {"unfinished_files", pending}};
}

json Worker(uint64_t id, const std::string& path, const char* status, uint64_t progress, uint64_t total) {
    return {{"session_id", id}, {"path", path}, {"status", status}, {"progress", progress}, {"total_size", total}};
}

}  // namespace

TEST(StatusView, HumanBytes) {
    const std::pair<uint64_t, const char*> cases[] = {{0, "0 B"},
                                                      {1023, "1023 B"},
                                                      {1024, "1.0 KiB"},
                                                      {1536 * 1024, "1.5 MiB"},
                                                      {5ULL << 30, "5.0 GiB"},
                                                      {UINT64_MAX, "16.0 EiB"}};
    for (const auto& [bytes, text] : cases) EXPECT_EQ(nimbrelctl::HumanBytes(bytes), text) << bytes;
}

TEST(StatusView, TableFromCannedReplies) {
    const struct {
        const char* name;
        json reply;
        std::string table;
    } cases[] = {
        {"idle daemon", {{"ack", "ok"}}, "no sessions\nno connection\n"},
        {"two sessions, one transfer",
         Reply(json::array({Session(1, "uptodate", 0), Session(12, "syncing", 3)}),
               json::array({Worker(12, "/photos/a.jpg", "uploading", 512 * 1024, 2 * 1024 * 1024)})),
         "SESSION  STATUS      FILES TO GO\n"
         "1        up to date  0\n"
         "12       syncing     3\n"
         "connection 1: connected\n"
         "session 12 uploading /photos/a.jpg: 512.0 KiB of 2.0 MiB (25%)\n"},
        // A server may send any name: escape sequences must not reach the terminal.
        {"hostile path and wrong types",
         {{"session_list", json::array({{{"session_id", "x"}, {"status", 7}}, "not a map"})},
          {"worker_list", json::array({Worker(1,
                                              "/a\x1b[2J\rb\xc2\x9b"
                                              "1m\xc3\xa9",
                                              "downloading", 9, 0)})},
          {"error", "bad\nthing"}},
         "SESSION  STATUS      FILES TO GO\n"
         "0        unknown     0\n"
         "no connection\n"
         "session 1 downloading /a?[2J?b?1m\xc3\xa9: 9 B of 0 B (0%)\n"
         "error: bad?thing\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(nimbrelctl::StatusTable(c.reply), c.table) << c.name;
}

// A daemon that counts its whole queue and watches the server: both views use its
// numbers, not their own guesses from the transfers in flight.
TEST(StatusView, QueueBytesEtaAndSilentServer) {
    const json reply = {
        {"session_list", json::array({{{"session_id", 3},
                                       {"status", "syncing"},
                                       {"unfinished_files", 2},
                                       {"state", "not_responding"},
                                       {"local_path", "/home/u/A"},
                                       {"bytes_to_go", 300 << 20},
                                       {"bytes_per_second", 1 << 20},
                                       {"not_synchronised", json::array({{{"path", "/p"}, {"reason", "a FIFO"}}})},
                                       {"not_synchronised_count", 3}}})},
        {"connection_list", json::array({{{"connection_id", 1}, {"status", "connected"}, {"silent_seconds", 75}}})},
        {"worker_list", json::array({Worker(3, "/big", "uploading", 1, 2)})}};
    EXPECT_EQ(nimbrelctl::StatusTable(reply),
              "folder 3  /home/u/A: the server is not responding, 2 files, 300.0 MiB to go, 1.0 MiB/s, ETA 5m00s\n"
              "    not synchronised: /p (a FIFO)\n"
              "    ... and 2 more not synchronised\n"
              "connection 1: connected, the server is not responding (silent for 1m15s)\n"
              "session 3 uploading /big: 1 B of 2 B (50%)\n");
    WatchView view;
    view.Update(reply, 0);
    EXPECT_EQ(view.Lines(0), std::vector<std::string>{
                                 "/home/u/A: the server is not responding, 2 files, 300.0 MiB to go, 1.0 MiB/s, "
                                 "ETA 5m00s, uploading /big 50% (connection connected, the server is not responding "
                                 "(silent for 1m15s))"});
}

TEST(StatusView, WatchLinesFollowPollsAndNotifications) {
    // Each step: notifications, then a poll at a time; the lines that follow.
    const struct {
        std::vector<json> notes;
        json reply;
        double time;
        std::vector<std::string> lines;
    } steps[] = {
        {{}, {{"ack", "ok"}}, 9, {"no sessions, no connection"}},
        {{},
         Reply(
             json::array({Session(1, "syncing", 4), Session(2, "uptodate", 0)}),
             json::array({Worker(1, "/big.iso", "uploading", 1 << 20, 4 << 20), Worker(1, "/b", "uploading", 0, 100)})),
         10,
         {"session 1: syncing, 4 files, 3.0 MiB to go, 1.0 MiB/s, ETA 3s, uploading /big.iso 25% (+1 more)",
          "session 2: up to date"}},
        // Two seconds later 2 MiB more of the same file: 1 MiB/s.
        {{{{"notify", "recent_file"}, {"session_id", 2}, {"path", "/x.txt"}, {"is_dir", 0}, {"event_type", 1}},
          {{"notify", "syncing_file"}, {"session_id", 2}, {"path", "/y"}}},
         Reply(json::array({Session(1, "syncing", 3), Session(2, "uptodate", 0)}),
               json::array({Worker(1, "/big.iso", "uploading", 3 << 20, 4 << 20)})),
         12,
         {"session 1: syncing, 3 files, 1.0 MiB to go, 1.0 MiB/s, ETA 1s, uploading /big.iso 75%",
          "session 2: up to date, last /x.txt, 1 done"}},
        // A session error (-5, sign-extended as the daemon sends it); session 2 removed;
        // the connection lost.
        {{{{"notify", "error"}, {"session_id", 1}, {"error_type", static_cast<uint64_t>(-5LL)}}},
         {{"session_list", json::array({Session(1, "syncing", 1)})},
          {"connection_list", json::array({{{"connection_id", 1}, {"status", "disconnected"}}})}},
         13,
         {"session 1: syncing, 1 file to go, error -5 (connection disconnected)"}},
    };
    WatchView view;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        for (const json& note : steps[i].notes) view.Notify(note);
        view.Update(steps[i].reply, steps[i].time);
        EXPECT_EQ(view.Lines(0), steps[i].lines) << "step " << i;
    }
    // A narrow terminal cuts the line rather than wrapping it.
    EXPECT_EQ(view.Lines(12), std::vector<std::string>{"session 1: s"});
}

TEST(StatusView, WatchJsonCarriesEachSession) {
    WatchView view;
    view.Update(Reply(json::array({Session(7, "syncing", 2)}), json::array({Worker(7, "/f", "downloading", 10, 30)})),
                0);
    view.Notify({{"notify", "recent_file"}, {"session_id", 7}, {"path", "/e"}});
    const json expected = json::parse(R"({"connection": "connected", "sessions": [{
        "session_id": 7, "status": "syncing", "files_to_go": 2, "bytes_to_go": 20, "rate": 0,
        "transfers": [{"path": "/f", "status": "downloading", "progress": 10, "total_size": 30}],
        "files_done": 1, "last_file": "/e", "last_error": 0}]})");
    EXPECT_EQ(view.ToJson(), expected) << view.ToJson().dump();
}
