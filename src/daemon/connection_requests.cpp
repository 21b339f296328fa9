#include "daemon/connection_requests.h"

#include "foundation/logger.h"
#include "wire/object.h"

namespace {

// "ab:CD..." or "abcd...": 32 bytes of hex, stored lower case without separators.
bool NormalizeFingerprint(const ustring& text, std::string* out) {
    std::string hex;
    for (uint32_t i = 0; i < text.length(); ++i) {
        char c = text[i];
        if (c == ':') continue;
        if (c >= 'A' && c <= 'F') c = (char)(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        hex.push_back(c);
    }
    if (hex.size() != 64) return false;
    *out = hex;
    return true;
}

void RefuseInvalid(PObject& reply, LinkRequestResult rc, const std::string& why) {
    if (rc == LinkRequestResult::kPinWithoutSsl) {
        NLOG_AT(L_ERR, "client_debug", "app.cpp", "ssl_fingerprint given with use_ssl false.\n");
        reply["error"] = "ssl_fingerprint needs use_ssl: a pinned server is reached over SSL only";
        return;
    }
    NLOG_AT(L_ERR, "client_debug", "app.cpp", "invalid parameters.\n");
    reply["error"] = "Invalid parameters";
    if (!why.empty()) reply["reason"] = ustring(why);
}

}  // namespace

LinkRequestResult prepare_connection_info(const PObject& request, ConnectionInfo& info, ProxyInfo& proxy,
                                          TunnelInfo& tunnel, std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    for (const char* key : {"connection_id", "server_ip", "server_port", "session"}) {
        if (!request.hasMember(key)) {
            reason = std::string("the key \"") + key + "\" is missing";
            return LinkRequestResult::kInvalid;
        }
    }
    // A member of another kind would be read as something it does not say: a text
    // "use_ssl" of "no" as true, an empty array as false (plain text to the server),
    // a number as an address.
    static const char* const kIntegers[] = {"connection_id", "server_port", "connection_mode",
                                            "use_ssl",       "use_proxy",   "use_sys_proxy",
                                            "proxy_port",    "use_tunnel",  "tunnel_port"};
    static const char* const kStrings[] = {"server_ip",  "session",        "username",       "computer_name",
                                           "proxy_ip",   "proxy_username", "proxy_password", "proxy_domain",
                                           "proxy_host", "tunnel_ip"};
    for (const char* key : kIntegers) {
        if (request.hasMember(key) && !request[key].isInteger()) {
            reason = std::string("\"") + key + "\" must be a number";
            return LinkRequestResult::kInvalid;
        }
    }
    for (const char* key : kStrings) {
        if (request.hasMember(key) && !request[key].isString()) {
            reason = std::string("\"") + key + "\" must be a text";
            return LinkRequestResult::kInvalid;
        }
    }
    info = ConnectionInfo();
    proxy = ProxyInfo();
    tunnel = TunnelInfo();
    info.conn_id = request["connection_id"].asUInt64();
    info.server_ip = request["server_ip"].asString();
    info.server_port = request["server_port"].asInt32();
    info.session = request["session"].asString();
    info.c_mode = (ConnectionMode)request["connection_mode"].asInt32();
    info.username = request["username"].asString();
    info.computer_name = request["computer_name"].asString();
    // Absent reads as false, as for every optional key.
    info.use_ssl = request["use_ssl"].asBool();
    if (request.hasMember("ssl_fingerprint") && !request["ssl_fingerprint"].isEmpty()) {
        // A pin that cannot be a SHA-256 would silently accept any certificate.
        if (!NormalizeFingerprint(request["ssl_fingerprint"].asString(), &info.ssl_fingerprint)) {
            reason = "\"ssl_fingerprint\" is not a SHA-256 digest (64 hex digits)";
            return LinkRequestResult::kInvalid;
        }
        // A pin means SSL: an explicit "no SSL" beside it would send the token in clear.
        if (request.hasMember("use_ssl") && !info.use_ssl) {
            reason = "\"ssl_fingerprint\" needs SSL, but \"use_ssl\" is false";
            return LinkRequestResult::kPinWithoutSsl;
        }
        info.use_ssl = true;
    }
    proxy.use_proxy = request["use_proxy"].asBool();
    proxy.use_sys_proxy = request["use_sys_proxy"].asBool();
    proxy.proxy_ip = request["proxy_ip"].asString().str();
    proxy.proxy_port = request["proxy_port"].asUInt16();
    proxy.user_name = request["proxy_username"].asString().str();
    proxy.password = request["proxy_password"].asString().str();
    proxy.domain = request["proxy_domain"].asString().str();
    proxy.host = request["proxy_host"].asString().str();
    tunnel.use_tunnel = request["use_tunnel"].asBool();
    tunnel.tunnel_ip = request["tunnel_ip"].asString().str();
    tunnel.tunnel_port = request["tunnel_port"].asUInt16();
    return LinkRequestResult::kOk;
}

namespace {

// Reads a link request; false with the refusal in reply when it cannot be used.
bool ReadOrRefuse(const PObject& request, PObject& reply, ConnectionInfo& info, ProxyInfo& proxy, TunnelInfo& tunnel) {
    std::string why;
    if (const LinkRequestResult rc = prepare_connection_info(request, info, proxy, tunnel, &why);
        rc != LinkRequestResult::kOk) {
        RefuseInvalid(reply, rc, why);
        return false;
    }
    return true;
}

}  // namespace

bool create_connections(const PObject& request, PObject& reply, unsigned pool_size) {
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    if (!ReadOrRefuse(request, reply, info, proxy, tunnel)) return false;
    if (g_pool) {
        // A second link replaces the server and identity in place once every borrowed
        // connection is back, so no task is left holding a deleted pool.
        g_pool->relinkConnection(info, proxy, tunnel);
        return true;
    }
    g_pool.set(new ConnectionPool(info, proxy, tunnel, pool_size));
    return true;
}

bool reload_connection(const PObject& request, PObject& reply) {
    ConnectionInfo info;
    ProxyInfo proxy;
    TunnelInfo tunnel;
    if (!ReadOrRefuse(request, reply, info, proxy, tunnel)) return false;
    if (!g_pool) {
        NLOG_AT(L_ERR, "client_debug", "app.cpp", "reload_connection: no connection is linked.\n");
        reply["error"] = "Connection not linked";
        return false;
    }
    g_pool->reloadConnection(info, proxy, tunnel);
    return true;
}

void destroy_connections() {
    ConnectionPool* pool = g_pool.get();
    g_pool.set(nullptr);
    delete pool;
}
