#include "daemon/process_entry.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "daemon/ack_only_app.h"
#include "daemon/app.h"
#include "daemon/control_loop.h"
#include "daemon/ipc_listener.h"
#include "daemon/ipc_sender.h"
#include "foundation/logger.h"
#include "foundation/settings.h"
#include "foundation/ustring.h"
#include "platform/make_dirs.h"

namespace {

const char* const kLog = "client_debug";
constexpr int kDefaultUIPort = 1024;
// The configuration path, terminator included, must fit this many UTF-16 units.
constexpr uint32_t kMaxPathUnits = 8192;

// The SSL library keeps its own locks since version 1.1; loading its error strings
// and initialising it once, before any other thread exists, is all that is left.
void PrepareCryptoLibrary() {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

void PrintUsage() {
    static const char* const kLines[] = {
        "* Controling application: ",
        "    Control <action>",
        "",
        "* Controling session: ",
        "    ControlSession <action> <session_id> ",
        "",
        "* Supported actions: ",
        "    stop",
        "    link",
        "    unlink",
        "    pause",
        "    resume",
        "    reload_setting",
        "    reload_session",
        "    add_session",
        "    remove_session",
        "",
    };
    for (const char* line : kLines) std::cout << line << std::endl;
}

// The configuration path as text; false when it yields no characters (empty, not
// valid UTF-8, or too long for the path buffer).
bool ConvertConfigPath(const char* arg, ustring& out) {
    ustring path(arg);
    if (path.empty() || !ustring::is_valid(path)) return false;
    const char16_t* wide = path.c_str();
    uint32_t units = 0;
    while (wide[units] != 0) ++units;
    if (units + 1 > kMaxPathUnits) return false;
    out = path;
    return true;
}

}  // namespace

int DaemonMain(int argc, char** argv) { return DaemonMain(argc, argv, &NimbrelControlApp::Create); }

int DaemonMain(int argc, char** argv, ControlAppFactory factory) {
    if (argc >= 4) return -1;

    // Shutdown order and socket start-up need nothing here. A peer that goes away
    // while we write must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGTERM (also sent when the UI that started us dies): stop in order, as "stop".
    std::signal(SIGTERM, [](int) { RequestStop(); });
    std::setlocale(LC_ALL, "");
    PrepareCryptoLibrary();

    int ui_port = kDefaultUIPort;
    Settings& settings = Settings::getInstance();
    std::vector<std::string> unknown_keys;
    if (argc >= 2) {
        ustring config_path;
        if (!ConvertConfigPath(argv[1], config_path)) return -1;
        // Starting on every default instead (paths in /tmp and /var/log) would hide the
        // user's settings and databases without a word.
        std::string why;
        if (!settings.loadConfigSettings(config_path, &why, &unknown_keys)) {
            std::fprintf(stderr, "nimbreld: cannot use the configuration %s: %s\n", argv[1], why.c_str());
            return -1;
        }
    }
    if (argc >= 3) ui_port = std::atoi(argv[2]);

    ustring log_path = settings.getLogFilePath();
    ustring level_path = settings.getLogLevelFilePath();
    // The default places lie in the user's state folder, which may not exist yet: made
    // private to the user. A configured path elsewhere must exist as it is.
    const std::string state = UserStateDir() + "/";
    for (const ustring& file : {log_path, settings.getFStatDbPath(), settings.getFilterDbPath()}) {
        const std::string path = file.str();
        const size_t slash = path.rfind('/');
        if (path.compare(0, state.size(), state) == 0 && slash >= state.size() - 1)
            (void)MakePrivateDir(path.substr(0, slash));
    }
    if (!Logger::Initialize(Logger::FILE_LOGGER, log_path, level_path, 50)) {
        std::fprintf(stderr, "Nimbrel: client is not enabled %s %s\n", log_path.c_str_utf8(), level_path.c_str_utf8());
        return -1;
    }

    for (const std::string& key : unknown_keys)
        NLOG_AT(L_WARNING, "client_debug", "main.cpp", "%s: unknown key '%s' ignored\n", argv[1], key.c_str());
    ustring rejected = settings.getRejectedWorkerCount();
    if (!rejected.empty())
        NLOG_AT(L_WARNING, "client_debug", "main.cpp", "worker_count '%s' is outside %u..%u; using %u\n",
                rejected.c_str_utf8(), Settings::kMinWorkers, Settings::kMaxWorkers, settings.getWorkerCount());

    PrintUsage();

    std::unique_ptr<ControlApp> app = factory();
    if (!app || app->run() != AppResult::kOk) {
        // Without its request thread the application could never answer.
        std::fprintf(stderr, "Nimbrel: the application could not start\n");
        return 1;
    }

    {
        IPCListener listener;
        int local_port = listener.prepare(ui_port == INT_MAX ? INT_MAX : ui_port + 1);
        if (local_port < 0) {
            NLOG_AT(L_ERR, kLog, "test.cpp", "failed to listen on port local_port.\n");
        } else {
            auto sender = std::make_unique<IPCSender>();
            PObject announcement;
            if (sender->connect(ui_port) != 0) {
                NLOG_AT(L_ERR, kLog, "test.cpp", "Failed to connect to port : %d\n", ui_port);
            } else {
                announcement["daemon_port"] = local_port;
                if (sender->send(announcement) != 0)
                    NLOG_AT(L_ERR, kLog, "test.cpp", "Failed to send message.\n");
                else
                    RunControlLoop(listener, *app);  // the sender stays connected, idle, until shutdown
            }
            listener.close();
            announcement.clear();
            sender.reset();
        }
        listener.close();
    }
    app->kill();
    app.reset();
    return 0;
}
