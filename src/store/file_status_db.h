// FileStatusDB: which local paths are being synchronised right now, in one database
// file shared with other programs on the machine (status badges). The process keeps one
// handle open from initialize() to destroy().
//
// Marks from the event path are queued (queueSyncStat, queueRmByPath) and written by a
// writer thread, many rows to a transaction, within about 50 ms of the first one queued.
// Queuing touches only memory, so it may be called with any lock held. Every other
// operation first writes whatever is queued and then does its own work, so it sees, and
// is ordered after, every mark queued before it was called; those operations do
// database work and must not be called in a no-I/O zone (foundation/mutex.h).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "foundation/ustring.h"
#include "store/db_result.h"

enum { SFT_FILE = 0, SFT_DIR = 1 };
enum { FSTAT_UNKNOWN = 0, FSTAT_SYNCED = 1, FSTAT_SYNCING = 2, FSTAT_UNSUPPORT = 3 };
enum { FSTAT_DB_ID = 0, FSTAT_DB_PATH = 1, FSTAT_DB_FILETYPE = 2, FSTAT_DB_SYNCSTATUS = 3 };

// The key of a full local path: "/" and "\" swapped. A path without "\" keeps the
// form other programs read ("/s/a/b" is "\s\a\b"); "\" is a legal name byte here,
// and the swap (its own inverse) keeps "/s/a\b" ("\s\a/b") apart from "/s/a/b". A
// folder's key followed by "\" still starts the keys of everything inside it.
ustring FileStatusKey(const ustring& path);

struct FileStatusInfo {
    ustring path;  // the key of a full local path (FileStatusKey)
    int32_t fileType = SFT_FILE;
    int32_t syncStatus = FSTAT_UNKNOWN;
};

// Statement builder placeholders, in the order of grgVarnelParamList.
enum { SPID_INVALID = -1, SPID_VAR = 0, SPID_LVAR = 1, SPID_INT = 2, SPID_LLINT = 3, SPID_NEVAR = 4 };
extern const char* const grgVarnelParamList[5];

// Copies `format`, replacing each placeholder by the next argument:
//   @VARNEL:VAR   const char*  quotes doubled (null = empty)
//   @VARNEL:LVAR  const char*  quotes doubled, then %, _ and \ escaped for LIKE
//   @VARNEL:INT   int32_t      decimal
//   @VARNEL:LLINT int64_t      decimal
//   @VARNEL:NEVAR const char*  unchanged
// A quoted literal that held an LVAR gets " escape '\'" after its closing quote.
// Returns a malloc'd text the caller frees, or null (null format, bad placeholder).
char* SQLITEEscapeStringEX3(const char* format, va_list args);
char* VARNELDBEscapeStringEX3(const char* format, ...);

// Unless said otherwise, an operation gives DbResult (a failure is logged).
class FileStatusDB {
public:
    // kOk: the file is open (and the writer runs); kFailed: empty path or the file could
    // not be opened or set up (logged). Opening again closes the previous file first.
    [[nodiscard]] static DbResult initialize(const ustring& path);
    // Writes what is queued, ends the writer and closes the file.
    static void destroy();
    static const ustring& getPath() { return m_fstatDBPath; }

    // Queue the writes that setFileSyncStat and rmFileStatByPath do. kOk: queued;
    // kFailed: the database is not open, nothing is queued.
    [[nodiscard]] static DbResult queueSyncStat(const FileStatusInfo& info);
    [[nodiscard]] static DbResult queueRmByPath(const ustring& path);
    // Writes everything queued so far. kOk: written (or nothing to write); kFailed: the database
    // is not open or the transaction failed (logged; the rows are lost as a failed
    // single write would lose its row).
    [[nodiscard]] static DbResult flush();

    [[nodiscard]] static DbResult removeAllEntry();
    [[nodiscard]] static DbResult updateAllSyncingEntry();
    [[nodiscard]] static DbResult setFileSyncStat(const FileStatusInfo& info);
    [[nodiscard]] static DbResult rmFileStatByPath(const ustring& path);
    // The row of info.path and the rows of everything below it (keys that go on with
    // "\\"), matched literally: no character of the path acts as a pattern.
    [[nodiscard]] static DbResult rmFileSyncStat(const FileStatusInfo& info);
    // kFound and the row when the path has one, kAbsent when none.
    [[nodiscard]] static DbLookup getFileSyncStat(const ustring& path, FileStatusInfo* info);
    // The direct children of `dir`, one page; null (count 0) when there is none.
    static std::unique_ptr<FileStatusInfo[]> getFileSyncStats(const ustring& dir, int start, int limit, int& count);
    static bool isAnyFileSyncing();
    static bool isAnySubFileDirSyncing(const ustring& prefix);

private:
    static ustring m_fstatDBPath;
};
