// Small text checks shared by the HTTP CONNECT client, the relay handshake and the
// test relay: what may go into a header line, and how status lines and numeric
// header values are read.
#pragma once

#include <cstddef>

// Longest host text put into a request or header line.
constexpr size_t kMaxHeaderHost = 255;

// True when host is non-empty, at most kMaxHeaderHost bytes, and holds no control
// byte (CR and LF included), blank or DEL, so it cannot end or split a header line.
bool IsSafeHeaderHost(const char* host);
// True when text is safe inside a header value: no CR, LF or other control byte
// except tab.
bool IsSafeHeaderValue(const char* text);

// True when line begins with prefix, compared without regard to ASCII case.
bool StartsWithNoCase(const char* line, const char* prefix);

// Reads "HTTP/1.x NNN ..." into *code. False when line is not such a status line.
bool ParseHttpStatusLine(const char* line, int* code);

// For a header line "Name: value" (name compared without regard to case) reads the
// value as a decimal number into *number. 1: read; 0: the line is another header;
// -1: it is this header but its value is not a number that fits an int.
int ParseNumericHeader(const char* line, const char* name, int* number);
