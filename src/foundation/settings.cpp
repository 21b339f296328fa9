#include "foundation/settings.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <type_traits>

#include "foundation/config.h"
#include "foundation/mutex.h"

Settings& Settings::getInstance() {
    static Settings instance;
    return instance;
}

Settings::Settings() { reset(); }

void Settings::reset() {
    MutexLock l(lock);
    db_path = "/tmp/db.sqlite";
    fstat_db_path = "/tmp/file-status.sqlite";
    filter_db_path = "/tmp/filter.sqlite";
    system_filter_path = "/tmp/filter";
    pid_file_path = "/var/run/nimbrel-daemon.pid";
    log_file_path = "/var/log/nimbrel-daemon.log";
    log_level_file_path = "/var/log/nimbrel-daemon.debug";
    worker_count = 3;
    rejected_worker_count.clear();
    socket_path = "/tmp/nimbrel-socket";
    ui_sock_path = "/tmp/nimbrel-ui-socket";
    ui_port = 1024;
    is_daemon = true;
    client_name = "user";
    use_ssl = false;
    session = "InvalidSession";
    server_port = 0;
    server_ip = "InvalidAddress";
    relay_host.clear();
    relay_key_multiplier.clear();
    relay_key_increment.clear();
    relay_iv.clear();
    recycle_keep_seconds = 1800;
    recycle_max_bytes = 0;
}

int Settings::loadConfigSettings(const ustring& path, std::string* why, std::vector<std::string>* unknown) {
    MutexLock l(lock);
    Config cfg;
    if (cfg.read(path, why) != 0) return -1;
    std::set<std::string> known;
    auto take = [&](const char* key, auto& member) {
        known.insert(key);
        auto it = cfg.store.find(key);
        if (it == cfg.store.end() || it->second.empty()) return;
        using T = std::decay_t<decltype(member)>;
        if constexpr (std::is_same_v<T, ustring>) member = it->second;
        else if constexpr (std::is_same_v<T, bool>) member = it->second == "true";
        else member = static_cast<T>(Config::to_int(it->second));
    };
    take("db_path", db_path);
    take("fstat_db_path", fstat_db_path);
    take("filter_db_path", filter_db_path);
    take("system_filter_path", system_filter_path);
    take("pid_file_path", pid_file_path);
    take("log_file_path", log_file_path);
    take("log_level_file_path", log_level_file_path);
    // The task table holds worker_count - 1 workers: below 2 there would be none, and
    // a huge count means hundreds of threads and sockets. Such values keep the
    // default; the process entry warns about them once logging runs.
    rejected_worker_count.clear();
    known.insert("worker_count");
    auto wc = cfg.store.find("worker_count");
    if (wc != cfg.store.end() && !wc->second.empty()) {
        int workers = Config::to_int(wc->second);
        if (workers >= static_cast<int>(kMinWorkers) && workers <= static_cast<int>(kMaxWorkers))
            worker_count = static_cast<uint32_t>(workers);
        else
            rejected_worker_count = wc->second;
    }
    take("socket_path", socket_path);
    take("ui_sock_path", ui_sock_path);
    take("ui_port", ui_port);
    take("is_daemon", is_daemon);
    take("client_name", client_name);
    take("use_ssl", use_ssl);
    take("session", session);
    take("server_port", server_port);
    take("server_ip", server_ip);
    take("relay_host", relay_host);
    take("relay_key_multiplier", relay_key_multiplier);
    take("relay_key_increment", relay_key_increment);
    take("relay_iv", relay_iv);
    takeRecycleSettings(cfg);
    take("ui_port", ui_port);
    if (unknown != nullptr) {
        for (const auto& [key, value] : cfg.store) {
            if (known.count(key.str()) == 0) unknown->push_back(key.str());
        }
    }
    return 0;
}

void Settings::takeRecycleSettings(Config& cfg) {
    auto keep = cfg.store.find("recycle_keep_seconds");
    if (keep != cfg.store.end() && !keep->second.empty() && Config::to_int(keep->second) > 0)
        recycle_keep_seconds = static_cast<uint32_t>(Config::to_int(keep->second));
    auto max = cfg.store.find("recycle_max_bytes");
    if (max != cfg.store.end() && !max->second.empty()) {
        const std::string text = max->second.str();
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = strtoull(text.c_str(), &end, 10);
        if (text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0) recycle_max_bytes = v;
    }
}

#define SETTINGS_GETTER(type, name, member) \
    type Settings::name() {                 \
        MutexLock l(lock);                \
        return member;                      \
    }
SETTINGS_GETTER(ustring, getDbPath, db_path)
SETTINGS_GETTER(ustring, getFStatDbPath, fstat_db_path)
SETTINGS_GETTER(ustring, getFilterDbPath, filter_db_path)
SETTINGS_GETTER(ustring, getSystemFilterPath, system_filter_path)
SETTINGS_GETTER(ustring, getPidFilePath, pid_file_path)
SETTINGS_GETTER(ustring, getLogFilePath, log_file_path)
SETTINGS_GETTER(ustring, getLogLevelFilePath, log_level_file_path)
SETTINGS_GETTER(uint32_t, getWorkerCount, worker_count)
SETTINGS_GETTER(ustring, getRejectedWorkerCount, rejected_worker_count)
SETTINGS_GETTER(ustring, getSocketPath, socket_path)
SETTINGS_GETTER(ustring, getUISocketPath, ui_sock_path)
SETTINGS_GETTER(int, getUIPort, ui_port)
SETTINGS_GETTER(bool, isDaemon, is_daemon)
SETTINGS_GETTER(bool, useSSL, use_ssl)
SETTINGS_GETTER(int, getServerPort, server_port)
SETTINGS_GETTER(ustring, getServerIp, server_ip)
SETTINGS_GETTER(ustring, getSession, session)
SETTINGS_GETTER(ustring, getClientName, client_name)
SETTINGS_GETTER(ustring, getRelayHost, relay_host)
SETTINGS_GETTER(ustring, getRelayKeyMultiplier, relay_key_multiplier)
SETTINGS_GETTER(ustring, getRelayKeyIncrement, relay_key_increment)
SETTINGS_GETTER(ustring, getRelayIV, relay_iv)
SETTINGS_GETTER(uint32_t, getRecycleKeepSeconds, recycle_keep_seconds)
SETTINGS_GETTER(uint64_t, getRecycleMaxBytes, recycle_max_bytes)
#undef SETTINGS_GETTER
