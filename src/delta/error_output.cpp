#include "delta/error_output.h"

#include <atomic>
#include <cstdarg>

namespace {
// Unset means stderr; a separate flag lets nullptr mean "silent".
std::atomic<FILE*> g_output{nullptr};
std::atomic<bool> g_redirected{false};
}  // namespace

void delta_set_error_output(FILE* out) {
    g_output.store(out);
    g_redirected.store(true);
}

void delta_error(const char* format, ...) {
    FILE* out = g_redirected.load() ? g_output.load() : stderr;
    if (out == nullptr) return;
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fflush(out);
}
