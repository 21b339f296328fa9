#include "filter/black_list.h"

#include <cstring>

#include "filter/filter_matcher.h"
#include "filter/filter_parser.h"
#include "filter/filter_writer.h"

namespace {

bool add_unique(value_type_string_set* set, const ustring& value) {
    size_t n = std::strlen(value.c_str_utf8());
    if (n == 0 || n > static_cast<size_t>(FILTER_STRING_MAX)) return false;
    if (BlackList2::StringSetValueExist(set, value)) return true;
    return vt_string_set_insert(set, value.c_str_utf8());
}

}  // namespace

BlackList2::BlackList2() {
    MutexLock g(mutex);
    filter_init(&filter);
}

BlackList2::~BlackList2() { Destroy(); }

BlackList2& BlackList2::getInstance() {
    static BlackList2 instance;
    return instance;
}

bool BlackList2::Load(const ustring& path) {
    MutexLock g(mutex);
    filter_destroy(&filter);
    filter_init(&filter);
    if (!filter_read(&filter, path)) {
        // filter_read leaves the record destroyed; give it room again.
        filter_init(&filter);
        return false;
    }
    return true;
}

bool BlackList2::Write(const ustring& path) {
    MutexLock g(mutex);
    return filter_write(&filter, path);
}

void BlackList2::Clear() {
    MutexLock g(mutex);
    filter_destroy(&filter);
    filter_init(&filter);
}

void BlackList2::Destroy() {
    MutexLock g(mutex);
    filter_destroy(&filter);
}

Filter* BlackList2::GetFilter() {
    mutex.Lock();
    return &filter;
}

void BlackList2::ReturnFilter() { mutex.Unlock(); }

int BlackList2::TestFilePath(const ustring& path) {
    MutexLock g(mutex);
    return filter_test_path(&filter, 0, path.c_str_utf8());
}

int BlackList2::TestDirectoryPath(const ustring& path) {
    MutexLock g(mutex);
    return filter_test_path(&filter, 1, path.c_str_utf8());
}

int BlackList2::TestFileSize(uint64_t size) {
    MutexLock g(mutex);
    return filter_test_file_size(&filter, size);
}

int BlackList2::TestFullPathSize(uint64_t size) {
    MutexLock g(mutex);
    return filter_test_full_path_size(&filter, size);
}

uint32_t BlackList2::GetMajorVersion() const { return static_cast<uint32_t>(filter.version.major); }
uint32_t BlackList2::GetMinorVersion() const { return static_cast<uint32_t>(filter.version.minor); }

bool BlackList2::InsertFilter(VersionSection* section, int32_t major, int32_t minor) {
    section->major = major;
    section->minor = minor;
    return true;
}

bool BlackList2::InsertFilter(CommonSection* section, int code, uint64_t value) {
    switch (code) {
        case FILTER_PATH_SIZE:
            section->max_path = value;
            return true;
        case FILTER_LENGTH:
            section->max_length = value;
            return true;
        default:
            return false;
    }
}

bool BlackList2::InsertFilter(FileSection* section, int code, uint64_t value) {
    switch (code) {
        case FILTER_FILE_SIZE_SELECTIVE_SYNC:
            section->max_size_selective_sync = value;
            return true;
        case FILTER_FILE_SIZE:
            section->max_size = value;
            return true;
        default:
            return false;
    }
}

bool BlackList2::InsertFilter(CommonSection* section, int code, const ustring& value) {
    switch (code) {
        case FILTER_PATH_PREFIX_SELECTIVE_SYNC:
            return add_unique(&section->black_path_prefix_selective_sync, value);
        case FILTER_DIR_PREFIX:
            return add_unique(&section->black_dir_prefix, value);
        case FILTER_NAME:
            return add_unique(&section->black_name, value);
        case FILTER_PREFIX:
            return add_unique(&section->black_prefix, value);
        case FILTER_CHAR:
            if (value.c_str_utf8()[0] == '\0') {
                vt_string_destroy(&section->black_char);
                return true;
            }
            if (std::strlen(value.c_str_utf8()) > static_cast<size_t>(FILTER_STRING_MAX)) return false;
            return vt_string_assign(&section->black_char, value.c_str_utf8());
        default:
            return false;
    }
}

bool BlackList2::InsertFilter(FileSection* section, int code, const ustring& value) {
    switch (code) {
        case FILTER_NAME_SELECTIVE_SYNC:
            return add_unique(&section->black_name_selective_sync, value);
        case FILTER_EXT_SELECTIVE_SYNC:
            return add_unique(&section->black_ext_selective_sync, value);
        case FILTER_EXT:
            return add_unique(&section->black_ext, value);
        case FILTER_NAME:
            return add_unique(&section->black_name, value);
        case FILTER_PREFIX:
            return add_unique(&section->black_prefix, value);
        default:
            return false;
    }
}

bool BlackList2::InsertFilter(DirectorySection* section, int code, const ustring& value) {
    if (code != FILTER_NAME) return false;
    return add_unique(&section->black_name, value);
}

bool BlackList2::RemoveFilter(FileSection* section, int code, const ustring& value) {
    if (code != FILTER_EXT_SELECTIVE_SYNC) return false;
    vt_string_set_remove(&section->black_ext_selective_sync, value.c_str_utf8());
    return true;
}

bool BlackList2::RemoveFilter(CommonSection* section, int code, const ustring& value) {
    switch (code) {
        case FILTER_DIR_PREFIX:
            vt_string_set_remove(&section->black_dir_prefix, value.c_str_utf8());
            return true;
        case FILTER_PREFIX:
            vt_string_set_remove(&section->black_prefix, value.c_str_utf8());
            return true;
        default:
            return false;
    }
}

bool BlackList2::StringSetValueExist(const value_type_string_set* set, const ustring& value) {
    if (!set || !set->set || set->used == 0) return false;
    for (uint32_t i = 0; i < set->used; ++i)
        if (str_case_cmp(set->set[i], value.c_str_utf8()) == 0) return true;
    return false;
}
