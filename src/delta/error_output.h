// Where the delta engine and its file layer write their failure lines.
// They report to the standard error stream rather than through the daemon's logger;
// a test or fuzz harness may redirect or silence them.
#pragma once

#include <cstdio>

// nullptr silences the lines; the default is stderr.
void delta_set_error_output(FILE* out);

// printf-style; writes one line to the current error output.
void delta_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
