// Decides whether a path, a size or an extended-attribute name is excluded from
// synchronisation by a black list, and whether a file name passes a white list.
// Results: 0 = allowed, otherwise the FILTER_* code of the first rule that matched.
#pragma once

#include <cstdint>

#include "filter/filter_codes.h"
#include "filter/filter_record.h"

// `path` is UTF-8, session-relative, '/'-separated with a leading '/' (the root is
// "/"). Name comparisons ignore ASCII case; black_char matches any of its bytes.
// A file is tested by its own name first, then by the folders above it.
int filter_test_path(const Filter* filter, int is_dir, const char* path);
int filter_test_file_size(const Filter* filter, uint64_t size);
int filter_test_full_path_size(const Filter* filter, uint64_t size);
int filter_test_ea(const Filter* filter, const char* name);

// True when the file name's extension (after the last dot that is not the first
// character) is listed or "*" is listed; false otherwise, also for an empty name.
[[nodiscard]] bool white_list_test(const WhiteList* list, const char* file_name);
