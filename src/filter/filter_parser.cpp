#include "filter/filter_parser.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

using E = parser_error;

constexpr const char* kErrorNames[] = {
    "NO_ERROR",
    "SECTION_MISSING_LEFT_BRACKET",
    "SECTION_MISSING_RIGHT_BRACKET",
    "SECTION_MISSING_SECTION",
    "SECTION_ILLEGAL_CHARACTER",
    "SECTION_TOO_LONG",
    "SECTION_UNDEFINED_SECTION",
    "KEY_MISSING_KEY",
    "KEY_ILLEGAL_CHARACTER",
    "KEY_TOO_LONG",
    "KEY_UNDEFINED_KEY",
    "VALUE_NUMERIC_MISSING_INTEGER_PART",
    "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
    "VALUE_NUMERIC_MISSING_VALUE",
    "VALUE_NUMERIC_ILLEGAL_SYNTAX",
    "VALUE_STRING_MISSING_LEFT_QUOTE",
    "VALUE_STRING_MISSING_RIGHT_QUOTE",
    "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
    "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
    "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
    "VALUE_STRING_ILLEGAL_CHARACTER",
    "VALUE_STRING_EMPTY",
    "VALUE_SET_MISSING_SEPARATER",
    "VALUE_TOO_LONG",
    "LINE_NOT_ENDED",
    "LINE_NOT_EXPECTED",
    "INTERNAL_ERROR",
};

// next_expect bits
constexpr int EXPECT_SECTION = 1;
constexpr int EXPECT_KEY = 2;
constexpr int EXPECT_CONTINUATION = 4;

// Where lines come from: a stream (read like fgets) or text in memory.
struct line_source {
    FILE* in = nullptr;
    const char* text = nullptr;
    size_t len = 0;
    size_t pos = 0;
    bool failed = false;

    // Reads up to FILTER_LINE_MAX bytes, stopping after a newline. False at the end.
    bool next(char* buf) {
        if (in) {
            if (std::fgets(buf, FILTER_LINE_MAX + 1, in)) return true;
            if (std::ferror(in)) failed = true;
            return false;
        }
        if (pos >= len) return false;
        size_t n = 0;
        while (n < static_cast<size_t>(FILTER_LINE_MAX) && pos < len) {
            char c = text[pos++];
            buf[n++] = c;
            if (c == '\n') break;
        }
        buf[n] = '\0';
        return true;
    }
};

struct parser {
    void* result;
    const schema_parser* schema;
    char* section;  // record of the current section
    const schema_section* section_schema;
    char section_name[SCHEMA_MAX_NAME + 1];
    char* key;  // value of the current key
    const schema_key* key_schema;
    char key_name[SCHEMA_MAX_NAME + 1];
    int line_count;
    int line_pos;
    char line_buffer[FILTER_LINE_MAX + 1];
    int unknown_key_count;
    int next_expect;
    int error_code;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
// A line ends at the end of the text, at a newline or where a comment begins.
bool is_line_end(char c) { return c == '\0' || c == '\n' || c == '#'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '-' || c == '_';
}
std::optional<int> hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}
bool is_octal(char c) { return c >= '0' && c <= '7'; }

char cur(const parser* p) { return p->line_buffer[p->line_pos]; }

void skip_blanks(parser* p) {
    while (is_blank(cur(p))) ++p->line_pos;
}

E expect_line_end(parser* p) {
    skip_blanks(p);
    return is_line_end(cur(p)) ? E::NO_ERROR : E::LINE_NOT_ENDED;
}

// Reads a name of letters, digits, '-' and '_' (at most 32) into `out`.
// Returns its length, or nothing when it is too long.
std::optional<int> read_name(parser* p, char* out) {
    int len = 0;
    while (is_name_char(cur(p))) {
        if (len == SCHEMA_MAX_NAME) return std::nullopt;
        out[len++] = cur(p);
        ++p->line_pos;
    }
    out[len] = '\0';
    return len;
}

E parse_section(parser* p) {
    ++p->line_pos;  // '['
    int len = 0;
    for (;;) {
        char c = cur(p);
        if (is_name_char(c)) {
            if (len == SCHEMA_MAX_NAME) return E::SECTION_TOO_LONG;
            p->section_name[len++] = c;
            ++p->line_pos;
        } else if (c == ']') {
            ++p->line_pos;
            break;
        } else if (is_line_end(c)) {
            return E::SECTION_MISSING_RIGHT_BRACKET;
        } else {
            return E::SECTION_ILLEGAL_CHARACTER;
        }
    }
    p->section_name[len] = '\0';
    if (len == 0) return E::SECTION_MISSING_SECTION;

    const schema_section* found = nullptr;
    for (int i = 0; i < p->schema->section_count; ++i) {
        if (std::strcmp(p->schema->sections[i].name, p->section_name) == 0) {
            found = &p->schema->sections[i];
            break;
        }
    }
    if (!found) return E::SECTION_UNDEFINED_SECTION;
    E e = expect_line_end(p);
    if (e != E::NO_ERROR) return e;

    p->section_schema = found;
    p->section = static_cast<char*>(p->result) + found->offset;
    p->key = nullptr;
    p->key_schema = nullptr;
    p->next_expect = EXPECT_SECTION | EXPECT_KEY;
    return E::NO_ERROR;
}

// Reads one quoted string at the current position into `out` (room for
// FILTER_STRING_MAX bytes and a zero) and sets `len`.
E parse_quoted(parser* p, char* out, uint32_t* len) {
    const char* s = p->line_buffer;
    int pos = p->line_pos;
    if (s[pos] != '"') return E::VALUE_STRING_MISSING_LEFT_QUOTE;
    ++pos;
    uint32_t n = 0;
    for (;;) {
        auto c = static_cast<unsigned char>(s[pos]);
        unsigned char b;
        if (c == '\0' || c == '\n') return E::VALUE_STRING_MISSING_RIGHT_QUOTE;
        if (c == '"') {
            ++pos;
            break;
        }
        if (c == '\\') {
            char e = s[pos + 1];
            switch (e) {
                case 'a':
                    b = 0x07;
                    pos += 2;
                    break;
                case 'b':
                    b = 0x08;
                    pos += 2;
                    break;
                case 'f':
                    b = 0x0C;
                    pos += 2;
                    break;
                case 'n':
                    b = 0x0A;
                    pos += 2;
                    break;
                case 'r':
                    b = 0x0D;
                    pos += 2;
                    break;
                case 't':
                    b = 0x09;
                    pos += 2;
                    break;
                case 'v':
                    b = 0x0B;
                    pos += 2;
                    break;
                case '\'':
                case '"':
                case '\\':
                case '?':
                    b = static_cast<unsigned char>(e);
                    pos += 2;
                    break;
                case 'x': {
                    const std::optional<int> hi = hex_value(s[pos + 2]);
                    const std::optional<int> lo = hi ? hex_value(s[pos + 3]) : std::nullopt;
                    if (!lo) return E::VALUE_STRING_ILLEGAL_CHARACTER;
                    b = static_cast<unsigned char>(*hi * 16 + *lo);
                    pos += 4;
                    break;
                }
                case '0':
                case '1':
                case '2':
                case '3':
                    if (!is_octal(s[pos + 2]) || !is_octal(s[pos + 3])) return E::VALUE_STRING_ILLEGAL_CHARACTER;
                    b = static_cast<unsigned char>((e - '0') * 64 + (s[pos + 2] - '0') * 8 + (s[pos + 3] - '0'));
                    pos += 4;
                    break;
                default:
                    return E::VALUE_STRING_ILLEGAL_CHARACTER;
            }
            // Values are stored zero-terminated: a zero byte would silently cut the
            // value short (an empty prefix matches every name), so it is refused.
            if (b == 0) return E::VALUE_STRING_ILLEGAL_CHARACTER;
        } else if (c < 0x20 || c == 0x7F) {
            return E::VALUE_STRING_ILLEGAL_CHARACTER;
        } else {
            b = c;
            ++pos;
        }
        if (n == static_cast<uint32_t>(FILTER_STRING_MAX)) return E::VALUE_TOO_LONG;
        out[n++] = static_cast<char>(b);
    }
    if (n == 0) return E::VALUE_STRING_EMPTY;
    out[n] = '\0';
    *len = n;
    p->line_pos = pos;
    return E::NO_ERROR;
}

// One or more quoted strings separated by commas, appended to the current set.
E parse_set_values(parser* p) {
    auto* set = reinterpret_cast<value_type_string_set*>(p->key);
    char buf[FILTER_STRING_MAX + 1];
    for (;;) {
        uint32_t len = 0;
        E e = parse_quoted(p, buf, &len);
        if (e != E::NO_ERROR) return e;
        if (!vt_string_set_insert_n(set, buf, len)) return E::INTERNAL_ERROR;
        skip_blanks(p);
        if (is_line_end(cur(p))) {
            p->next_expect = EXPECT_SECTION | EXPECT_KEY;
            return E::NO_ERROR;
        }
        if (cur(p) != ',') return E::VALUE_SET_MISSING_SEPARATER;
        ++p->line_pos;
        skip_blanks(p);
        if (is_line_end(cur(p))) {
            p->next_expect = EXPECT_CONTINUATION;
            return E::NO_ERROR;
        }
    }
}

E parse_number(parser* p) {
    const char* s = p->line_buffer;
    int start = p->line_pos;
    int pos = start;
    bool sign = s[pos] == '+' || s[pos] == '-';
    if (sign) ++pos;
    if (s[pos] == '0') {
        ++pos;  // a leading zero stands alone
    } else if (is_digit(s[pos])) {
        while (is_digit(s[pos])) ++pos;
    } else {
        return (sign || s[pos] == '.') ? E::VALUE_NUMERIC_MISSING_INTEGER_PART : E::VALUE_NUMERIC_MISSING_VALUE;
    }
    int int_end = pos;
    if (s[pos] == '.') {
        ++pos;
        if (!is_digit(s[pos])) return E::VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
        while (is_digit(s[pos])) ++pos;
    }
    if (pos - start > FILTER_NUMBER_MAX) return E::VALUE_TOO_LONG;
    if (!is_blank(s[pos]) && !is_line_end(s[pos])) return E::VALUE_NUMERIC_ILLEGAL_SYNTAX;

    char digits[FILTER_NUMBER_MAX + 1];
    std::memcpy(digits, s + start, static_cast<size_t>(int_end - start));
    digits[int_end - start] = '\0';
    if (p->key_schema->type == integer32_type) {
        // No range check: out-of-range values wrap like the platform's atoi.
        long long v = std::strtoll(digits, nullptr, 10);
        *reinterpret_cast<int32_t*>(p->key) = static_cast<int32_t>(v);
    } else {
        // Read unsigned so that every value the writer prints reads back exactly; a
        // leading minus gives the two's complement, overflow saturates.
        *reinterpret_cast<uint64_t*>(p->key) = std::strtoull(digits, nullptr, 10);
    }
    p->line_pos = pos;
    return E::NO_ERROR;
}

E parse_key_line(parser* p, parse_report* report) {
    const std::optional<int> len = read_name(p, p->key_name);
    if (!len) return E::KEY_TOO_LONG;
    if (*len == 0) return E::KEY_MISSING_KEY;
    skip_blanks(p);
    if (cur(p) != '=') return E::KEY_ILLEGAL_CHARACTER;
    ++p->line_pos;

    const schema_key* found = nullptr;
    const schema_section* sec = p->section_schema;
    for (int i = 0; i < sec->key_count; ++i) {
        if (std::strcmp(sec->keys[i].name, p->key_name) == 0) {
            found = &sec->keys[i];
            break;
        }
    }
    if (!found) {
        // Left for a newer reader: the rest of the line is not checked.
        if (!report || !report->quiet) std::printf("warning: unknown key (%s)\n", p->key_name);
        ++p->unknown_key_count;
        p->key = nullptr;
        p->key_schema = nullptr;
        p->next_expect = EXPECT_SECTION | EXPECT_KEY;
        return E::NO_ERROR;
    }
    p->key_schema = found;
    p->key = p->section + found->offset;
    skip_blanks(p);

    E e;
    switch (found->type) {
        case integer32_type:
        case integer64_type:
            e = parse_number(p);
            if (e == E::NO_ERROR) e = expect_line_end(p);
            break;
        case string_type: {
            char buf[FILTER_STRING_MAX + 1];
            uint32_t n = 0;
            e = parse_quoted(p, buf, &n);
            if (e == E::NO_ERROR && !vt_string_assign_n(reinterpret_cast<value_type_string*>(p->key), buf, n))
                e = E::INTERNAL_ERROR;
            if (e == E::NO_ERROR) e = expect_line_end(p);
            break;
        }
        case string_set_type:
            return parse_set_values(p);
        default:
            return E::INTERNAL_ERROR;
    }
    if (e == E::NO_ERROR) p->next_expect = EXPECT_SECTION | EXPECT_KEY;
    return e;
}

E parse_line(parser* p, parse_report* report) {
    p->line_pos = 0;
    skip_blanks(p);
    char c = cur(p);
    if (is_line_end(c)) return E::NO_ERROR;  // empty or comment, in every state
    if ((p->next_expect & EXPECT_SECTION) && c == '[') return parse_section(p);
    if ((p->next_expect & EXPECT_CONTINUATION) && c == '"') return parse_set_values(p);
    if (p->next_expect & EXPECT_KEY) return parse_key_line(p, report);
    return E::LINE_NOT_EXPECTED;
}

parse_result run(line_source& src, const schema_parser* schema, void* result, parse_report* report) {
    auto* p = static_cast<parser*>(std::calloc(1, sizeof(parser)));
    if (!p) {
        if (report) report->error_code = -static_cast<int>(E::INTERNAL_ERROR);
        return PARSE_ERROR;
    }
    p->result = result;
    p->schema = schema;
    p->next_expect = EXPECT_SECTION;
    parse_result r = PARSE_DONE;
    while (src.next(p->line_buffer)) {
        ++p->line_count;
        E e = parse_line(p, report);
        if (e != E::NO_ERROR) {
            p->error_code = -static_cast<int>(e);
            if (!report || !report->quiet)
                std::fprintf(stderr, "parser: %s at line %d\n", parser_error_name(static_cast<int>(e)), p->line_count);
            r = PARSE_ERROR;
            break;
        }
    }
    if (r != PARSE_ERROR) {
        if (src.failed)
            r = PARSE_ERROR;
        else if (p->unknown_key_count > 0)
            r = PARSE_PARTIAL;
    }
    if (report) {
        report->error_code = p->error_code;
        report->line = p->line_count;
        report->unknown_key_count = p->unknown_key_count;
    }
    std::free(p);
    return r;
}

template <typename Record>
bool read_record(Record* rec, const ustring& file_name, const schema_parser* schema, void (*destroy)(Record*)) {
    parse_result r = parse(file_name, schema, rec);
    if (r == PARSE_DONE) return true;
    if (r == PARSE_PARTIAL && rec->version.major == 1 && rec->version.minor > 0) return true;
    destroy(rec);
    return false;
}

}  // namespace

const char* parser_error_name(int code) {
    if (code < 0 || code > static_cast<int>(E::INTERNAL_ERROR)) return "Unknown error";
    return kErrorNames[code];
}

parse_result parse_stream(FILE* in, const schema_parser* schema, void* result, parse_report* report) {
    line_source src;
    src.in = in;
    return run(src, schema, result, report);
}

parse_result parse_text(const char* text, size_t len, const schema_parser* schema, void* result, parse_report* report) {
    line_source src;
    src.text = text;
    src.len = text ? len : 0;
    return run(src, schema, result, report);
}

parse_result parse(const ustring& file_name, const schema_parser* schema, void* result, parse_report* report) {
    FILE* in = std::fopen(file_name.c_str_utf8(), "r");
    if (!in) {
        if (report) *report = parse_report{report->quiet, 0, 0, 0};
        return PARSE_ERROR;
    }
    parse_result r = parse_stream(in, schema, result, report);
    std::fclose(in);
    return r;
}

bool filter_read(Filter* filter, const ustring& file_name) {
    return read_record(filter, file_name, &filter_schema, filter_destroy);
}

bool white_list_read(WhiteList* list, const ustring& file_name) {
    return read_record(list, file_name, &white_list_schema, white_list_destroy);
}
