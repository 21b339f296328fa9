// ustring: the one text type of the system.
// UTF-8 is the primary form; a UTF-16 copy is made on demand and cached until the
// text changes. Lengths and positions count UTF-8 bytes; ordering is by unsigned bytes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

class ustring {
public:
    static constexpr uint32_t npos = 0xFFFFFFFFu;
    enum normalization_form { NFC = 0, NFD = 1 };

    ustring();
    ustring(const ustring& other);
    ustring(ustring&& other) noexcept;
    ustring(const ustring& other, uint32_t pos, uint32_t len = npos);
    ustring(const char* s);  // NOLINT: implicit on purpose, texts are passed everywhere
    ustring(const char* s, uint32_t n);
    ustring(const std::string& s);  // NOLINT
    ustring(const std::string& s, uint32_t pos, uint32_t len = npos);
    explicit ustring(char c, uint32_t n = 1);
    ustring(const char16_t* w);  // NOLINT
    ustring(const char16_t* w, uint32_t n);
    explicit ustring(char16_t wc, uint32_t n = 1);
    ~ustring();

    ustring& operator=(const ustring& other);
    ustring& operator=(ustring&& other) noexcept;
    ustring& operator=(const char* s);
    ustring& operator=(const std::string& s);
    ustring& operator=(char c);
    ustring& operator=(const char16_t* w);
    ustring& operator=(char16_t wc);

    ustring& assign(const ustring& other, uint32_t pos = 0, uint32_t len = npos);
    ustring& assign(const char* s);
    ustring& assign(const char* s, uint32_t n);
    ustring& assign(char c, uint32_t n = 1);
    ustring& assign(const char16_t* w);
    ustring& assign(const char16_t* w, uint32_t n);
    ustring& assign(char16_t wc, uint32_t n = 1);

    ustring& append(const ustring& other);
    ustring& append(const char* s);
    ustring& append(const char* s, uint32_t n);  // stops early at a zero byte
    ustring& append(const std::string& s);
    ustring& append(char c, uint32_t n = 1);
    ustring& append(const char16_t* w);
    ustring& append(const char16_t* w, uint32_t n);
    ustring& append(char16_t wc, uint32_t n = 1);

    ustring& operator+=(const ustring& other) { return append(other); }
    ustring& operator+=(const char* s) { return append(s); }
    ustring& operator+=(const std::string& s) { return append(s); }
    ustring& operator+=(char c) { return append(c); }
    ustring& operator+=(const char16_t* w) { return append(w); }
    ustring& operator+=(char16_t wc) { return append(wc); }

    const char* c_str_utf8() const { return data; }
    const char16_t* c_str() const;
    const char16_t* c_str_utf16() const { return c_str(); }
    std::string str() const { return std::string(data, data_len); }

    uint32_t length() const { return data_len; }
    uint32_t size() const { return data_len; }
    bool empty() const { return data_len == 0; }
    void clear();

    ustring substr(uint32_t pos = 0, uint32_t len = npos) const;
    char operator[](uint32_t pos) const { return data[pos]; }
    char& operator[](uint32_t pos);
    void replace(char from, char to);

    // Searches on UTF-8 bytes.
    uint32_t find(const char* s, uint32_t pos = 0) const;
    uint32_t find(const ustring& s, uint32_t pos = 0) const { return find_n(s.data, s.data_len, pos); }
    uint32_t find(const std::string& s, uint32_t pos = 0) const;
    uint32_t find(char c, uint32_t pos = 0) const { return find_n(&c, 1, pos); }
    uint32_t rfind(const char* s, uint32_t pos = npos) const;
    uint32_t rfind(const ustring& s, uint32_t pos = npos) const { return rfind_n(s.data, s.data_len, pos); }
    uint32_t rfind(const std::string& s, uint32_t pos = npos) const;
    uint32_t rfind(char c, uint32_t pos = npos) const { return rfind_n(&c, 1, pos); }
    uint32_t find_first_of(const char* set, uint32_t pos = 0) const;
    uint32_t find_first_of(const ustring& set, uint32_t pos = 0) const {
        return first_of(set.data, set.data_len, pos, true);
    }
    uint32_t find_first_of(const std::string& set, uint32_t pos = 0) const;
    uint32_t find_first_of(char c, uint32_t pos = 0) const { return first_of(&c, 1, pos, true); }
    uint32_t find_first_not_of(const char* set, uint32_t pos = 0) const;
    uint32_t find_first_not_of(const ustring& set, uint32_t pos = 0) const {
        return first_of(set.data, set.data_len, pos, false);
    }
    uint32_t find_first_not_of(const std::string& set, uint32_t pos = 0) const;
    uint32_t find_first_not_of(char c, uint32_t pos = 0) const { return first_of(&c, 1, pos, false); }
    uint32_t find_last_of(const char* set, uint32_t pos = npos) const;
    uint32_t find_last_of(const ustring& set, uint32_t pos = npos) const {
        return last_of(set.data, set.data_len, pos, true);
    }
    uint32_t find_last_of(const std::string& set, uint32_t pos = npos) const;
    uint32_t find_last_of(char c, uint32_t pos = npos) const { return last_of(&c, 1, pos, true); }
    uint32_t find_last_not_of(const char* set, uint32_t pos = npos) const;
    uint32_t find_last_not_of(const ustring& set, uint32_t pos = npos) const {
        return last_of(set.data, set.data_len, pos, false);
    }
    uint32_t find_last_not_of(const std::string& set, uint32_t pos = npos) const;
    uint32_t find_last_not_of(char c, uint32_t pos = npos) const { return last_of(&c, 1, pos, false); }

    ustring& ltrim(const char* set);
    ustring& ltrim(const ustring& set) { return ltrim(set.data); }
    ustring& rtrim(const char* set);
    ustring& rtrim(const ustring& set) { return rtrim(set.data); }
    ustring& trim(const char* set) {
        ltrim(set);
        return rtrim(set);
    }
    ustring& trim(const ustring& set) { return trim(set.data); }

    int compare(const ustring& other, uint32_t n) const;
    int compare(const ustring& other) const { return compare(*this, other, false); }
    static int compare(const ustring& a, const ustring& b, bool caseless);

    static bool is_valid(const ustring& text);
    ustring normalize(normalization_form form) const;
    static ustring normalize(const ustring& text, normalization_form form) { return text.normalize(form); }

    void swap(ustring& other) noexcept;

private:
    char* data = nullptr;
    uint32_t data_len = 0;
    uint32_t data_cap = 0;
    mutable char16_t* wdata = nullptr;
    mutable uint32_t wdata_len = 0;
    mutable uint32_t wdata_cap = 0;

    void reserve_utf8(uint32_t n);                 // room for n bytes plus the zero
    void reserve_utf16(uint32_t n) const;          // room for n units plus the zero
    void set_bytes(const char* s, uint32_t n);     // handles s pointing into this
    void append_bytes(const char* s, uint32_t n);  // handles s pointing into this
    void drop_utf16() const;
    void sync_from_utf16();
    void set_utf16(const char16_t* w, uint32_t n);
    void append_utf16(const char16_t* w, uint32_t n);
    uint32_t find_n(const char* s, uint32_t n, uint32_t pos) const;
    uint32_t rfind_n(const char* s, uint32_t n, uint32_t pos) const;
    uint32_t first_of(const char* set, uint32_t n, uint32_t pos, bool in) const;
    uint32_t last_of(const char* set, uint32_t n, uint32_t pos, bool in) const;
};

inline void swap(ustring& a, ustring& b) noexcept { a.swap(b); }

inline bool operator<(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) < 0; }
inline bool operator>(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) > 0; }
inline bool operator==(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) == 0; }
inline bool operator!=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) != 0; }
inline bool operator<=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) <= 0; }
inline bool operator>=(const ustring& a, const ustring& b) { return ustring::compare(a, b, false) >= 0; }
inline bool operator==(const ustring& a, const char* b) { return a == ustring(b); }
inline bool operator!=(const ustring& a, const char* b) { return !(a == ustring(b)); }

ustring operator+(const ustring& a, const ustring& b);
ustring operator+(const ustring& a, const char* b);
ustring operator+(const char* a, const ustring& b);
ustring operator+(const ustring& a, char b);
ustring operator+(const ustring& a, const char16_t* b);
ustring operator+(const ustring& a, char16_t b);

// ASCII-only caseless comparison of two zero-terminated byte strings.
int str_case_cmp(const char* a, const char* b);

std::ostream& operator<<(std::ostream& os, const ustring& s);
std::istream& operator>>(std::istream& is, ustring& s);

// Hash for unordered containers.
template <>
struct std::hash<ustring> {
    size_t operator()(const ustring& s) const noexcept {
        return std::hash<std::string_view>()(std::string_view(s.c_str_utf8(), s.length()));
    }
};
