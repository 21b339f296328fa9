// Transfer handlers on a worker that was never started, against the real refserver:
// a session, a server whose content tests set directly, the server event the puller
// would make for a change, and passes of the worker over pushed events.
#pragma once

#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "delta/simple_file_reader.h"
#include "store/filter_db.h"
#include "store/session_folders.h"
#include "sync/sync_fixture.h"

namespace fs = std::filesystem;
constexpr uint64_t kView = 9;
constexpr uint32_t kServerTime = 1690000000;

class TransferWorker : public Worker {
public:
    TransferWorker() : Worker(SyncServices::Process()) {}
    ~TransferWorker() override {
        Stop();
        Join();
    }
};

class TransferTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        ASSERT_EQ(FilterDB::getInstance().initialize(at("filter.sqlite")), DbResult::kOk);
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << server.Log();
        FilterDB::getInstance().destroy();
        SyncFixture::TearDown();
    }
    void Start(const std::vector<std::string>& options = {}) {
        StartServer(options);
        session = AddSession(1, kView);
    }
    std::string Local(const std::string& name) const { return session.local_path.str() + name; }
    std::string Recycle() const { return session_folders::RecycleFolder(session.local_path).str(); }
    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void Put(const std::string& name, const std::string& bytes, time_t mtime = 1700000000) {
        std::ofstream(Local(name), std::ios::binary | std::ios::trunc) << bytes;
        utimbuf t{mtime, mtime};
        utime(Local(name).c_str(), &t);
    }
    std::string Md4Of(const std::string& bytes) {
        const std::string tmp = at("md4-input");
        std::ofstream(tmp, std::ios::binary | std::ios::trunc) << bytes;
        ustring out;
        SimpleFileReader r;
        r.setFile(tmp);
        r.setHashString(out);
        EXPECT_EQ(r.readFile(), DeltaResult::kDone);
        return out.str();
    }
    // Another client stored content (or a directory) at name; the new sync id.
    uint64_t ServerPut(const std::string& name, const std::string& bytes, bool dir = false) {
        if (dir) return AddServerChange(server.data_root().string(), kView, name, true, false, "", 0, kServerTime);
        const std::string hash = Md4Of(bytes);
        std::ofstream(server.data_root() / "blobs" / hash, std::ios::binary | std::ios::trunc) << bytes;
        return AddServerChange(server.data_root().string(), kView, name, false, false, hash, bytes.size(), kServerTime);
    }
    // The server event the puller would make for that change.
    Event ServerEvent(const std::string& name, uint64_t sync_id, const std::string& bytes, bool dir = false) {
        Event e;
        e.m_type = Event::EV_MODIFY;
        e.setServerEvent();
        if (dir) e.setDir();
        e.m_sess_id = 1;
        e.m_path = name;
        e.m_sync_id = sync_id;
        e.m_max_id = sync_id;
        e.m_time = kServerTime;
        if (!dir) {
            e.m_data_size = bytes.size();
            e.m_data_hash = Md4Of(bytes);
        }
        return e;
    }
    // Runs passes over the pushed event until it is finished; the actions taken.
    std::vector<int> Run(const Event& e, int passes = 6) {
        EventManager::getInstance().PushServerEvent(e);
        std::vector<int> actions;
        for (int i = 0; i < passes && EventManager::getInstance().GetAllPendingEventCount(1) > 0; ++i)
            actions.push_back(worker.RunOnce());
        return actions;
    }
    // The server changes name and the event for it is carried out.
    std::vector<int> Sync(const std::string& name, const std::string& bytes, bool dir = false) {
        return Run(ServerEvent(name, ServerPut(name, bytes, dir), bytes, dir));
    }
    ClientFileEventInfo Row(const std::string& name) {
        ClientFileEventInfo row;
        static_cast<void>(session.event_db->getEventInfo(name, row));  // an absent row reads as empty
        return row;
    }
    // Names in the folder that start with prefix.
    std::vector<std::string> Named(const std::string& folder, const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
        return out;
    }
    // Files left in the working directory outside the recycle folder.
    int Scratch() {
        int n = 0;
        const std::string wd = session_folders::WorkingDirectory(session.local_path).str();
        if (!fs::exists(wd)) return 0;
        for (const auto& e : fs::directory_iterator(wd))
            if (e.path().filename() != session_folders::kRecycleFolder) ++n;
        return n;
    }
    time_t TimeOf(const std::string& name) {
        struct stat st {};
        stat(Local(name).c_str(), &st);
        return st.st_mtime;
    }

    Registry::Entry session;
    TransferWorker worker;
};

const std::vector<int> kDone{Worker::ACTION_DONE};
