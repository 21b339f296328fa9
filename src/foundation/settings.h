// Settings: the daemon's process-wide settings, loaded once from a key=value file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

class Config;
// The user's own folders for the daemon's state (databases, logs) and configuration:
// $NIMBREL_HOME when absolute, else $XDG_STATE_HOME/nimbrel, else
// ~/.local/state/nimbrel; and $XDG_CONFIG_HOME/nimbrel, else ~/.config/nimbrel.
std::string UserStateDir();
std::string UserConfigDir();

class Settings {
public:
    static constexpr uint32_t kMinWorkers = 2;
    static constexpr uint32_t kMaxWorkers = 64;
    static Settings& getInstance();

    // False for an empty path, an unreadable file or a syntax error, in which case no
    // setting changes and *why (when given) says what and where.
    // Keys that are no setting are ignored; unknown (when given) receives them.
    [[nodiscard]] bool loadConfigSettings(const ustring& path, std::string* why = nullptr,
                                          std::vector<std::string>* unknown = nullptr);

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
    // "ui_multi_value" ("true": the UI reads several values per connection), so notifications
    // may go over one kept-open connection (default false: one connection each).
    bool uiReadsSeveralValues();
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
    // How long removed and replaced files stay in a session's recycle folder
    // ("recycle_keep_seconds", default 1800; a value that is not a positive number
    // keeps the default), and the bytes it may hold before the oldest go
    // ("recycle_max_bytes", decimal, default 0 = no cap).
    uint32_t getRecycleKeepSeconds();
    uint64_t getRecycleMaxBytes();

    // Restores every default (tests and a fresh start use it).
    void reset();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

private:
    Settings();
    void takeRecycleSettings(Config& cfg) REQUIRES(lock);

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
    bool ui_multi_value GUARDED_BY(lock) = false;
    bool is_daemon GUARDED_BY(lock) = true;
    ustring client_name GUARDED_BY(lock);
    bool use_ssl GUARDED_BY(lock) = false;
    ustring session GUARDED_BY(lock);
    int server_port GUARDED_BY(lock) = 0;
    ustring server_ip GUARDED_BY(lock);
    ustring relay_host GUARDED_BY(lock);
    ustring relay_key_multiplier GUARDED_BY(lock);
    ustring relay_key_increment GUARDED_BY(lock);
    ustring relay_iv GUARDED_BY(lock);
    uint32_t recycle_keep_seconds GUARDED_BY(lock) = 1800;
    uint64_t recycle_max_bytes GUARDED_BY(lock) = 0;
};
