#include "foundation/logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>

#include "foundation/config.h"

namespace {

Logger::Type log_type = Logger::STDOUT_LOGGER;
FILE* log_fp = nullptr;  // null with STDOUT_LOGGER before Initialize means standard error
bool log_fp_default = true;
int log_size = -1;
int rotate_cnt = 50;
ustring* log_path_ptr() {
    static ustring* p = new ustring();  // never destroyed: may be used during exit
    return p;
}
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;

std::map<ustring, int>& level_table() {
    static auto* t = new std::map<ustring, int>();
    return *t;
}

FILE* current_stream() {
    if (log_fp_default) return stderr;
    return log_fp;
}

void no_inherit(FILE* fp) {
    int fd = fileno(fp);
    if (fd >= 0) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

ustring rotated_name(int index) {
    char buf[2048];
    std::snprintf(buf, sizeof buf, "%s_%d", log_path_ptr()->c_str_utf8(), index);
    return ustring(buf);
}

}  // namespace

int Logger::Initialize(Type type, const ustring& log_path, const ustring& level_path, int rotate) {
    auto& table = level_table();
    table["default_component"] = 4;
    if (!level_path.empty()) {
        Config cfg;
        if (cfg.read(level_path) == 0)
            for (auto& [k, v] : cfg.store) table[k] = Config::to_int(v);
    }
    log_type = type;
    if (type >= FILE_LOGGER) {
        if (log_path.empty()) return -1;
        FILE* fp = std::fopen(log_path.c_str_utf8(), "a");
        if (!fp) return -1;
        no_inherit(fp);
        log_fp = fp;
        log_fp_default = false;
        log_size = 0;
        *log_path_ptr() = log_path;
        rotate_cnt = rotate;
        return 0;
    }
    log_fp_default = false;
    log_fp = type == STDOUT_LOGGER ? stdout : type == STDERR_LOGGER ? stderr : nullptr;
    log_path_ptr()->clear();
    log_size = -1;
    return 0;
}

int Logger::GetLevel(const ustring& channel) {
    pthread_mutex_lock(&log_lock);
    auto& table = level_table();
    auto it = table.find(channel);
    int level = it == table.end() ? L_WARNING : it->second;
    pthread_mutex_unlock(&log_lock);
    return level;
}

void Logger::SetLevel(const ustring& channel, int level) {
    pthread_mutex_lock(&log_lock);
    level_table()[channel] = level;
    pthread_mutex_unlock(&log_lock);
}

void Logger::LogMsg(Level level, const ustring& channel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMsg2(level, channel, format, args);
    va_end(args);
}

void Logger::LogMSG_c(int level, const char* channel, const char* format, va_list args) {
    LogMsg2(static_cast<Level>(level), ustring(channel ? channel : ""), format, args);
}

void Logger::LogMsg2(Level level, const ustring& channel, const char* format, va_list args) {
    if (log_type != SYSLOG_LOGGER && current_stream() == nullptr) return;
    pthread_mutex_lock(&log_lock);
    auto& table = level_table();
    auto it = table.find(channel);
    int allowed = it == table.end() ? L_WARNING : it->second;
    if (static_cast<int>(level) > allowed) {
        pthread_mutex_unlock(&log_lock);
        return;
    }
    FILE* fp = current_stream();
    if ((log_type == STDOUT_LOGGER || log_type == STDERR_LOGGER || log_type >= FILE_LOGGER) && fp) {
        char stamp[64];
        std::time_t now = std::time(nullptr);
        struct tm tmv;
        localtime_r(&now, &tmv);
        std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
        int a = std::fprintf(fp, "%s", stamp);
        int b = std::vfprintf(fp, format, args);
        std::fflush(fp);
        if (log_type >= FILE_LOGGER && log_size >= 0 && a >= 0 && b >= 0) {
            log_size += a + b;
            if (log_size > 0x100000) {
                Rotate();
                log_size = 0;
            }
        }
    } else {
        std::vfprintf(stderr, format, args);
    }
    pthread_mutex_unlock(&log_lock);
}

int Logger::Rotate() {
    std::remove(rotated_name(rotate_cnt - 1).c_str_utf8());
    for (int i = rotate_cnt - 2; i >= 0; --i)
        std::rename(rotated_name(i).c_str_utf8(), rotated_name(i + 1).c_str_utf8());
    if (log_fp && !log_fp_default) std::fclose(log_fp);
    log_fp = nullptr;
    log_fp_default = false;
    if (std::rename(log_path_ptr()->c_str_utf8(), rotated_name(0).c_str_utf8()) != 0) return -1;
    FILE* fp = std::fopen(log_path_ptr()->c_str_utf8(), "a");
    if (!fp) return -1;
    no_inherit(fp);
    log_fp = fp;
    return 0;
}

void Logger::Destroy() {
    pthread_mutex_lock(&log_lock);
    if (log_fp && !log_fp_default && log_fp != stdout && log_fp != stderr) std::fclose(log_fp);
    log_fp = nullptr;
    log_fp_default = true;
    log_type = STDOUT_LOGGER;
    log_size = -1;
    log_path_ptr()->clear();
    pthread_mutex_unlock(&log_lock);
}
