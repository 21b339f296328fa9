#include "wire/protocol.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "foundation/error_codes.h"
#include "foundation/logger.h"
#include "wire/channel.h"
#include "wire/connection.h"
#include "wire/connection_pool.h"
#include "wire/object.h"
#include "wire/ssl_channel.h"
#include "wire/stream.h"

namespace {

std::atomic<uint64_t> g_server_build{0};

const char* const kCmdNames[] = {
    "Unknown command",       // 0
    "SCMD_REQUEST",          // 1
    "SCMD_KEEP_ALIVE",       // 2
    "SCMD_AUTH",             // 3
    "SCMD_NOTIFY",           // 4
    "SCMD_LOGOUT",           // 5
    "SCMD_EVT_PULL",         // 6
    "SCMD_EVT_RECV",         // 7
    "SCMD_NEW_EVT_INFO",     // 8
    "SCMD_EVT_SEND",         // 9
    "SCMD_USER_CTRL",        // 10
    "SCMD_TEST_CONN",        // 11
    "SCMD_RESPONSE",         // 12
    "SCMD_USER_CHECK",       // 13
    "SCMD_REQUEST_CONNECT",  // 14
    "SCMD_EVT_REMOVE",       // 15
    "SCMD_GET_FILTER",       // 16
    "SCMD_LIST_VIEW",        // 17
    "SCMD_AUTH_2",           // 18
    "SCMD_EVT_RECV_2",       // 19
    "SCMD_REQUEST_SSL",      // 20
    "SCMD_EVT_RECV_3",       // 21
    "SCMD_REQUEST_SSL_2",    // 22
    "SCMD_PKG_VER_QUERY",    // 23: the log table keeps the older names here
    "SCMD_GET_FOLDER_LIST",  // 24
};

std::string ToText(const PObject& v) { return v.toString().str(); }

// The binary at a dotted key path of a reply, or null.
const PObject::binary_type* BinaryAt(const PObject& reply, const std::string& dotted) {
    const PObject* at = &reply;
    size_t from = 0;
    for (;;) {
        const size_t dot = dotted.find('.', from);
        at = &(*at)[ustring(dotted.substr(from, dot - from).c_str())];
        if (dot == std::string::npos) break;
        from = dot + 1;
    }
    return at->isBinary() ? &at->asBinary() : nullptr;
}

// Removes the scratch files of one exchange that the caller does not take over: a
// reply's extra binaries would otherwise pile up in the working folder.
void DropUnclaimedFiles(const ProtoSite& site, PStream& stream, const PObject& reply) {
    for (const ustring& made : stream.TakeMadeFiles()) {
        bool claimed = false;
        for (const std::string& key : site.reply_files) {
            const PObject::binary_type* b = BinaryAt(reply, key);
            claimed = claimed || (b != nullptr && b->path == made);
        }
        if (claimed) continue;
        ustring rel;
        if (site.recv_root && site.recv_root->Relative(made, rel))
            (void)site.recv_root->Remove(rel);
        else if (!site.recv_root)
            (void)::unlink(made.c_str_utf8());
    }
}

// An upgraded channel is checked against the pinned certificate, when there is one.
int CheckPin(const ProtoSite& site, Channel& ch, ConnectionPool& pool) {
    std::string pin = pool.getSSLFingerprint();
    if (pin.empty()) return 0;
    std::string seen;
    if (SSLChannelPeerFingerprint(ch, seen) && seen == pin) return 0;
    NLOG_AT(L_ERR, site.channel, site.file, "%s: server certificate %s does not match the configured fingerprint\n",
            site.who.c_str_utf8(), seen.empty() ? "(none)" : seen.c_str());
    ch.Close();
    return ERR_AUTH;
}

}  // namespace

const char* ProtoCmd2String(int command) {
    if (command <= 0 || command > 24) return kCmdNames[0];
    return kCmdNames[command];
}

int ProtoWriteHeader(Channel& channel, uint16_t packet_length, uint8_t command) {
    int rc = channel.WriteInt32(PROTO_MAGIC);
    if (rc == 0) rc = channel.WriteByte(PROTO_VERSION);
    if (rc == 0) rc = channel.WriteByte(command);
    if (rc == 0) rc = channel.WriteInt16(packet_length);
    if (rc != 0) {
        NLOG_AT(L_ERR, "proto_common_debug", "proto-common.cpp",
                "ProtoWriteHeader: failed to write header of %s (%d)\n", ProtoCmd2String(command), rc);
        return rc;
    }
    NLOG_AT(L_DEBUG, "proto_common_debug", "proto-common.cpp", "ProtoWriteHeader: %s, length %u\n",
            ProtoCmd2String(command), (unsigned)packet_length);
    return 0;
}

int ProtoReadHeader(Channel& channel, uint16_t& length, uint8_t& command, uint8_t& version) {
    uint32_t magic = 0;
    int rc = channel.ReadInt32(&magic);
    if (rc != 0) return rc;
    if (magic != PROTO_MAGIC) {
        NLOG_AT(L_ERR, "proto_common_debug", "proto-common.cpp", "ProtoReadHeader: bad magic 0x%08x\n", magic);
        return -5;
    }
    // The rest of a header follows at once; a peer that stops here is broken.
    channel.SetTimeout(10);
    uint8_t v = 0, c = 0;
    uint16_t len = 0;
    if ((rc = channel.ReadByte(&v)) != 0) return rc;
    if ((rc = channel.ReadByte(&c)) != 0) return rc;
    if ((rc = channel.ReadInt16(&len)) != 0) return rc;
    version = v;
    command = c;
    length = len;
    return 0;
}

void AppendAgent(PObject& request) {
    PObject& agent = request["_agent"];
    agent["platform"] = "Windows";
    PObject& ver = agent["version"];
    ver["major"] = (uint64_t)2;
    ver["minor"] = (uint64_t)1;
    ver["build"] = (uint64_t)2561;
}

uint64_t GetServerBuild() { return g_server_build.load(); }
void SetServerBuild(uint64_t build) { g_server_build.store(build); }

int RunProtocol(const ProtoSite& site, Channel& channel, uint8_t command, const PObject& request, PObject& response,
                const ProtoReplyWait& wait) {
    const char* who = site.who.c_str_utf8();
    const ustring action = request["_action"].asString();
    PStream local;
    PStream& stream = site.stream ? *site.stream : local;
    // Set every time: a caller's own stream must not keep another session's folder.
    stream.SetDefaultRecvLocation(site.recv_location);
    stream.SetRecvRoot(site.recv_root);
    (void)stream.TakeMadeFiles();  // not this exchange's
    NLOG_AT(L_DEBUG, site.channel, site.file, site.texts.request, who, ToText(request).c_str());

    auto fail = [&](StreamResult stream_code) -> int {
        if (!site.map_stream_error) return ERR_IO;
        return site.map_stream_error(stream_code);
    };

    int result = 0;
    int rc = ProtoWriteHeader(channel, 0, command);
    if (rc != 0) {
        NLOG_AT(L_ERR, site.channel, site.file, site.texts.send_header_failed, who, action.c_str_utf8(), rc);
        result = ERR_IO;
    }
    if (result == 0) {
        const StreamResult sent = stream.Send(channel, request);
        if (sent != StreamResult::kOk) {
            NLOG_AT(L_ERR, site.channel, site.file, site.texts.send_request_failed, who, action.c_str_utf8(),
                    LogCode(sent));
            result = fail(sent);
        }
    }
    if (result == 0) {
        channel.SetTimeout(90);
        // A reply that may commit is awaited after an abort too, but not for ever.
        if (wait.may_commit) channel.SetAbortGrace(static_cast<int>(wait.commit_wait));
        // Receiving merges into the target, so each attempt starts again from what
        // the caller prepared (e.g. where a file body should go); otherwise the
        // keep-alive's "type" would survive into the real reply.
        const PObject prepared(response);
        for (;;) {
            const StreamResult got = stream.Recv(channel, response);
            if (got != StreamResult::kOk) {
                NLOG_AT(L_ERR, site.channel, site.file, site.texts.recv_failed, who, action.c_str_utf8(), LogCode(got));
                const std::atomic<int>* abort = channel.GetFlag();
                if (wait.may_commit && abort && abort->load() != 0) {
                    NLOG_AT(L_WARNING, site.channel, site.file,
                            "%s: RunProtocol(%s): no reply within %u seconds of the abort; the result is unknown\n",
                            who, action.c_str_utf8(), wait.commit_wait);
                    channel.Close();
                    result = ERR_INT;
                } else {
                    result = fail(got);
                }
                break;
            }
            const PObject& type = static_cast<const PObject&>(response)["type"];
            if (type.isString() && type.asString() == "keep_alive") {
                if (site.texts.keep_alive) NLOG_AT(L_DEBUG, site.channel, site.file, site.texts.keep_alive, who);
                response = prepared;
                continue;
            }
            break;
        }
        if (wait.may_commit) channel.SetAbortGrace(-1);
    }
    channel.SetTimeout(60);
    NLOG_AT(L_DEBUG, site.channel, site.file, site.texts.reply, who, ToText(response).c_str());
    DropUnclaimedFiles(site, stream, response);
    return result;
}

int EstablishConnection(const ProtoSite& site, Connection* conn, ConnectionPool& pool) {
    ustring ip = pool.getServerIp();
    int port = pool.getServerPort();
    const char* who = site.who.c_str_utf8();
    NLOG_AT(L_DEBUG, site.channel, site.file, "%s: Connect to server (%s:%d).\n", who, ip.c_str_utf8(), port);
    Channel* ch = conn->GetChannel();
    ch->Close();
    int rc;
    if (ip.empty() || port <= 0 || port > 65535) {
        // The channel would "succeed" without opening anything for a negative port.
        rc = ERR_INVAL;
    } else {
        ch->SetTimeout(90);
        rc = ch->Open(ip.c_str_utf8(), port);
        ch->SetTimeout(60);
    }
    if (rc != 0) {
        const std::string address = ip.str() + ":" + std::to_string(port);
        NLOG_AT(L_ERR, site.channel, site.file, site.texts.connect_failed, who, address.c_str(), GetErrorString(rc));
    }
    return rc;
}

int RequestChannel(const ProtoSite& site, Connection* conn, ConnectionPool& pool, uint64_t view_id) {
    if (!conn) return ERR_INVAL;
    if (conn->IsAlive()) return 0;
    const char* who = site.who.c_str_utf8();
    Channel* ch = conn->GetChannel();
    // Whatever the connection was, it is not confirmed any more; until the new
    // handshake succeeds it must not be reported or lent as connected.
    conn->Drop();

    int rc = EstablishConnection(site, conn, pool);
    if (rc != 0) {
        NLOG_AT(L_ERR, site.channel, site.file, "%s: failed to connect to server.\n", who);
        return rc;
    }
    const bool use_ssl = pool.useSSL();

    // The token travels in "connect": with SSL, only after the handshake and the pin.
    if (use_ssl) {
        NLOG_AT(L_INFO, site.channel, site.file, "%s: request ssl channel\n", who);
        PObject req, resp;
        req["_action"] = "encrypt_channel";
        AppendAgent(req);
        if (RunProtocol(site, *ch, SCMD_REQUEST_SSL_2, req, resp) != 0) return ERR_IO;
        if (resp.hasMember("error")) {
            NLOG_AT(L_ERR, site.channel, site.file, "%s: request SSL: %s\n", who, ToText(resp).c_str());
            return ERR_IO;
        }
        NLOG_AT(L_DEBUG, site.channel, site.file, "%s: convert to SSL channel\n", who);
        rc = ch->ConvertToSSLChannel(false);
        if (rc != 0) {
            NLOG_AT(L_ERR, site.channel, site.file, "%s: Convert to SSL channel failed (%d)\n", who, rc);
            return ERR_IO;
        }
        if ((rc = CheckPin(site, *ch, pool)) != 0) return rc;
        NLOG_AT(L_INFO, site.channel, site.file, "%s: channel is now encrypted using SSL\n", who);
    }

    PObject req, resp;
    req["_action"] = "connect";
    req["session"] = pool.getSession();
    req["view_id"] = view_id;
    AppendAgent(req);
    if (RunProtocol(site, *ch, SCMD_REQUEST_CONNECT, req, resp) != 0) return ERR_IO;
    const PObject& reply = resp;

    if (reply.hasMember("error")) {
        NLOG_AT(L_ERR, site.channel, site.file, "%s: request channel: %s\n", who, ToText(reply["error"]).c_str());
        rc = ProtoResp2ErrorCode(site, reply["error"]["code"].asUInt32());
        // A refused connect never leaves a usable connection, even when the code has
        // no specific meaning.
        return rc != 0 ? rc : ERR_IO;
    }

    if (reply.hasMember("server")) {
        uint64_t build = reply["server"]["package_version"]["build"].asUInt64();
        NLOG_AT(L_INFO, site.channel, site.file, "Connect with Nimbrel server build %lu\n", (unsigned long)build);
        SetServerBuild(build);
    } else {
        NLOG_AT(L_INFO, site.channel, site.file, "Connect with Nimbrel server build 2402\n");
        SetServerBuild(PROTO_OLD_SERVER_BUILD);
    }

    uint32_t alive = reply["alive"].asUInt32();
    if (alive == 0) {
        NLOG_AT(L_INFO, site.channel, site.file, "%s: connection refused by server.\n", who);
        return ERR_IO;
    }

    conn->Update(alive);
    return 0;
}

int ProtoResp2ErrorCode(const ProtoSite& site, uint32_t code) {
    switch (code) {
        case 0x3002:
            return ERR_PERMISS;
        case 0x3003:
            return ERR_VIEW_PATH;
        case 0x4001:
            return ERR_QUOTA;
        case 0x4002:
            return ERR_DISKFULL;
        default:
            break;
    }
    // Only the low 16 bits carry the class; anything wider is a code we do not know.
    uint32_t cls = (code >> 12);
    if (cls == 7) {
        NLOG_AT(L_CRIT, site.channel, site.file, "server error: %lu\n", (unsigned long)code);
        return 0;
    }
    switch (cls) {
        case 1:
        case 2:
            return ERR_AUTH;
        case 3:
            return ERR_VIEW;
        case 5:
            return ERR_VERSION;
        case 8:
        case 9:
        case 10:
            if (site.transfer_errors_interrupt) return ERR_INT;
            break;
        default:
            break;
    }
    NLOG_AT(L_CRIT, site.channel, site.file, "unhandled error code: %lu\n", (unsigned long)code);
    return 0;
}

int ProtoResp2ErrorCode(uint32_t server_code) { return ProtoResp2ErrorCode(ProtoSite(), server_code); }

uint32_t ReplyErrorCode(const PObject& reply) {
    if (!reply.isMap() || !reply.hasMember("error")) return 0;
    const uint64_t wide = reply["error"]["code"].asUInt64();
    return wide > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(wide);
}

int ReplyResult(const ProtoSite& site, const PObject& reply) {
    if (!reply.isMap() || !reply.hasMember("error")) return 0;
    const int rc = ProtoResp2ErrorCode(site, ReplyErrorCode(reply));
    return rc != 0 ? rc : ERR_SERVER;
}
