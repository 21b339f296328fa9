// EventSpool: the events of one pull reply, kept in an anonymous scratch file while the
// reply streams in, and read back in batches once the reply is known to be whole. A
// pull of a million events then costs one event's memory at a time instead of the
// whole list (the file is never linked into a folder and is gone when the spool is).
#pragma once

#include <cstdint>
#include <cstdio>

#include "store/event.h"

class EventSpool {
public:
    EventSpool() = default;
    ~EventSpool();
    EventSpool(const EventSpool&) = delete;
    EventSpool& operator=(const EventSpool&) = delete;

    // Drops what the spool holds. 0, or -1 when no scratch file could be made (the
    // first Append or Rewind makes it when no Reset did).
    [[nodiscard]] int Reset();
    // Adds e at the end. 0, or -1 when the scratch file could not be written (no
    // room): the spool is then unusable until Reset.
    [[nodiscard]] int Append(const Event& e);
    // The events appended since the last Reset.
    uint64_t Count() const { return count; }
    // Starts reading from the first event. 0, or -1.
    [[nodiscard]] int Rewind();
    // 1: e holds the next event; 0: none left; -1: the file could not be read.
    [[nodiscard]] int Next(Event& e);

private:
    std::FILE* file = nullptr;
    uint64_t count = 0;
    bool failed = false;
};
