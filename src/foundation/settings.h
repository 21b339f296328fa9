// Settings: the daemon's process-wide settings, loaded once from a key=value file.
#pragma once

#include <pthread.h>

#include <cstdint>

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
    // The relay tunnel's settings, as texts; empty means unset. "relay_host" names the
    // relay in its handshake (default empty: the relay's "tunnel_ip:tunnel_port").
    // "relay_key_multiplier" and "relay_key_increment" (unsigned 32-bit, decimal or
    // 0x-hex) and "relay_iv" (16 hex digits) must match the relay's token key; they
    // have no built-in value (default unset), and a tunnel cannot open without them.
    ustring getRelayHost();
    ustring getRelayKeyMultiplier();
    ustring getRelayKeyIncrement();
    ustring getRelayIV();

    // Restores every default (tests and a fresh start use it).
    void reset();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

private:
    Settings();

    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    ustring db_path, fstat_db_path, filter_db_path, system_filter_path, pid_file_path;
    ustring log_file_path, log_level_file_path;
    uint32_t worker_count = 3;
    ustring rejected_worker_count;
    ustring socket_path, ui_sock_path;
    int ui_port = 1024;
    bool is_daemon = true;
    ustring client_name;
    bool use_ssl = false;
    ustring session;
    int server_port = 0;
    ustring server_ip;
    ustring relay_host, relay_key_multiplier, relay_key_increment, relay_iv;
};
