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
    case PullCondition::Kind::kNone: break;
    case PullCondition::Kind::kExtension: r["condition"]["extension"] = condition.text; break;
    case PullCondition::Kind::kPrefix: r["condition"]["prefix"] = condition.text; break;
    case PullCondition::Kind::kName: r["condition"]["name"] = condition.text; break;
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
