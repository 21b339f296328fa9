// The records the filter files are read into: the black list (`Filter`) and the
// white list (`WhiteList`). All strings are UTF-8 bytes.
#pragma once

#include <cstdint>

#include "filter/filter_values.h"

struct VersionSection {
    int32_t major;
    int32_t minor;
};

struct CommonSection {
    value_type_string black_char;                            // bytes not allowed in any name
    value_type_string_set black_prefix;                      // name prefixes
    value_type_string_set black_dir_prefix;                  // excluded sub-trees
    value_type_string_set black_name;                        // whole names
    value_type_string_set black_path_prefix_selective_sync;  // sub-trees left out by selective sync
    uint64_t max_length;                                     // longest name in bytes; 0 = no limit
    uint64_t max_path;                                       // largest full-path size; 0 = no limit
};

struct FileSection {
    value_type_string black_char;
    value_type_string_set black_ext;  // extensions without the dot
    value_type_string_set black_name;
    value_type_string_set black_prefix;
    value_type_string_set black_ext_selective_sync;
    value_type_string_set black_name_selective_sync;
    uint64_t max_size;                 // 0 = no limit
    uint64_t max_size_selective_sync;  // 0 = no limit
};

struct DirectorySection {
    value_type_string black_char;
    value_type_string_set black_name;
    value_type_string_set black_prefix;
};

struct EASection {
    value_type_string_set black_ea_name;
};

struct Filter {
    VersionSection version;
    CommonSection common;
    FileSection file;
    DirectorySection directory;
    EASection ea;
};

struct WhiteListVersionSection {
    int32_t major;
    int32_t minor;
};

struct WhiteListFileSection {
    value_type_string_set white_ext;
};

struct WhiteList {
    WhiteListVersionSection version;
    WhiteListFileSection file;
};

// Version 0.0, no strings, empty sets (with room allocated), numbers 0.
void filter_init(Filter* filter);
// Frees everything; the record is left empty with null arrays and matches nothing.
void filter_destroy(Filter* filter);
// True when both records hold the same values (set entries compared in order).
bool filter_equal(const Filter* a, const Filter* b);

void white_list_init(WhiteList* list);
void white_list_destroy(WhiteList* list);
bool white_list_equal(const WhiteList* a, const WhiteList* b);
