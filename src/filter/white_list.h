// WhiteListCpp: a session's white list of file extensions behind a mutex.
#pragma once

#include "filter/filter_record.h"
#include "foundation/mutex.h"
#include "foundation/ustring.h"

class WhiteListCpp {
public:
    WhiteListCpp();
    ~WhiteListCpp();
    WhiteListCpp(const WhiteListCpp&) = delete;
    WhiteListCpp& operator=(const WhiteListCpp&) = delete;

    // Replaces the list with the file's. False when the file is missing or malformed
    // (the list is then empty and accepts nothing).
    [[nodiscard]] bool Load(const ustring& path);
    void Clear();
    // True when the file name's extension is listed (or "*" is).
    [[nodiscard]] bool Test(const ustring& name) const;

private:
    WhiteList list GUARDED_BY(lock);
    mutable Mutex lock;
};
