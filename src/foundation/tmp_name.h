// TmpNameGen: short unpredictable names for scratch files ("<prefix>/<8 chars>").
// An RC4 state permutation, keyed once from a monotonic nanosecond clock, keeps
// changing with every name; no existence test is made (48 random bits per name).
#pragma once

#include <cstdint>

#include "foundation/mutex.h"
#include "foundation/ustring.h"

class TmpNameGen {
public:
    static TmpNameGen& getInstance();

    // prefix + "/" + 8 characters of the name alphabet. Never touches the disk;
    // an empty result means failure.
    ustring getTmpName(const ustring& prefix);

    // A generator keyed with the given text instead of the clock, so that its
    // names are reproducible. Tests only; the engine uses getInstance().
    explicit TmpNameGen(const char* key_text);

    static constexpr const char* kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

    TmpNameGen(const TmpNameGen&) = delete;
    TmpNameGen& operator=(const TmpNameGen&) = delete;

private:
    TmpNameGen();
    void schedule();

    Mutex m_mutex;
    unsigned char m_key[256] = {};
    unsigned char m_s_box[256] GUARDED_BY(m_mutex) = {};
    unsigned char m_buffer[8] GUARDED_BY(m_mutex) = {};
};
