// One client connection of the reference server: reads a header and a request value,
// answers with one reply value (optionally after keep-alive values), and switches the
// connection to SSL when the client asks for it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "options.h"
#include "pull_list.h"
#include "storage.h"
#include "wire/channel.h"
#include "wire/object.h"
#include "wire/stream.h"

// Server error codes the reference server answers with.
enum RefServerCode : uint32_t {
    REF_ERR_AUTH = 0x1001,             // wrong or missing session token
    REF_ERR_NOT_CONNECTED = 0x1002,    // a request before "connect"
    REF_ERR_VIEW = 0x3001,             // missing or unusable view id
    REF_ERR_VIEW_PATH = 0x3003,        // a path the view cannot have
    REF_ERR_VERSION = 0x5001,          // a header with another protocol version
    REF_ERR_INTERNAL = 0x7000,         // unknown action, wrong command, storage failure
    REF_ERR_CONTENT = 0x7001,          // uploaded content whose MD4 is not file.hash
    REF_ERR_CONFLICT = 0x6002,         // a new item where another one already is
    REF_ERR_NOFILE = 0x8001,           // a download of a path that does not exist
    REF_ERR_NOBASE = 0x9001,           // the content a delta or a reference needs is gone
    REF_ERR_BASE_CHANGED = 0x9002,     // the client's base is not the current version
    REF_ERR_REMOVE_NOFILE = 0xA001,    // a removal of a path that does not exist
    REF_ERR_REMOVE_MODIFIED = 0xA002,  // a removal of an item changed after the client's version
    REF_ERR_RESUME = 0xB001,           // unknown resume token
};

class RefConnection {
public:
    RefConnection(const ServerOptions& opts, Storage& storage, int fd, uint64_t number);
    ~RefConnection();
    RefConnection(const RefConnection&) = delete;
    RefConnection& operator=(const RefConnection&) = delete;

    // Serves requests until the client leaves, idles out or breaks the protocol.
    void Serve();

private:
    // AFTER_CUT closes the connection without a reply (the cut-after fault);
    // AFTER_SENT: the handler wrote its reply itself; AFTER_CLOSE_NOW: it could not
    // (the client left), close without one.
    enum After { AFTER_NOTHING, AFTER_SSL, AFTER_STALL, AFTER_CLOSE, AFTER_CUT, AFTER_SENT, AFTER_CLOSE_NOW };

    // One exchange per action, each its own member; Handle finds it in kExchanges.
    using Exchange = After (RefConnection::*)(const PObject& req, PObject& reply);
    struct ExchangeEntry {
        const char* action;
        uint8_t command;  // the only command the action may arrive with
        bool needs_connect;
        Exchange handler;
    };
    static const ExchangeEntry kExchanges[];

    After Handle(uint8_t command, uint8_t version, const PObject& req, PObject& reply);
    bool FaultApplies(const std::string& action);
    After HandleEncrypt(const PObject& req, PObject& reply);
    After HandleConnect(const PObject& req, PObject& reply);
    // The pull (ref_pull.cpp) writes its reply itself.
    After HandlePullEvent(const PObject& req, PObject& reply);
    int WritePullReply(const std::vector<PullEvent>& events, uint64_t next);
    // The view's highest sync id once it differs from since, or after `seconds`
    // (keep-alives sent meanwhile); *broken when a keep-alive could not be written.
    uint64_t WaitForViewChange(uint64_t view, uint64_t since, uint64_t seconds, bool* broken);
    int SendKeepAlive();
    // Makes the view exist, asking the index only the first time on this connection.
    bool ViewReady(uint64_t view);
    // Uploads (ref_upload.cpp).
    After HandleUpload(const PObject& req, PObject& reply);
    After HandleResumeGetToken(const PObject& req, PObject& reply);
    After HandleResumeGetStatus(const PObject& req, PObject& reply);
    After HandleResumeUpload(const PObject& req, PObject& reply);
    // Downloads (ref_download.cpp).
    After HandleResumeDownload(const PObject& req, PObject& reply);
    // Removal (ref_remove.cpp).
    After HandleRemove(const PObject& req, PObject& reply);
    // The request's "view_id" and "path" and the item's current, not removed, row. true
    // with view, path and cur set; false with reply holding the error: an invalid view
    // or path, a storage failure, or missing_code when there is no such item.
    bool FindLiveItem(const char* action, const PObject& req, uint32_t missing_code, const char* missing_text,
                      PObject& reply, uint64_t& view, std::string& path, ChangeRow& cur);
    // Stores the upload req describes, its body (if any) in the file data; fills the
    // reply (success or error).
    void StoreUpload(const PObject& req, const std::string& data, PObject& reply);
    // The cut-after fault for a binary of count bytes on this connection: true when it
    // must be cut, with *keep the bytes that still pass; false when it passes whole
    // (and, with random cuts, is counted against the connection's budget).
    bool CutBinary(uint64_t count, uint64_t* keep);
    void Error(PObject& reply, uint32_t code, const char* why);
    int SendReply(const PObject& reply);
    void Stall();
    void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    const ServerOptions& m_opts;
    Storage& m_storage;
    Channel m_channel;
    uint64_t m_number;
    int m_fd;
    bool m_connected = false;
    uint64_t m_view_id = 0;
    // With random cuts: the bytes of binaries this connection may carry (drawn when it
    // opens) and those it carried so far.
    uint64_t m_cut_budget = 0;
    uint64_t m_cut_used = 0;
    // Scratch file holding the cut part of a download's data (the cut-after fault);
    // removed after the reply.
    std::string m_cut_file;
    // A download token whose transfer this reply finishes: dropped once it is sent.
    std::string m_finished_token;
    // Views this connection made sure of.
    std::set<uint64_t> m_known_views;
};

// Writes v in the value encoding into ch's buffer (no flush); a string equal to a key
// of raw is written as raw's bytes instead, for replies that must carry texts the
// value type cannot hold (a stored path with a zero byte, as a broken or hostile
// server would send it). 0 or -1.
int WriteValue(Channel& ch, const PObject& v, const std::map<std::string, std::string>& raw);

// Deletes the files of binaries received into the server's scratch folder.
void DropReceivedBinaries(const PObject& value, const std::string& scratch_dir);
