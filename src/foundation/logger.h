// Logger: the process-wide leveled log writer. Static state only, no instances.
// Formats are UTF-8 printf formats; each line reads "[LEVEL] source(line): body",
// e.g. "[ERROR] ipc.cpp(120): listen error, 98".
#pragma once

#include <cstdarg>
#include <cstdio>

#include "foundation/ustring.h"

// For a format that writes its own prefix: its first "%d" receives the source line.
// Modules use NLOG_AT below, which writes the prefix itself. Either way the arguments
// (event texts, paths) are only built when the line will be written: most lines are
// debug lines on busy paths.
#define NLOG(level, channel, format, ...)                                                        \
    do {                                                                                         \
        if (Logger::Wants(Logger::level, channel))                                               \
            Logger::LogMsg(Logger::level, channel, format, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// The call every module uses: the level, the module's channel, the source name and
// the body; the line reads "[LEVEL] <source>(<line>): <body>", e.g.
//   NLOG_AT(L_ERR, kChannel, "event-db.cpp", "The strpath is empty.\n");
#define NLOG_AT(level, channel, file, format, ...)                                                    \
    do {                                                                                              \
        if (Logger::Wants(Logger::level, channel))                                                    \
            Logger::LogAt(Logger::level, channel, file, __LINE__, format __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

class Logger {
public:
    enum Level { L_EMERG = 0, L_ALERT, L_CRIT, L_ERR, L_WARNING, L_NOTICE, L_INFO, L_DEBUG };
    enum Type { SYSLOG_LOGGER = 0, STDOUT_LOGGER = 1, STDERR_LOGGER = 2, FILE_LOGGER = 3 };

    // Sets where lines go and reads the channel levels from level_path (when given).
    // False when a file logger is asked for and its file cannot be opened.
    [[nodiscard]] static bool Initialize(Type type, const ustring& log_path, const ustring& level_path, int rotate_cnt);
    static void LogMsg(Level level, const ustring& channel, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    static void LogMsg2(Level level, const ustring& channel, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));
    static void LogMSG_c(int level, const char* channel, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));
    // Writes "[LEVEL] file(line): " and the formatted body as one line.
    static void LogAt(Level level, const ustring& channel, const char* file, int line, const char* body, ...)
        __attribute__((format(printf, 5, 6)));
    // Moves the file logger's file to "<file>.0" (and so on up) and opens a new one.
    // False when the file could not be moved or reopened.
    [[nodiscard]] static bool Rotate();
    static void Destroy();

    // Level in force for a channel; one without an entry takes "default_component"'s
    // (4 unless the level file sets it).
    static int GetLevel(const ustring& channel);
    // Whether a line of `level` on `channel` would be written. A level above every
    // channel's answers false at once, without the lock or a channel lookup: most
    // lines are debug lines on busy paths.
    static bool Wants(int level, const char* channel);
    static bool Wants(int level, const ustring& channel);
    // Lets tests raise or lower a channel without a level file.
    static void SetLevel(const ustring& channel, int level);
};
