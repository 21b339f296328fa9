#include "ref_connection.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <map>

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
    : m_opts(opts), m_storage(storage), m_channel(kChannelBuffer), m_number(number), m_fd(fd) {
    if (m_opts.cut_min != 0) {
        // Drawn from the seed and the connection's number alone, so that a logged seed
        // gives every connection the same budget again.
        uint64_t x = m_opts.fault_seed + number * 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        x ^= x >> 31;
        const uint64_t span = m_opts.cut_max - m_opts.cut_min;
        m_cut_budget = m_opts.cut_min + (span == UINT64_MAX ? x : x % (span + 1));
    }
}

bool RefConnection::CutBinary(uint64_t count, uint64_t* keep) {
    if (m_opts.cut_min == 0) {
        if (m_opts.cut_after == 0 || count <= m_opts.cut_after) return false;
        *keep = m_opts.cut_after;
        return true;
    }
    const uint64_t left = m_cut_budget - m_cut_used;
    if (count <= left) {
        m_cut_used += count;
        return false;
    }
    *keep = left;
    m_cut_used = m_cut_budget;
    return true;
}

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

// Texts go as PStream writes them, integers in the fewest bytes that hold them.
int WriteValue(Channel& ch, const PObject& v, const std::map<std::string, std::string>& raw) {
    auto text = [&](const std::string& t) {
        if (t.size() > 0xFFFF) return -1;
        if (ch.WriteByte(PStream::TAG_STRING) || ch.WriteInt16((uint16_t)t.size())) return -1;
        return t.empty() ? 0 : ch.Write(t.data(), (unsigned)t.size());
    };
    if (v.isInteger()) {
        const uint64_t n = v.asUInt64();
        if (ch.WriteByte(PStream::TAG_INTEGER)) return -1;
        if (n < 0x100) return ch.WriteByte(1) || ch.WriteByte((uint8_t)n) ? -1 : 0;
        if (n < 0x10000) return ch.WriteByte(2) || ch.WriteInt16((uint16_t)n) ? -1 : 0;
        if (n <= 0xFFFFFFFFull) return ch.WriteByte(4) || ch.WriteInt32((uint32_t)n) ? -1 : 0;
        return ch.WriteByte(8) || ch.WriteInt64(n) ? -1 : 0;
    }
    if (v.isString()) {
        const std::string t = v.asString().str();
        auto it = raw.find(t);
        return text(it == raw.end() ? t : it->second);
    }
    if (v.isArray() || v.isMap()) {
        if (ch.WriteByte(v.isMap() ? PStream::TAG_MAP : PStream::TAG_ARRAY)) return -1;
        if (v.isMap()) {
            for (const auto& [key, member] : v.asMap())
                if (text(key.str()) || WriteValue(ch, member, raw)) return -1;
        } else {
            for (const PObject& member : v.asArray())
                if (WriteValue(ch, member, raw)) return -1;
        }
        return ch.WriteByte(PStream::TAG_END);
    }
    if (ch.WriteByte(PStream::TAG_NULL) || ch.WriteByte(0)) return -1;
    return 0;
}

int RefConnection::SendReply(const PObject& reply) {
    PStream out;
    for (unsigned i = 0; i < m_opts.keepalive; ++i) {
        PObject ka;
        ka["type"] = "keep_alive";
        if (out.Send(m_channel, ka) != StreamResult::kOk) return -1;
    }
    PObject full(reply);
    full["alive"] = m_opts.alive;
    return out.Send(m_channel, full) == StreamResult::kOk ? 0 : -1;
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
    if (m_opts.cut_min != 0) Log("cut after %llu bytes of binaries (fault)", (unsigned long long)m_cut_budget);
    for (;;) {
        unsigned idle =
            m_connected ? (unsigned)(m_opts.alive == 0 ? kRequestTimeout : m_opts.alive + 10) : kFirstRequestTimeout;
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
        const StreamResult got = in.Recv(m_channel, req);
        if (got != StreamResult::kOk) {
            Log("%s: unreadable request value (%d), closing", ProtoCmd2String(command), LogCode(got));
            DropReceivedBinaries(req, scratch);
            break;
        }
        PObject reply;
        m_finished_token.clear();
        After after = Handle(command, version, req, reply);
        DropReceivedBinaries(req, scratch);
        if (after == AFTER_CUT) {
            Log("connection cut (fault)");
            break;
        }
        if (after == AFTER_CLOSE_NOW) break;
        if (after == AFTER_SENT) continue;
        const int sent = SendReply(reply);
        if (!m_cut_file.empty()) {
            // The promised bytes ran out on purpose: the client sees a broken transfer.
            unlink(m_cut_file.c_str());
            m_cut_file.clear();
            Log("connection cut (fault)");
            break;
        }
        std::string finished;
        finished.swap(m_finished_token);
        if (sent != 0) {
            Log("reply could not be sent, closing");
            break;
        }
        // The client has the whole transfer: nothing of it needs to be kept.
        if (!finished.empty()) m_storage.DropResume(finished);
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

const RefConnection::ExchangeEntry RefConnection::kExchanges[] = {
    {"encrypt_channel", SCMD_REQUEST_SSL_2, false, &RefConnection::HandleEncrypt},
    {"connect", SCMD_REQUEST_CONNECT, false, &RefConnection::HandleConnect},
    {"pull_event", SCMD_EVT_PULL, true, &RefConnection::HandlePullEvent},
    {"upload", SCMD_EVT_RECV_4, true, &RefConnection::HandleUpload},
    {"resume_get_token", SCMD_RESUME_TRANSFER, true, &RefConnection::HandleResumeGetToken},
    {"resume_get_status", SCMD_RESUME_TRANSFER, true, &RefConnection::HandleResumeGetStatus},
    {"resume_upload", SCMD_RESUME_TRANSFER, true, &RefConnection::HandleResumeUpload},
    {"resume_download", SCMD_RESUME_TRANSFER, true, &RefConnection::HandleResumeDownload},
    {"remove", SCMD_EVT_REMOVE, true, &RefConnection::HandleRemove},
};

bool RefConnection::FaultApplies(const std::string& action) {
    auto times = m_opts.fail_times.find(action);
    if (times == m_opts.fail_times.end() || times->second == 0) return true;
    // Counted across connections: "the first N requests" of the whole server.
    static Mutex lock;
    static std::map<std::string, uint64_t> seen;
    MutexLock g(lock);
    return ++seen[action] <= times->second;
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
    if (fault != m_opts.fail_action.end() && FaultApplies(action)) {
        Log("%s: fault injected, error 0x%x", action.c_str(), fault->second);
        Error(reply, fault->second, "injected fault");
        return AFTER_NOTHING;
    }
    for (const ExchangeEntry& e : kExchanges) {
        if (action != e.action) continue;
        if (command != e.command) {
            Log("%s: sent with command %u", action.c_str(), (unsigned)command);
            Error(reply, REF_ERR_INTERNAL, "wrong command for this action");
            return AFTER_NOTHING;
        }
        if (e.needs_connect && !m_connected) {
            Log("%s: before connect", action.c_str());
            Error(reply, REF_ERR_NOT_CONNECTED, "connect first");
            return AFTER_NOTHING;
        }
        return (this->*e.handler)(req, reply);
    }
    Log("%s: unknown action", action.c_str());
    Error(reply, REF_ERR_INTERNAL, "unknown action");
    return AFTER_NOTHING;
}

RefConnection::After RefConnection::HandleEncrypt(const PObject&, PObject& reply) {
    if (SSLChannelIsEncrypted(m_channel)) {
        Log("encrypt_channel: already encrypted");
        Error(reply, REF_ERR_INTERNAL, "channel already encrypted");
        return AFTER_NOTHING;
    }
    reply = PObject::map_type();
    Log("encrypt_channel: ok%s", m_opts.ssl_stall ? " (stalling the handshake)" : "");
    return m_opts.ssl_stall ? AFTER_STALL : AFTER_SSL;
}

RefConnection::After RefConnection::HandleConnect(const PObject& req, PObject& reply) {
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
    if (!ViewReady(view)) {
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
