// System-wide result codes: 0 is success, every failure is negative. The channel,
// the request protocol and the tasks all report through this one table.
#pragma once

enum {
    ERR_OK = 0,
    ERR_INT = -1,
    ERR_IO = -2,
    ERR_SYS = -3,
    ERR_INVAL = -4,
    ERR_PROTO = -5,
    ERR_AUTH = -6,
    ERR_SERVER = -7,
    ERR_CONFLICT = -8,
    ERR_TIMEOUT = -9,
    ERR_VERSION = -10,
    ERR_NOENT = -11,
    ERR_USER = -12,
    ERR_PASSWORD = -13,
    ERR_HALDENDISABLE = -14,
    ERR_QUOTA = -15,
    ERR_DISKFULL = -16,
    ERR_SYNCFOLDER_MISS = -17,
    ERR_VIEW = -18,
    ERR_PERMISS = -19,
    ERR_VIEW_PATH = -20,
    ERR_CH_CONNECTION_ABORT = -21,
    ERR_LOCAL_DISKFULL = -22,
    ERR_LOCKED_FILE = -23,
    ERR_MAX = -24,
};

// The text of a result code; the sign is ignored, codes outside the table give
// "Unknown error". The returned text is static.
const char* GetErrorString(int code);
