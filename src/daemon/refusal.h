// How a control action says no. The "error" text is fixed (UIs match it); "reason"
// beside it names the cause in plain words for the person reading it.
#pragma once

#include <string>

#include "wire/object.h"

// Sets reply["error"] to error and reply["reason"] to reason (not set when empty).
inline void Refuse(PObject& reply, const char* error, const std::string& reason) {
    reply["error"] = error;
    if (!reason.empty()) reply["reason"] = ustring(reason.c_str());
}
