#include "ui_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/make_dirs.h"

namespace nimbrelctl {
namespace {

using json = nlohmann::json;

std::string StateFile(const std::string& dir) { return dir + "/folders.json"; }

// Writes content to path unless it exists; false with error when it cannot.
bool WriteNew(const std::string& path, const std::string& content, std::string& error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return true;
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    const bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (close(fd) != 0 || !ok) {
        error = "cannot write " + path;
        unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

FolderRecord* UiState::Find(uint64_t id) {
    for (FolderRecord& f : folders) {
        if (f.id == id) return &f;
    }
    return nullptr;
}

FolderRecord* UiState::FindPath(const std::string& folder) {
    for (FolderRecord& f : folders) {
        if (f.path == folder) return &f;
    }
    return nullptr;
}

UiStateLock::UiStateLock(const std::string& state_dir) {
    if (!MakeDirs(state_dir, 0700)) {
        failure = "cannot make the state folder " + state_dir + ": " + strerror(errno);
        return;
    }
    const std::string path = state_dir + "/folders.lock";
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure = "cannot open " + path + ": " + strerror(errno);
        return;
    }
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        failure = "cannot lock " + path + ": " + strerror(errno);
        close(fd);
        fd = -1;
    }
}

UiStateLock::~UiStateLock() {
    if (fd >= 0) close(fd);
}

bool LoadUiState(const std::string& state_dir, UiState& out, std::string& error) {
    out = UiState();
    const std::string path = StateFile(state_dir);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return true;
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        const json j = json::parse(text.str());
        out.next_id = j.value("next_id", uint64_t{1});
        if (j.contains("link") && j["link"].is_object()) {
            const json& l = j["link"];
            out.linked = true;
            out.link.host = l.at("host").get<std::string>();
            out.link.port = l.at("port").get<int>();
            out.link.session = l.at("session").get<std::string>();
            out.link.fingerprint = l.value("fingerprint", std::string());
            out.link.proxy_host = l.value("proxy_host", std::string());
            out.link.proxy_port = l.value("proxy_port", 0);
        }
        for (const json& f : j.value("folders", json::array())) {
            FolderRecord r;
            r.id = f.at("id").get<uint64_t>();
            r.path = f.at("path").get<std::string>();
            r.view = f.value("view", uint64_t{1});
            r.remote_path = f.value("remote_path", std::string());
            r.paused = f.value("paused", false);
            r.synced = f.value("synced", false);
            if (r.id == 0 || r.path.empty() || r.path[0] != '/')
                throw std::runtime_error("a folder without id or path");
            if (r.id >= out.next_id) out.next_id = r.id + 1;
            out.folders.push_back(r);
        }
    } catch (const std::exception& e) {
        error = path + " is damaged (" + e.what() + "); move it away to start with no folders";
        return false;
    }
    return true;
}

bool SaveUiState(const std::string& state_dir, const UiState& state, std::string& error) {
    json j;
    j["next_id"] = state.next_id;
    if (state.linked) {
        j["link"] = {{"host", state.link.host},
                     {"port", state.link.port},
                     {"session", state.link.session},
                     {"fingerprint", state.link.fingerprint},
                     {"proxy_host", state.link.proxy_host},
                     {"proxy_port", state.link.proxy_port}};
    }
    j["folders"] = json::array();
    for (const FolderRecord& f : state.folders) {
        j["folders"].push_back({{"id", f.id},
                                {"path", f.path},
                                {"view", f.view},
                                {"remote_path", f.remote_path},
                                {"paused", f.paused},
                                {"synced", f.synced}});
    }
    const std::string text = j.dump(2) + "\n";
    const std::string path = StateFile(state_dir), tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + strerror(errno);
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int err = errno;
    if (close(fd) != 0 || !written || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + strerror(written ? errno : err);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string SessionConfigDir(const std::string& state_dir, uint64_t id) {
    return state_dir + "/sessions/" + std::to_string(id);
}

uint64_t AllocateFolderId(const std::string& state_dir, UiState& state) {
    uint64_t id = state.next_id == 0 ? 1 : state.next_id;
    for (;;) {
        bool taken =
            state.Find(id) != nullptr || access(SessionConfigDir(state_dir, id).c_str(), F_OK) == 0 || errno != ENOENT;
        if (!taken) break;
        ++id;
    }
    state.next_id = id + 1;
    return id;
}

bool PrepareSessionConfig(const std::string& dir, std::string& error) {
    if (!MakeDirs(dir + "/conf", 0700, false)) {
        error = "cannot make " + dir + "/conf: " + strerror(errno);
        return false;
    }
    return WriteNew(dir + "/conf/blacklist.filter", "[Version]\nmajor = 1\nminor = 0\n", error) &&
           WriteNew(dir + "/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"*\"\n",
                    error);
}

}  // namespace nimbrelctl
