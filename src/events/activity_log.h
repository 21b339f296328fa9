// The log line a person reads to learn what the daemon did: one INFO line per item a
// worker finished (uploaded, downloaded, removed here or on the server), naming the
// session's folder, the path and the size.
#pragma once

#include "store/event.h"

// Logs on the channel "worker_debug" at INFO. e is the finished event as the UI hears
// of it: EV_MODIFY or EV_REMOVE, F_SERVER for what came from the server, m_data_size
// the item's size (not shown for removals and directories).
void LogItemDone(const Event& e);
