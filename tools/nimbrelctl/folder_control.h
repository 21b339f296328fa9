// The control requests behind the plain commands (link, add, remove, pause, ...), shared
// by the commands and by "nimbrelctl daemon", which re-links and re-adds the remembered
// folders at every start.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "ui_state.h"
#include "wire/object.h"

namespace nimbrelctl {

// The refusal in a reply, in plain words: its "reason" when there is one, else its
// "error" text; empty when the reply carries no "error".
std::string RefusalOf(const PObject& reply);

// One exchange: 0 with the reply; 1 when the daemon refused (error says why, the reply
// is kept); -1 when the daemon could not be reached (error says why).
int Exchange(int port, const PObject& request, PObject& reply, std::string& error);

// The request for a link record ("link_connection").
PObject LinkConnectionRequest(const LinkRecord& link);
// "add_session" for a folder. The first add of a folder merges (what is missing locally
// is fetched); a folder that completed a first pass is added with "sync_mode", so what
// the user removed while the daemon was stopped is removed on the server too.
PObject AddSessionRequest(const std::string& state_dir, const FolderRecord& folder);

// The session ids the daemon lists; false with error when it cannot be asked.
bool RegisteredIds(int port, std::set<uint64_t>& ids, std::string& error);

// Links the daemon to the remembered server (when link is true) and adds every
// remembered folder that the daemon does not list yet and whose path exists (resuming
// those not paused). Lines for the user go to messages; the ids of folders whose path
// is missing go to waiting, those the daemon refused to failed; folders in skip are
// not tried. false when the daemon could not be linked.
bool Restore(int port, const std::string& state_dir, bool link, std::vector<std::string>& messages,
             std::vector<uint64_t>& waiting, std::set<uint64_t>* failed = nullptr, const std::set<uint64_t>& skip = {});
// What "nimbrelctl daemon" does every few seconds: remembers that a folder the daemon
// reports up to date has completed its first pass, and adds remembered folders that
// are back (or new). Each message goes to the standard error once (said keeps them). A
// folder the daemon refused is not tried again (failed keeps them): each try would
// clear its working directory and log the refusal; a restart, or remove and add, does.
void Tend(int port, const std::string& state_dir, std::set<std::string>& said, std::set<uint64_t>& failed);

// Adds one remembered folder and resumes it unless paused; false with error.
bool AddRemembered(int port, const std::string& state_dir, const FolderRecord& folder, std::string& error);

}  // namespace nimbrelctl
