// Conversion between JSON (what users type and read) and the daemon's dynamic values.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "wire/object.h"

namespace nimbrelctl {

// Objects become maps, arrays arrays, strings strings, non-negative integers
// integers, true/false 1/0 and null the null value. Anything else (negative or
// fractional numbers, over-long strings, absurd nesting) is refused: returns false
// with a one-line reason in error.
bool JsonToPObject(const nlohmann::json& in, PObject& out, std::string& error);

// The reverse; a binary value is shown as {"binary": {"offset", "length", "path"}}.
// With signed_codes (the daemon's notifications, whose integers are 32-bit codes and
// ids), an integer that is a sign-extended negative 32-bit number is shown as that
// negative number.
nlohmann::json PObjectToJson(const PObject& in, bool signed_codes = false);

// One line of JSON; bytes that are not valid UTF-8 are replaced, never fatal.
std::string DumpLine(const nlohmann::json& value);

}  // namespace nimbrelctl
