// The sync engine against the real nimbrel-refserver: a server with a fresh ROOT, a
// connection pool pointed at it, sessions in the registry with their own event
// databases, a stand-in UI, and a way to play "another client changed this" by
// writing the server's index directly.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/refserver_harness.h"
#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "events/ui_listener.h"
#include "foundation/settings.h"
#include "platform/scratch_dir.h"
#include "platform/session_root.h"
#include "store/file_event_db.h"
#include "store/file_status_db.h"
#include "sync/worker.h"
#include "wire/connection_pool.h"

// Adds one change to a view of a running server (sync/refserver_index.cpp): the
// server's own storage code on its index. Returns the new sync id, 0 on failure.
uint64_t AddServerChange(const std::string& root, uint64_t view, const std::string& path, bool dir = false,
                         bool removed = false, const std::string& hash = "", uint64_t size = 0, uint64_t mtime = 0);
// The latest change of a path in a view: 1 with its content hash (empty for a
// directory or a removal) and the MD4 of the stored blob ("" when there is none), 0
// when the path has no change, -1 on failure.
int ServerFile(const std::string& root, uint64_t view, const std::string& path, std::string* hash,
               std::string* blob_md4, uint64_t* sync_id = nullptr);

class SyncFixture : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        events_test::SetUIPort(ui.Port());
        ASSERT_EQ(FileStatusDB::initialize(at("fstat.sqlite")), DbResult::kOk);
        EventManager::getInstance().Clear();
        ProgressCache::getInstance().clear();
    }

    void TearDown() override {
        delete g_pool.get();
        g_pool.set(nullptr);
        EventManager::getInstance().Clear();
        Registry::getInstance().Clear();
        server.Stop();
        FileStatusDB::destroy();
        ScratchDirTest::TearDown();
    }

    // Starts the server with these options and links a pool of n connections to it.
    void StartServer(const std::vector<std::string>& options = {}, unsigned n = 4, bool ssl = false) {
        ASSERT_TRUE(server.Start(options));
        ConnectionInfo info;
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
        info.session = "token";
        info.conn_id = 1;
        info.computer_name = "testbox";
        info.use_ssl = ssl;
        ProxyInfo proxy;
        TunnelInfo tunnel;
        delete g_pool.get();
        g_pool.set(new ConnectionPool(info, proxy, tunnel, n));
    }

    // Registers a running (not paused) session with its own folder and event database.
    Registry::Entry AddSession(uint64_t id, uint64_t view, const std::string& remote = "/", bool recursive = true) {
        const std::string base = at("s" + std::to_string(id));
        std::filesystem::create_directories(base + "/sync");
        std::filesystem::create_directories(base + "/config/db");
        Registry::Entry e;
        e.sess_id = id;
        e.view_id = view;
        e.recursive = recursive;
        EXPECT_TRUE(SessionRoot::Open(base + "/sync", e.root));
        e.local_path = e.root ? e.root->path() : ustring(base + "/sync");
        e.remote_path = remote;
        e.config_path = base + "/config";
        EXPECT_TRUE(SessionRoot::Open(e.local_path, e.root));
        e.event_db = Registry::MakeEventDB();
        EXPECT_EQ(e.event_db->initialize(base + "/config/db/event-db.sqlite"), DbResult::kOk);
        Registry::getInstance().Set(e);
        return e;
    }

    void SetPause(uint64_t id, bool pause) { ASSERT_EQ(Registry::getInstance().SetPause(id, pause), 1); }

    uint64_t StoredSyncId(uint64_t id) {
        Registry::Entry e;
        uint64_t v = ~0ull;
        if (Registry::getInstance().Find(id, e) == 1) static_cast<void>(e.event_db->getSyncId(v));  // v stays ~0
        return v;
    }

    uint64_t Change(uint64_t view, const std::string& path, bool dir = false, bool removed = false) {
        return AddServerChange(server.data_root().string(), view, path, dir, removed, dir ? "" : "hash-of" + path,
                               dir ? 0 : path.size(), 1700000000);
    }

    // The "error" notices the UI received.
    std::vector<PObject> ErrorNotices() {
        std::vector<PObject> out;
        for (const PObject& v : ui.Values())
            if (v["notify"].asString() == "error") out.push_back(v);
        return out;
    }

    RefServer server;
    events_test::UIListener ui;
};

// A worker whose download and local-removal handlers only record what they were
// given (or run a test's own body), so the frame around them can be tested.
class RecordingWorker : public Worker {
public:
    RecordingWorker() : Worker(SyncServices::Process()) {}
    ~RecordingWorker() override {
        Stop();
        Join();
    }
    std::function<int(RecordingWorker&)> body;
    std::vector<Event> Seen() {
        std::lock_guard<std::mutex> l(mu);
        return seen;
    }
    int DownloadRemote() override { return Record(); }
    int RemoveLocal() override { return Record(); }

private:
    int Record() {
        {
            std::lock_guard<std::mutex> l(mu);
            seen.push_back(GetContext().current_event);
        }
        return body ? body(*this) : 0;
    }
    std::mutex mu;
    std::vector<Event> seen;
};

// n bytes that compress badly and differ per seed.
inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

inline std::vector<std::string> Paths(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.m_path.str());
    return out;
}
