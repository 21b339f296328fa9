// Server request protocol: the 8-byte request header, command numbers, the client
// description, one request/reply exchange, and the connection set-up (TCP, optional
// SSL upgrade, "connect").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/ustring.h"
#include "platform/session_root.h"

class Channel;
class Connection;
class ConnectionPool;
class PObject;
class PStream;
enum class StreamResult : int;

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
// The first build whose server holds a pull carrying "wait" until its view changes.
constexpr uint64_t PROTO_PULL_WAIT_BUILD = 3000;

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

// The log texts of an exchange and a connection set-up: printf bodies written after
// "[LEVEL] <file>(<line>): ". Each takes the caller's `who` first. The defaults are
// the pullers' wording; a caller with other texts passes its own.
struct ProtoTexts {
    const char* request = "%s >>>: %s\n";                                                    // who, request
    const char* reply = "%s <<<: %s\n";                                                      // who, reply
    const char* send_header_failed = "%s: RunProtocol(%s): failed to send header (%d)\n";    // who, action, code
    const char* send_request_failed = "%s: RunProtocol(%s): failed to send request (%d)\n";  // who, action, code
    const char* recv_failed = "%s: RunProtocol(%s): failed to recv response (%d)\n";         // who, action, code
    const char* keep_alive = nullptr;                                                        // who; null logs nothing
    // who, "ip:port", error text
    const char* connect_failed = "%s: Failed to establish TCP connection to server (%s). %s\n";
};

// Who runs an exchange, as the wire layer needs to know it: where its log lines go and
// how it wants the set-up done. Built by the caller; the wire layer has no idea which
// task that is.
struct ProtoSite {
    const char* channel = "syncer_debug";  // log channel
    const char* file = "syncer.cpp";       // source name in the log lines
    ustring who = "Syncer";                // first words of each line, e.g. "Worker (3)"
    ProtoTexts texts;
    // Server error classes 8, 9 and 10 (transfer errors) give ERR_INT instead of "no
    // specific code".
    bool transfer_errors_interrupt = false;
    ustring recv_location;  // the folder for received file bodies; empty: the stream's default
    // The reply members (dotted key paths, e.g. "file.data") whose received file the
    // caller takes over. Every other file the exchange received into recv_location (a
    // reply's extra binaries, a keep-alive's) is removed when the exchange ends.
    std::vector<std::string> reply_files;
    // The session's root; when set, received bodies are written only beneath it.
    std::shared_ptr<const SessionRoot> recv_root;
    // Maps a failed stream result to a result code (the one place the two families
    // meet). Without it every failure is ERR_IO.
    std::function<int(StreamResult)> map_stream_error;
    // The stream for the exchange (its progress is what "get_status" reports); a
    // fresh one when null.
    PStream* stream = nullptr;
};

// The wait for the reply of one exchange. By default the borrower's abort flag ends
// it at once. A reply that may commit something on the server (an upload) is waited
// for after an abort as well, but at most commit_wait seconds: a server that keeps
// sending keep-alives must not hold a pause for ever.
struct ProtoReplyWait {
    bool may_commit = false;
    unsigned commit_wait = 30;  // seconds, counted from the abort
};

// One exchange: header, request, reply; keep-alive values before the reply are skipped.
// The channel's abort flag (the borrower's, set by the lease) is polled throughout.
// 0: the reply is in response. ERR_IO (or site.map_stream_error's code): the exchange
// broke, the channel is at an unknown position and the caller drops the connection.
// With wait.may_commit, an abort that outlasts wait.commit_wait closes the channel and
// gives ERR_INT: whether the server committed is unknown (the next pull tells).
int RunProtocol(const ProtoSite& site, Channel& channel, uint8_t command, const PObject& request, PObject& response,
                const ProtoReplyWait& wait = ProtoReplyWait());

// Closes the connection's channel and opens it to the pool's server. 0, ERR_INVAL for
// an unusable address, or the channel's code.
int EstablishConnection(const ProtoSite& site, Connection* conn, ConnectionPool& pool);

// Makes a borrowed connection usable: nothing while it is alive; else TCP, the SSL
// upgrade when the pool asks for it ("encrypt_channel", handshake, pin), and only then
// "connect" for view_id, which carries the session token. 0, ERR_INVAL (no
// connection or unusable address), ERR_IO (broken exchange, refusal, failed upgrade),
// ERR_AUTH (also when the server certificate does not match the pool's fingerprint),
// the mapped server code of a refused connect, or the channel's code (ERR_INT on abort).
int RequestChannel(const ProtoSite& site, Connection* conn, ConnectionPool& pool, uint64_t view_id);

// Server error code -> result code; 0 when no specific code applies (unknown codes
// are logged on the site's channel).
int ProtoResp2ErrorCode(const ProtoSite& site, uint32_t server_code);
// The same with the default site (the pullers' table).
int ProtoResp2ErrorCode(uint32_t server_code);
// The code of a reply's "error" member; 0 when it has none. A code wider than 32 bits
// is one we do not know: it becomes 0xFFFFFFFF, outside every known class.
uint32_t ReplyErrorCode(const PObject& reply);
// The result of a reply: 0 without "error"; otherwise its code mapped on site's table,
// and ERR_SERVER when that gives no specific meaning (the server's internal errors,
// unknown classes): a reply with an error is never taken for a success.
int ReplyResult(const ProtoSite& site, const PObject& reply);
