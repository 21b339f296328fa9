#include "desktop_notify.h"

#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "foundation/error_codes.h"

namespace nimbrelctl {
namespace {

std::string Text(const nlohmann::json& v, const char* key) {
    return v.contains(key) && v[key].is_string() ? v[key].get<std::string>() : std::string();
}

// Starts program with args and does not wait for it: an intermediate child starts
// it and exits at once, so nothing is left to reap.
void Launch(const std::string& program, const std::vector<std::string>& args) {
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        if (fork() == 0) {
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(program.c_str(), argv.data());
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::string p, double interval_seconds)
    : program(std::move(p)), interval(interval_seconds) {}

bool DesktopNotifier::Describe(const nlohmann::json& notice, std::string& key, std::string& summary,
                               std::string& body) {
    if (!notice.is_object()) return false;
    const std::string kind = Text(notice, "notify");
    const bool has_session = notice.contains("session_id") && notice["session_id"].is_number_integer() &&
                             notice["session_id"].get<int64_t>() >= 0;
    key = has_session ? "session " + std::to_string(notice["session_id"].get<uint64_t>()) : "connection";
    if (kind == "conflict") {
        summary = "Nimbrel: conflict copy made";
        body = Text(notice, "path") + " keeps your version of " + Text(notice, "original") + " (" +
               Text(notice, "reason") + ")";
        return true;
    }
    if (kind == "error") {
        const int code = notice.contains("error_type") && notice["error_type"].is_number()
                             ? static_cast<int>(notice["error_type"].get<int64_t>())
                             : 0;
        summary = "Nimbrel: synchronisation error";
        body = key + ": " + GetErrorString(code) + " (" + std::to_string(code) + ")";
        return true;
    }
    return false;
}

bool DesktopNotifier::Offer(const nlohmann::json& notice, double now) {
    std::string key, summary, body;
    if (!Describe(notice, key, summary, body)) return false;
    Slot& slot = slots[key];
    if (slot.used && now - slot.last < interval) {
        ++slot.held;
        return false;
    }
    if (slot.held > 0) body += " (and " + std::to_string(slot.held) + " more since the last notice)";
    slot = Slot{now, true, 0};
    Launch(program, {"--app-name=Nimbrel", "--", summary, body});
    return true;
}

}  // namespace nimbrelctl
