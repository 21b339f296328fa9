// The control requests behind the plain commands (link, add, remove, pause, ...), shared
// by the commands and by "nimbrelctl daemon", which re-links and re-adds the remembered
// folders at every start.
#pragma once

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

// Links the daemon to the remembered server and adds every remembered folder whose
// path exists (resuming those not paused). Lines for the user go to messages; ids of
// folders that could not be added because their path is missing go to waiting.
void Restore(int port, const std::string& state_dir, std::vector<std::string>& messages,
             std::vector<uint64_t>& waiting);
// Adds one remembered folder and resumes it unless paused; false with error.
bool AddRemembered(int port, const std::string& state_dir, const FolderRecord& folder, std::string& error);

}  // namespace nimbrelctl
