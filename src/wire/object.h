// PObject: the dynamic value carried by every message - null, unsigned 64-bit
// integer, string, binary (a stretch of a local file), array or map. A value owns
// its tree; copies are deep. Read-only accessors never change the value and return
// shared empty defaults for a value of another kind; the writable ones convert it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

#include "foundation/ustring.h"

class PObject {
public:
    enum {
        TYPE_NULL = 0,
        TYPE_ARRAY = 1,
        TYPE_MAP = 2,
        TYPE_INTEGER = 3,
        TYPE_STRING = 4,
        TYPE_BINARY = 5,
    };

    // A stretch of a local file. Sending: `length` bytes of `path` from `offset`.
    // Receiving: the file to write (empty: a fresh temporary file), where writing
    // starts, and the length the file is known to have.
    struct binary_type {
        uint64_t offset = 0;
        uint64_t length = 0;
        ustring path;
        // When set, the open file to send (its own copy of the descriptor is read;
        // path then only names it in log lines): the file its sender examined, never
        // another one that took its name since. Closed with the last copy.
        std::shared_ptr<const int> fd;

        binary_type() = default;
        binary_type(const ustring& p, uint64_t off, uint64_t len) : offset(off), length(len), path(p) {}
        binary_type(const ustring& p, std::shared_ptr<const int> open, uint64_t off, uint64_t len)
            : offset(off), length(len), path(p), fd(std::move(open)) {}
        void clear() {
            offset = 0;
            length = 0;
            path.clear();
            fd.reset();
        }
        bool empty() const { return path.empty(); }
        bool operator==(const binary_type& o) const {
            return offset == o.offset && length == o.length && path == o.path;
        }
    };
    using map_type = std::map<ustring, PObject>;
    using array_type = std::vector<PObject>;

    static const binary_type empty_binary;
    static const ustring empty_string;
    static const map_type empty_map;
    static const array_type empty_array;
    static const PObject empty_object;

    PObject() = default;
    PObject(const PObject& other);
    PObject(PObject&& other) noexcept { swap(other); }
    PObject(const ustring& s);      // NOLINT: values are built from texts everywhere
    PObject(const char* s);         // NOLINT
    PObject(bool b);                // NOLINT
    PObject(const binary_type& b);  // NOLINT
    PObject(const map_type& m);     // NOLINT
    PObject(const array_type& a);   // NOLINT
    // Every integer type; signed values are sign-extended, so -1 holds all 64 bits set.
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    PObject(I v) {  // NOLINT
        setInteger(static_cast<uint64_t>(static_cast<std::conditional_t<std::is_signed_v<I>, int64_t, uint64_t>>(v)));
    }
    ~PObject() { clear(); }

    PObject& operator=(const PObject& other);
    PObject& operator=(PObject&& other) noexcept;
    PObject& operator=(const ustring& s);
    PObject& operator=(const char* s);
    PObject& operator=(bool b);
    PObject& operator=(const binary_type& b);
    PObject& operator=(const map_type& m);
    PObject& operator=(const array_type& a);
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    PObject& operator=(I v) {
        clear();
        setInteger(static_cast<uint64_t>(static_cast<std::conditional_t<std::is_signed_v<I>, int64_t, uint64_t>>(v)));
        return *this;
    }

    int getType() const { return type; }
    bool isNull() const { return type == TYPE_NULL; }
    bool isArray() const { return type == TYPE_ARRAY; }
    bool isMap() const { return type == TYPE_MAP; }
    bool isInteger() const { return type == TYPE_INTEGER; }
    bool isString() const { return type == TYPE_STRING; }
    bool isBinary() const { return type == TYPE_BINARY; }
    bool isContainer() const { return isArray() || isMap(); }
    bool isPrimitive() const { return isInteger() || isString() || isBinary(); }
    // Null, an empty container, an empty string or a binary without path; never an integer.
    bool isEmpty() const;

    bool asBool() const;
    uint64_t asInteger() const { return isInteger() ? *static_cast<const uint64_t*>(data) : 0; }
    uint64_t asUInt64() const { return asInteger(); }
    int64_t asInt64() const { return static_cast<int64_t>(asInteger()); }
    uint32_t asUInt32() const { return static_cast<uint32_t>(asInteger()); }
    int32_t asInt32() const { return static_cast<int32_t>(asInteger()); }
    uint16_t asUInt16() const { return static_cast<uint16_t>(asInteger()); }
    int16_t asInt16() const { return static_cast<int16_t>(asInteger()); }
    uint8_t asUInt8() const { return static_cast<uint8_t>(asInteger()); }
    int8_t asInt8() const { return static_cast<int8_t>(asInteger()); }
    // A string's text; an integer's low 32 bits in decimal; otherwise empty.
    ustring asString() const;

    const map_type& asMap() const;
    const array_type& asArray() const;
    const binary_type& asBinary() const;
    map_type& asMap();
    array_type& asArray();
    binary_type& asBinary();

    const PObject& operator[](const ustring& key) const;
    PObject& operator[](const ustring& key);
    // Element `index` of an array, or the entry `index` steps into a map in key order.
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    const PObject& operator[](I index) const {
        if constexpr (std::is_signed_v<I>)
            if (index < 0) return empty_object;
        return at(static_cast<uint64_t>(index));
    }
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    const PObject& operator[](I index) {
        return static_cast<const PObject&>(*this)[index];
    }
    const PObject& at(uint64_t index) const;
    bool hasMember(const ustring& key) const;

    void clear();
    void swap(PObject& other) noexcept;
    // One-line text for log lines. The value of a member whose key names a secret
    // (IsSecretKey) is shown as "***", at any depth: logs never carry credentials.
    ustring toString() const;

private:
    // The value as a T of kind `kind`; a value of another kind is replaced by an empty T.
    template <class T>
    T& become(int kind);
    void setInteger(uint64_t v);
    void appendText(std::string& out) const;

    int32_t type = TYPE_NULL;
    void* data = nullptr;
};

// True for a map key that holds a credential: "session" (the server token), any key
// naming a password, secret, token or credential, and the relay's key material.
bool IsSecretKey(const std::string& key);

bool operator==(const PObject& a, const PObject& b);
inline bool operator!=(const PObject& a, const PObject& b) { return !(a == b); }
