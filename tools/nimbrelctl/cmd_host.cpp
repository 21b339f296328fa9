// daemon and init-config: playing the UI process that starts nimbreld.
#include "commands.h"
#include "port_state.h"
#include "sample_config.h"
#include "ui_host.h"

namespace nimbrelctl {
namespace {

void AddDaemon(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand(
        "daemon",
        "play the UI: start nimbreld, print its control port and every notification as one JSON line. With\n"
        "--state DIR the server and folders remembered in DIR come back, DIR/daemon.port holds the control\n"
        "port while it runs, and a second daemon with the same DIR is refused. Ctrl-C or SIGTERM sends\n"
        "\"stop\" and waits for the daemon");
    auto options = std::make_shared<DaemonOptions>();
    sub->add_option("--config", options->config, "the daemon's configuration file");
    sub->add_option("--ui-port", options->ui_port, "the UI port (0 picks a free one; default: the configuration's)")
        ->check(CLI::Range(0, 65534));
    sub->add_option("--nimbreld", options->nimbreld, "the daemon program (default: next to nimbrelctl, else on PATH)");
    sub->add_flag("--desktop-notify", options->desktop_notify,
                  "also show errors and conflict copies on the desktop (notify-send), at most one per folder a minute");
    sub->callback([&ctx, options] {
        // The daemon claims a state folder only when told which.
        if (ctx.state_given) options->state_dir = ctx.state_dir;
        ctx.exit_code = RunDaemon(*options);
    });
}

void AddInitConfig(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("init-config",
                                   "write a sample configuration to FILE, and a system filter and log levels to the "
                                   "state folder, each only if it does not exist");
    auto config = std::make_shared<std::string>(DefaultConfigPath());
    sub->add_option("--config", *config,
                    "the configuration file (default: ${XDG_CONFIG_HOME:-~/.config}/nimbrel/nimbreld.conf)");
    sub->callback([&ctx, config] {
        std::string error;
        ctx.exit_code = InitConfig(*config, ctx.state_dir, error) != 0 ? Fail(error) : 0;
    });
}

}  // namespace

void AddHostCommands(CLI::App& app, Context& ctx) {
    AddDaemon(app, ctx);
    AddInitConfig(app, ctx);
}

}  // namespace nimbrelctl
