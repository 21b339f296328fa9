// Small helpers shared by the events tests.
#pragma once

#include <cstdint>

#include "store/event.h"

namespace events_test {

inline Event Ev(Event::Type type, const char* path, uint32_t mode = 0, uint64_t sync_id = 0, uint64_t sess = 0) {
    Event e;
    e.m_type = type;
    e.m_path = path;
    e.m_mode = mode;
    e.m_sync_id = sync_id;
    e.m_sess_id = sess;
    return e;
}

}  // namespace events_test
