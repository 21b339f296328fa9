// The control plane's side of taking in-flight work away from the workers when
// sessions are paused: the workers busy with the session(s) are told to abort and
// the caller waits until each of them has given up its event.
#pragma once

#include <cstdint>
#include <vector>

class Worker;

// sess_id 0 means every session. Returns the number of workers that had to drop
// their event (and did, when this returns).
unsigned drop_session_workers(const std::vector<Worker*>& workers, uint64_t sess_id);
