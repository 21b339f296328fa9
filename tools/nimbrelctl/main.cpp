// nimbrelctl: drives a Nimbrel daemon from the command line, and can play the UI
// process that starts the daemon, remembers its server and folders, and receives its
// notifications.
#include <cstdio>
#include <string>

#include "commands.h"
#include "port_state.h"

namespace nimbrelctl {

int Fail(const std::string& message) {
    fprintf(stderr, "nimbrelctl: %s\n", message.c_str());
    return 1;
}

CLI::Validator PortValidator(bool allow_zero) {
    return CLI::Validator(
        [allow_zero](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const long v = strtol(text.c_str(), &end, 10);
            if (text.empty() || errno != 0 || *end != '\0' || v < (allow_zero ? 0 : 1) || v > 65535) {
                return "invalid port '" + text + (allow_zero ? "' (0-65535)" : "' (1-65535)");
            }
            return std::string();
        },
        "PORT");
}

int Context::Port(std::string& error) const {
    if (port > 0) return port;
    const int found = LoadPort(state_dir, state_given);
    if (found < 0 && state_given) {
        error =
            "no daemon runs with the state folder " + state_dir + " (nothing holds " + StatePortPath(state_dir) + ")";
    } else if (found < 0) {
        error = "no daemon port known: give --port N or start one with 'nimbrelctl daemon' (looked in " +
                StatePortPath(state_dir) + " and " + PortStatePath() + ")";
    }
    return found;
}

}  // namespace nimbrelctl

int main(int argc, char** argv) {
    using namespace nimbrelctl;
    CLI::App app{
        "Drives a Nimbrel daemon. 'nimbrelctl daemon' starts one and keeps its server and\n"
        "folders; the other commands talk to the running daemon.",
        "nimbrelctl"};
    app.require_subcommand(1);
    // Shared options may follow the command: nimbrelctl status --port 1025.
    app.fallthrough();
    Context ctx;
    ctx.state_dir = DefaultStateDir();
    app.add_option("--port", ctx.port, "the daemon's control port (default: the one announced in the state folder)")
        ->check(PortValidator(false));
    app.add_option_function<std::string>(
           "--state",
           [&ctx](const std::string& dir) {
               ctx.state_dir = Absolute(dir);
               ctx.state_given = true;
           },
           "the state folder (default: $NIMBREL_HOME, else ${XDG_STATE_HOME:-~/.local/state}/nimbrel)")
        ->type_name("DIR");

    AddClientCommands(app, ctx);
    AddFolderCommands(app, ctx);
    AddHostCommands(app, ctx);
    AddRecoveryCommands(app, ctx);

    if (argc == 2 && std::string(argv[1]) == "help") {
        fputs(app.help().c_str(), stdout);
        return 0;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        // The program's own help shows every command with its options.
        if (app.get_subcommands().empty()) {
            fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
            return 0;
        }
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return Fail(std::string(e.what()) + " (see nimbrelctl --help)");
    }
    return ctx.exit_code;
}
