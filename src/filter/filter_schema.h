// Schema tables that drive the filter-file parser: each section and key of a file
// kind, its value type and where it lives inside the result record. A new key
// needs only a new row here.
#pragma once

#include <cstddef>

#include "filter/filter_values.h"

constexpr int SCHEMA_MAX_SECTIONS = 32;
constexpr int SCHEMA_MAX_KEYS = 64;
constexpr int SCHEMA_MAX_NAME = 32;  // longest section or key name

struct schema_key {
    const char* name;
    value_type type;
    size_t offset;  // inside the section
};

struct schema_section {
    const char* name;
    size_t offset;  // inside the result record
    int key_count;
    schema_key keys[SCHEMA_MAX_KEYS];
};

struct schema_parser {
    int major;
    int minor;
    int section_count;
    schema_section sections[SCHEMA_MAX_SECTIONS];
};

extern const schema_parser filter_schema;      // blacklist.filter and the system filter
extern const schema_parser white_list_schema;  // whitelist.filter
