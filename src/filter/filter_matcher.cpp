#include "filter/filter_matcher.h"

#include <cstring>

namespace {

// Limits of the pieces a path is split into.
constexpr size_t kMaxDirPart = 4095;
constexpr size_t kMaxName = 511;

struct span {
    const char* p;
    size_t n;
};

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool eq_nocase(span a, const char* b) {
    size_t i = 0;
    for (; i < a.n; ++i)
        if (b[i] == '\0' || fold(a.p[i]) != fold(b[i])) return false;
    return b[i] == '\0';
}

bool starts_nocase(span a, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= a.n || fold(a.p[i]) != fold(prefix[i])) return false;
    return true;
}

bool has_char(span name, const value_type_string& chars) {
    if (!chars.str || !*chars.str) return false;
    for (size_t i = 0; i < name.n; ++i)
        if (name.p[i] != '\0' && std::strchr(chars.str, name.p[i])) return true;
    return false;
}

bool any_prefix(span name, const value_type_string_set& set) {
    for (uint32_t i = 0; i < set.used; ++i)
        if (starts_nocase(name, set.set[i])) return true;
    return false;
}

bool any_equal(span name, const value_type_string_set& set) {
    for (uint32_t i = 0; i < set.used; ++i)
        if (eq_nocase(name, set.set[i])) return true;
    return false;
}

// The path equals an entry or lies below it.
bool any_under(span path, const value_type_string_set& set) {
    for (uint32_t i = 0; i < set.used; ++i) {
        const char* e = set.set[i];
        size_t n = std::strlen(e);
        if (starts_nocase(path, e) && (path.n == n || path.p[n] == '/')) return true;
    }
    return false;
}

bool too_long(span name, uint64_t max_length) { return max_length != 0 && name.n > max_length; }

// Tests every folder name of `path` from the root down.
int walk_directories(const Filter* f, span path) {
    const CommonSection& c = f->common;
    const DirectorySection& d = f->directory;
    // Both rules look at the whole path, so they are the same for every component.
    const bool dir_prefix = any_under(path, c.black_dir_prefix);
    const bool selective = any_under(path, c.black_path_prefix_selective_sync);
    size_t i = 0;
    for (;;) {
        while (i < path.n && path.p[i] == '/') ++i;
        if (i >= path.n) return FILTER_OK;
        size_t j = i;
        while (j < path.n && path.p[j] != '/') ++j;
        span comp{path.p + i, j - i};
        i = j;

        if (has_char(comp, c.black_char)) return FILTER_CHAR;
        if (any_prefix(comp, c.black_prefix)) return FILTER_PREFIX;
        if (dir_prefix) return FILTER_DIR_PREFIX;
        if (any_equal(comp, c.black_name)) return FILTER_NAME;
        if (too_long(comp, c.max_length)) return FILTER_LENGTH;
        if (selective) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
        if (has_char(comp, d.black_char)) return FILTER_CHAR;
        if (any_equal(comp, d.black_name)) return FILTER_NAME;
        if (any_prefix(comp, d.black_prefix)) return FILTER_PREFIX;
    }
}

}  // namespace

int filter_test_path(const Filter* f, int is_dir, const char* path) {
    if (!path) return FILTER_ERROR;
    size_t len = std::strlen(path);
    if (is_dir) {
        if (len > kMaxDirPart) return FILTER_ERROR;
        return walk_directories(f, span{path, len});
    }

    if (path[0] != '/') return FILTER_ERROR;
    size_t slash = len - 1;
    while (path[slash] != '/') --slash;
    span dir{path, slash + 1};
    span name{path + slash + 1, len - slash - 1};
    if (dir.n > kMaxDirPart || name.n > kMaxName) return FILTER_ERROR;
    span ext{name.p + name.n, 0};
    for (size_t k = name.n; k > 1; --k) {
        if (name.p[k - 1] == '.') {
            ext = span{name.p + k, name.n - k};
            break;
        }
    }

    const CommonSection& c = f->common;
    const FileSection& fs = f->file;
    span whole{path, len};
    if (too_long(name, c.max_length)) return FILTER_LENGTH;
    if (has_char(name, c.black_char)) return FILTER_CHAR;
    if (any_prefix(name, c.black_prefix)) return FILTER_PREFIX;
    if (any_under(whole, c.black_dir_prefix)) return FILTER_DIR_PREFIX;
    if (any_equal(name, c.black_name)) return FILTER_NAME;
    if (any_under(whole, c.black_path_prefix_selective_sync)) return FILTER_PATH_PREFIX_SELECTIVE_SYNC;
    if (has_char(name, fs.black_char)) return FILTER_CHAR;
    if (ext.n > 0 && any_equal(ext, fs.black_ext)) return FILTER_EXT;
    if (any_equal(name, fs.black_name)) return FILTER_NAME;
    if (any_prefix(name, fs.black_prefix)) return FILTER_PREFIX;
    if (any_equal(name, fs.black_name_selective_sync)) return FILTER_NAME_SELECTIVE_SYNC;
    if (ext.n > 0 && any_equal(ext, fs.black_ext_selective_sync)) return FILTER_EXT_SELECTIVE_SYNC;
    return walk_directories(f, dir);
}

int filter_test_file_size(const Filter* f, uint64_t size) {
    if (f->file.max_size != 0 && size > f->file.max_size) return FILTER_FILE_SIZE;
    if (f->file.max_size_selective_sync != 0 && size > f->file.max_size_selective_sync)
        return FILTER_FILE_SIZE_SELECTIVE_SYNC;
    return FILTER_OK;
}

int filter_test_full_path_size(const Filter* f, uint64_t size) {
    if (f->common.max_path != 0 && size > f->common.max_path) return FILTER_PATH_SIZE;
    return FILTER_OK;
}

int filter_test_ea(const Filter* f, const char* name) {
    if (!name) return FILTER_OK;
    if (any_equal(span{name, std::strlen(name)}, f->ea.black_ea_name)) return FILTER_EA_NAME;
    return FILTER_OK;
}

bool white_list_test(const WhiteList* w, const char* file_name) {
    if (!file_name || !*file_name) return false;
    size_t n = std::strlen(file_name);
    span ext{file_name + n, 0};
    for (size_t k = n; k > 1; --k) {
        if (file_name[k - 1] == '.') {
            ext = span{file_name + k, n - k};
            break;
        }
    }
    const value_type_string_set& set = w->file.white_ext;
    for (uint32_t i = 0; i < set.used; ++i) {
        if (std::strcmp(set.set[i], "*") == 0) return true;
        if (eq_nocase(ext, set.set[i])) return true;
    }
    return false;
}
