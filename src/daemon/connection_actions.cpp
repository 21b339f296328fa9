// The connection actions of the application object: "link_connection",
// "reload_connection" and "unlink_connection". The pool itself is the wire layer's
// (g_pool); these only check the request and drive it.
#include "daemon/app.h"
#include "daemon/connection_requests.h"
#include "daemon/refusal.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "wire/connection_pool.h"

namespace {
const char* const kChannel = "client_debug";
}  // namespace

void Nimbrel::create_connections(const PObject& request, PObject& reply) {
    // One connection per task that can hold one: the workers and the two pullers. A
    // pool that exists already is changed in place once its connections are back.
    (void)::create_connections(request, reply, Settings::getInstance().getWorkerCount() + 1);  // refusal in reply
}

void Nimbrel::reload_connection(const PObject& request, PObject& reply) {
    if (g_pool == nullptr) {
        ConnectionInfo info;
        ProxyInfo proxy;
        TunnelInfo tunnel;
        std::string why;
        if (prepare_connection_info(request, info, proxy, tunnel, &why) != LinkRequestResult::kOk) {
            NLOG_AT(L_ERR, kChannel, "app.cpp", "invalid parameters.\n");
            Refuse(reply, "Invalid parameters", why);
            return;
        }
        NLOG_AT(L_ERR, kChannel, "app.cpp", "reload_connection without a connection\n");
        Refuse(reply, "No connection.", "no server is linked (\"link_connection\" first)");
        return;
    }
    (void)::reload_connection(request, reply);  // a refusal is in reply
}

void Nimbrel::unlink_connection(const PObject&, PObject& reply) {
    // Every session once, as "remove_session" without an id does; the pool stays.
    remove_session(PObject(), reply);
}

void Nimbrel::destroy_connections() {
    // Runs after every task has been stopped and joined: nothing borrows any more.
    ::destroy_connections();
}

void Nimbrel::append_connection_status(PObject& reply) {
    if (g_pool == nullptr) return;
    PObject item;
    item["connection_id"] = g_pool->getConnectionId();
    item["status"] = g_pool->isConnected() ? "connected" : "disconnected";
    const unsigned silent = g_pool->NotRespondingSeconds();
    item["responding"] = silent == 0;
    if (silent != 0) item["silent_seconds"] = static_cast<uint64_t>(silent);
    reply["connection_list"].asArray().push_back(item);
}
