#include "foundation/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "foundation/config.h"
#include "foundation/mutex.h"

namespace {

Mutex log_lock;
Logger::Type log_type GUARDED_BY(log_lock) = Logger::STDOUT_LOGGER;
// null with STDOUT_LOGGER before Initialize means standard error
FILE* log_fp GUARDED_BY(log_lock) = nullptr;
bool log_fp_default GUARDED_BY(log_lock) = true;
int log_size GUARDED_BY(log_lock) = -1;
int rotate_cnt GUARDED_BY(log_lock) = 50;
ustring* log_path_ptr() REQUIRES(log_lock) {
    static ustring* p = new ustring();  // never destroyed: may be used during exit
    return p;
}

std::map<ustring, int>& level_table() REQUIRES(log_lock) {
    static auto* t = new std::map<ustring, int>();
    return *t;
}

// The highest level any channel allows (a channel without an entry takes
// "default_component"'s, L_WARNING without one); kept with every change of the table.
std::atomic<int> highest_level{Logger::L_WARNING};
void NoteLevels() REQUIRES(log_lock) {
    const auto& table = level_table();
    int highest = table.count("default_component") ? 0 : Logger::L_WARNING;
    for (const auto& [channel, level] : table) highest = std::max(highest, level);
    highest_level.store(highest, std::memory_order_relaxed);
}

FILE* current_stream() REQUIRES(log_lock) {
    if (log_fp_default) return stderr;
    return log_fp;
}

void no_inherit(FILE* fp) {
    int fd = fileno(fp);
    if (fd >= 0) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

ustring rotated_name(int index) REQUIRES(log_lock) {
    char buf[2048];
    std::snprintf(buf, sizeof buf, "%s_%d", log_path_ptr()->c_str_utf8(), index);
    return ustring(buf);
}

bool RotateLocked() REQUIRES(log_lock);

// A channel's level; a channel the level file does not name takes the level of
// "default_component" (seeded with L_WARNING), so one line there sets every other.
int LevelOf(const std::map<ustring, int>& table, const ustring& channel) {
    auto it = table.find(channel);
    if (it != table.end()) return it->second;
    it = table.find("default_component");
    return it == table.end() ? Logger::L_WARNING : it->second;
}

std::string Format(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string text(static_cast<size_t>(n), '\0');
    std::vsnprintf(text.data(), static_cast<size_t>(n) + 1, format, args);
    return text;
}

// A control byte inside a message (a newline in a file name) would forge log lines:
// each becomes \xNN; only the message's own final newline stays.
std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 || c == 0x7F) && !(c == '\n' && i + 1 == text.size())) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The log holds file names and server replies: only its owner reads it, whatever the
// umask.
FILE* OpenPrivateLog(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
    FILE* fp = ::fdopen(fd, "a");
    if (!fp) ::close(fd);
    return fp;
}

}  // namespace

bool Logger::Initialize(Type type, const ustring& log_path, const ustring& level_path, int rotate) {
    MutexLock l(log_lock);
    auto& table = level_table();
    table["default_component"] = 4;
    if (!level_path.empty()) {
        Config cfg;
        if (cfg.read(level_path))
            for (auto& [k, v] : cfg.store) table[k] = Config::to_int(v);
    }
    NoteLevels();
    log_type = type;
    if (type >= FILE_LOGGER) {
        if (log_path.empty()) return false;
        FILE* fp = OpenPrivateLog(log_path.c_str_utf8());
        if (!fp) return false;
        no_inherit(fp);
        log_fp = fp;
        log_fp_default = false;
        log_size = 0;
        *log_path_ptr() = log_path;
        rotate_cnt = rotate;
        return true;
    }
    log_fp_default = false;
    log_fp = type == STDOUT_LOGGER ? stdout : type == STDERR_LOGGER ? stderr : nullptr;
    log_path_ptr()->clear();
    log_size = -1;
    return true;
}

int Logger::GetLevel(const ustring& channel) {
    MutexLock l(log_lock);
    auto& table = level_table();
    return LevelOf(table, channel);
}

void Logger::SetLevel(const ustring& channel, int level) {
    MutexLock l(log_lock);
    level_table()[channel] = level;
    NoteLevels();
}

bool Logger::Wants(int level, const char* channel) {
    return level <= highest_level.load(std::memory_order_relaxed) && GetLevel(ustring(channel)) >= level;
}

bool Logger::Wants(int level, const ustring& channel) {
    return level <= highest_level.load(std::memory_order_relaxed) && GetLevel(channel) >= level;
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
    MutexLock l(log_lock);
    if (log_type != SYSLOG_LOGGER && current_stream() == nullptr) return;
    auto& table = level_table();
    const int allowed = LevelOf(table, channel);
    if (static_cast<int>(level) > allowed) return;
    FILE* fp = current_stream();
    if ((log_type == STDOUT_LOGGER || log_type == STDERR_LOGGER || log_type >= FILE_LOGGER) && fp) {
        char stamp[64];
        std::time_t now = std::time(nullptr);
        struct tm tmv;
        localtime_r(&now, &tmv);
        std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
        int a = std::fprintf(fp, "%s", stamp);
        const std::string text = EscapeControls(Format(format, args));
        int b = static_cast<int>(std::fwrite(text.data(), 1, text.size(), fp));
        std::fflush(fp);
        if (log_type >= FILE_LOGGER && log_size >= 0 && a >= 0 && b >= 0) {
            log_size += a + b;
            if (log_size > 0x100000) {
                static_cast<void>(RotateLocked());  // a failed rotation leaves no file: lines go nowhere
                log_size = 0;
            }
        }
    } else {
        const std::string text = EscapeControls(Format(format, args));
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

void Logger::LogAt(Level level, const ustring& channel, const char* file, int line, const char* body, ...) {
    static const char* const kWords[] = {"EMERG", "ALERT", "CRIT", "ERROR", "WARNING", "NOTE", "INFO", "DEBUG"};
    const char* word = level >= L_EMERG && level <= L_DEBUG ? kWords[level] : "DEBUG";
    va_list ap;
    va_start(ap, body);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, body, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), static_cast<size_t>(n) + 1, body, ap2);
    va_end(ap2);
    LogMsg(level, channel, "[%s] %s(%d): %s", word, file, line, text.c_str());
}

bool Logger::Rotate() {
    MutexLock l(log_lock);
    return RotateLocked();
}

namespace {
bool RotateLocked() {
    std::remove(rotated_name(rotate_cnt - 1).c_str_utf8());
    for (int i = rotate_cnt - 2; i >= 0; --i)
        std::rename(rotated_name(i).c_str_utf8(), rotated_name(i + 1).c_str_utf8());
    if (log_fp && !log_fp_default) std::fclose(log_fp);
    log_fp = nullptr;
    log_fp_default = false;
    if (std::rename(log_path_ptr()->c_str_utf8(), rotated_name(0).c_str_utf8()) != 0) return false;
    FILE* fp = OpenPrivateLog(log_path_ptr()->c_str_utf8());
    if (!fp) return false;
    no_inherit(fp);
    log_fp = fp;
    return true;
}
}  // namespace

void Logger::Destroy() {
    MutexLock l(log_lock);
    if (log_fp && !log_fp_default && log_fp != stdout && log_fp != stderr) std::fclose(log_fp);
    log_fp = nullptr;
    log_fp_default = true;
    log_type = STDOUT_LOGGER;
    log_size = -1;
    log_path_ptr()->clear();
}
