// nimbreld: the folder-synchronisation daemon.
#include "daemon/process_entry.h"

int main(int argc, char** argv) { return DaemonMain(argc, argv); }
