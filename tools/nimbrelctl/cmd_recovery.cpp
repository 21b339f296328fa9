// conflicts and recycle: what the daemon kept for the user, and bringing it back.
#include "commands.h"
#include "recovery_cmds.h"

namespace nimbrelctl {
namespace {

// Runs fn with the daemon's port, or fails with the reason none is known.
template <typename Fn>
void WithPort(Context& ctx, Fn fn) {
    std::string error;
    const int port = ctx.Port(error);
    ctx.exit_code = port < 0 ? Fail(error) : fn(port);
}

void AddConflicts(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("conflicts",
                                   "the conflict copies that still exist: each keeps a local version that another\n"
                                   "version (named after it) would have overwritten");
    auto folder = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    sub->add_option("folder", *folder, "only this folder");
    sub->add_flag("--json", *json, "the daemon's reply as JSON");
    sub->callback([&ctx, folder, json] {
        std::vector<std::string> args;
        if (!folder->empty()) args.push_back(*folder);
        WithPort(ctx, [&](int port) { return RunConflicts(port, args, *json); });
    });
}

void AddRecycle(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand(
        "recycle",
        "list [FOLDER]: what the recycle folders hold (removed items, versions replaced by a download),\n"
        "oldest first, under their original paths. restore PATH [--to DEST]: puts the newest item removed\n"
        "from PATH back at PATH (or DEST), never over an existing file; it is then uploaded like any new file");
    auto args = std::make_shared<std::vector<std::string>>();
    auto to = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    sub->add_option("action", *args, "list [FOLDER] | restore PATH")->required();
    sub->add_option("--to", *to, "restore: put the item at DEST instead")->type_name("DEST");
    sub->add_flag("--json", *json, "list: the daemon's reply as JSON");
    sub->callback(
        [&ctx, args, to, json] { WithPort(ctx, [&](int port) { return RunRecycle(port, *args, *to, *json); }); });
}

}  // namespace

void AddRecoveryCommands(CLI::App& app, Context& ctx) {
    AddConflicts(app, ctx);
    AddRecycle(app, ctx);
}

}  // namespace nimbrelctl
