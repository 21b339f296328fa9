#include "sync/event_spool.h"

#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// One record: the fixed-width members, then each text as its byte count and bytes,
// in the machine's own byte order (the file lives as long as one pull).
struct Fixed {
    uint32_t type;
    uint32_t mode;
    uint64_t sync_id;
    uint64_t max_id;
    uint64_t data_size;
    uint64_t mac_attr_size;
    uint64_t sess_id;
    uint32_t time;
    uint32_t exec_bit;
};

bool WriteText(std::FILE* f, const ustring& text) {
    const uint32_t n = text.size();
    return std::fwrite(&n, sizeof n, 1, f) == 1 && (n == 0 || std::fwrite(text.c_str_utf8(), n, 1, f) == 1);
}

bool ReadText(std::FILE* f, std::string& scratch, ustring& text) {
    uint32_t n = 0;
    if (std::fread(&n, sizeof n, 1, f) != 1) return false;
    scratch.resize(n);
    if (n != 0 && std::fread(scratch.data(), n, 1, f) != 1) return false;
    text.assign(scratch.data(), n);
    return true;
}

}  // namespace

EventSpool::~EventSpool() {
    if (file) std::fclose(file);
}

int EventSpool::Reset() {
    count = 0;
    failed = false;
    if (file) {
        // Truncate in place: the scratch file is kept for the next pull.
        std::rewind(file);
        if (ftruncate(fileno(file), 0) == 0) return 0;
        std::fclose(file);
    }
    // tmpfile: 0600, never linked into a folder, gone when closed or on a crash.
    file = std::tmpfile();
    if (!file) failed = true;
    return file ? 0 : -1;
}

int EventSpool::Append(const Event& e) {
    if (!file && Reset() != 0) return -1;  // the first use makes the scratch file
    if (failed) return -1;
    const Fixed fixed{static_cast<uint32_t>(e.m_type),
                      e.m_mode,
                      e.m_sync_id,
                      e.m_max_id,
                      e.m_data_size,
                      e.m_mac_attr_size,
                      e.m_sess_id,
                      e.m_time,
                      e.m_exec_bit};
    if (std::fwrite(&fixed, sizeof fixed, 1, file) != 1 || !WriteText(file, e.m_path) ||
        !WriteText(file, e.m_data_hash) || !WriteText(file, e.m_mac_attr_hash)) {
        failed = true;
        return -1;
    }
    ++count;
    return 0;
}

int EventSpool::Rewind() {
    if (!file && Reset() != 0) return -1;
    if (failed || std::fflush(file) != 0) return -1;
    std::rewind(file);
    return 0;
}

int EventSpool::Next(Event& e) {
    if (!file || failed) return -1;
    Fixed fixed{};
    if (std::fread(&fixed, sizeof fixed, 1, file) != 1) return std::feof(file) ? 0 : -1;
    e.clear();
    e.m_type = static_cast<Event::Type>(fixed.type);
    e.m_mode = fixed.mode;
    e.m_sync_id = fixed.sync_id;
    e.m_max_id = fixed.max_id;
    e.m_data_size = fixed.data_size;
    e.m_mac_attr_size = fixed.mac_attr_size;
    e.m_sess_id = fixed.sess_id;
    e.m_time = fixed.time;
    e.m_exec_bit = fixed.exec_bit;
    std::string scratch;
    if (!ReadText(file, scratch, e.m_path) || !ReadText(file, scratch, e.m_data_hash) ||
        !ReadText(file, scratch, e.m_mac_attr_hash))
        return -1;
    return 1;
}
