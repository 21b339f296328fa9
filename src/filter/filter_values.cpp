#include "filter/filter_values.h"

#include <cstdlib>
#include <cstring>

namespace {

char* copy_bytes(const char* value, uint32_t len) {
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
    if (!p) return nullptr;
    if (len) std::memcpy(p, value, len);
    p[len] = '\0';
    return p;
}

}  // namespace

bool vt_string_set_init(value_type_string_set* s, uint32_t capacity) {
    if (capacity == 0) capacity = 4;
    s->used = 0;
    s->set = static_cast<char**>(std::calloc(capacity, sizeof(char*)));
    s->capacity = s->set ? capacity : 0;
    return s->set != nullptr;
}

bool vt_string_set_insert(value_type_string_set* s, const char* value) {
    if (!value) return false;
    return vt_string_set_insert_n(s, value, static_cast<uint32_t>(std::strlen(value)));
}

bool vt_string_set_insert_n(value_type_string_set* s, const char* value, uint32_t len) {
    if (!value) return false;
    if (s->used >= s->capacity) {
        // A destroyed set has no room at all; start it again at the default size.
        uint32_t cap = s->capacity ? s->capacity * 2 : 4;
        if (cap <= s->capacity) return false;
        auto* grown = static_cast<char**>(std::realloc(s->set, static_cast<size_t>(cap) * sizeof(char*)));
        if (!grown) return false;
        s->set = grown;
        s->capacity = cap;
    }
    char* copy = copy_bytes(value, len);
    if (!copy) return false;
    s->set[s->used++] = copy;
    return true;
}

void vt_string_set_remove(value_type_string_set* s, const char* value) {
    if (!value) return;
    for (uint32_t i = 0; i < s->used; ++i) {
        if (std::strcmp(s->set[i], value) == 0) {
            std::free(s->set[i]);
            s->set[i] = s->set[s->used - 1];
            s->set[--s->used] = nullptr;
            break;
        }
    }
}

void vt_string_set_destroy(value_type_string_set* s) {
    for (uint32_t i = 0; i < s->used; ++i) std::free(s->set[i]);
    std::free(s->set);
    s->set = nullptr;
    s->used = 0;
    s->capacity = 0;
}

bool vt_string_assign(value_type_string* s, const char* value) {
    if (!value) {
        vt_string_destroy(s);
        return true;
    }
    return vt_string_assign_n(s, value, static_cast<uint32_t>(std::strlen(value)));
}

bool vt_string_assign_n(value_type_string* s, const char* value, uint32_t len) {
    char* copy = copy_bytes(value, len);
    if (!copy) return false;
    std::free(s->str);
    s->str = copy;
    return true;
}

void vt_string_destroy(value_type_string* s) {
    std::free(s->str);
    s->str = nullptr;
}
