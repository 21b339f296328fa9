// nimbrelctl: drives a Nimbrel daemon from the command line, and can play the UI
// process that starts the daemon and receives its notifications.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_client.h"
#include "json_convert.h"
#include "port_state.h"
#include "ui_host.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  nimbrelctl daemon [--config FILE] [--ui-port N] [--nimbreld PATH]\n"
    "      play the UI: start nimbreld, print its control port and every notification\n"
    "      as one JSON line; Ctrl-C stops the daemon\n"
    "  nimbrelctl send [--port N] JSON\n"
    "      send one control request and print the reply as JSON\n"
    "  nimbrelctl status|link|unlink|stop [--port N]\n"
    "      shortcuts for get_status, link, unlink and stop\n"
    "The port defaults to the one that 'nimbrelctl daemon' last announced.\n";

int Fail(const std::string& message) {
    fprintf(stderr, "nimbrelctl: %s\n", message.c_str());
    return 1;
}

// Strict decimal port 1..65535 (0 too when allow_zero).
bool ParsePort(const char* text, int& port, bool allow_zero) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < (allow_zero ? 0 : 1) || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

// Options of send and the shortcuts: [--port N] and positional arguments.
bool ParseClientArgs(int argc, char** argv, int first, int& port, std::vector<std::string>& rest,
                     std::string& error) {
    port = -1;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            const char* value = nullptr;
            if (arg == "--port") {
                if (i + 1 >= argc) {
                    error = "--port needs a value";
                    return false;
                }
                value = argv[++i];
            } else {
                value = argv[i] + strlen("--port=");
            }
            if (!ParsePort(value, port, false)) {
                error = std::string("invalid port '") + value + "' (1-65535)";
                return false;
            }
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            error = "unknown option " + arg;
            return false;
        } else {
            rest.push_back(arg);
        }
    }
    if (port < 0) {
        port = nimbrelctl::LoadPort();
        if (port < 0) {
            error = "no daemon port known: give --port N or start one with 'nimbrelctl daemon' (looked in " +
                    nimbrelctl::PortStatePath() + ")";
            return false;
        }
    }
    return true;
}

int SendAndPrint(int port, const PObject& request, bool expect_reply) {
    PObject reply;
    std::string error;
    if (nimbrelctl::SendControl(port, request, expect_reply ? &reply : nullptr, error) != 0) return Fail(error);
    if (expect_reply) printf("%s\n", nimbrelctl::DumpLine(nimbrelctl::PObjectToJson(reply)).c_str());
    fflush(stdout);
    return 0;
}

int CmdSend(int argc, char** argv) {
    int port = -1;
    std::vector<std::string> rest;
    std::string error;
    if (!ParseClientArgs(argc, argv, 2, port, rest, error)) return Fail(error);
    if (rest.size() != 1) return Fail("send takes exactly one JSON argument (see nimbrelctl --help)");

    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(rest[0]);
    } catch (const nlohmann::json::parse_error& e) {
        return Fail(std::string("malformed JSON: ") + e.what());
    }
    PObject request;
    if (!nimbrelctl::JsonToPObject(parsed, request, error)) return Fail("cannot send this JSON: " + error);
    // The daemon answers "stop" by closing the connection without a reply.
    const bool expect_reply = !(request.isMap() && request["action"].isString() && request["action"].asString() == "stop");
    return SendAndPrint(port, request, expect_reply);
}

int CmdShortcut(const std::string& command, int argc, char** argv) {
    int port = -1;
    std::vector<std::string> rest;
    std::string error;
    if (!ParseClientArgs(argc, argv, 2, port, rest, error)) return Fail(error);
    if (!rest.empty()) return Fail(command + " takes no arguments besides --port");
    PObject request;
    request["action"] = command == "status" ? "get_status" : command.c_str();
    return SendAndPrint(port, request, command != "stop");
}

int CmdDaemon(int argc, char** argv) {
    nimbrelctl::DaemonOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (arg == "--config") {
            const char* v = value("--config");
            if (v == nullptr) return Fail("--config needs a file");
            options.config = v;
        } else if (arg == "--ui-port") {
            const char* v = value("--ui-port");
            if (v == nullptr || !ParsePort(v, options.ui_port, true)) {
                return Fail(std::string("invalid --ui-port '") + (v ? v : "") + "' (0-65534, 0 picks a free one)");
            }
            if (options.ui_port == 65535) return Fail("--ui-port 65535 leaves no port for the daemon");
        } else if (arg == "--nimbreld") {
            const char* v = value("--nimbreld");
            if (v == nullptr) return Fail("--nimbreld needs a path");
            options.nimbreld = v;
        } else {
            return Fail("unknown argument '" + arg + "' for daemon (see nimbrelctl --help)");
        }
    }
    return nimbrelctl::RunDaemon(options);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return 1;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "send") return CmdSend(argc, argv);
    if (command == "status" || command == "link" || command == "unlink" || command == "stop") {
        return CmdShortcut(command, argc, argv);
    }
    if (command == "daemon") return CmdDaemon(argc, argv);
    fprintf(stderr, "nimbrelctl: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 1;
}
