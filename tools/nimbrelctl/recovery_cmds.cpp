#include "recovery_cmds.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "control_client.h"
#include "folder_control.h"
#include "json_convert.h"

namespace nimbrelctl {

namespace {

// An absolute path with links resolved as far as the path exists.
std::string Resolved(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(path, ec);
    if (ec) return path;
    const std::filesystem::path canon = std::filesystem::weakly_canonical(abs, ec);
    std::string out = (ec ? abs.lexically_normal() : canon).string();
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string When(uint64_t t) {
    char buf[32];
    const time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (localtime_r(&tt, &tm) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) return "?";
    return buf;
}

std::string Size(uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, kUnits[u]);
    return buf;
}

// Sends request; the reply as JSON, or an exit code other than -1 on failure.
int ExchangeJson(int port, const PObject& request, nlohmann::json& reply) {
    PObject answer;
    std::string error;
    if (Exchange(port, request, answer, error) != 0) return Fail(error);
    reply = PObjectToJson(answer);
    return -1;
}

// A list request with the optional FOLDER; the items under key, or an exit code.
int ListOf(int port, const char* action, const char* key, const std::vector<std::string>& args, size_t first, bool json,
           nlohmann::json& items) {
    if (args.size() > first + 1) return Fail(std::string("too many arguments for ") + action);
    PObject request;
    request["action"] = action;
    if (args.size() == first + 1) request["folder"] = Resolved(args[first]).c_str();
    nlohmann::json reply;
    const int rc = ExchangeJson(port, request, reply);
    if (rc != -1) return rc;
    if (json) {
        printf("%s\n", DumpLine(reply).c_str());
        return 0;
    }
    items = reply.contains(key) && reply[key].is_array() ? reply[key] : nlohmann::json::array();
    return -1;
}

std::string Text(const nlohmann::json& item, const char* key) {
    return item.contains(key) && item[key].is_string() ? item[key].get<std::string>() : std::string();
}

uint64_t Number(const nlohmann::json& item, const char* key) {
    return item.contains(key) && item[key].is_number_unsigned() ? item[key].get<uint64_t>() : 0;
}

}  // namespace

int RunConflicts(int port, const std::vector<std::string>& args, bool json) {
    nlohmann::json items;
    const int rc = ListOf(port, "list_conflicts", "conflicts", args, 0, json, items);
    if (rc != -1) return rc;
    if (items.empty()) printf("no conflict copies\n");
    for (const auto& c : items) {
        printf("%s  %s\n    keeps a version of %s (%s)\n", When(Number(c, "time")).c_str(), Text(c, "path").c_str(),
               Text(c, "original").c_str(), Text(c, "reason").c_str());
    }
    fflush(stdout);
    return 0;
}

int RunRecycle(int port, const std::vector<std::string>& args, const std::string& to, bool json) {
    if (args.empty()) return Fail("recycle needs 'list' or 'restore' (see nimbrelctl --help)");
    if (args[0] == "list") {
        if (!to.empty()) return Fail("--to belongs to 'recycle restore'");
        nlohmann::json items;
        const int rc = ListOf(port, "list_recycle", "recycle", args, 1, json, items);
        if (rc != -1) return rc;
        if (items.empty()) printf("the recycle folders are empty\n");
        for (const auto& r : items) {
            const std::string original = Text(r, "original");
            printf("%s  %-8s %10s  %s\n", When(Number(r, "time")).c_str(), Text(r, "reason").c_str(),
                   Size(Number(r, "size")).c_str(),
                   original.empty() ? ("(origin unknown) " + Text(r, "name")).c_str() : original.c_str());
        }
        fflush(stdout);
        return 0;
    }
    if (args[0] != "restore") return Fail("unknown recycle command '" + args[0] + "' (list or restore)");
    if (args.size() != 2) return Fail("recycle restore takes one PATH (and --to DEST)");
    PObject request;
    request["action"] = "restore";
    request["path"] = Resolved(args[1]).c_str();
    if (!to.empty()) request["to"] = Resolved(to).c_str();
    nlohmann::json reply;
    const int rc = ExchangeJson(port, request, reply);
    if (rc != -1) return rc;
    if (json) {
        printf("%s\n", DumpLine(reply).c_str());
    } else {
        printf("restored %s\n", Text(reply, "restored").c_str());
    }
    fflush(stdout);
    return 0;
}

}  // namespace nimbrelctl
