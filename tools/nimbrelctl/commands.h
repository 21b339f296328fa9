// nimbrelctl's commands. main.cpp owns the parser and the options every command shares;
// each Add*Commands function registers a few related subcommands (one file each), so a
// new group of commands is one more function and one more file.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace nimbrelctl {

// What the commands share: the global options and the exit status to return.
struct Context {
    int port = -1;          // --port; -1: find the daemon through the state folder
    std::string state_dir;  // --state, else the default state folder
    bool state_given = false;
    int exit_code = 0;

    // The daemon's control port: --port, else the one announced in the state folder,
    // else the one 'nimbrelctl daemon' last announced; -1 with a reason in error.
    int Port(std::string& error) const;
};

// Prints "nimbrelctl: message" on standard error; returns 1 (the exit status).
int Fail(const std::string& message);

// A validator for ports: 1..65535 (0 too when allow_zero).
CLI::Validator PortValidator(bool allow_zero);

// send, status, watch, stop: talking to a running daemon.
void AddClientCommands(CLI::App& app, Context& ctx);
// link, unlink, add, remove, pause, resume, list: the server and the folders, remembered.
void AddFolderCommands(CLI::App& app, Context& ctx);
// daemon, init-config: playing the UI process that starts the daemon.
void AddHostCommands(CLI::App& app, Context& ctx);
// conflicts, recycle list|restore: what the daemon kept for the user.
void AddRecoveryCommands(CLI::App& app, Context& ctx);

}  // namespace nimbrelctl
