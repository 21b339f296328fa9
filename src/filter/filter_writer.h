// Writer of black-list files, in the layout the parser reads back: sections
// [Version], [Common], [File], [Directory], [EA]; strings quoted and escaped; sets
// five entries to a line, a line always breaking right after a comma.
#pragma once

#include <cstdio>

#include "filter/filter_record.h"
#include "foundation/ustring.h"

// Writes the filter to the stream. False when the filter holds a value the parser
// could not read back (an empty set entry or a string over 512 bytes; then nothing
// is written) or the stream reports a write error.
[[nodiscard]] bool filter_print(const Filter* filter, FILE* out);

// Replaces the file with the printed filter. The text goes to "<file>.tmp" first
// and is renamed over the file only when completely written, so a full disk or a
// crash never leaves a truncated filter behind. False when it could not.
[[nodiscard]] bool filter_write(const Filter* filter, const ustring& file_name);
