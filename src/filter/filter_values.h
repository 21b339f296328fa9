// Value types of the filter files: 32- and 64-bit numbers, one owned string, and
// an ordered string set that keeps duplicates. Plain structures so that the
// schema-driven parser can reach them through byte offsets.
#pragma once

#include <cstdint>

enum value_type : int {
    integer32_type = 0,   // int32_t
    integer64_type = 1,   // uint64_t (read as a signed decimal, stored two's complement)
    string_type = 2,      // value_type_string
    string_set_type = 3,  // value_type_string_set
};

// One owned, zero-terminated byte string, or none (null).
struct value_type_string {
    char* str;
};

// Owned array of owned strings in insertion order.
struct value_type_string_set {
    char** set;
    uint32_t used;
    uint32_t capacity;
};

// Allocates room for `capacity` entries (0 means 4). False when out of memory (the
// set is then left empty with no room; inserting grows it).
bool vt_string_set_init(value_type_string_set* s, uint32_t capacity);
// Appends a copy of `value` (zero-terminated), growing the array when full. False
// for a null value or when out of memory.
[[nodiscard]] bool vt_string_set_insert(value_type_string_set* s, const char* value);
// Same, for a value of `len` bytes that need not be zero-terminated.
[[nodiscard]] bool vt_string_set_insert_n(value_type_string_set* s, const char* value, uint32_t len);
// Removes the first entry byte-equal to `value` by moving the last entry into its
// slot (order is not kept); nothing when none matched.
void vt_string_set_remove(value_type_string_set* s, const char* value);
// Frees every entry and the array; all fields become zero.
void vt_string_set_destroy(value_type_string_set* s);

// Replaces the string with a copy of `value` (null leaves none). False when out of
// memory (the old value is kept).
[[nodiscard]] bool vt_string_assign(value_type_string* s, const char* value);
[[nodiscard]] bool vt_string_assign_n(value_type_string* s, const char* value, uint32_t len);
void vt_string_destroy(value_type_string* s);
