// The folders and files of one session, in one place: the working directory and its
// recycle folder inside the local folder, and the databases and filter files inside
// the configuration folder.
#pragma once

#include "foundation/ustring.h"

namespace session_folders {

constexpr const char* kWorkingDirectory = ".VarnelWorkingDirectory";
constexpr const char* kRecycleFolder = "#VarnelRecycle";
// The same two, relative to the session's root (for SessionRoot).
constexpr const char* kRelWorkingDirectory = "/.VarnelWorkingDirectory";
constexpr const char* kRelRecycleFolder = "/.VarnelWorkingDirectory/#VarnelRecycle";

// local_path + "/.VarnelWorkingDirectory"
inline ustring WorkingDirectory(const ustring& local_path) { return local_path + "/" + kWorkingDirectory; }
// local_path + "/.VarnelWorkingDirectory/#VarnelRecycle"
inline ustring RecycleFolder(const ustring& local_path) { return WorkingDirectory(local_path) + "/" + kRecycleFolder; }
// config_path + "/db/event-db.sqlite"
inline ustring EventDBFile(const ustring& config_path) { return config_path + "/db/event-db.sqlite"; }
// config_path + "/db/sign", where the signatures are kept
inline ustring SignFolder(const ustring& config_path) { return config_path + "/db/sign"; }
// config_path + "/conf/blacklist.filter"
inline ustring BlackListFile(const ustring& config_path) { return config_path + "/conf/blacklist.filter"; }
// config_path + "/conf/whitelist.filter"
inline ustring WhiteListFile(const ustring& config_path) { return config_path + "/conf/whitelist.filter"; }

}  // namespace session_folders
