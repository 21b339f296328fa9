#include "foundation/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <type_traits>

#include "foundation/config.h"
#include "foundation/mutex.h"

namespace {

// An XDG base folder: the variable when it holds an absolute path, else below home.
std::string XdgBase(const char* variable, const char* below_home) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') return value;
    std::string home;
    const char* env_home = std::getenv("HOME");
    if (env_home != nullptr && env_home[0] != '\0') {
        home = env_home;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    return home + "/" + below_home;
}

}  // namespace

std::string UserStateDir() {
    const char* home = std::getenv("NIMBREL_HOME");
    if (home != nullptr && home[0] == '/') return home;
    return XdgBase("XDG_STATE_HOME", ".local/state") + "/nimbrel";
}

std::string UserConfigDir() { return XdgBase("XDG_CONFIG_HOME", ".config") + "/nimbrel"; }

Settings& Settings::getInstance() {
    static Settings instance;
    return instance;
}

Settings::Settings() { reset(); }

void Settings::reset() {
    MutexLock l(lock);
    // In the user's own folders: in a shared /tmp another user could own them first.
    const std::string state = UserStateDir(), config = UserConfigDir();
    db_path = ustring((state + "/db.sqlite").c_str());
    fstat_db_path = ustring((state + "/file-status.sqlite").c_str());
    filter_db_path = ustring((state + "/filter.sqlite").c_str());
    system_filter_path = ustring((config + "/filter").c_str());
    pid_file_path = ustring((state + "/nimbreld.pid").c_str());
    log_file_path = ustring((state + "/nimbreld.log").c_str());
    log_level_file_path = ustring((config + "/nimbreld.debug").c_str());
    worker_count = 3;
    rejected_worker_count.clear();
    socket_path = "/tmp/nimbrel-socket";
    ui_sock_path = "/tmp/nimbrel-ui-socket";
    ui_port = 1024;
    ui_multi_value = false;
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

bool Settings::loadConfigSettings(const ustring& path, std::string* why, std::vector<std::string>* unknown) {
    MutexLock l(lock);
    Config cfg;
    if (!cfg.read(path, why)) return false;
    std::set<std::string> known;
    auto take = [&](const char* key, auto& member) {
        known.insert(key);
        auto it = cfg.store.find(key);
        if (it == cfg.store.end() || it->second.empty()) return;
        using T = std::decay_t<decltype(member)>;
        if constexpr (std::is_same_v<T, ustring>)
            member = it->second;
        else if constexpr (std::is_same_v<T, bool>)
            member = it->second == "true";
        else
            member = static_cast<T>(Config::to_int(it->second));
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
    take("ui_multi_value", ui_multi_value);
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
    return true;
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
        MutexLock l(lock);                  \
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
SETTINGS_GETTER(bool, uiReadsSeveralValues, ui_multi_value)
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
