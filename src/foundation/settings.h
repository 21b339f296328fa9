// Settings: the daemon's process-wide settings, loaded once from a key=value file.
#pragma once

#include <cstdint>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

class Settings {
public:
    static constexpr uint32_t kMinWorkers = 2;
    static constexpr uint32_t kMaxWorkers = 64;
    static Settings& getInstance();

    // 0 on success; -1 for an empty path, an unreadable file or a syntax error,
    // in which case no setting changes.
    int loadConfigSettings(const ustring& path);

    ustring getDbPath();
    ustring getFStatDbPath();
    ustring getFilterDbPath();
    ustring getSystemFilterPath();
    ustring getPidFilePath();
    ustring getLogFilePath();
    ustring getLogLevelFilePath();
    uint32_t getWorkerCount();
    // The "worker_count" text the last load refused (outside kMinWorkers..kMaxWorkers),
    // empty when it was accepted or absent.
    ustring getRejectedWorkerCount();
    ustring getSocketPath();
    ustring getUISocketPath();
    int getUIPort();
    bool isDaemon();
    bool useSSL();
    int getServerPort();
    ustring getServerIp();
    ustring getSession();
    ustring getClientName();

    // Restores every default (tests and a fresh start use it).
    void reset();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

private:
    Settings();

    Mutex lock;
    ustring db_path GUARDED_BY(lock);
    ustring fstat_db_path GUARDED_BY(lock);
    ustring filter_db_path GUARDED_BY(lock);
    ustring system_filter_path GUARDED_BY(lock);
    ustring pid_file_path GUARDED_BY(lock);
    ustring log_file_path GUARDED_BY(lock);
    ustring log_level_file_path GUARDED_BY(lock);
    uint32_t worker_count GUARDED_BY(lock) = 3;
    ustring rejected_worker_count GUARDED_BY(lock);
    ustring socket_path GUARDED_BY(lock);
    ustring ui_sock_path GUARDED_BY(lock);
    int ui_port GUARDED_BY(lock) = 1024;
    bool is_daemon GUARDED_BY(lock) = true;
    ustring client_name GUARDED_BY(lock);
    bool use_ssl GUARDED_BY(lock) = false;
    ustring session GUARDED_BY(lock);
    int server_port GUARDED_BY(lock) = 0;
    ustring server_ip GUARDED_BY(lock);
};
