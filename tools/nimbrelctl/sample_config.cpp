#include "sample_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/make_dirs.h"
#include "port_state.h"

namespace nimbrelctl {
namespace {

// A configuration value holding path: in double quotes, in single quotes when the path
// holds a double quote; "" when neither works (values have no escapes).
std::string Quote(const std::string& path) {
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F) return std::string();
    }
    if (path.find('"') == std::string::npos) return '"' + path + '"';
    if (path.find('\'') == std::string::npos) return '\'' + path + '\'';
    return std::string();
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// 1 when written, 0 when the file was there already, -1 with error.
int WriteIfAbsent(const std::string& path, const std::string& content, std::string& error) {
    if (!MakeDirs(Parent(path), 0700)) {
        error = "cannot make the folder of " + path + ": " + strerror(errno);
        return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return 0;
        error = "cannot write " + path + ": " + strerror(errno);
        return -1;
    }
    const ssize_t n = write(fd, content.data(), content.size());
    const int write_err = n < 0 ? errno : ENOSPC;
    if (close(fd) != 0 || n != static_cast<ssize_t>(content.size())) {
        error = "cannot write " + path + ": " + strerror(write_err);
        unlink(path.c_str());  // no half file that a later start would take as the user's
        return -1;
    }
    return 1;
}

const char kSystemFilter[] =
    "# Names that are never synchronised, for every session.\n"
    "[Version]\n"
    "major = 1\n"
    "minor = 0\n"
    "\n"
    "[Common]\n"
    "black_name = \".VarnelWorkingDirectory\"\n"
    "\n"
    "[File]\n"
    "black_ext = \"tmp\"\n";

// Log levels: 6 (INFO) says what was uploaded, downloaded, removed and renamed in a
// conflict; 7 (DEBUG) is for finding faults. One line per channel overrides the default.
const char kLogLevels[] =
    "# Log levels: 4 warnings and errors, 6 also what was synchronised, 7 debugging.\n"
    "default_component = 6\n"
    "# One channel at another level, e.g. the control requests at debug:\n"
    "#client_debug = 7\n";

std::string SampleConfig(const std::string& state_dir) {
    static const char* const kPaths[][2] = {
        {"fstat_db_path", "file-status.sqlite"},
        {"filter_db_path", "filter.sqlite"},
        {"system_filter_path", "system.filter"},
        {"db_path", "db.sqlite"},
        {"pid_file_path", "nimbreld.pid"},
        {"log_file_path", "log/nimbreld.log"},
        {"log_level_file_path", "log/nimbreld.debug"},
    };
    std::string text = "# Nimbrel daemon settings (key = value; quote values that hold blanks).\n";
    for (const auto& [key, name] : kPaths) text += std::string(key) + " = " + Quote(state_dir + "/" + name) + "\n";
    return text +
           "worker_count = 3\n"
           "# Removed and replaced files stay in each folder's recycle folder this long\n"
           "# (seconds; see 'nimbrelctl recycle list'); with a cap in bytes the oldest go first.\n"
           "recycle_keep_seconds = 1800\n"
           "#recycle_max_bytes = 1073741824\n"
           "# ui_port is where notifications go; nimbrelctl picks a free port when it is unset.\n"
           "# A relay tunnel (\"use_tunnel\" in link_connection) needs the relay's token key; there\n"
           "# is no built-in key, so these must match the relay's (no default):\n"
           "#relay_key_multiplier = 0x41C64E6D\n"
           "#relay_key_increment = 12345\n"
           "#relay_iv = 0123456789abcdef\n"
           "# The relay's name in its handshake; default: the relay's \"tunnel_ip:tunnel_port\".\n"
           "#relay_host = relay.example.net\n";
}

}  // namespace

int InitConfig(const std::string& config_arg, const std::string& state_arg, std::string& error) {
    const std::string config = Absolute(config_arg);
    const std::string state_dir = Absolute(state_arg);
    if (config.empty() || state_dir.empty()) {
        error = "init-config needs a configuration file and a state folder";
        return -1;
    }
    // Every path the sample names quotes alike; the longest stands for them all.
    if (Quote(state_dir + "/log/nimbreld.debug").empty()) {
        error = "the state folder " + state_dir +
                " cannot be written into a configuration (it holds both quote characters or a control character)";
        return -1;
    }
    if (!MakePrivateDir(state_dir) || !MakePrivateDir(state_dir + "/log")) {
        error = "cannot make the state folder " + state_dir + "/log: " + strerror(errno);
        return -1;
    }
    const int wrote = WriteIfAbsent(config, SampleConfig(state_dir), error);
    if (wrote < 0) return -1;
    if (wrote == 1) fprintf(stderr, "nimbrelctl: wrote a sample configuration to %s\n", config.c_str());
    if (WriteIfAbsent(state_dir + "/system.filter", kSystemFilter, error) < 0) return -1;
    if (WriteIfAbsent(state_dir + "/log/nimbreld.debug", kLogLevels, error) < 0) return -1;
    return 0;
}

}  // namespace nimbrelctl
