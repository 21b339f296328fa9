#include "folder_control.h"

#include <unistd.h>

#include "control_client.h"

namespace nimbrelctl {

std::string RefusalOf(const PObject& reply) {
    if (!reply.isMap() || !reply.hasMember("error")) return std::string();
    const PObject& reason = reply["reason"];
    if (reply.hasMember("reason") && reason.isString() && !reason.asString().empty()) return reason.asString().str();
    const PObject& error = reply["error"];
    return error.isString() ? error.asString().str() : std::string("the daemon refused the request");
}

int Exchange(int port, const PObject& request, PObject& reply, std::string& error) {
    if (SendControl(port, request, &reply, error) != 0) return -1;
    error = RefusalOf(reply);
    return error.empty() ? 0 : 1;
}

PObject LinkConnectionRequest(const LinkRecord& link) {
    PObject r;
    r["action"] = "link_connection";
    r["connection_id"] = 1;
    r["server_ip"] = link.host.c_str();
    r["server_port"] = link.port;
    r["session"] = link.session.c_str();
    char host[256] = "nimbrel";
    gethostname(host, sizeof host - 1);
    r["computer_name"] = host;
    if (!link.fingerprint.empty()) {
        r["use_ssl"] = 1;
        r["ssl_fingerprint"] = link.fingerprint.c_str();
    }
    if (!link.proxy_host.empty()) {
        r["use_proxy"] = 1;
        r["proxy_ip"] = link.proxy_host.c_str();
        r["proxy_port"] = link.proxy_port;
    }
    return r;
}

PObject AddSessionRequest(const std::string& state_dir, const FolderRecord& folder) {
    PObject r;
    r["action"] = "add_session";
    r["connection_id"] = 1;
    r["session_id"] = folder.id;
    r["view_id"] = folder.view;
    r["config_path"] = SessionConfigDir(state_dir, folder.id).c_str();
    r["sync_folder"] = folder.path.c_str();
    if (!folder.remote_path.empty()) r["remote_path"] = folder.remote_path.c_str();
    if (folder.synced) r["sync_mode"] = 1;
    return r;
}

bool AddRemembered(int port, const std::string& state_dir, const FolderRecord& folder, std::string& error) {
    if (!PrepareSessionConfig(SessionConfigDir(state_dir, folder.id), error)) return false;
    PObject reply;
    if (Exchange(port, AddSessionRequest(state_dir, folder), reply, error) != 0) return false;
    if (folder.paused) return true;
    PObject resume;
    resume["action"] = "resume";
    resume["session_id"] = folder.id;
    return Exchange(port, resume, reply, error) == 0;
}

void Restore(int port, const std::string& state_dir, std::vector<std::string>& messages,
             std::vector<uint64_t>& waiting) {
    UiState state;
    std::string error;
    {
        UiStateLock lock(state_dir);
        if (!lock.ok() || !LoadUiState(state_dir, state, error)) {
            messages.push_back(lock.ok() ? error : lock.error());
            return;
        }
    }
    if (!state.linked) {
        if (!state.folders.empty()) messages.push_back("no server linked: 'nimbrelctl link HOST:PORT --session ACCOUNT'");
        return;
    }
    PObject link, reply;
    link["action"] = "link";
    if (Exchange(port, link, reply, error) < 0) {
        messages.push_back(error);
        return;
    }
    if (Exchange(port, LinkConnectionRequest(state.link), reply, error) != 0) {
        messages.push_back("cannot link to " + state.link.host + ":" + std::to_string(state.link.port) + ": " + error);
        return;
    }
    for (const FolderRecord& folder : state.folders) {
        if (access(folder.path.c_str(), F_OK) != 0) {
            messages.push_back("waiting for " + folder.path + " (missing or not mounted)");
            waiting.push_back(folder.id);
            continue;
        }
        if (!AddRemembered(port, state_dir, folder, error)) {
            messages.push_back("cannot add " + folder.path + ": " + error);
            waiting.push_back(folder.id);
            continue;
        }
        messages.push_back("synchronising " + folder.path + (folder.paused ? " (paused)" : ""));
    }
}

}  // namespace nimbrelctl
