#include "ref_connection.h"

#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <atomic>
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

namespace {

// The value encoding written by hand, for replies that must carry texts the value
// type cannot hold (a stored path with a zero byte, as a broken or hostile server
// would send it). A string equal to a key of raw is written as raw's bytes.
int WriteRaw(Channel& ch, const PObject& v, const std::map<std::string, std::string>& raw) {
    auto text = [&](const std::string& t) {
        if (t.size() > 0xFFFF) return -1;
        if (ch.WriteByte(PStream::TAG_STRING) || ch.WriteInt16((uint16_t)t.size())) return -1;
        return t.empty() ? 0 : ch.Write(t.data(), (unsigned)t.size());
    };
    if (v.isInteger()) {
        if (ch.WriteByte(PStream::TAG_INTEGER) || ch.WriteByte(8)) return -1;
        return ch.WriteInt64(v.asUInt64());
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
                if (text(key.str()) || WriteRaw(ch, member, raw)) return -1;
        } else {
            for (const PObject& member : v.asArray())
                if (WriteRaw(ch, member, raw)) return -1;
        }
        return ch.WriteByte(PStream::TAG_END);
    }
    if (ch.WriteByte(PStream::TAG_NULL) || ch.WriteByte(0)) return -1;
    return 0;
}

}  // namespace

int RefConnection::SendReply(const PObject& reply) {
    PStream out;
    for (unsigned i = 0; i < m_opts.keepalive; ++i) {
        PObject ka;
        ka["type"] = "keep_alive";
        if (out.Send(m_channel, ka) != 0) return -1;
    }
    PObject full(reply);
    full["alive"] = m_opts.alive;
    if (m_raw_texts.empty()) return out.Send(m_channel, full) == 0 ? 0 : -1;
    int rc = WriteRaw(m_channel, full, m_raw_texts);
    m_raw_texts.clear();
    return rc == 0 && m_channel.FlushWrite(0) == 0 ? 0 : -1;
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
    if (m_opts.cut_min != 0)
        Log("cut after %llu bytes of binaries (fault)", (unsigned long long)m_cut_budget);
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
        m_finished_token.clear();
        After after = Handle(command, version, req, reply);
        DropReceivedBinaries(req, scratch);
        if (after == AFTER_CUT) {
            Log("connection cut (fault)");
            break;
        }
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

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

}  // namespace

// The last component; its extension is what follows the last "." that is not the
// name's first character (as the client's filter reads names).
bool PullCondition::Matches(const ChangeRow& row, const std::string& rel) const {
    if (kind == NONE) return true;
    const std::string name = rel.substr(rel.rfind('/') + 1);
    switch (kind) {
    case PREFIX:
        // The folder itself and everything below it, files and folders alike.
        return rel.size() >= text.size() && EqualNoCase(rel.substr(0, text.size()), text) &&
               (rel.size() == text.size() || rel[text.size()] == '/');
    case NAME: return !row.is_dir && EqualNoCase(name, text);
    case EXTENSION: {
        const size_t dot = name.rfind('.');
        return !row.is_dir && dot != std::string::npos && dot > 0 && EqualNoCase(name.substr(dot + 1), text);
    }
    case SIZE:
        // Sizes that the old limit held back and the new one lets through; a removal
        // has no size to test.
        return !row.is_dir && !row.is_removed && row.size > min_size && row.size <= max_size;
    default: return false;
    }
}

std::string PullCondition::Describe() const {
    switch (kind) {
    case PREFIX: return " with prefix " + text;
    case NAME: return " with name " + text;
    case EXTENSION: return " with extension " + text;
    case SIZE: return " with size " + std::to_string(min_size) + ".." + std::to_string(max_size);
    default: return "";
    }
}

// Exactly one kind: "extension", "prefix" or "name" (a non-empty text; a prefix is a
// path with a leading "/"), or "min_size" with "max_size" (numbers, min below max).
bool ReadPullCondition(const PObject& value, PullCondition* out) {
    if (!value.isMap() || value.asMap().empty()) return false;
    const auto& m = value.asMap();
    auto text_of = [&](const char* key, PullCondition::Kind kind) {
        if (m.size() != 1 || !value[key].isString() || value[key].asString().empty()) return false;
        out->kind = kind;
        out->text = value[key].asString().str();
        return true;
    };
    if (value.hasMember("extension")) return text_of("extension", PullCondition::EXTENSION);
    if (value.hasMember("name")) return text_of("name", PullCondition::NAME);
    if (value.hasMember("prefix")) {
        if (!text_of("prefix", PullCondition::PREFIX)) return false;
        // "/photos/" names the same folder as "/photos".
        while (out->text.size() > 1 && out->text.back() == '/') out->text.pop_back();
        return Storage::IsValidPath(out->text) && out->text != "/";
    }
    if (m.size() != 2 || !value["min_size"].isInteger() || !value["max_size"].isInteger()) return false;
    out->kind = PullCondition::SIZE;
    out->min_size = value["min_size"].asUInt64();
    out->max_size = value["max_size"].asUInt64();
    return out->min_size < out->max_size;
}

RefConnection::After RefConnection::HandlePullEvent(const PObject& req, PObject& reply) {
    if (!req["view_id"].isInteger() || !req["sync_id"].isInteger() || !req["path"].isString()) {
        Log("pull_event: view_id, sync_id or path missing");
        Error(reply, REF_ERR_VIEW, "view_id, sync_id and path are required");
        return AFTER_NOTHING;
    }
    PullCondition condition;
    if (req.hasMember("condition") && !ReadPullCondition(req["condition"], &condition)) {
        Log("pull_event: condition refused: %s", req["condition"].toString().c_str_utf8());
        Error(reply, REF_ERR_INTERNAL, "condition must be one of extension, prefix, name or min_size with max_size");
        return AFTER_NOTHING;
    }
    const uint64_t view = req["view_id"].asUInt64();
    const uint64_t since = req["sync_id"].asUInt64();
    // A session of the whole view names it "" (paths are the remote folder plus the
    // event path) or "/".
    std::string root = req["path"].asString().str();
    if (root.empty()) root = "/";
    const bool recursive = req["recursive"].asBool();
    // Pooled connections serve every session, so a pull may name a view other than
    // the one its connection was opened for: views exist from their first use.
    if (m_storage.EnsureView(view) < 0) {
        Log("pull_event: view %llu cannot be stored: %s", (unsigned long long)view, m_storage.error().c_str());
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    if (!Storage::IsValidPath(root)) {
        Log("pull_event: bad path");
        Error(reply, REF_ERR_VIEW_PATH, "invalid path");
        return AFTER_NOTHING;
    }
    // The list and next_sync_id describe the same moment: rows added meanwhile come
    // with the next pull.
    const uint64_t next = m_storage.MaxSyncId(view);
    // A condition names paths whatever their age: every matching path's latest
    // change, however old; the client's echo test keeps what it already has.
    const uint64_t from = condition.kind == PullCondition::NONE ? since : 0;
    std::vector<ChangeRow> rows;
    if (next > from && m_storage.LatestSince(view, from, root, recursive, &rows, next) != 0) {
        Log("pull_event: storage failure: %s", m_storage.error().c_str());
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    PObject list = PObject::array_type();
    for (const ChangeRow& r : rows) {
        PObject e;
        e["is_removed"] = (uint64_t)(r.is_removed ? 1 : 0);
        e["is_dir"] = (uint64_t)(r.is_dir ? 1 : 0);
        e["sync_id"] = r.sync_id;
        if (r.is_dir) e["max_id"] = m_storage.MaxSyncIdBelow(view, r.path);
        // Relative to the requested root, with a leading "/".
        std::string rel = r.path;
        if (root != "/") rel = r.path.size() == root.size() ? "/" : r.path.substr(root.size());
        if (!condition.Matches(r, rel)) continue;
        if (rel.find('\0') != std::string::npos) {
            // The value type cuts texts at a zero byte; send this one as it is stored.
            const std::string mark = "@raw-text-" + std::to_string(m_raw_texts.size()) + "@";
            m_raw_texts[mark] = rel;
            rel = mark;
        }
        e["path"] = ustring(rel);
        if (!r.is_dir && !r.is_removed) {
            e["file"]["hash"] = ustring(r.hash);
            e["file"]["size"] = r.size;
        }
        e["common_attribute"]["mtime"] = r.mtime;
        if (!r.mac_hash.empty()) e["mac_attribute"]["hash"] = ustring(r.mac_hash);
        if (r.exec_bit) e["exec_bit"] = (uint64_t)1;
        list.asArray().push_back(e);
    }
    reply["event_list"] = list;
    reply["next_sync_id"] = next;
    Log("pull_event: view %llu since %llu%s: %zu events, next %llu", (unsigned long long)view,
        (unsigned long long)since, condition.Describe().c_str(), list.asArray().size(), (unsigned long long)next);
    return AFTER_NOTHING;
}
