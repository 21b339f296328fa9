#include "folder_control.h"

#include <unistd.h>

#include <cstdio>

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

bool RegisteredIds(int port, std::set<uint64_t>& ids, std::string& error) {
    PObject request, reply;
    request["action"] = "get_status";
    if (SendControl(port, request, &reply, error) != 0) return false;
    if (reply["session_list"].isArray()) {
        for (const PObject& s : reply["session_list"].asArray()) ids.insert(s["session_id"].asUInt64());
    }
    return true;
}

bool Restore(int port, const std::string& state_dir, bool link, std::vector<std::string>& messages,
             std::vector<uint64_t>& waiting, std::set<uint64_t>* failed, const std::set<uint64_t>& skip) {
    UiState state;
    std::string error;
    // Held throughout: a folder removed meanwhile by 'nimbrelctl remove' is not added back.
    UiStateLock lock(state_dir);
    if (!lock.ok() || !LoadUiState(state_dir, state, error)) {
        messages.push_back(lock.ok() ? error : lock.error());
        return false;
    }
    if (!state.linked) {
        if (!state.folders.empty())
            messages.push_back("no server linked: 'nimbrelctl link HOST:PORT --session ACCOUNT'");
        return false;
    }
    PObject reply;
    if (link) {
        PObject request;
        request["action"] = "link";
        if (Exchange(port, request, reply, error) < 0) {
            messages.push_back(error);
            return false;
        }
        if (Exchange(port, LinkConnectionRequest(state.link), reply, error) != 0) {
            messages.push_back("cannot link to " + state.link.host + ":" + std::to_string(state.link.port) + ": " +
                               error);
            return false;
        }
    }
    std::set<uint64_t> registered;
    if (!RegisteredIds(port, registered, error)) {
        messages.push_back(error);
        return false;
    }
    for (const FolderRecord& folder : state.folders) {
        if (registered.count(folder.id) != 0 || skip.count(folder.id) != 0) continue;
        if (access(folder.path.c_str(), F_OK) != 0) {
            messages.push_back("waiting for " + folder.path + " (missing or not mounted)");
            waiting.push_back(folder.id);
            continue;
        }
        if (!AddRemembered(port, state_dir, folder, error)) {
            messages.push_back("cannot add " + folder.path + ": " + error);
            if (failed != nullptr) failed->insert(folder.id);
            continue;
        }
        messages.push_back("synchronising " + folder.path + (folder.paused ? " (paused)" : ""));
    }
    return true;
}

void Tend(int port, const std::string& state_dir, std::set<std::string>& said, std::set<uint64_t>& failed) {
    PObject request, reply;
    std::string error;
    request["action"] = "get_status";
    if (SendControl(port, request, &reply, error) != 0) return;
    std::set<uint64_t> uptodate;
    if (reply["session_list"].isArray()) {
        for (const PObject& s : reply["session_list"].asArray()) {
            // A pass over the folder and the server is complete with nothing queued; items
            // that failed in it ("incomplete") do not make it a first add again.
            const ustring state = s["state"].isString() ? s["state"].asString() : ustring();
            if (state == "uptodate" || state == "incomplete") uptodate.insert(s["session_id"].asUInt64());
        }
    }
    if (!uptodate.empty()) {
        UiStateLock lock(state_dir);
        UiState state;
        bool changed = false;
        if (lock.ok() && LoadUiState(state_dir, state, error)) {
            for (FolderRecord& f : state.folders) {
                if (f.synced || uptodate.count(f.id) == 0) continue;
                f.synced = true;
                changed = true;
                said.insert("first synchronisation of " + f.path + " completed");
                fprintf(stderr, "nimbrelctl: first synchronisation of %s completed\n", f.path.c_str());
            }
            if (changed && !SaveUiState(state_dir, state, error)) fprintf(stderr, "nimbrelctl: %s\n", error.c_str());
        }
    }
    std::vector<std::string> messages;
    std::vector<uint64_t> waiting;
    Restore(port, state_dir, false, messages, waiting, &failed, failed);
    for (const std::string& m : messages) {
        if (said.insert(m).second) fprintf(stderr, "nimbrelctl: %s\n", m.c_str());
    }
}

}  // namespace nimbrelctl
