// Config: the key-equals-value file reader used by the settings and the log level file.
#pragma once

#include <map>
#include <string>

#include "foundation/ustring.h"

class Config {
public:
    enum { OK = 0, EMPTY = 1, INVALID = 2 };

    // Parses the file into store; false for an empty path, an unreadable file or a
    // syntax error (which empties store). Then *why (when given) says what and where,
    // e.g. "line 3: no \"=\" after the key \"worker_count\"".
    [[nodiscard]] bool read(const ustring& path, std::string* why = nullptr);
    ustring& operator[](const ustring& key) { return store[key]; }
    int get_int(const ustring& key);

    // Classifies one line; on OK fills key and value; on INVALID sets *why (when given)
    // to the problem in plain words.
    static int parse_line(const char* line, ustring& key, ustring& value, std::string* why = nullptr);
    // Decimal stream extraction into a signed 32-bit integer; 0 when no number starts the text.
    static int to_int(const ustring& text);

    std::map<ustring, ustring> store;
};
