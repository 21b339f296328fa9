#include "ref_connection.h"

#include <unistd.h>

#include <cstdarg>
#include <atomic>
#include <cstdio>

#include "foundation/mutex.h"
#include "wire/protocol.h"
#include "wire/ssl_channel.h"

namespace {

Mutex g_log_lock;

constexpr unsigned kChannelBuffer = 81920;
// A request value must follow its header promptly.
constexpr unsigned kRequestTimeout = 60;
// Idle limit before the first "connect".
constexpr unsigned kFirstRequestTimeout = 60;

}  // namespace

void DropReceivedBinaries(const PObject& value, const std::string& scratch_dir) {
    if (value.isBinary()) {
        const std::string p = value.asBinary().path.str();
        if (p.compare(0, scratch_dir.size() + 1, scratch_dir + "/") == 0) unlink(p.c_str());
        return;
    }
    if (value.isMap()) {
        for (const auto& kv : value.asMap()) DropReceivedBinaries(kv.second, scratch_dir);
    } else if (value.isArray()) {
        for (const auto& v : value.asArray()) DropReceivedBinaries(v, scratch_dir);
    }
}

RefConnection::RefConnection(const ServerOptions& opts, Storage& storage, int fd, uint64_t number)
    : m_opts(opts), m_storage(storage), m_channel(kChannelBuffer), m_number(number), m_fd(fd) {}

RefConnection::~RefConnection() { m_channel.Close(); }

void RefConnection::Log(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    MutexLock g(g_log_lock);
    fprintf(stderr, "conn %llu: %s\n", (unsigned long long)m_number, line);
    fflush(stderr);
}

void RefConnection::Error(PObject& reply, uint32_t code, const char* why) {
    reply.clear();
    reply["error"]["code"] = code;
    reply["error"]["reason"] = why;
}

int RefConnection::SendReply(const PObject& reply) {
    PStream out;
    for (unsigned i = 0; i < m_opts.keepalive; ++i) {
        PObject ka;
        ka["type"] = "keep_alive";
        if (out.Send(m_channel, ka) != 0) return -1;
    }
    PObject full(reply);
    full["alive"] = m_opts.alive;
    return out.Send(m_channel, full) == 0 ? 0 : -1;
}

void RefConnection::Stall() {
    // Holds the connection open without ever answering, until the client gives up.
    m_channel.SetTimeout(0);
    char byte;
    std::atomic<int> stop{0};
    m_channel.SetFlag(&stop);
    while (m_channel.Read(&byte, 1) == 0) {
    }
    m_channel.SetFlag(nullptr);
}

void RefConnection::Serve() {
    if (m_channel.Open(m_fd, true) != 0) {
        close(m_fd);
        return;
    }
    const std::string scratch = m_storage.root() + "/tmp";
    for (;;) {
        unsigned idle = m_connected ? (unsigned)(m_opts.alive == 0 ? kRequestTimeout : m_opts.alive + 10)
                                    : kFirstRequestTimeout;
        m_channel.SetTimeout(idle);
        uint16_t length = 0;
        uint8_t command = 0, version = 0;
        int rc = ProtoReadHeader(m_channel, length, command, version);
        if (rc != 0) {
            if (rc == -5) Log("bad header magic, closing");
            break;
        }
        m_channel.SetTimeout(kRequestTimeout);
        PObject req;
        PStream in;
        in.SetDefaultRecvLocation(scratch);
        rc = in.Recv(m_channel, req);
        if (rc != 0) {
            Log("%s: unreadable request value (%d), closing", ProtoCmd2String(command), rc);
            DropReceivedBinaries(req, scratch);
            break;
        }
        PObject reply;
        After after = Handle(command, version, req, reply);
        DropReceivedBinaries(req, scratch);
        if (SendReply(reply) != 0) {
            Log("reply could not be sent, closing");
            break;
        }
        if (after == AFTER_CLOSE) break;
        if (after == AFTER_STALL) {
            Stall();
            break;
        }
        if (after == AFTER_SSL) {
            m_channel.SetTimeout(30);
            if (m_channel.ConvertToSSLChannel(true) != 0) {
                Log("SSL handshake failed, closing");
                break;
            }
            Log("channel is now encrypted");
        }
    }
    m_channel.Close();
}

RefConnection::After RefConnection::Handle(uint8_t command, uint8_t version, const PObject& req, PObject& reply) {
    std::string action = req["action"].asString().str();
    if (version != PROTO_VERSION) {
        Log("%s: protocol version %u refused", action.c_str(), (unsigned)version);
        Error(reply, REF_ERR_VERSION, "unsupported protocol version");
        return AFTER_NOTHING;
    }
    if (!req.isMap() || !req["action"].isString()) {
        Log("%s: request without action", ProtoCmd2String(command));
        Error(reply, REF_ERR_INTERNAL, "request without action");
        return AFTER_NOTHING;
    }
    auto fault = m_opts.fail_action.find(action);
    if (fault != m_opts.fail_action.end()) {
        Log("%s: fault injected, error 0x%x", action.c_str(), fault->second);
        Error(reply, fault->second, "injected fault");
        return AFTER_NOTHING;
    }
    if (action == "encrypt_channel") return HandleEncrypt(command, req, reply);
    if (action == "connect") return HandleConnect(command, req, reply);
    Log("%s: unknown action", action.c_str());
    Error(reply, REF_ERR_INTERNAL, "unknown action");
    return AFTER_NOTHING;
}

RefConnection::After RefConnection::HandleEncrypt(uint8_t command, const PObject&, PObject& reply) {
    if (command != SCMD_REQUEST_SSL_2) {
        Log("encrypt_channel: sent with command %u", (unsigned)command);
        Error(reply, REF_ERR_INTERNAL, "wrong command for encrypt_channel");
        return AFTER_NOTHING;
    }
    if (SSLChannelIsEncrypted(m_channel)) {
        Log("encrypt_channel: already encrypted");
        Error(reply, REF_ERR_INTERNAL, "channel already encrypted");
        return AFTER_NOTHING;
    }
    reply = PObject::map_type();
    Log("encrypt_channel: ok%s", m_opts.ssl_stall ? " (stalling the handshake)" : "");
    return m_opts.ssl_stall ? AFTER_STALL : AFTER_SSL;
}

RefConnection::After RefConnection::HandleConnect(uint8_t command, const PObject& req, PObject& reply) {
    if (command != SCMD_REQUEST_CONNECT) {
        Log("connect: sent with command %u", (unsigned)command);
        Error(reply, REF_ERR_INTERNAL, "wrong command for connect");
        return AFTER_NOTHING;
    }
    const PObject& session = req["session"];
    if (!session.isString() || session.asString().empty() ||
        (m_opts.has_token && session.asString().str() != m_opts.token)) {
        Log("connect: session refused");
        Error(reply, REF_ERR_AUTH, "session refused");
        return AFTER_NOTHING;
    }
    if (!req["view_id"].isInteger()) {
        Log("connect: no view id");
        Error(reply, REF_ERR_VIEW, "view_id missing");
        return AFTER_NOTHING;
    }
    const bool do_ssl = req["do_ssl"].asBool();
    if (do_ssl && SSLChannelIsEncrypted(m_channel)) {
        Log("connect: do_ssl on an encrypted channel");
        Error(reply, REF_ERR_INTERNAL, "channel already encrypted");
        return AFTER_NOTHING;
    }
    uint64_t view = req["view_id"].asUInt64();
    if (m_storage.EnsureView(view) < 0) {
        Log("connect: view %llu cannot be stored: %s", (unsigned long long)view, m_storage.error().c_str());
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    m_connected = true;
    m_view_id = view;
    reply["server"]["package_version"]["build"] = m_opts.build;
    Log("connect: view %llu ok%s%s", (unsigned long long)view, do_ssl ? ", do_ssl" : "",
        m_opts.ssl_stall && do_ssl ? " (stalling the handshake)" : "");
    if (!do_ssl) return AFTER_NOTHING;
    return m_opts.ssl_stall ? AFTER_STALL : AFTER_SSL;
}
