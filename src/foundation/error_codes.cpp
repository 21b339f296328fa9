#include "foundation/error_codes.h"

namespace {

const char* const kErrorText[] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "Halden disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
};
constexpr int kTableSize = static_cast<int>(sizeof kErrorText / sizeof kErrorText[0]);
static_assert(kTableSize == -ERR_MAX, "one text per result code");

}  // namespace

const char* GetErrorString(int code) {
    // Computed in 64 bits so that INT_MIN has an absolute value too.
    long long index = code < 0 ? -static_cast<long long>(code) : code;
    if (index >= kTableSize) return "Unknown error";
    return kErrorText[index];
}
