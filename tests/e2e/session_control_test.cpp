// Sessions and connections driven through the real nimbreld over its control port:
// every reply text, the session folders, the paused start, and the selective-sync
// reconciliation as a user's folder sees it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../../tools/refserver/storage.h"
#include "e2e/e2e_support.h"
#include "e2e/refserver_harness.h"

using e2e::Daemon;

namespace {

using Strings = std::vector<std::string>;

const char* const kWhiteList = "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"*\"\n";
const char* const kPlainBlackList = "[Version]\nmajor = 1\nminor = 0\n";

bool OnlyAck(const PObject& reply) {
    return reply.isMap() && e2e::Keys(reply) == Strings{"ack"} && reply["ack"].asString() == "ok";
}

std::string ErrorOf(const PObject& reply) {
    EXPECT_EQ(reply["ack"].asString(), "ok") << reply.toString().c_str_utf8();
    return reply["error"].asString().str();
}

bool IsDir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

Strings List(const std::string& dir) {
    Strings names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

// The folders of one session below the daemon's private directory.
struct SessionDirs {
    SessionDirs(const e2e::TempDir& dir, const std::string& name, const std::string& black = kPlainBlackList) {
        root = dir.file(name);
        sync = root + "/sync";
        config = root + "/config";
        mkdir(root.c_str(), 0755);
        mkdir(sync.c_str(), 0755);
        mkdir(config.c_str(), 0755);
        mkdir((config + "/conf").c_str(), 0755);
        SetBlackList(black);
        e2e::WriteFile(white_list(), kWhiteList);
    }
    std::string black_list() const { return config + "/conf/blacklist.filter"; }
    std::string white_list() const { return config + "/conf/whitelist.filter"; }
    std::string working() const { return sync + "/.VarnelWorkingDirectory"; }
    std::string recycle() const { return working() + "/#VarnelRecycle"; }
    void SetBlackList(const std::string& text) const { e2e::WriteFile(black_list(), text); }

    PObject AddRequest(uint64_t id) const {
        PObject r = e2e::Action("add_session");
        r["connection_id"] = static_cast<uint64_t>(1);
        r["session_id"] = id;
        r["view_id"] = static_cast<uint64_t>(100 + id);
        r["config_path"] = config;
        r["sync_folder"] = sync;
        return r;
    }

    std::string root, sync, config;
};

PObject WithId(const char* action, uint64_t id) {
    PObject r = e2e::Action(action);
    r["session_id"] = id;
    return r;
}

std::vector<uint64_t> ListedSessions(Daemon& d) {
    std::vector<uint64_t> ids;
    PObject status = d.Send("get_status");
    if (!status.hasMember("session_list")) return ids;
    for (const PObject& item : status["session_list"].asArray()) ids.push_back(item["session_id"].asUInt64());
    return ids;
}

// Rows of the filter database, read beside the running daemon (WAL allows it).
Strings QueryRows(const std::string& db_path, const std::string& sql) {
    Strings rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return {"open failed"};
    }
    sqlite3_busy_timeout(db, 60000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                row += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "");
            }
            rows.push_back(row);
        }
    } else {
        rows.push_back(std::string("prepare failed: ") + sqlite3_errmsg(db));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

int Exec(const std::string& db_path, const std::string& sql) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open(db_path.c_str(), &db);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 60000);
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
    return rc;
}

PObject ConnectionRequest(const char* action, uint64_t id) {
    PObject r = e2e::Action(action);
    r["connection_id"] = id;
    r["server_ip"] = "127.0.0.1";
    r["server_port"] = e2e::UnusedPort();
    r["session"] = "s-1";
    return r;
}

}  // namespace

TEST(SessionControl, AddSessionRepliesAndStartsPaused) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs s(d.dir, "one");

    // Each required key in turn.
    for (const char* key : {"connection_id", "session_id", "view_id", "config_path", "sync_folder"}) {
        PObject r = s.AddRequest(7);
        r.asMap().erase(key);
        EXPECT_EQ(ErrorOf(d.Send(r)), "Invalid parameters.") << key;
    }
    // Id 0 means "every session" elsewhere; it cannot name one.
    EXPECT_EQ(ErrorOf(d.Send(s.AddRequest(0))), "Invalid parameters.");

    // Whatever was in the working directory goes; the recycle folder stays (its
    // entries are restorable until the rotation takes them).
    ASSERT_EQ(mkdir(s.working().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(s.recycle().c_str(), 0755), 0);
    e2e::WriteFile(s.working() + "/scratch.part", "old");
    ASSERT_EQ(mkdir((s.recycle() + "/ABCDEFGH").c_str(), 0755), 0);
    e2e::WriteFile(s.recycle() + "/ABCDEFGH/file", "old");
    e2e::WriteFile(s.sync + "/user.txt", "mine");

    EXPECT_TRUE(OnlyAck(d.Send(s.AddRequest(7))));
    EXPECT_TRUE(IsDir(s.recycle()));
    EXPECT_EQ(List(s.working()), Strings{"#VarnelRecycle"});
    EXPECT_EQ(List(s.recycle()), Strings{"ABCDEFGH"});
    EXPECT_EQ(e2e::ReadFile(s.sync + "/user.txt"), "mine");
    EXPECT_TRUE(IsDir(s.config + "/db/sign"));
    EXPECT_TRUE(Exists(s.config + "/db/event-db.sqlite"));

    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{7});
    // Paused: a reload (which needs the paused state) is accepted.
    EXPECT_TRUE(OnlyAck(d.Send(WithId("reload_session", 7))));

    EXPECT_EQ(ErrorOf(d.Send(s.AddRequest(7))), "Session already exists.");
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{7});

    // A second session asking for a rescan without merge.
    SessionDirs t(d.dir, "two");
    PObject r = t.AddRequest(8);
    r["sync_mode"] = true;
    EXPECT_TRUE(OnlyAck(d.Send(r)));
    EXPECT_EQ(ListedSessions(d), (std::vector<uint64_t>{7, 8}));

    EXPECT_EQ(d.Stop(), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, "rescan syncfolder for session '7' do_merge[1]"), 1) << log;
    EXPECT_EQ(e2e::CountLines(log, "rescan syncfolder for session '8' do_merge[0]"), 1);
    EXPECT_EQ(e2e::CountLines(log, "is ready (with view 107 at )"), 1);
    EXPECT_EQ(e2e::CountLines(log, "resume session"), 0);
}

TEST(SessionControl, AddSessionFailsWithoutItsFoldersAndRegistersNothing) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs s(d.dir, "one");

    PObject missing = s.AddRequest(3);
    missing["sync_folder"] = s.root + "/no-such-folder";
    EXPECT_EQ(ErrorOf(d.Send(missing)), "Failed to create registry entry.");

    PObject file = s.AddRequest(3);
    e2e::WriteFile(s.root + "/a-file", "x");
    file["sync_folder"] = s.root + "/a-file";
    EXPECT_EQ(ErrorOf(d.Send(file)), "Failed to create registry entry.");

    PObject no_config = s.AddRequest(3);
    no_config["config_path"] = s.root + "/no-config";
    EXPECT_EQ(ErrorOf(d.Send(no_config)), "Failed to create registry entry.");

    ASSERT_EQ(unlink(s.white_list().c_str()), 0);
    EXPECT_EQ(ErrorOf(d.Send(s.AddRequest(3))), "Failed to create registry entry.");
    EXPECT_TRUE(ListedSessions(d).empty());

    // Once the file is there, the same request works.
    e2e::WriteFile(s.white_list(), kWhiteList);
    EXPECT_TRUE(OnlyAck(d.Send(s.AddRequest(3))));
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{3});
    EXPECT_EQ(d.Stop(), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, ") is not a directory"), 3) << log;
    EXPECT_EQ(e2e::CountLines(log, "Failed to load white list filter for session 3"), 1);
}

TEST(SessionControl, AddSessionRefusesTheFoldersOfAnotherSession) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs a(d.dir, "a"), b(d.dir, "b");
    ASSERT_TRUE(OnlyAck(d.Send(a.AddRequest(1))));
    e2e::WriteFile(a.recycle() + "/KEEPME01", "recycled");

    // The same local folder (here through a link): adding would wipe the first
    // session's working directory.
    ASSERT_EQ(symlink(a.sync.c_str(), (d.dir.file("alias")).c_str()), 0);
    PObject same_sync = b.AddRequest(2);
    same_sync["sync_folder"] = d.dir.file("alias");
    EXPECT_EQ(ErrorOf(d.Send(same_sync)), "Failed to create registry entry.");
    PObject same_config = b.AddRequest(2);
    same_config["config_path"] = a.config + "/";
    EXPECT_EQ(ErrorOf(d.Send(same_config)), "Failed to create registry entry.");
    EXPECT_EQ(e2e::ReadFile(a.recycle() + "/KEEPME01"), "recycled");
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{1});

    EXPECT_TRUE(OnlyAck(d.Send(b.AddRequest(2))));
    EXPECT_EQ(d.Stop(), 0);
    EXPECT_EQ(e2e::CountLines(d.Log(), "uses the folders of session 1"), 2);
}

TEST(SessionControl, ReloadAndRemoveAreRefusedOnARunningSession) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs a(d.dir, "a"), b(d.dir, "b");
    ASSERT_TRUE(OnlyAck(d.Send(a.AddRequest(1))));
    ASSERT_TRUE(OnlyAck(d.Send(b.AddRequest(2))));

    EXPECT_EQ(ErrorOf(d.Send("reload_session")), "Invalid parameter");
    EXPECT_EQ(ErrorOf(d.Send(WithId("reload_session", 99))), "Invalid session.");
    EXPECT_EQ(ErrorOf(d.Send(WithId("remove_session", 99))), "Invalid session.");

    EXPECT_TRUE(OnlyAck(d.Send(WithId("resume", 1))));
    EXPECT_EQ(ErrorOf(d.Send(WithId("reload_session", 1))), "Reload session without puase");
    EXPECT_EQ(ErrorOf(d.Send(WithId("remove_session", 1))), "Remove session without puase");
    EXPECT_EQ(ListedSessions(d), (std::vector<uint64_t>{1, 2}));

    // Without an id: the paused session goes, the running one is reported and stays.
    EXPECT_EQ(ErrorOf(d.Send("remove_session")), "Remove session without puase");
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{1});

    // Pausing everything makes it removable; its folders stay on disk.
    EXPECT_TRUE(OnlyAck(d.Send("pause")));
    EXPECT_TRUE(OnlyAck(d.Send(WithId("reload_session", 1))));
    EXPECT_TRUE(OnlyAck(d.Send(WithId("remove_session", 1))));
    EXPECT_TRUE(ListedSessions(d).empty());
    EXPECT_TRUE(IsDir(a.recycle()));
    EXPECT_TRUE(Exists(a.config + "/db/event-db.sqlite"));

    // Pause and resume of unknown or absent sessions change nothing and say nothing.
    EXPECT_TRUE(OnlyAck(d.Send(WithId("pause", 42))));
    EXPECT_TRUE(OnlyAck(d.Send("resume")));

    // A removed session can be added again.
    EXPECT_TRUE(OnlyAck(d.Send(a.AddRequest(1))));
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{1});

    EXPECT_EQ(d.Stop(), 0);
    const std::string log = d.Log();
    EXPECT_EQ(e2e::CountLines(log, "remove session 1 without pause, stop remove"), 2) << log;
    EXPECT_EQ(e2e::CountLines(log, "session '2' is removed."), 1);
    EXPECT_EQ(e2e::CountLines(log, "session '1' is removed."), 1);
    EXPECT_EQ(e2e::CountLines(log, "drop session 0 done"), 1);
}

TEST(SessionControl, ReloadSessionReportsEachFailure) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs s(d.dir, "s");
    ASSERT_TRUE(OnlyAck(d.Send(s.AddRequest(5))));
    const PObject reload = WithId("reload_session", 5);

    s.SetBlackList("[Version]\nmajor = 1\nminor = 0\n[Common]\nblack_prefix = \"unterminated\n");
    EXPECT_EQ(ErrorOf(d.Send(reload)), "Failed to load black list.");
    s.SetBlackList(kPlainBlackList);

    e2e::WriteFile(s.white_list(), "[File\n");
    EXPECT_EQ(ErrorOf(d.Send(reload)), "Failed to load white list.");
    e2e::WriteFile(s.white_list(), kWhiteList);

    const std::string event_db = s.config + "/db/event-db.sqlite";
    ASSERT_EQ(Exec(event_db, "UPDATE config_table SET value = 'garbage' WHERE key = 'sync_id';"), SQLITE_OK);
    EXPECT_EQ(ErrorOf(d.Send(reload)), "Failed to get current sync_id.");
    ASSERT_EQ(Exec(event_db, "UPDATE config_table SET value = '0' WHERE key = 'sync_id';"), SQLITE_OK);

    // A path prefix that would name the session folder itself, or leave it, is refused
    // before anything is changed.
    for (const char* prefix : {"/", "/a/../..", "outside"}) {
        s.SetBlackList(std::string(kPlainBlackList) + "[Common]\nblack_path_prefix_selective_sync = \"" + prefix +
                       "\"\n");
        EXPECT_EQ(ErrorOf(d.Send(reload)), "Failed to reload filter.") << prefix;
    }
    EXPECT_TRUE(QueryRows(d.dir.file("filter.sqlite"), "SELECT * FROM filter_table;").empty());

    s.SetBlackList(kPlainBlackList);
    EXPECT_TRUE(OnlyAck(d.Send(reload)));
    EXPECT_EQ(d.Stop(), 0);
}

TEST(SessionControl, SelectiveSyncReconciliationOnAddAndReload) {
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    SessionDirs s(
        d.dir, "s",
        std::string(kPlainBlackList) +
            "[Common]\nblack_path_prefix_selective_sync = \"/videos\"\n[File]\nmax_size_selective_sync = 1000\n");
    ASSERT_EQ(mkdir((s.sync + "/videos").c_str(), 0755), 0);
    e2e::WriteFile(s.sync + "/videos/clip.mp4", "precious");
    e2e::WriteFile(s.sync + "/videos.txt", "neighbour");

    ASSERT_TRUE(OnlyAck(d.Send(s.AddRequest(4))));
    const std::string filter_db = d.dir.file("filter.sqlite");
    EXPECT_EQ(QueryRows(filter_db, "SELECT sess_id, sync_id, filter_type, filter_desc FROM filter_table;"),
              Strings{"4|0|-13|/videos"});
    EXPECT_EQ(QueryRows(filter_db, "SELECT sess_id, filter_type, filter_desc FROM filter_range_table;"),
              Strings{"4|-15|1000"});

    // The folder is out of the synchronised tree, but not destroyed: it waits in the
    // recycle folder, recorded for the rotation.
    EXPECT_FALSE(Exists(s.sync + "/videos"));
    EXPECT_EQ(e2e::ReadFile(s.sync + "/videos.txt"), "neighbour");
    Strings recycled = List(s.recycle());
    ASSERT_EQ(recycled.size(), 1u);
    EXPECT_EQ(e2e::ReadFile(s.recycle() + "/" + recycled[0] + "/clip.mp4"), "precious");
    EXPECT_EQ(QueryRows(s.config + "/db/event-db.sqlite", "SELECT path FROM recycle_bin_table;"),
              Strings{"/" + recycled[0]});

    // Loosen both rules: each leaves a resume condition behind.
    s.SetBlackList(std::string(kPlainBlackList) + "[File]\nmax_size_selective_sync = 5000\n");
    EXPECT_TRUE(OnlyAck(d.Send(WithId("reload_session", 4))));
    EXPECT_EQ(QueryRows(filter_db,
                        "SELECT sess_id, sync_id, filter_type, filter_desc FROM filter_resume_table "
                        "ORDER BY id;"),
              (Strings{"4|0|-13|/videos", "4|0|-15|from=1000,to=5000"}));
    EXPECT_TRUE(QueryRows(filter_db, "SELECT * FROM filter_table;").empty());
    EXPECT_EQ(QueryRows(filter_db, "SELECT filter_desc FROM filter_range_table;"), Strings{"5000"});

    // Stricter again: the rule follows, nothing to resume.
    s.SetBlackList(std::string(kPlainBlackList) + "[File]\nmax_size_selective_sync = 1000\n");
    EXPECT_TRUE(OnlyAck(d.Send(WithId("reload_session", 4))));
    EXPECT_EQ(QueryRows(filter_db, "SELECT COUNT(*) FROM filter_resume_table;"), Strings{"2"});
    EXPECT_EQ(QueryRows(filter_db, "SELECT filter_desc FROM filter_range_table;"), Strings{"1000"});

    // No limit at all.
    s.SetBlackList(kPlainBlackList);
    EXPECT_TRUE(OnlyAck(d.Send(WithId("reload_session", 4))));
    EXPECT_EQ(QueryRows(filter_db, "SELECT filter_desc FROM filter_resume_table ORDER BY id DESC LIMIT 1;"),
              Strings{"from=1000,to=10737418240"});
    EXPECT_EQ(QueryRows(filter_db, "SELECT filter_desc FROM filter_range_table;"), Strings{"0"});

    EXPECT_EQ(d.Stop(), 0);
    EXPECT_EQ(e2e::CountLines(d.Log(), "RESUME filter: (4)[/videos]."), 1);
}

TEST(SessionControl, ConnectionActions) {
    Daemon d(3);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));

    for (const char* key : {"connection_id", "server_ip", "server_port", "session"}) {
        for (const char* action : {"link_connection", "reload_connection"}) {
            PObject r = ConnectionRequest(action, 9);
            r.asMap().erase(key);
            EXPECT_EQ(ErrorOf(d.Send(r)), "Invalid parameters") << action << " " << key;
        }
    }
    EXPECT_EQ(ErrorOf(d.Send(ConnectionRequest("reload_connection", 9))), "No connection.");
    EXPECT_FALSE(d.Send("get_status").hasMember("connection_list"));

    EXPECT_TRUE(OnlyAck(d.Send(ConnectionRequest("link_connection", 9))));
    PObject status = d.Send("get_status");
    ASSERT_EQ(status["connection_list"].asArray().size(), 1u) << status.toString().c_str_utf8();
    EXPECT_EQ(status["connection_list"][0]["connection_id"].asUInt64(), 9u);
    EXPECT_EQ(status["connection_list"][0]["status"].asString(), "disconnected");

    PObject proxied = ConnectionRequest("reload_connection", 9);
    proxied["use_proxy"] = true;  // no proxy address: plain connections
    EXPECT_TRUE(OnlyAck(d.Send(proxied)));

    // A second link takes the place of the first.
    EXPECT_TRUE(OnlyAck(d.Send(ConnectionRequest("link_connection", 10))));
    status = d.Send("get_status");
    ASSERT_EQ(status["connection_list"].asArray().size(), 1u);
    EXPECT_EQ(status["connection_list"][0]["connection_id"].asUInt64(), 10u);

    // Detaching the sessions removes the paused ones only; the pool stays.
    SessionDirs a(d.dir, "a"), b(d.dir, "b");
    ASSERT_TRUE(OnlyAck(d.Send(a.AddRequest(1))));
    ASSERT_TRUE(OnlyAck(d.Send(b.AddRequest(2))));
    ASSERT_TRUE(OnlyAck(d.Send(WithId("resume", 2))));
    EXPECT_EQ(ErrorOf(d.Send("unlink_connection")), "Remove session without puase");
    EXPECT_EQ(ListedSessions(d), std::vector<uint64_t>{2});
    ASSERT_TRUE(OnlyAck(d.Send(WithId("pause", 2))));
    EXPECT_TRUE(OnlyAck(d.Send("unlink_connection")));
    status = d.Send("get_status");
    EXPECT_FALSE(status.hasMember("session_list"));
    EXPECT_EQ(status["connection_list"][0]["connection_id"].asUInt64(), 10u);

    // "unlink" takes the pool away; after a new link there is none.
    EXPECT_TRUE(OnlyAck(d.Send("unlink")));
    EXPECT_TRUE(OnlyAck(d.Send("link")));
    EXPECT_FALSE(d.Send("get_status").hasMember("connection_list"));
    EXPECT_EQ(d.Stop(), 0);
}

TEST(SessionControl, ResumedSessionIsPulledAndItsSyncIdWaitsForTheWork) {
    RefServer server;
    ASSERT_TRUE(server.Start({}));
    {
        Storage index;  // another client's upload, in the server's index
        ASSERT_EQ(index.Open(server.data_root().string()), 0);
        ChangeRow row;
        row.view_id = 101;
        row.path = "/from-elsewhere.txt";
        row.hash = std::string(32, 'a');
        row.size = 3;
        ASSERT_EQ(index.AddChange(row, nullptr), 0);
    }
    Daemon d(3);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    PObject c = ConnectionRequest("link_connection", 1);
    c["server_port"] = static_cast<uint64_t>(server.port());
    c["use_ssl"] = static_cast<uint64_t>(0);
    ASSERT_TRUE(OnlyAck(d.Send(c)));
    SessionDirs s(d.dir, "one");
    ASSERT_TRUE(OnlyAck(d.Send(s.AddRequest(1))));
    ASSERT_TRUE(OnlyAck(d.Send(WithId("resume", 1))));

    // The event arrives; its content is in no blob on the server, so the download
    // cannot finish: it stays pending and the stored sync id does not move past it.
    ASSERT_TRUE(server.WaitLog("pull_event: view 101 since 0: 1 events", 1)) << server.Log();
    PObject status;
    for (int i = 0; i < 600; ++i) {
        status = d.Send("get_status");
        if (status["session_list"][0]["status"].asString() == "syncing") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status["session_list"][0]["status"].asString(), "syncing") << status.toString().c_str_utf8();
    EXPECT_EQ(QueryRows(s.config + "/db/event-db.sqlite", "SELECT value FROM config_table WHERE key = 'sync_id';"),
              Strings{"0"});
    EXPECT_FALSE(Exists(s.sync + "/from-elsewhere.txt"));
    EXPECT_EQ(d.Stop(), 0);
}

TEST(SessionControl, AFreshEmptySessionListsAsUptodate) {
    RefServer server;
    ASSERT_TRUE(server.Start({}));
    Daemon d(3);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(OnlyAck(d.Send("link")));
    PObject c = ConnectionRequest("link_connection", 1);
    c["server_port"] = static_cast<uint64_t>(server.port());
    c["use_ssl"] = static_cast<uint64_t>(0);
    ASSERT_TRUE(OnlyAck(d.Send(c)));
    SessionDirs s(d.dir, "fresh");
    ASSERT_TRUE(OnlyAck(d.Send(s.AddRequest(1))));
    ASSERT_TRUE(OnlyAck(d.Send(WithId("resume", 1))));

    // The first rescan finds only the daemon's own working directory, which is not
    // synchronised: nothing is left to do.
    ASSERT_TRUE(server.WaitLog("pull_event: view 101 since 0: 0 events", 1)) << server.Log();
    PObject status;
    for (int i = 0; i < 600; ++i) {
        status = d.Send("get_status");
        if (status["session_list"][0]["status"].asString() == "uptodate") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(status["session_list"][0]["status"].asString(), "uptodate") << status.toString().c_str_utf8();
    EXPECT_EQ(status["session_list"][0]["unfinished_files"].asUInt64(), 0u);
    EXPECT_EQ(server.CountLog(".VarnelWorkingDirectory"), 0) << server.Log();
    EXPECT_EQ(d.Stop(), 0);
}
