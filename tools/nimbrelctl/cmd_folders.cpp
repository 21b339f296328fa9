// link, unlink, add, remove, pause, resume and list: the server and the folders, each
// change sent to the daemon and remembered in the state folder (ui_state.h), so that
// 'nimbrelctl daemon' restores them at its next start.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "folder_control.h"
#include "json_convert.h"
#include "port_state.h"
#include "ui_state.h"

namespace nimbrelctl {
namespace {

using json = nlohmann::json;

// Options every folder command has.
struct FolderArgs {
    bool json = false;
    std::string target;  // FOLDER or ID
};

std::string Canonical(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return Absolute(path);
    std::string out(real);
    free(real);
    return out;
}

bool IsNumber(const std::string& text) {
    return !text.empty() && text.size() < 20 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool Inside(const std::string& inner, const std::string& outer) {
    return outer == "/" || inner == outer ||
           (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/');
}

// What a command prints on success: a sentence, or with --json the object.
void Done(bool as_json, const std::string& text, const json& object) {
    if (as_json) {
        printf("%s\n", DumpLine(object).c_str());
    } else if (!text.empty()) {
        printf("%s\n", text.c_str());
    }
    fflush(stdout);
}

json FolderJson(const FolderRecord& f) {
    return {{"session_id", f.id},           {"local_path", f.path}, {"view_id", f.view},
            {"remote_path", f.remote_path}, {"paused", f.paused},   {"synced", f.synced}};
}

// Runs body with the daemon's port and the state locked and loaded; body returns the
// exit status and saves what it changed. Failures before it print and return 1.
template <typename Body>
int WithState(const Context& ctx, Body&& body) {
    std::string error;
    const int port = ctx.Port(error);
    if (port < 0) return Fail(error);
    UiStateLock lock(ctx.state_dir);
    if (!lock.ok()) return Fail(lock.error());
    UiState state;
    if (!LoadUiState(ctx.state_dir, state, error)) return Fail(error);
    return body(port, state);
}

int Save(const Context& ctx, const UiState& state) {
    std::string error;
    return SaveUiState(ctx.state_dir, state, error) ? 0 : Fail(error);
}

// "HOST:PORT" into its parts; false when it is not that.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string port_text = text.substr(colon + 1);
    if (!PortValidator(false)(port_text).empty()) return false;
    host = text.substr(0, colon);
    port = std::atoi(port_text.c_str());
    return true;
}

void AddLink(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("link", "link the daemon to a server and remember it");
    struct Args {
        std::string server, session, fingerprint, proxy;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    sub->add_option("server", a->server, "HOST:PORT of the server (without it: only start the daemon's tasks)");
    sub->add_option("--session", a->session, "the server account")->envname("NIMBREL_SESSION");
    sub->add_option("--fingerprint", a->fingerprint,
                    "the server certificate's SHA-256 (SSL, pinned); without it: no SSL");
    sub->add_option("--proxy", a->proxy, "HOST:PORT of an HTTP proxy");
    sub->add_flag("--json", a->json, "print the daemon's reply as JSON");
    sub->callback([&ctx, a] {
        ctx.exit_code = WithState(ctx, [&](int port, UiState& state) {
            PObject request, reply;
            std::string error;
            request["action"] = "link";
            const int rc = Exchange(port, request, reply, error);
            if (rc < 0) return Fail(error);
            if (a->server.empty()) {
                // Only the tasks, the daemon's reply as it came; a second link is no failure.
                Done(true, "", PObjectToJson(reply));
                if (rc != 0 && reply["error"].asString() != "Already linked.") return Fail("cannot link: " + error);
                return 0;
            }
            LinkRecord link;
            if (!SplitHostPort(a->server, link.host, link.port))
                return Fail("the server must be HOST:PORT, not '" + a->server + "'");
            if (a->session.empty()) return Fail("link needs --session ACCOUNT (or NIMBREL_SESSION)");
            link.session = a->session;
            link.fingerprint = a->fingerprint;
            if (!a->proxy.empty() && !SplitHostPort(a->proxy, link.proxy_host, link.proxy_port)) {
                return Fail("--proxy must be HOST:PORT, not '" + a->proxy + "'");
            }
            // Each folder's database holds the sync ids of the server it was synchronised
            // with; another server would be sent removals and uploads made from them.
            const bool other_server = state.linked && (state.link.host != link.host ||
                                                       (!state.link.fingerprint.empty() && !link.fingerprint.empty() &&
                                                        state.link.fingerprint != link.fingerprint));
            if (other_server && !state.folders.empty()) {
                return Fail("the remembered folders are synchronised with " + state.link.host + ", not with " +
                            link.host + ": remove them first (nimbrelctl list, nimbrelctl remove)");
            }
            if (Exchange(port, LinkConnectionRequest(link), reply, error) != 0) {
                return Fail("cannot link to " + a->server + ": " + error);
            }
            state.linked = true;
            state.link = link;
            if (Save(ctx, state) != 0) return 1;
            Done(a->json, "linked to " + a->server, PObjectToJson(reply));
            return 0;
        });
        if (ctx.exit_code != 0 || a->server.empty()) return;
        // Folders remembered from before (an unlink keeps them) come back.
        std::string error;
        std::vector<std::string> messages;
        std::vector<uint64_t> waiting;
        Restore(ctx.Port(error), ctx.state_dir, false, messages, waiting);
        for (const std::string& m : messages) fprintf(stderr, "nimbrelctl: %s\n", m.c_str());
    });
}

void AddUnlink(CLI::App& app, Context& ctx) {
    auto* sub =
        app.add_subcommand("unlink", "stop synchronising and forget the server (folders are kept for the next link)");
    auto as_json = std::make_shared<bool>(false);
    sub->add_flag("--json", *as_json, "print the daemon's reply as JSON");
    sub->callback([&ctx, as_json] {
        ctx.exit_code = WithState(ctx, [&](int port, UiState& state) {
            PObject request, reply;
            std::string error;
            request["action"] = "unlink";
            if (Exchange(port, request, reply, error) != 0) return Fail("cannot unlink: " + error);
            state.linked = false;
            state.link = LinkRecord();
            if (Save(ctx, state) != 0) return 1;
            Done(*as_json, "unlinked; the folders come back with the next 'nimbrelctl link'", PObjectToJson(reply));
            return 0;
        });
    });
}

void AddAdd(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("add", "synchronise a folder with a view of the server, and remember it");
    struct Args {
        std::string folder, remote_path;
        uint64_t view = 1;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    sub->add_option("folder", a->folder, "the local folder (it must exist)")->required();
    sub->add_option("--view", a->view, "the server's view (default 1)");
    sub->add_option("--remote-path", a->remote_path, "the path on the server, for display");
    sub->add_flag("--json", a->json, "print the folder as JSON");
    sub->callback([&ctx, a] {
        ctx.exit_code = WithState(ctx, [&](int port, UiState& state) {
            const std::string folder = Canonical(a->folder);
            struct stat st;
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return Fail("cannot add " + a->folder + ": no such folder");
            }
            if (!state.linked) return Fail("no server linked: 'nimbrelctl link HOST:PORT --session ACCOUNT' first");
            for (const FolderRecord& f : state.folders) {
                if (f.path == folder)
                    return Fail(folder + " is synchronised already (folder " + std::to_string(f.id) + ")");
                if (Inside(folder, f.path) || Inside(f.path, folder)) {
                    return Fail("cannot add " + folder + ": it overlaps " + f.path + " (folder " +
                                std::to_string(f.id) + ")");
                }
            }
            if (Inside(ctx.state_dir, folder)) {
                return Fail("cannot add " + folder + ": the state folder " + ctx.state_dir + " lies inside it");
            }
            FolderRecord record;
            record.id = AllocateFolderId(ctx.state_dir, state);
            record.path = folder;
            record.view = a->view;
            record.remote_path = a->remote_path;
            // The id is spent whatever happens below: it is never given to another folder.
            if (Save(ctx, state) != 0) return 1;
            std::string error;
            if (!AddRemembered(port, ctx.state_dir, record, error)) return Fail("cannot add " + folder + ": " + error);
            state.folders.push_back(record);
            if (Save(ctx, state) != 0) return 1;
            Done(a->json,
                 "synchronising " + folder + " with view " + std::to_string(record.view) + " (folder " +
                     std::to_string(record.id) + ")",
                 FolderJson(record));
            return 0;
        });
    });
}

// FOLDER or ID to the remembered folder; nullptr with error when none matches.
FolderRecord* Resolve(UiState& state, const std::string& target, std::string& error) {
    FolderRecord* f = IsNumber(target) ? state.Find(std::strtoull(target.c_str(), nullptr, 10)) : nullptr;
    if (f == nullptr) f = state.FindPath(Canonical(target));
    if (f == nullptr) f = state.FindPath(Absolute(target));
    if (f == nullptr) error = "no folder " + target + " is synchronised (see nimbrelctl list)";
    return f;
}

void AddRemove(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("remove", "stop synchronising a folder (its files stay) and forget it");
    auto a = std::make_shared<FolderArgs>();
    sub->add_option("folder", a->target, "FOLDER or its ID")->required();
    sub->add_flag("--json", a->json, "print the folder as JSON");
    sub->callback([&ctx, a] {
        ctx.exit_code = WithState(ctx, [&](int port, UiState& state) {
            std::string error;
            FolderRecord* f = Resolve(state, a->target, error);
            if (f == nullptr) return Fail(error);
            const FolderRecord removed = *f;
            PObject request, reply;
            request["action"] = "pause";
            request["session_id"] = removed.id;
            if (Exchange(port, request, reply, error) != 0) return Fail("cannot pause " + removed.path + ": " + error);
            request["action"] = "remove_session";
            // A folder the daemon does not hold (it was missing at the start) is only forgotten.
            if (Exchange(port, request, reply, error) != 0 && reply["error"].asString() != "Invalid session.") {
                return Fail("cannot remove " + removed.path + ": " + error);
            }
            state.folders.erase(state.folders.begin() + (f - state.folders.data()));
            if (Save(ctx, state) != 0) return 1;
            Done(a->json, "no longer synchronising " + removed.path + " (its files stay)", FolderJson(removed));
            return 0;
        });
    });
}

void AddPauseResume(CLI::App& app, Context& ctx, bool pause) {
    auto* sub = app.add_subcommand(pause ? "pause" : "resume",
                                   pause ? "pause a folder, or every folder" : "resume a folder, or every folder");
    auto a = std::make_shared<FolderArgs>();
    sub->add_option("folder", a->target, "FOLDER or its ID (default: every folder)");
    sub->add_flag("--json", a->json, "print the daemon's reply as JSON");
    sub->callback([&ctx, a, pause] {
        ctx.exit_code = WithState(ctx, [&](int port, UiState& state) {
            PObject request, reply;
            request["action"] = pause ? "pause" : "resume";
            std::string error, what = "every folder";
            FolderRecord* f = nullptr;
            if (!a->target.empty()) {
                f = Resolve(state, a->target, error);
                if (f == nullptr && !IsNumber(a->target)) return Fail(error);
                request["session_id"] = f != nullptr ? f->id : std::strtoull(a->target.c_str(), nullptr, 10);
                what = f != nullptr ? f->path : "session " + a->target;
            }
            if (Exchange(port, request, reply, error) != 0) {
                return Fail(std::string("cannot ") + (pause ? "pause " : "resume ") + what + ": " + error);
            }
            for (FolderRecord& r : state.folders) {
                if (f == nullptr ? a->target.empty() : &r == f) r.paused = pause;
            }
            if (Save(ctx, state) != 0) return 1;
            Done(a->json, (pause ? "paused " : "resumed ") + what, PObjectToJson(reply));
            return 0;
        });
    });
}

void AddList(CLI::App& app, Context& ctx) {
    auto* sub = app.add_subcommand("list", "the remembered server and folders");
    auto as_json = std::make_shared<bool>(false);
    sub->add_flag("--json", *as_json, "as JSON");
    sub->callback([&ctx, as_json] {
        UiState state;
        std::string error;
        {
            UiStateLock lock(ctx.state_dir);
            if (!lock.ok()) {
                ctx.exit_code = Fail(lock.error());
                return;
            }
            if (!LoadUiState(ctx.state_dir, state, error)) {
                ctx.exit_code = Fail(error);
                return;
            }
        }
        if (*as_json) {
            json out = {{"folders", json::array()}};
            // The account is a secret: never printed.
            if (state.linked) out["server"] = state.link.host + ":" + std::to_string(state.link.port);
            for (const FolderRecord& f : state.folders) out["folders"].push_back(FolderJson(f));
            Done(true, "", out);
            return;
        }
        printf("server: %s\n", state.linked ? (state.link.host + ":" + std::to_string(state.link.port) +
                                               (state.link.fingerprint.empty() ? " (no SSL)" : " (SSL, pinned)"))
                                                  .c_str()
                                            : "none (nimbrelctl link HOST:PORT --session ACCOUNT)");
        if (state.folders.empty()) printf("no folders (nimbrelctl add FOLDER)\n");
        for (const FolderRecord& f : state.folders) {
            printf("%-4llu %s  view %llu%s%s\n", static_cast<unsigned long long>(f.id), f.path.c_str(),
                   static_cast<unsigned long long>(f.view), f.paused ? ", paused" : "",
                   f.synced ? "" : ", first synchronisation not completed");
        }
        fflush(stdout);
    });
}

}  // namespace

void AddFolderCommands(CLI::App& app, Context& ctx) {
    AddLink(app, ctx);
    AddUnlink(app, ctx);
    AddAdd(app, ctx);
    AddRemove(app, ctx);
    AddPauseResume(app, ctx, true);
    AddPauseResume(app, ctx, false);
    AddList(app, ctx);
}

}  // namespace nimbrelctl
