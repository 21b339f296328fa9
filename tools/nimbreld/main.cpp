// nimbreld: the folder-synchronisation daemon.
#include <cstdio>
#include <cstring>

#include "daemon/process_entry.h"

namespace {

const char kHelp[] =
    "Usage: nimbreld [CONFIG [UI_PORT]]\n"
    "       nimbreld --help\n"
    "The Nimbrel folder-synchronisation daemon. It reads the configuration file CONFIG\n"
    "(key = value lines; without it every setting keeps its default), announces its\n"
    "loopback control port as {\"daemon_port\":N} to the UI on 127.0.0.1:UI_PORT\n"
    "(default 1024), listens on the first free port above UI_PORT, and serves one\n"
    "control request at a time until \"stop\". It is normally started by\n"
    "'nimbrelctl daemon', which plays the UI.\n"
    "Files: the configuration names them: the databases (fstat_db_path, filter_db_path),\n"
    "the system filter (system_filter_path), the log (log_file_path) and the log level\n"
    "file (log_level_file_path).\n";

}  // namespace

int main(int argc, char** argv) {
    // Only the lone option: any other first argument is the configuration path.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    return DaemonMain(argc, argv);
}
