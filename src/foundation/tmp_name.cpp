#include "foundation/tmp_name.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

TmpNameGen& TmpNameGen::getInstance() {
    static TmpNameGen instance;  // thread-safe one-time initialisation
    return instance;
}

TmpNameGen::TmpNameGen() {
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) {
        unsigned long long ns =
            static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull + static_cast<unsigned long long>(ts.tv_nsec);
        snprintf(reinterpret_cast<char*>(m_key), sizeof(m_key), "%llu", ns);
    }
    schedule();
}

TmpNameGen::TmpNameGen(const char* key_text) {
    if (key_text) snprintf(reinterpret_cast<char*>(m_key), sizeof(m_key), "%s", key_text);
    schedule();
}

void TmpNameGen::schedule() {
    MutexLock lock(m_mutex);
    for (int i = 0; i < 256; ++i) m_s_box[i] = static_cast<unsigned char>(i);
    if (m_key[0] == 0) {
        // No clock text: fall back to the C library generator seeded with the time.
        srand(static_cast<unsigned>(time(nullptr)));
        for (int i = 0; i < 256; ++i) m_key[i] = static_cast<unsigned char>(rand());
    }
    // The schedule runs over all 256 key bytes, the zero tail included.
    unsigned j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (j + m_s_box[i] + m_key[i]) & 0xFF;
        std::swap(m_s_box[i], m_s_box[j]);
    }
}

ustring TmpNameGen::getTmpName(const ustring& prefix) {
    char name[9];
    {
        MutexLock lock(m_mutex);
        // Both RC4 indices start again at 0 for every name; only the
        // permutation carries over.
        unsigned j = 0;
        for (unsigned k = 0; k < 6; ++k) {
            unsigned i = k + 1;
            j = (j + m_s_box[i]) & 0xFF;
            std::swap(m_s_box[i], m_s_box[j]);
            m_buffer[k] = m_s_box[(m_s_box[i] + m_s_box[j]) & 0xFF];
        }
        // 48 bits read as eight 6-bit groups, most significant first.
        for (int g = 0; g < 2; ++g) {
            const unsigned char* b = m_buffer + 3 * g;
            uint32_t v = (uint32_t(b[0]) << 16) | (uint32_t(b[1]) << 8) | b[2];
            for (int c = 0; c < 4; ++c) name[4 * g + c] = kAlphabet[(v >> (18 - 6 * c)) & 0x3F];
        }
    }
    name[8] = 0;
    ustring out(prefix);
    out += "/";
    out += name;
    return out;
}
