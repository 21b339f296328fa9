// The control requests that drive the process's connection pool (g_pool):
// "link_connection", "reload_connection", and its end at "unlink"/"stop". Parsing a
// request is the daemon's business; the wire layer only keeps the pool.
#pragma once

#include <string>

#include "wire/connection_pool.h"

class PObject;

// Entry points for the control actions. Each fills reply["error"] on refusal and
// returns false then; they run on the one thread that serves control requests.
//
// What reading a link request gave.
enum class LinkRequestResult {
    kOk,
    kInvalid,        // a required key is missing or a value is unusable
    kPinWithoutSsl,  // "ssl_fingerprint" came with "use_ssl" false
};
// Reads the request keys of "link_connection"/"reload_connection" (a fingerprint
// without "use_ssl" means SSL); on a refusal the cause goes to *why when given (the
// reply carries it as "reason" beside "error").
[[nodiscard]] LinkRequestResult prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy,
                                                        TunnelInfo& tunnel, std::string* why = nullptr);
// "link_connection": a pool of pool_size connections in g_pool ("worker_count" + 1).
[[nodiscard]] bool create_connections(const PObject& request, PObject& reply, unsigned pool_size);
// "reload_connection": replaces the connections of g_pool.
[[nodiscard]] bool reload_connection(const PObject& request, PObject& reply);
// "unlink"/"stop": deletes g_pool after every task has been stopped and joined.
void destroy_connections();
