#include "filter/filter_record.h"

#include <cstring>

namespace {

void init_string(value_type_string* s) { s->str = nullptr; }

void init_set(value_type_string_set* s, uint32_t capacity) {
    // Out of memory leaves an empty set without room; inserting grows it later.
    vt_string_set_init(s, capacity);
}

bool same_string(const value_type_string& a, const value_type_string& b) {
    if (!a.str || !b.str) return a.str == b.str;
    return std::strcmp(a.str, b.str) == 0;
}

bool same_set(const value_type_string_set& a, const value_type_string_set& b) {
    if (a.used != b.used) return false;
    for (uint32_t i = 0; i < a.used; ++i)
        if (std::strcmp(a.set[i], b.set[i]) != 0) return false;
    return true;
}

}  // namespace

void filter_init(Filter* f) {
    f->version.major = 0;
    f->version.minor = 0;

    init_string(&f->common.black_char);
    init_set(&f->common.black_prefix, 4);
    init_set(&f->common.black_dir_prefix, 4);
    init_set(&f->common.black_name, 4);
    init_set(&f->common.black_path_prefix_selective_sync, 4);
    f->common.max_length = 0;
    f->common.max_path = 0;

    init_string(&f->file.black_char);
    init_set(&f->file.black_ext, 4);
    init_set(&f->file.black_name, 4);
    init_set(&f->file.black_prefix, 4);
    init_set(&f->file.black_ext_selective_sync, 4);
    init_set(&f->file.black_name_selective_sync, 4);
    f->file.max_size = 0;
    f->file.max_size_selective_sync = 0;

    init_string(&f->directory.black_char);
    init_set(&f->directory.black_name, 2);
    init_set(&f->directory.black_prefix, 2);

    init_set(&f->ea.black_ea_name, 2);
}

void filter_destroy(Filter* f) {
    f->version.major = 0;
    f->version.minor = 0;

    vt_string_destroy(&f->common.black_char);
    vt_string_set_destroy(&f->common.black_prefix);
    vt_string_set_destroy(&f->common.black_dir_prefix);
    vt_string_set_destroy(&f->common.black_name);
    vt_string_set_destroy(&f->common.black_path_prefix_selective_sync);
    f->common.max_length = 0;
    f->common.max_path = 0;

    vt_string_destroy(&f->file.black_char);
    vt_string_set_destroy(&f->file.black_ext);
    vt_string_set_destroy(&f->file.black_name);
    vt_string_set_destroy(&f->file.black_prefix);
    vt_string_set_destroy(&f->file.black_ext_selective_sync);
    vt_string_set_destroy(&f->file.black_name_selective_sync);
    f->file.max_size = 0;
    f->file.max_size_selective_sync = 0;

    vt_string_destroy(&f->directory.black_char);
    vt_string_set_destroy(&f->directory.black_name);
    vt_string_set_destroy(&f->directory.black_prefix);

    vt_string_set_destroy(&f->ea.black_ea_name);
}

bool filter_equal(const Filter* a, const Filter* b) {
    return a->version.major == b->version.major && a->version.minor == b->version.minor &&
           same_string(a->common.black_char, b->common.black_char) &&
           same_set(a->common.black_prefix, b->common.black_prefix) &&
           same_set(a->common.black_dir_prefix, b->common.black_dir_prefix) &&
           same_set(a->common.black_name, b->common.black_name) &&
           same_set(a->common.black_path_prefix_selective_sync, b->common.black_path_prefix_selective_sync) &&
           a->common.max_length == b->common.max_length && a->common.max_path == b->common.max_path &&
           same_string(a->file.black_char, b->file.black_char) && same_set(a->file.black_ext, b->file.black_ext) &&
           same_set(a->file.black_name, b->file.black_name) && same_set(a->file.black_prefix, b->file.black_prefix) &&
           same_set(a->file.black_ext_selective_sync, b->file.black_ext_selective_sync) &&
           same_set(a->file.black_name_selective_sync, b->file.black_name_selective_sync) &&
           a->file.max_size == b->file.max_size && a->file.max_size_selective_sync == b->file.max_size_selective_sync &&
           same_string(a->directory.black_char, b->directory.black_char) &&
           same_set(a->directory.black_name, b->directory.black_name) &&
           same_set(a->directory.black_prefix, b->directory.black_prefix) &&
           same_set(a->ea.black_ea_name, b->ea.black_ea_name);
}

void white_list_init(WhiteList* w) {
    w->version.major = 0;
    w->version.minor = 0;
    init_set(&w->file.white_ext, 4);
}

void white_list_destroy(WhiteList* w) {
    w->version.major = 0;
    w->version.minor = 0;
    vt_string_set_destroy(&w->file.white_ext);
}

bool white_list_equal(const WhiteList* a, const WhiteList* b) {
    return a->version.major == b->version.major && a->version.minor == b->version.minor &&
           same_set(a->file.white_ext, b->file.white_ext);
}
