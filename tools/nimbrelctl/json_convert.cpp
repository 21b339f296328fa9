#include "json_convert.h"

namespace nimbrelctl {
namespace {

// The value stream counts string bytes in 16 bits.
constexpr size_t kMaxStringBytes = 65535;
// Deep enough for any real request, shallow enough to keep the recursion harmless.
constexpr int kMaxDepth = 64;

bool Convert(const nlohmann::json& in, PObject& out, std::string& error, int depth, const std::string& where) {
    if (depth > kMaxDepth) {
        error = "nesting deeper than " + std::to_string(kMaxDepth) + " levels at " + where;
        return false;
    }
    switch (in.type()) {
        case nlohmann::json::value_t::null:
            out.clear();
            return true;
        case nlohmann::json::value_t::boolean:
            out = static_cast<uint64_t>(in.get<bool>() ? 1 : 0);
            return true;
        case nlohmann::json::value_t::number_unsigned:
            out = in.get<uint64_t>();
            return true;
        case nlohmann::json::value_t::number_integer: {
            const int64_t v = in.get<int64_t>();
            if (v < 0) {
                error = "negative number " + std::to_string(v) + " at " + where + " (only non-negative integers)";
                return false;
            }
            out = static_cast<uint64_t>(v);
            return true;
        }
        case nlohmann::json::value_t::number_float:
            error = "number " + in.dump() + " at " + where + " is not an integer";
            return false;
        case nlohmann::json::value_t::string: {
            const std::string& s = in.get_ref<const std::string&>();
            if (s.size() > kMaxStringBytes) {
                error = "string at " + where + " is longer than 65535 bytes";
                return false;
            }
            out = ustring(s);
            return true;
        }
        case nlohmann::json::value_t::array: {
            out.clear();
            out.asArray();
            size_t i = 0;
            for (const auto& element : in) {
                PObject item;
                if (!Convert(element, item, error, depth + 1, where + "[" + std::to_string(i) + "]")) return false;
                out.asArray().push_back(item);
                ++i;
            }
            return true;
        }
        case nlohmann::json::value_t::object: {
            out.clear();
            out.asMap();
            for (const auto& [key, value] : in.items()) {
                if (key.size() > kMaxStringBytes) {
                    error = "key at " + where + " is longer than 65535 bytes";
                    return false;
                }
                PObject item;
                if (!Convert(value, item, error, depth + 1, where + "." + key)) return false;
                out[ustring(key)] = item;
            }
            return true;
        }
        default:
            error = "unsupported JSON value at " + where;
            return false;
    }
}

}  // namespace

bool JsonToPObject(const nlohmann::json& in, PObject& out, std::string& error) {
    PObject result;
    if (!Convert(in, result, error, 0, "top level")) return false;
    out.swap(result);
    return true;
}

nlohmann::json PObjectToJson(const PObject& in, bool signed_codes) {
    if (in.isInteger()) {
        // The value stream has no sign: a negative 32-bit code (an error) arrives
        // sign-extended and reads as the code it is, not as 18446744073709551610.
        const uint64_t v = in.asUInt64();
        if (signed_codes && v >= 0xFFFFFFFF80000000ull) return static_cast<int64_t>(v);
        return v;
    }
    if (in.isString()) return in.asString().str();
    if (in.isBinary()) {
        const PObject::binary_type& b = in.asBinary();
        return {{"binary", {{"offset", b.offset}, {"length", b.length}, {"path", b.path.str()}}}};
    }
    if (in.isArray()) {
        nlohmann::json out = nlohmann::json::array();
        for (const PObject& element : in.asArray()) out.push_back(PObjectToJson(element, signed_codes));
        return out;
    }
    if (in.isMap()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, value] : in.asMap()) out[key.str()] = PObjectToJson(value, signed_codes);
        return out;
    }
    return nullptr;
}

std::string DumpLine(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace nimbrelctl
