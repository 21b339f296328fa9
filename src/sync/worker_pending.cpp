// Handlers whose work has not been built yet. Each answers ERR_SYS, which the error
// table retries and then hands back, so that no event is ever finished without its
// work. Building a handler means giving it its own file and deleting its line here.
#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "sync/worker.h"

namespace {
int NotBuilt(const Worker& w, const char* handler) {
    NLOG(L_ERR, "worker_debug", "[ERROR] worker.cpp(%d): %s is not available, event '%s' kept\n", handler,
         w.GetPath().c_str_utf8());
    return ERR_SYS;
}
}  // namespace

int Worker::RemoveLocal() { return NotBuilt(*this, "RemoveLocal"); }
int Worker::RemoveRemote() { return NotBuilt(*this, "RemoveRemote"); }
