#include "wire/messages.h"

#include "wire/protocol.h"

PObject PullRequest::ToValue() const {
    PObject r = PObject::map_type();
    r["_action"] = "pull_event";
    r["session"] = session;
    r["sync_id"] = sync_id;
    r["path"] = path;
    r["view_id"] = view_id;
    r["node_id"] = node_id;
    r["recursive"] = (uint64_t)(recursive ? 1 : 0);
    if (wait != 0) r["wait"] = wait;
    AppendAgent(r);
    switch (condition.kind) {
        case PullCondition::Kind::kNone:
            break;
        case PullCondition::Kind::kExtension:
            r["condition"]["extension"] = condition.text;
            break;
        case PullCondition::Kind::kPrefix:
            r["condition"]["prefix"] = condition.text;
            break;
        case PullCondition::Kind::kName:
            r["condition"]["name"] = condition.text;
            break;
        case PullCondition::Kind::kSize:
            r["condition"]["min_size"] = condition.min_size;
            r["condition"]["max_size"] = condition.max_size;
            break;
    }
    return r;
}

void ItemVersion::AppendTo(PObject& r) const {
    r["session"] = session;
    r["view_id"] = view_id;
    r["sync_id"] = sync_id;
    if (has_max_id) r["max_id"] = max_id;
    r["path"] = path;
}

PObject RemoveRequest::ToValue() const {
    PObject r;
    r["_action"] = "remove";
    AppendTo(r);
    AppendAgent(r);
    return r;
}

PObject DownloadRequest::ToValue() const {
    PObject r;
    AppendTo(r);
    r["target_sync_id"] = target_sync_id;
    r["ignore"]["file"] = (uint64_t)0;
    r["ignore"]["mtime"] = (uint64_t)0;
    r["ignore"]["mac_attribute"] = (uint64_t)1;
    r["ignore"]["exec_bit"] = (uint64_t)1;
    for (const char* key : {"file", "mtime", "mac_attribute", "exec_bit"}) r[key]["offset"] = (uint64_t)0;
    r["force_current_version"] = (uint64_t)0;
    r["_action"] = "resume_download";
    AppendAgent(r);
    return r;
}

ResumeTokenRequest ResumeTokenRequest::For(const PObject& transfer_request) {
    ResumeTokenRequest t;
    t.session = transfer_request["session"].asString();
    t.view_id = transfer_request["view_id"].asUInt64();
    return t;
}

PObject ResumeTokenRequest::ToValue() const {
    PObject r;
    r["_action"] = "resume_get_token";
    r["session"] = session;
    r["view_id"] = view_id;
    AppendAgent(r);
    return r;
}

bool ResumeTokenOf(const PObject& reply, ustring& token) {
    const PObject& value = reply["resume_token"];
    if (!value.isString() || value.asString().empty()) return false;
    token = value.asString();
    return true;
}

PObject UploadRequest::ToValue() const {
    PObject r;
    AppendTo(r);
    r["is_dir"] = (uint64_t)(is_dir ? 1 : 0);
    r["common_attribute"]["mtime"] = (uint64_t)common_mtime;
    if (has_content) {
        PObject& file = r["file"];
        file["size"] = content.size;
        file["hash"] = content.hash;
        file["refer"] = (uint64_t)(content.refer ? 1 : 0);
        if (!content.refer) {
            file["is_delta"] = (uint64_t)(content.is_delta ? 1 : 0);
            file["data"] = PObject::binary_type(content.data_path, 0, content.data_length);
        }
    }
    r["mtime"]["refer"] = (uint64_t)(mtime_refer ? 1 : 0);
    r["mtime"]["mtime"] = (uint64_t)mtime;
    r["mac_attribute"]["refer"] = (uint64_t)1;
    if (exec_refer)
        r["exec_bit"]["refer"] = (uint64_t)1;
    else
        r["exec_bit"]["exec_bit"] = (uint64_t)(exec_bit ? 1 : 0);
    r["_action"] = resumable ? "resume_upload" : "upload";
    AppendAgent(r);
    return r;
}

UploadRequest UploadRequest::From(const PObject& request) {
    UploadRequest u;
    u.session = request["session"].asString();
    u.view_id = request["view_id"].asUInt64();
    u.sync_id = request["sync_id"].asUInt64();
    u.has_max_id = request.hasMember("max_id");
    u.max_id = request["max_id"].asUInt64();
    u.path = request["path"].asString();
    u.is_dir = request["is_dir"].asBool();
    u.common_mtime = request["common_attribute"]["mtime"].asUInt32();
    u.has_content = request.hasMember("file");
    const PObject& file = request["file"];
    u.content.size = file["size"].asUInt64();
    u.content.hash = file["hash"].asString();
    u.content.refer = file["refer"].asUInt64() == 1;
    u.content.is_delta = file["is_delta"].asBool();
    if (file["data"].isBinary()) {
        u.content.data_path = file["data"].asBinary().path;
        u.content.data_length = file["data"].asBinary().length;
    }
    // An attribute without its value is one the server keeps.
    const PObject& mtime = request["mtime"];
    u.mtime_refer = !mtime.hasMember("mtime") || mtime["refer"].asBool();
    u.mtime = mtime["mtime"].asUInt32();
    const PObject& exec = request["exec_bit"];
    u.exec_refer = !exec.hasMember("exec_bit") || exec["refer"].asBool();
    u.exec_bit = exec["exec_bit"].asUInt32() != 0;
    u.resumable = request["_action"].asString() == "resume_upload";
    return u;
}

PObject UploadDryRun(const PObject& request) {
    PObject dry = request;
    dry["_action"] = "upload";
    dry["dry_run"] = (uint64_t)1;
    if (dry["file"].isMap()) dry["file"].asMap().erase("data");
    if (dry["mac_attribute"].isMap()) dry["mac_attribute"].asMap().erase("data");
    return dry;
}

void ReferToServerContent(PObject& request, uint64_t file_id) {
    request["file"]["refer"] = (uint64_t)1;
    request["file"]["file_id"] = file_id;
    request["file"].asMap().erase("data");
}

PObject::binary_type* UploadData(PObject& request) {
    const PObject& read = request;  // looking must not add the members
    if (!read["file"]["data"].isBinary()) return nullptr;
    return &request["file"]["data"].asBinary();
}

UploadReply UploadReply::From(const PObject& reply) {
    UploadReply u;
    u.has_sync_id = reply["sync_id"].isInteger();
    u.sync_id = reply["sync_id"].asUInt64();
    u.is_dir = reply["is_dir"].asBool();
    u.file_id = reply["file"]["file_id"].asUInt64();
    return u;
}
