// FileStatusDB: which local paths are being synchronised right now, in one database
// file shared with other programs on the machine (status badges). Every operation
// opens the file, does its work and closes it again.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "foundation/ustring.h"

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

class FileStatusDB {
public:
    static int initialize(const ustring& path);
    static void destroy();
    static const ustring& getPath() { return m_fstatDBPath; }

    static int removeAllEntry();
    static int updateAllSyncingEntry();
    static int setFileSyncStat(const FileStatusInfo& info);
    static int rmFileStatByPath(const ustring& path);
    // The row of info.path and the rows of everything below it (keys that go on with "\\").
    static int rmFileSyncStat(const FileStatusInfo& info);
    // 1 and the row when the path has one, 0 when none, -1 on error.
    static int getFileSyncStat(const ustring& path, FileStatusInfo* info);
    // The direct children of `dir`, one page; null (count 0) when there is none.
    static std::unique_ptr<FileStatusInfo[]> getFileSyncStats(const ustring& dir, int start, int limit, int& count);
    static bool isAnyFileSyncing();
    static bool isAnySubFileDirSyncing(const ustring& prefix);

private:
    static ustring m_fstatDBPath;
};
