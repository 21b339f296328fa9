// Results of the filter matcher: 0 allows a path, a negative code names the rule
// that excluded it. The same numbers name the selective-sync rule kinds stored in
// the filter database.
#pragma once

enum FilterCode {
    FILTER_OK = 0,
    FILTER_ERROR = -1,
    FILTER_CHAR = -2,
    FILTER_PREFIX = -3,
    FILTER_NAME = -4,
    FILTER_EXT = -5,
    FILTER_LENGTH = -6,
    FILTER_PATH = -7,
    FILTER_FILE_SIZE = -8,
    FILTER_PATH_SIZE = -9,
    FILTER_EA_NAME = -10,
    FILTER_DIR_PREFIX = -11,
    FILTER_EXT_SELECTIVE_SYNC = -12,
    FILTER_PATH_PREFIX_SELECTIVE_SYNC = -13,
    FILTER_NAME_SELECTIVE_SYNC = -14,
    FILTER_FILE_SIZE_SELECTIVE_SYNC = -15,
};

// The selective-sync rules by name, extension and path prefix: a path they hold back
// is recorded, so that loosening the rule later brings it back.
inline bool IsSelectiveSyncCode(int code) {
    return code == FILTER_EXT_SELECTIVE_SYNC || code == FILTER_PATH_PREFIX_SELECTIVE_SYNC ||
           code == FILTER_NAME_SELECTIVE_SYNC;
}
