// Schema-driven reader of the filter files (blacklist.filter, whitelist.filter and
// the system filter). Line syntax:
//   [Section]            header: letters, digits, '-' and '_', at most 32
//   key = 123            integer, optionally signed, optional fraction (dropped)
//   key = "text"         string, C-style escapes, 1 to 512 bytes
//   key = "a", "b",      string set; a trailing comma continues it on the next line
//   # comment
// The first error stops the parse and prints "parser: <error name> at line <n>"
// on standard error; unknown keys print a warning on standard output and make the
// result PARSE_PARTIAL.
#pragma once

#include <cstddef>
#include <cstdio>

#include "filter/filter_record.h"
#include "filter/filter_schema.h"
#include "foundation/ustring.h"

enum parse_result {
    PARSE_DONE = 0,
    PARSE_PARTIAL = 1,  // read, but held unknown keys
    PARSE_ERROR = 2,
};

// Parser error numbers; the parser stores them negated.
enum class parser_error : int {
    NO_ERROR = 0,
    SECTION_MISSING_LEFT_BRACKET = 1,
    SECTION_MISSING_RIGHT_BRACKET = 2,
    SECTION_MISSING_SECTION = 3,
    SECTION_ILLEGAL_CHARACTER = 4,
    SECTION_TOO_LONG = 5,
    SECTION_UNDEFINED_SECTION = 6,
    KEY_MISSING_KEY = 7,
    KEY_ILLEGAL_CHARACTER = 8,
    KEY_TOO_LONG = 9,
    KEY_UNDEFINED_KEY = 10,
    VALUE_NUMERIC_MISSING_INTEGER_PART = 11,
    VALUE_NUMERIC_MISSING_FRACTIONAL_PART = 12,
    VALUE_NUMERIC_MISSING_VALUE = 13,
    VALUE_NUMERIC_ILLEGAL_SYNTAX = 14,
    VALUE_STRING_MISSING_LEFT_QUOTE = 15,
    VALUE_STRING_MISSING_RIGHT_QUOTE = 16,
    VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = 17,
    VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = 18,
    VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = 19,
    VALUE_STRING_ILLEGAL_CHARACTER = 20,
    VALUE_STRING_EMPTY = 21,
    VALUE_SET_MISSING_SEPARATER = 22,
    VALUE_TOO_LONG = 23,
    LINE_NOT_ENDED = 24,
    LINE_NOT_EXPECTED = 25,
    INTERNAL_ERROR = 26,
};

// Longest line read at once; a longer physical line is read as several lines.
// Large enough for the longest line the writer produces (a key and one string of
// 512 bytes, every byte escaped).
constexpr int FILTER_LINE_MAX = 4096;
constexpr int FILTER_STRING_MAX = 512;  // bytes of one string after unescaping
constexpr int FILTER_NUMBER_MAX = 511;  // characters of one number

// What a parse found, for callers that want more than the result.
struct parse_report {
    bool quiet = false;         // in: print neither the warning nor the error line
    int error_code = 0;         // out: 0 or a negated parser_error
    int line = 0;               // out: line of the error (1-based), or lines read
    int unknown_key_count = 0;  // out
};

// The error's name as printed, "Unknown error" for a number outside the table.
const char* parser_error_name(int code);

// Parses the file into `result`, which must be initialised for `schema`. A file
// that cannot be opened or read gives PARSE_ERROR without a message.
parse_result parse(const ustring& file_name, const schema_parser* schema, void* result, parse_report* report = nullptr);
// Same, from an open stream or from text in memory.
parse_result parse_stream(FILE* in, const schema_parser* schema, void* result, parse_report* report = nullptr);
parse_result parse_text(const char* text, size_t len, const schema_parser* schema, void* result,
                        parse_report* report = nullptr);

// Reads a black-list file into an initialised filter. Accepts PARSE_DONE, and
// PARSE_PARTIAL only from a file of version 1.x with x > 0 (a newer minor version
// may add keys). False with the filter destroyed.
[[nodiscard]] bool filter_read(Filter* filter, const ustring& file_name);
// The same for a white-list file.
[[nodiscard]] bool white_list_read(WhiteList* list, const ustring& file_name);
