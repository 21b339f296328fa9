// Server request protocol: the 8-byte request header, command numbers, the client
// description, one request/reply exchange, and the connection set-up (TCP, optional
// SSL upgrade, "connect").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/ustring.h"
#include "platform/session_root.h"

class Channel;
class Connection;
class ConnectionPool;
class PObject;
class PStream;

enum _SYNC_PROTO_CMD_tag {
    SCMD_REQUEST = 1,
    SCMD_KEEP_ALIVE = 2,
    SCMD_AUTH = 3,
    SCMD_NOTIFY = 4,
    SCMD_LOGOUT = 5,
    SCMD_EVT_PULL = 6,
    SCMD_EVT_RECV = 7,
    SCMD_NEW_EVT_INFO = 8,
    SCMD_EVT_SEND = 9,
    SCMD_USER_CTRL = 10,
    SCMD_TEST_CONN = 11,
    SCMD_RESPONSE = 12,
    SCMD_USER_CHECK = 13,
    SCMD_REQUEST_CONNECT = 14,
    SCMD_EVT_REMOVE = 15,
    SCMD_GET_FILTER = 16,
    SCMD_LIST_VIEW = 17,
    SCMD_AUTH_2 = 18,
    SCMD_EVT_RECV_2 = 19,
    SCMD_REQUEST_SSL = 20,
    SCMD_EVT_RECV_3 = 21,
    SCMD_REQUEST_SSL_2 = 22,
    SCMD_EVT_RECV_4 = 23,
    SCMD_EVT_SEND_2 = 24,
    SCMD_QUERY_SERVER_INFO = 25,
    SCMD_LIST = 26,
    SCMD_RESUME_TRANSFER = 27,
};

constexpr uint32_t PROTO_MAGIC = 0x25521814u;
constexpr uint8_t PROTO_VERSION = 60;
// Build assumed for servers whose connect reply does not tell.
constexpr uint64_t PROTO_OLD_SERVER_BUILD = 2402;

// Log name of a command; "Unknown command" for 0 and numbers above 24.
const char* ProtoCmd2String(int command);

// 0 or the channel's code. The header goes into the channel's write buffer.
int ProtoWriteHeader(Channel& channel, uint16_t packet_length, uint8_t command);
// Reads one header (server side): 0, the channel's code, or -5 for a wrong magic.
// Sets the channel's idle timeout to 10 seconds once the magic has arrived.
int ProtoReadHeader(Channel& channel, uint16_t& length, uint8_t& command, uint8_t& version);

// Adds the client description (_agent) to a request map.
void AppendAgent(PObject& request);

// The build of the server, stored by every successful connect.
uint64_t GetServerBuild();
void SetServerBuild(uint64_t build);

// Who runs an exchange: decides the log channel, the texts, the result codes and the
// way SSL is requested (a separate "encrypt_channel" request for the pullers, "do_ssl"
// in the worker's "connect").
enum ProtoCaller { PROTO_SYNCER = 0, PROTO_PROGRESS_SYNCER = 1, PROTO_WORKER = 2 };

struct ProtoSite {
    ProtoCaller caller = PROTO_SYNCER;
    int* abort_flag = nullptr;  // the task's stop cell, polled by the channel
    int worker_id = 0;          // for the worker's log texts
    ustring recv_location;      // worker: the folder for received file bodies
    // Worker: the session's root; received bodies are then written only beneath it.
    std::shared_ptr<const SessionRoot> recv_root;
    // Worker: maps a failed stream code to a result code (its abort and pause
    // handling live in the task). Without it every failure is -2.
    std::function<int(int)> map_stream_error;
    // The stream for the exchange (its progress is what "get_status" reports); a
    // fresh one when null.
    PStream* stream = nullptr;
};

// One exchange: header, request, reply. Keep-alive values before the reply are
// skipped. Pullers: 0 or -2. Worker: 0, -2 or the mapped stream error.
int RunProtocol(const ProtoSite& site, Channel& channel, uint8_t command, const PObject& request,
                PObject& response);

// Closes the connection's channel and opens it to the pool's server. 0 or the code.
int EstablishConnection(const ProtoSite& site, Connection* conn, ConnectionPool& pool);

// Makes a borrowed connection usable: nothing while it is alive; else TCP, the SSL
// upgrade when the pool asks for it, and "connect" for view_id. 0 or a result code
// (-6 ERR_AUTH when the server certificate does not match the pool's fingerprint).
int RequestChannel(const ProtoSite& site, Connection* conn, ConnectionPool& pool, uint64_t view_id);

// Server error code -> result code; 0 when no specific code applies.
int ProtoResp2ErrorCode(uint32_t server_code);            // the pullers' table
int ProtoResp2ErrorCodeWorker(uint32_t server_code);      // the workers' table
int ProtoResp2ErrorCode(ProtoCaller caller, uint32_t server_code);
