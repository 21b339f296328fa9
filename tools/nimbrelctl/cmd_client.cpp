// send, status, watch and stop: requests to a running daemon.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "control_client.h"
#include "folder_control.h"
#include "json_convert.h"
#include "status_view.h"
#include "ui_state.h"
#include "watch.h"

namespace nimbrelctl {
namespace {

// Folders remembered in the state folder that the daemon does not list (their path
// went missing, or adding them failed) are added to the reply's session list, so that
// the status tells of every folder the user gave.
void AddRememberedFolders(const std::string& state_dir, nlohmann::json& reply) {
    UiState state;
    std::string error;
    {
        UiStateLock lock(state_dir);
        if (!lock.ok() || !LoadUiState(state_dir, state, error)) return;
    }
    nlohmann::json& list = reply["session_list"];
    if (!list.is_array()) list = nlohmann::json::array();
    for (const FolderRecord& f : state.folders) {
        bool listed = false;
        for (const nlohmann::json& s : list)
            listed = listed || (s.is_object() && s.value("session_id", uint64_t{0}) == f.id);
        if (listed) continue;
        list.push_back({{"session_id", f.id},
                        {"local_path", f.path},
                        {"state", access(f.path.c_str(), F_OK) == 0 ? "unadded" : "waiting"},
                        {"paused", f.paused ? 1 : 0},
                        {"unfinished_files", 0}});
    }
    if (list.empty()) reply.erase("session_list");
}

int SendAndPrint(const Context& ctx, const PObject& request, bool expect_reply) {
    std::string error;
    const int port = ctx.Port(error);
    if (port < 0) return Fail(error);
    PObject reply;
    if (SendControl(port, request, expect_reply ? &reply : nullptr, error) != 0) return Fail(error);
    if (!expect_reply) return 0;
    printf("%s\n", DumpLine(PObjectToJson(reply)).c_str());
    fflush(stdout);
    const std::string refusal = RefusalOf(reply);
    return refusal.empty() ? 0 : Fail("the daemon refused: " + refusal);
}

void AddSend(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("send", "send one control request (JSON) and print the reply as JSON");
    auto text = std::make_shared<std::string>();
    sub->add_option("json", *text,
                    "the request, e.g. '{\"action\": \"get_status\"}'; \"-\" reads it from standard input")
        ->required();
    sub->callback([&ctx, text] {
        nlohmann::json parsed;
        try {
            // "-": from standard input, so a request holding a token is never on a command
            // line that other users can read.
            parsed = *text == "-" ? nlohmann::json::parse(std::cin) : nlohmann::json::parse(*text);
        } catch (const nlohmann::json::parse_error& e) {
            ctx.exit_code = Fail(std::string("malformed JSON: ") + e.what());
            return;
        }
        PObject request;
        std::string error;
        if (!JsonToPObject(parsed, request, error)) {
            ctx.exit_code = Fail("cannot send this JSON: " + error);
            return;
        }
        // The daemon answers "stop" by closing the connection without a reply.
        const bool expect_reply =
            !(request.isMap() && request["action"].isString() && request["action"].asString() == "stop");
        ctx.exit_code = SendAndPrint(ctx, request, expect_reply);
    });
}

void AddStatus(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("status", "each folder's state, the connection and the transfers");
    auto json = std::make_shared<bool>(false);
    sub->add_flag("--json", *json, "the daemon's reply as JSON, with the remembered folders it does not list");
    sub->callback([&ctx, json] {
        std::string error;
        const int port = ctx.Port(error);
        if (port < 0) {
            ctx.exit_code = Fail(error);
            return;
        }
        PObject request, reply;
        request["action"] = "get_status";
        if (SendControl(port, request, &reply, error) != 0) {
            ctx.exit_code = Fail(error);
            return;
        }
        nlohmann::json out = PObjectToJson(reply);
        AddRememberedFolders(ctx.state_dir, out);
        fputs((*json ? DumpLine(out) + "\n" : StatusTable(out)).c_str(), stdout);
        fflush(stdout);
    });
}

void AddWatch(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("watch", "one live line per folder, redrawn in place on a terminal");
    auto options = std::make_shared<WatchOptions>();
    sub->add_flag("--json", options->json, "one JSON line per change, even on a terminal");
    sub->add_option_function<double>(
           "--interval",
           [options](double seconds) { options->interval_ms = static_cast<unsigned>(seconds * 1000 + 0.5); },
           "seconds between two polls (0.1 to 3600, default 1)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                char* end = nullptr;
                const double seconds = strtod(text.c_str(), &end);
                if (end == text.c_str() || *end != '\0' || !(seconds >= 0.1 && seconds <= 3600)) {
                    return "invalid --interval '" + text + "' (seconds, 0.1 to 3600)";
                }
                return std::string();
            },
            "SECONDS"));
    sub->add_option("--count", options->count, "stop after N polls")->check(CLI::Range(1u, 1000000000u));
    sub->add_option("--notifications", options->notifications,
                    "the JSON lines of 'nimbrelctl daemon' (finished files and errors are counted from them)");
    sub->callback([&ctx, options] {
        std::string error;
        options->port = ctx.Port(error);
        ctx.exit_code = options->port < 0 ? Fail(error) : RunWatch(*options);
    });
}

void AddStop(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("stop", "stop the daemon (it finishes in order)");
    sub->callback([&ctx] {
        PObject request;
        request["action"] = "stop";
        ctx.exit_code = SendAndPrint(ctx, request, false);
    });
}

}  // namespace

void AddClientCommands(CLI::App& app, Context& ctx) {
    AddSend(app, ctx);
    AddStatus(app, ctx);
    AddWatch(app, ctx);
    AddStop(app, ctx);
}

}  // namespace nimbrelctl
