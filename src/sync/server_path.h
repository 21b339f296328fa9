// Paths that arrive from the server. Every such path is checked before it becomes an
// event: a session-relative path must not be able to name anything outside the
// session's folder, whatever the server sends.
#pragma once

#include <string>

#include "foundation/ustring.h"

// True for "/" and for "/" followed by components separated by single "/", none of
// them empty, "." or "..", longer than the platform's name limit, or holding a NUL.
// Otherwise false, and why names the fault (a static text) when given.
bool IsSafeServerPath(const ustring& path, const char** why = nullptr);

// Why the local session path rel ("/a/b") cannot be synchronised, as a static
// sentence, or null when it can: a name that is not valid UTF-8, a "\" in a name
// (the server refuses it), a name over 255 bytes, or a path over 4095 bytes.
const char* UnsyncableReason(const ustring& rel);

// The path for a log line: printable ASCII as it is, "\" and every other byte as
// "\xNN", at most 512 bytes of the input.
std::string EscapeForLog(const ustring& path);
