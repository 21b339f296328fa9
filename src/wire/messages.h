// The requests the client sends and the replies it reads, as structs: each is built
// (ToValue) or read (From) here, so a key name is written in one place. The encoding of
// the values is in doc/value_encoding.md. Every request carries the client description
// (AppendAgent).
#pragma once

#include <cstdint>

#include "foundation/ustring.h"
#include "wire/object.h"

// A selective-sync condition of a pull: only the changes a loosened rule had held back.
struct PullCondition {
    enum class Kind { kNone, kExtension, kPrefix, kName, kSize };
    Kind kind = Kind::kNone;
    ustring text;           // kExtension, kPrefix, kName
    uint64_t min_size = 0;  // kSize: files with min_size < size <= max_size
    uint64_t max_size = 0;
};

// "pull_event" (command 6): the latest change of each path of the view below path
// since sync_id.
struct PullRequest {
    ustring session;
    uint64_t sync_id = 0;
    ustring path;  // the session's remote folder
    uint64_t view_id = 0;
    uint64_t node_id = 0;
    bool recursive = true;
    PullCondition condition;
    // Seconds a server that knows "wait" may hold the reply while nothing changed; 0
    // (the member left out): answer at once.
    uint64_t wait = 0;

    [[nodiscard]] PObject ToValue() const;
};

// The item a request is about, with the version the client holds: its sync id and,
// unless the server is an old one, its max id.
struct ItemVersion {
    ustring session;
    uint64_t view_id = 0;
    uint64_t sync_id = 0;
    bool has_max_id = false;
    uint64_t max_id = 0;
    ustring path;

    // Writes these members into r.
    void AppendTo(PObject& r) const;
};

// "remove" (command 15): removes path, naming the version the client holds. An old
// server (build 2402) knows no max_id: its sync_id is the row's maxSyncID.
struct RemoveRequest : ItemVersion {
    [[nodiscard]] PObject ToValue() const;
};

// "resume_download" (command 27, after a resume token): the version target_sync_id of
// path, as a patch against the client's version (sync_id, and max_id unless the server
// is an old one; 0 asks for the whole item). The file body and the time are wanted,
// the attribute block and the exec bit not; every part from offset 0 (a resumed
// download sets the file's offset on the value).
struct DownloadRequest : ItemVersion {
    uint64_t target_sync_id = 0;

    [[nodiscard]] PObject ToValue() const;
};

// "resume_get_token" (command 27): a token under which a transfer of the view can be
// resumed; session and view are those of the transfer request.
struct ResumeTokenRequest {
    ustring session;
    uint64_t view_id = 0;

    [[nodiscard]] static ResumeTokenRequest For(const PObject& transfer_request);
    [[nodiscard]] PObject ToValue() const;
};

// The token of a "resume_get_token" reply: true with token set when the reply holds a
// non-empty text.
[[nodiscard]] bool ResumeTokenOf(const PObject& reply, ustring& token);

// The content part ("file") of an upload: the whole file, a delta against the
// version the server holds, or a reference to content the server has already.
struct UploadContent {
    uint64_t size = 0;
    ustring hash;
    bool refer = false;     // the server holds this content: nothing is sent
    bool is_delta = false;  // data is a delta against the server's version
    ustring data_path;      // the bytes to send (empty: none); from offset 0
    uint64_t data_length = 0;
};

// "upload" (command 4) or "resume_upload" (command 27 after a resume token): a new
// version of path, named against the version the client holds (as for a removal).
// Attributes that did not change are sent as a reference: the time when it is the
// one the server has, the resource fork always (not kept on this platform), the
// execute bit when it is the server's.
struct UploadRequest : ItemVersion {
    bool is_dir = false;
    uint32_t common_mtime = 0;  // "common_attribute": the local time as listed
    bool has_content = false;   // files only
    UploadContent content;
    bool mtime_refer = false;
    uint32_t mtime = 0;  // the time of the content sent
    bool exec_refer = true;
    bool exec_bit = false;  // when !exec_refer
    bool resumable = false;

    [[nodiscard]] PObject ToValue() const;
    // Reads back a request built by ToValue (also one kept for a resumed upload, which
    // may have gained a token, a file id or an offset since).
    [[nodiscard]] static UploadRequest From(const PObject& request);
};

// The dry run of a built upload request: the plain action with "dry_run", without
// the bytes, asking whether the server already holds the content.
[[nodiscard]] PObject UploadDryRun(const PObject& request);
// Turns a built upload request into a reference to content the server holds under
// file_id: nothing is sent.
void ReferToServerContent(PObject& request, uint64_t file_id);
// The bytes of a built upload request still to send, or null when it sends none.
[[nodiscard]] PObject::binary_type* UploadData(PObject& request);

// The answer to an upload that succeeded: the new version, and after a dry run the
// id of content the server holds already (0: none).
struct UploadReply {
    bool has_sync_id = false;  // "sync_id" is a number
    uint64_t sync_id = 0;
    bool is_dir = false;
    uint64_t file_id = 0;

    [[nodiscard]] static UploadReply From(const PObject& reply);
    // A success must name a new version of the kind that was sent.
    [[nodiscard]] bool NamesNewVersion(bool sent_dir) const {
        return has_sync_id && sync_id != 0 && is_dir == sent_dir;
    }
};
