#include "wire/object.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <iterator>

const PObject::binary_type PObject::empty_binary;
const ustring PObject::empty_string;
const PObject::map_type PObject::empty_map;
const PObject::array_type PObject::empty_array;
const PObject PObject::empty_object;

PObject::PObject(const PObject& other) { *this = other; }

PObject::PObject(const ustring& s) : type(TYPE_STRING), data(new ustring(s)) {}
PObject::PObject(const char* s) : type(TYPE_STRING), data(new ustring(s ? s : "")) {}
PObject::PObject(bool b) { setInteger(b ? 1 : 0); }
PObject::PObject(const binary_type& b) : type(TYPE_BINARY), data(new binary_type(b)) {}
PObject::PObject(const map_type& m) : type(TYPE_MAP), data(new map_type(m)) {}
PObject::PObject(const array_type& a) : type(TYPE_ARRAY), data(new array_type(a)) {}

void PObject::setInteger(uint64_t v) {
    type = TYPE_INTEGER;
    data = new uint64_t(v);
}

PObject& PObject::operator=(const PObject& other) {
    if (this == &other) return *this;
    PObject copy;  // built first, so that assigning a member of this value works
    switch (other.type) {
        case TYPE_ARRAY:
            copy.data = new array_type(*static_cast<const array_type*>(other.data));
            break;
        case TYPE_MAP:
            copy.data = new map_type(*static_cast<const map_type*>(other.data));
            break;
        case TYPE_INTEGER:
            copy.data = new uint64_t(*static_cast<const uint64_t*>(other.data));
            break;
        case TYPE_STRING:
            copy.data = new ustring(*static_cast<const ustring*>(other.data));
            break;
        case TYPE_BINARY:
            copy.data = new binary_type(*static_cast<const binary_type*>(other.data));
            break;
        default:
            break;
    }
    copy.type = copy.data ? other.type : TYPE_NULL;
    swap(copy);
    return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
    if (this != &other) {
        PObject tmp;
        tmp.swap(other);
        swap(tmp);
    }
    return *this;
}

PObject& PObject::operator=(const ustring& s) {
    PObject v(s);
    swap(v);
    return *this;
}
PObject& PObject::operator=(const char* s) {
    PObject v(s);
    swap(v);
    return *this;
}
PObject& PObject::operator=(bool b) {
    PObject v(b);
    swap(v);
    return *this;
}
PObject& PObject::operator=(const binary_type& b) {
    PObject v(b);
    swap(v);
    return *this;
}
PObject& PObject::operator=(const map_type& m) {
    PObject v(m);
    swap(v);
    return *this;
}
PObject& PObject::operator=(const array_type& a) {
    PObject v(a);
    swap(v);
    return *this;
}

void PObject::clear() {
    switch (type) {
        case TYPE_ARRAY:
            delete static_cast<array_type*>(data);
            break;
        case TYPE_MAP:
            delete static_cast<map_type*>(data);
            break;
        case TYPE_INTEGER:
            delete static_cast<uint64_t*>(data);
            break;
        case TYPE_STRING:
            delete static_cast<ustring*>(data);
            break;
        case TYPE_BINARY:
            delete static_cast<binary_type*>(data);
            break;
        default:
            break;
    }
    type = TYPE_NULL;
    data = nullptr;
}

void PObject::swap(PObject& other) noexcept {
    std::swap(type, other.type);
    std::swap(data, other.data);
}

bool PObject::isEmpty() const {
    switch (type) {
        case TYPE_NULL:
            return true;
        case TYPE_ARRAY:
            return static_cast<const array_type*>(data)->empty();
        case TYPE_MAP:
            return static_cast<const map_type*>(data)->empty();
        case TYPE_STRING:
            return static_cast<const ustring*>(data)->empty();
        case TYPE_BINARY:
            return static_cast<const binary_type*>(data)->empty();
        default:
            return false;
    }
}

bool PObject::asBool() const { return isInteger() ? asInteger() != 0 : !isEmpty(); }

ustring PObject::asString() const {
    if (isString()) return *static_cast<const ustring*>(data);
    if (isInteger()) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(asInteger() & 0xFFFFFFFFu));
        return ustring(buf);
    }
    return ustring();
}

const PObject::map_type& PObject::asMap() const { return isMap() ? *static_cast<const map_type*>(data) : empty_map; }
const PObject::array_type& PObject::asArray() const {
    return isArray() ? *static_cast<const array_type*>(data) : empty_array;
}
const PObject::binary_type& PObject::asBinary() const {
    return isBinary() ? *static_cast<const binary_type*>(data) : empty_binary;
}

template <class T>
T& PObject::become(int kind) {
    if (type != kind) {
        clear();
        data = new T();
        type = kind;
    }
    return *static_cast<T*>(data);
}

PObject::map_type& PObject::asMap() { return become<map_type>(TYPE_MAP); }
PObject::array_type& PObject::asArray() { return become<array_type>(TYPE_ARRAY); }
PObject::binary_type& PObject::asBinary() { return become<binary_type>(TYPE_BINARY); }

const PObject& PObject::operator[](const ustring& key) const {
    if (!isMap()) return empty_object;
    const auto& m = *static_cast<const map_type*>(data);
    auto it = m.find(key);
    return it == m.end() ? empty_object : it->second;
}

PObject& PObject::operator[](const ustring& key) { return asMap()[key]; }

const PObject& PObject::at(uint64_t index) const {
    if (isArray()) {
        const auto& a = *static_cast<const array_type*>(data);
        return index < a.size() ? a[index] : empty_object;
    }
    if (isMap()) {
        const auto& m = *static_cast<const map_type*>(data);
        if (index >= m.size()) return empty_object;
        return std::next(m.begin(), static_cast<std::ptrdiff_t>(index))->second;
    }
    return empty_object;
}

bool PObject::hasMember(const ustring& key) const {
    return isMap() && static_cast<const map_type*>(data)->count(key) != 0;
}

bool IsSecretKey(const std::string& key) {
    std::string k(key);
    for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!k.empty() && k[0] == '_') k.erase(0, 1);
    if (k == "session" || k == "iv") return true;
    static const char* const kWords[] = {"password",  "passwd",   "secret",      "token",  "credential",
                                         "relay_key", "relay_iv", "private_key", "api_key"};
    for (const char* w : kWords)
        if (k.find(w) != std::string::npos) return true;
    return false;
}

void PObject::appendText(std::string& out) const {
    switch (type) {
        case TYPE_NULL:
            out += "null";
            break;
        case TYPE_INTEGER:
            out += std::to_string(asInteger());
            break;
        case TYPE_STRING:
            out += '"';
            out += static_cast<const ustring*>(data)->str();
            out += '"';
            break;
        case TYPE_BINARY: {
            const auto& b = *static_cast<const binary_type*>(data);
            out += "{offset: " + std::to_string(b.offset) + ", length: " + std::to_string(b.length) + ", path: \"" +
                   b.path.str() + "\"}";
            break;
        }
        case TYPE_ARRAY: {
            out += '[';
            bool first = true;
            for (const auto& e : *static_cast<const array_type*>(data)) {
                if (!first) out += ", ";
                first = false;
                e.appendText(out);
            }
            out += ']';
            break;
        }
        case TYPE_MAP: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : *static_cast<const map_type*>(data)) {
                if (!first) out += ", ";
                first = false;
                out += '"';
                out += k.str();
                out += "\": ";
                if (IsSecretKey(k.str()) && !v.isContainer())
                    out += "\"***\"";
                else
                    v.appendText(out);
            }
            out += '}';
            break;
        }
        default:
            break;
    }
}

ustring PObject::toString() const {
    std::string out;
    appendText(out);
    return ustring(out);
}

bool operator==(const PObject& a, const PObject& b) {
    if (a.getType() != b.getType()) return false;
    switch (a.getType()) {
        case PObject::TYPE_NULL:
            return true;
        case PObject::TYPE_INTEGER:
            return a.asInteger() == b.asInteger();
        case PObject::TYPE_STRING:
            return a.asString() == b.asString();
        case PObject::TYPE_BINARY:
            return a.asBinary() == b.asBinary();
        case PObject::TYPE_ARRAY:
            return a.asArray() == b.asArray();
        case PObject::TYPE_MAP:
            return a.asMap() == b.asMap();
        default:
            return false;
    }
}
