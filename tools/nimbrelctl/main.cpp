// nimbrelctl: drives a Nimbrel daemon from the command line, and can play the UI
// process that starts the daemon and receives its notifications.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_client.h"
#include "json_convert.h"
#include "port_state.h"
#include "sample_config.h"
#include "status_view.h"
#include "ui_host.h"
#include "watch.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  nimbrelctl daemon [--config FILE] [--state DIR] [--ui-port N] [--nimbreld PATH]\n"
    "      play the UI: start nimbreld, print its control port and every notification\n"
    "      as one JSON line; Ctrl-C or SIGTERM sends \"stop\" and waits for the daemon.\n"
    "      With --state, DIR/daemon.port holds the control port while it runs, and a\n"
    "      second daemon with the same DIR is refused\n"
    "  nimbrelctl init-config [--config FILE] [--state DIR]\n"
    "      write a sample configuration to FILE, and a system filter and log levels to\n"
    "      DIR, each only if it does not exist\n"
    "  nimbrelctl send [--port N] [--state DIR] JSON\n"
    "      send one control request and print the reply as JSON (JSON \"-\": read it\n"
    "      from standard input)\n"
    "  nimbrelctl status [--json] [--port N] [--state DIR]\n"
    "      show get_status as a short table (--json: the reply as it came)\n"
    "  nimbrelctl watch [--json] [--interval SECONDS] [--count N] [--notifications FILE]\n"
    "                   [--port N] [--state DIR]\n"
    "      one live line per session (status, files and bytes to go, rate, the file\n"
    "      being moved), polled every SECONDS (default 1) and redrawn in place on a\n"
    "      terminal; one JSON line per change otherwise or with --json. FILE holds the\n"
    "      JSON lines of 'nimbrelctl daemon' (finished files and errors are counted from\n"
    "      them). Stops after N polls, or on Ctrl-C\n"
    "  nimbrelctl link|unlink|stop [--port N] [--state DIR]\n"
    "      shortcuts for link, unlink and stop\n"
    "  nimbrelctl --help\n"
    "      show this help\n"
    "Without --port the port is the one announced in the state folder's daemon.port,\n"
    "else the one that 'nimbrelctl daemon' last announced ($XDG_RUNTIME_DIR/nimbrelctl.port\n"
    "when that folder is private, else DIR/nimbrelctl.port); with --state, only DIR's.\n"
    "Defaults: DIR is $NIMBREL_HOME, else ${XDG_STATE_HOME:-~/.local/state}/nimbrel (the\n"
    "daemon takes no --state default); init-config's FILE is\n"
    "${XDG_CONFIG_HOME:-~/.config}/nimbrel/nimbreld.conf.\n";

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

// Matches "--name VALUE" and "--name=VALUE" at argv[i] (moving i past VALUE). 1 with
// value set, 0 when argv[i] is another argument, -1 with error when VALUE is missing.
int OptionValue(int argc, char** argv, int& i, const char* name, const char*& value, std::string& error) {
    const size_t len = strlen(name);
    if (strncmp(argv[i], name, len) != 0) return 0;
    if (argv[i][len] == '=') {
        value = argv[i] + len + 1;
        return 1;
    }
    if (argv[i][len] != '\0') return 0;
    if (i + 1 >= argc) {
        error = std::string(name) + " needs a value";
        return -1;
    }
    value = argv[++i];
    return 1;
}

// A command's own options: 1 when argv[i] was one (i moved past its value), 0 when it
// is not, -1 with error.
using ExtraOptions = std::function<int(int argc, char** argv, int& i, std::string& error)>;

// Options of send and the shortcuts: [--port N] [--state DIR], the command's own
// options and positional arguments.
bool ParseClientArgs(int argc, char** argv, int first, int& port, std::vector<std::string>& rest,
                     std::string& error, const ExtraOptions& extra = nullptr) {
    port = -1;
    std::string state_dir = nimbrelctl::DefaultStateDir();
    bool state_given = false;  // then only that folder's daemon is meant
    for (int i = first; i < argc; ++i) {
        const char* value = nullptr;
        int found = extra ? extra(argc, argv, i, error) : 0;
        if (found < 0) return false;
        if (found == 1) continue;
        found = OptionValue(argc, argv, i, "--port", value, error);
        if (found == 1 && !ParsePort(value, port, false)) {
            error = std::string("invalid port '") + value + "' (1-65535)";
            return false;
        }
        if (found == 0) {
            found = OptionValue(argc, argv, i, "--state", value, error);
            if (found == 1) state_dir = nimbrelctl::Absolute(value), state_given = true;
        }
        if (found < 0) return false;
        if (found == 1) continue;
        std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            error = "unknown option " + arg;
            return false;
        }
        rest.push_back(arg);
    }
    if (port < 0) {
        port = nimbrelctl::LoadPort(state_dir, state_given);
        if (port < 0 && state_given) {
            error = "no daemon runs with the state folder " + state_dir + " (nothing holds " +
                    nimbrelctl::StatePortPath(state_dir) + ")";
            return false;
        }
        if (port < 0) {
            error = "no daemon port known: give --port N or start one with 'nimbrelctl daemon' (looked in " +
                    nimbrelctl::StatePortPath(state_dir) + " and " + nimbrelctl::PortStatePath() + ")";
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
        // "-": from standard input, so a request holding a token is never on a command
        // line that other users can read.
        parsed = rest[0] == "-" ? nlohmann::json::parse(std::cin) : nlohmann::json::parse(rest[0]);
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
    request["action"] = command.c_str();
    return SendAndPrint(port, request, command != "stop");
}

int CmdStatus(int argc, char** argv) {
    bool raw = false;
    int port = -1;
    std::vector<std::string> rest;
    std::string error;
    auto extra = [&raw](int, char** args, int& i, std::string&) {
        if (strcmp(args[i], "--json") != 0) return 0;
        raw = true;
        return 1;
    };
    if (!ParseClientArgs(argc, argv, 2, port, rest, error, extra)) return Fail(error);
    if (!rest.empty()) return Fail("status takes no arguments besides --json, --port and --state");
    PObject request;
    request["action"] = "get_status";
    PObject reply;
    if (nimbrelctl::SendControl(port, request, &reply, error) != 0) return Fail(error);
    const nlohmann::json json = nimbrelctl::PObjectToJson(reply);
    if (raw) {
        printf("%s\n", nimbrelctl::DumpLine(json).c_str());
    } else {
        fputs(nimbrelctl::StatusTable(json).c_str(), stdout);
    }
    fflush(stdout);
    return 0;
}

// Strict decimal count 1..max.
bool ParseCount(const char* text, unsigned max, unsigned& out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > max) return false;
    out = static_cast<unsigned>(v);
    return true;
}

int CmdWatch(int argc, char** argv) {
    nimbrelctl::WatchOptions options;
    std::vector<std::string> rest;
    std::string error;
    auto extra = [&options](int n, char** args, int& i, std::string& err) {
        if (strcmp(args[i], "--json") == 0) {
            options.json = true;
            return 1;
        }
        const char* v = nullptr;
        int found;
        if ((found = OptionValue(n, args, i, "--interval", v, err)) == 1) {
            // Seconds, fractions allowed, 0.1 to one hour.
            char* end = nullptr;
            errno = 0;
            const double seconds = strtod(v, &end);
            if (errno != 0 || end == v || *end != '\0' || !(seconds >= 0.1 && seconds <= 3600)) {
                err = std::string("invalid --interval '") + v + "' (seconds, 0.1 to 3600)";
                return -1;
            }
            options.interval_ms = static_cast<unsigned>(seconds * 1000 + 0.5);
        } else if (found == 0 && (found = OptionValue(n, args, i, "--count", v, err)) == 1) {
            if (!ParseCount(v, 1000000000, options.count)) {
                err = std::string("invalid --count '") + v + "' (a positive number)";
                return -1;
            }
        } else if (found == 0 && (found = OptionValue(n, args, i, "--notifications", v, err)) == 1) {
            options.notifications = v;
        }
        return found;
    };
    if (!ParseClientArgs(argc, argv, 2, options.port, rest, error, extra)) return Fail(error);
    if (!rest.empty()) return Fail("watch takes no positional arguments (see nimbrelctl --help)");
    return nimbrelctl::RunWatch(options);
}

int CmdDaemon(int argc, char** argv) {
    nimbrelctl::DaemonOptions options;
    std::string error;
    for (int i = 2; i < argc; ++i) {
        const char* v = nullptr;
        int found;
        if ((found = OptionValue(argc, argv, i, "--config", v, error)) != 0) {
            if (found == 1) options.config = v;
        } else if ((found = OptionValue(argc, argv, i, "--state", v, error)) != 0) {
            if (found == 1) options.state_dir = nimbrelctl::Absolute(v);
        } else if ((found = OptionValue(argc, argv, i, "--ui-port", v, error)) != 0) {
            if (found == 1 && !ParsePort(v, options.ui_port, true)) {
                return Fail(std::string("invalid --ui-port '") + v + "' (0-65534, 0 picks a free one)");
            }
            if (options.ui_port == 65535) return Fail("--ui-port 65535 leaves no port for the daemon");
        } else if ((found = OptionValue(argc, argv, i, "--nimbreld", v, error)) != 0) {
            if (found == 1) options.nimbreld = v;
        } else {
            return Fail(std::string("unknown argument '") + argv[i] + "' for daemon (see nimbrelctl --help)");
        }
        if (found < 0) return Fail(error);
    }
    return nimbrelctl::RunDaemon(options);
}

int CmdInitConfig(int argc, char** argv) {
    std::string config = nimbrelctl::DefaultConfigPath();
    std::string state_dir = nimbrelctl::DefaultStateDir();
    std::string error;
    for (int i = 2; i < argc; ++i) {
        const char* v = nullptr;
        int found;
        if ((found = OptionValue(argc, argv, i, "--config", v, error)) != 0) {
            if (found == 1) config = v;
        } else if ((found = OptionValue(argc, argv, i, "--state", v, error)) != 0) {
            if (found == 1) state_dir = v;
        } else {
            return Fail(std::string("unknown argument '") + argv[i] + "' for init-config (see nimbrelctl --help)");
        }
        if (found < 0) return Fail(error);
    }
    if (nimbrelctl::InitConfig(config, state_dir, error) != 0) return Fail(error);
    return 0;
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
    if (command == "status") return CmdStatus(argc, argv);
    if (command == "watch") return CmdWatch(argc, argv);
    if (command == "link" || command == "unlink" || command == "stop") {
        return CmdShortcut(command, argc, argv);
    }
    if (command == "daemon") return CmdDaemon(argc, argv);
    if (command == "init-config") return CmdInitConfig(argc, argv);
    fprintf(stderr, "nimbrelctl: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 1;
}
