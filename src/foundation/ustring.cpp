#include "foundation/ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstring>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <utility>

namespace {

unsigned char fold_ascii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

uint32_t wlen(const char16_t* w) {
    uint32_t n = 0;
    while (w[n]) ++n;
    return n;
}

// Capacity rule shared by both forms: exact fit when growing or when the need
// falls under half the capacity, otherwise keep the buffer.
template <typename T>
void fit(T*& buf, uint32_t& cap, uint32_t need, uint32_t keep) {
    if (buf && cap >= need && need >= cap / 2) return;
    T* nb = new T[need];
    if (buf) {
        if (keep > need) keep = need;
        std::memcpy(nb, buf, keep * sizeof(T));
        delete[] buf;
    }
    buf = nb;
    cap = need;
}

}  // namespace

ustring::ustring() {
    data = new char[4];
    data[0] = 0;
    data_cap = 4;
    wdata = new char16_t[4];
    wdata[0] = 0;
    wdata_cap = 4;
}

ustring::ustring(const ustring& other) : ustring() { set_bytes(other.data, other.data_len); }
ustring::ustring(ustring&& other) noexcept : ustring() { swap(other); }
ustring::ustring(const ustring& other, uint32_t pos, uint32_t len) : ustring() { assign(other, pos, len); }
ustring::ustring(const char* s) : ustring() { assign(s); }
ustring::ustring(const char* s, uint32_t n) : ustring() { assign(s, n); }
ustring::ustring(const std::string& s) : ustring() {
    set_bytes(s.data(), static_cast<uint32_t>(strnlen(s.c_str(), s.size())));
}
ustring::ustring(const std::string& s, uint32_t pos, uint32_t len) : ustring() {
    if (pos > s.size()) throw std::out_of_range("substr");
    std::string part = s.substr(pos, len == npos ? std::string::npos : len);
    set_bytes(part.data(), static_cast<uint32_t>(strnlen(part.c_str(), part.size())));
}
ustring::ustring(char c, uint32_t n) : ustring() { assign(c, n); }
ustring::ustring(const char16_t* w) : ustring() { assign(w); }
ustring::ustring(const char16_t* w, uint32_t n) : ustring() { assign(w, n); }
ustring::ustring(char16_t wc, uint32_t n) : ustring() { assign(wc, n); }

ustring::~ustring() {
    delete[] data;
    delete[] wdata;
}

ustring& ustring::operator=(const ustring& other) {
    if (this != &other) set_bytes(other.data, other.data_len);
    return *this;
}
ustring& ustring::operator=(ustring&& other) noexcept {
    if (this != &other) swap(other);
    return *this;
}
ustring& ustring::operator=(const char* s) { return assign(s); }
ustring& ustring::operator=(const std::string& s) { return assign(s.c_str(), static_cast<uint32_t>(s.size())); }
ustring& ustring::operator=(char c) { return assign(c, 1); }
ustring& ustring::operator=(const char16_t* w) { return assign(w); }
ustring& ustring::operator=(char16_t wc) { return assign(wc, 1); }

ustring& ustring::assign(const ustring& other, uint32_t pos, uint32_t len) {
    if (pos > other.data_len) throw std::out_of_range("substr");
    uint32_t avail = other.data_len - pos;
    if (len > avail) len = avail;
    set_bytes(other.data + pos, len);
    return *this;
}
ustring& ustring::assign(const char* s) {
    if (!s) s = "";
    set_bytes(s, static_cast<uint32_t>(std::strlen(s)));
    return *this;
}
ustring& ustring::assign(const char* s, uint32_t n) {
    if (!s) n = 0;
    set_bytes(s ? s : "", n ? static_cast<uint32_t>(strnlen(s, n)) : 0);
    return *this;
}
ustring& ustring::assign(char c, uint32_t n) {
    clear();
    return append(c, n);
}
ustring& ustring::assign(const char16_t* w) {
    if (!w) w = u"";
    set_utf16(w, wlen(w));
    return *this;
}
ustring& ustring::assign(const char16_t* w, uint32_t n) {
    if (!w) n = 0;
    set_utf16(w ? w : u"", n);
    return *this;
}
ustring& ustring::assign(char16_t wc, uint32_t n) {
    std::u16string tmp(n, wc);
    set_utf16(tmp.c_str(), n);
    return *this;
}

ustring& ustring::append(const ustring& other) {
    append_bytes(other.data, other.data_len);
    return *this;
}
ustring& ustring::append(const char* s) {
    if (s) append_bytes(s, static_cast<uint32_t>(std::strlen(s)));
    return *this;
}
ustring& ustring::append(const char* s, uint32_t n) {
    if (s && n) append_bytes(s, static_cast<uint32_t>(strnlen(s, n)));
    return *this;
}
ustring& ustring::append(const std::string& s) { return append(s.c_str(), static_cast<uint32_t>(s.size())); }
ustring& ustring::append(char c, uint32_t n) {
    if (c == 0 || n == 0) return *this;  // a zero byte ends the text
    std::string tmp(n, c);
    append_bytes(tmp.data(), n);
    return *this;
}
ustring& ustring::append(const char16_t* w) {
    if (w) append_utf16(w, wlen(w));
    return *this;
}
ustring& ustring::append(const char16_t* w, uint32_t n) {
    if (w && n) append_utf16(w, n);
    return *this;
}
ustring& ustring::append(char16_t wc, uint32_t n) {
    std::u16string tmp(n, wc);
    append_utf16(tmp.c_str(), n);
    return *this;
}

void ustring::reserve_utf8(uint32_t n) { fit(data, data_cap, n + 1, data_len + 1); }
void ustring::reserve_utf16(uint32_t n) const { fit(wdata, wdata_cap, n + 1, wdata_len + 1); }

void ustring::drop_utf16() const {
    wdata_len = 0;
    if (wdata) wdata[0] = 0;
}

void ustring::set_bytes(const char* s, uint32_t n) {
    // The source may live inside our own buffer: copy it out before reallocating.
    if (s >= data && s < data + data_cap) {
        std::string tmp(s, n);
        set_bytes(tmp.data(), n);
        return;
    }
    data_len = 0;
    reserve_utf8(n);
    std::memcpy(data, s, n);
    data[n] = 0;
    data_len = n;
    drop_utf16();
}

void ustring::append_bytes(const char* s, uint32_t n) {
    if (n == 0) return;
    if (s >= data && s < data + data_cap) {
        std::string tmp(s, n);
        append_bytes(tmp.data(), n);
        return;
    }
    uint64_t total = static_cast<uint64_t>(data_len) + n;
    if (total >= npos) throw std::length_error("ustring");
    reserve_utf8(static_cast<uint32_t>(total));
    std::memcpy(data + data_len, s, n);
    data_len = static_cast<uint32_t>(total);
    data[data_len] = 0;
    drop_utf16();
}

void ustring::set_utf16(const char16_t* w, uint32_t n) {
    if (w >= wdata && w < wdata + wdata_cap) {
        std::u16string tmp(w, n);
        set_utf16(tmp.c_str(), n);
        return;
    }
    wdata_len = 0;
    reserve_utf16(n);
    std::memcpy(wdata, w, n * sizeof(char16_t));
    wdata[n] = 0;
    wdata_len = n;
    sync_from_utf16();
}

void ustring::append_utf16(const char16_t* w, uint32_t n) {
    if (n == 0) return;
    c_str();  // make sure the UTF-16 form holds the current text
    if (w >= wdata && w < wdata + wdata_cap) {
        std::u16string tmp(w, n);
        append_utf16(tmp.c_str(), n);
        return;
    }
    uint32_t total = wdata_len + n;
    reserve_utf16(total);
    std::memcpy(wdata + wdata_len, w, n * sizeof(char16_t));
    wdata_len = total;
    wdata[total] = 0;
    sync_from_utf16();
}

void ustring::sync_from_utf16() {
    UErrorCode err = U_ZERO_ERROR;
    int32_t need = 0;
    u_strToUTF8(nullptr, 0, &need, reinterpret_cast<const UChar*>(wdata), static_cast<int32_t>(wdata_len), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR || err == U_STRING_NOT_TERMINATED_WARNING) err = U_ZERO_ERROR;
    if (U_SUCCESS(err)) {
        data_len = 0;
        reserve_utf8(static_cast<uint32_t>(need));
        u_strToUTF8(data, need + 1, &need, reinterpret_cast<const UChar*>(wdata), static_cast<int32_t>(wdata_len),
                    &err);
    }
    if (U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: u_strToUTF8: error code %d at line 867\n", static_cast<int>(err));
        data_len = 0;
        data[0] = 0;
        drop_utf16();
        return;
    }
    data_len = static_cast<uint32_t>(need);
    data[data_len] = 0;
}

const char16_t* ustring::c_str() const {
    if (wdata_len == 0 && data_len != 0) {
        UErrorCode err = U_ZERO_ERROR;
        int32_t need = 0;
        u_strFromUTF8(nullptr, 0, &need, data, -1, &err);
        if (err == U_BUFFER_OVERFLOW_ERROR) err = U_ZERO_ERROR;
        if (U_SUCCESS(err)) {
            reserve_utf16(static_cast<uint32_t>(need));
            u_strFromUTF8(reinterpret_cast<UChar*>(wdata), need + 1, &need, data, -1, &err);
        }
        if (U_FAILURE(err)) {
            std::fprintf(stderr, "Warning: u_strFromUTF8: error code %d at line 900\n", static_cast<int>(err));
            drop_utf16();
        } else {
            wdata_len = static_cast<uint32_t>(need);
            wdata[wdata_len] = 0;
        }
    }
    return wdata;
}

void ustring::clear() { set_bytes("", 0); }

ustring ustring::substr(uint32_t pos, uint32_t len) const {
    if (pos > data_len) throw std::out_of_range("substr");
    return ustring(*this, pos, len);
}

char& ustring::operator[](uint32_t pos) {
    // The caller may change the byte: the UTF-16 form can no longer be trusted.
    drop_utf16();
    return data[pos];
}

void ustring::replace(char from, char to) {
    for (uint32_t i = 0; i < data_len; ++i)
        if (data[i] == from) data[i] = to;
    drop_utf16();
}

// The forward searches treat a zero byte as the end of the text.
uint32_t ustring::find_n(const char* s, uint32_t n, uint32_t pos) const {
    uint32_t len = static_cast<uint32_t>(strnlen(data, data_len));
    if (pos >= data_len) return npos;
    if (n == 0) return pos;
    if (n > len) return npos;
    for (uint32_t i = pos; i + n <= len; ++i)
        if (std::memcmp(data + i, s, n) == 0) return i;
    return npos;
}

uint32_t ustring::rfind_n(const char* s, uint32_t n, uint32_t pos) const {
    if (data_len == 0) return npos;
    if (pos >= data_len) pos = data_len - 1;
    if (n == 0) return pos;
    if (n > data_len) return npos;
    uint32_t start = pos;
    if (start > data_len - n) start = data_len - n;
    for (uint32_t i = start + 1; i-- > 0;)
        if (std::memcmp(data + i, s, n) == 0) return i;
    return npos;
}

uint32_t ustring::first_of(const char* set, uint32_t n, uint32_t pos, bool in) const {
    if (pos >= data_len) return npos;
    if (n == 0) return in ? npos : pos;
    for (uint32_t i = pos; i < data_len && data[i]; ++i) {
        bool member = std::memchr(set, data[i], n) != nullptr;
        if (member == in) return i;
    }
    return npos;
}

uint32_t ustring::last_of(const char* set, uint32_t n, uint32_t pos, bool in) const {
    if (data_len == 0) return npos;
    if (pos >= data_len) pos = data_len - 1;
    if (n == 0) return in ? npos : pos;
    for (uint32_t i = pos + 1; i-- > 0;) {
        bool member = std::memchr(set, data[i], n) != nullptr;
        if (member == in) return i;
    }
    return npos;
}

#define USTRING_CSTR_FORMS(name, impl, ...)                                                                     \
    uint32_t ustring::name(const char* s, uint32_t pos) const {                                                 \
        return impl(s ? s : "", s ? static_cast<uint32_t>(std::strlen(s)) : 0, pos __VA_OPT__(, ) __VA_ARGS__); \
    }                                                                                                           \
    uint32_t ustring::name(const std::string& s, uint32_t pos) const {                                          \
        return impl(s.data(), static_cast<uint32_t>(s.size()), pos __VA_OPT__(, ) __VA_ARGS__);                 \
    }
USTRING_CSTR_FORMS(find, find_n)
USTRING_CSTR_FORMS(rfind, rfind_n)
USTRING_CSTR_FORMS(find_first_of, first_of, true)
USTRING_CSTR_FORMS(find_first_not_of, first_of, false)
USTRING_CSTR_FORMS(find_last_of, last_of, true)
USTRING_CSTR_FORMS(find_last_not_of, last_of, false)
#undef USTRING_CSTR_FORMS

ustring& ustring::ltrim(const char* set) {
    if (!set || !*set) return *this;
    uint32_t i = 0;
    while (i < data_len && std::strchr(set, data[i]) && data[i]) ++i;
    if (i) set_bytes(data + i, data_len - i);
    return *this;
}

ustring& ustring::rtrim(const char* set) {
    if (!set || !*set) return *this;
    uint32_t n = data_len;
    while (n > 0 && data[n - 1] && std::strchr(set, data[n - 1])) --n;
    if (n != data_len) set_bytes(data, n);
    return *this;
}

int ustring::compare(const ustring& other, uint32_t n) const {
    const auto* a = reinterpret_cast<const unsigned char*>(data);
    const auto* b = reinterpret_cast<const unsigned char*>(other.data);
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] - b[i];
        if (a[i] == 0) return 0;
    }
    return 0;
}

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
    const auto* x = reinterpret_cast<const unsigned char*>(a.data);
    const auto* y = reinterpret_cast<const unsigned char*>(b.data);
    uint32_t n = a.data_len < b.data_len ? a.data_len : b.data_len;
    for (uint32_t i = 0; i < n; ++i) {
        unsigned char c = caseless ? fold_ascii(x[i]) : x[i];
        unsigned char d = caseless ? fold_ascii(y[i]) : y[i];
        if (c != d) return c - d;
    }
    if (a.data_len == b.data_len) return 0;
    return a.data_len < b.data_len ? -1 : 1;
}

bool ustring::is_valid(const ustring& text) {
    if (text.empty()) return true;
    UErrorCode err = U_ZERO_ERROR;
    int32_t need = 0;
    u_strFromUTF8(nullptr, 0, &need, text.data, static_cast<int32_t>(text.data_len), &err);
    return err != U_INVALID_CHAR_FOUND;
}

ustring ustring::normalize(normalization_form form) const {
    ustring out;
    if (empty()) return out;
    const UChar* src = reinterpret_cast<const UChar*>(c_str());
    int32_t src_len = static_cast<int32_t>(wdata_len);
    if (src_len == 0) return out;
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* norm = form == NFC ? unorm2_getNFCInstance(&err) : unorm2_getNFDInstance(&err);
    int32_t need = 0;
    if (U_SUCCESS(err)) {
        need = unorm2_normalize(norm, src, src_len, nullptr, 0, &err);
        if (err == U_BUFFER_OVERFLOW_ERROR) err = U_ZERO_ERROR;
    }
    std::u16string buf;
    if (U_SUCCESS(err)) {
        buf.resize(static_cast<size_t>(need) + 1);
        need = unorm2_normalize(norm, src, src_len, reinterpret_cast<UChar*>(buf.data()), need + 1, &err);
    }
    if (U_FAILURE(err)) {
        std::fprintf(stderr, "Warning: unorm_normalize: error code %d at line 967\n", static_cast<int>(err));
        return out;
    }
    out.assign(buf.c_str(), static_cast<uint32_t>(need));
    return out;
}

void ustring::swap(ustring& other) noexcept {
    std::swap(data, other.data);
    std::swap(data_len, other.data_len);
    std::swap(data_cap, other.data_cap);
    std::swap(wdata, other.wdata);
    std::swap(wdata_len, other.wdata_len);
    std::swap(wdata_cap, other.wdata_cap);
}

ustring operator+(const ustring& a, const ustring& b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, const char* b) { return ustring(a).append(b); }
ustring operator+(const char* a, const ustring& b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, char b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, const char16_t* b) { return ustring(a).append(b); }
ustring operator+(const ustring& a, char16_t b) { return ustring(a).append(b); }

int str_case_cmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        int d = fold_ascii(*x) - fold_ascii(*y);
        if (d || !*x) return d;
    }
}

std::ostream& operator<<(std::ostream& os, const ustring& s) { return os.write(s.c_str_utf8(), s.length()); }

std::istream& operator>>(std::istream& is, ustring& s) {
    std::string word;
    is >> word;
    s = word;
    return is;
}
