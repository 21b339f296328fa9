// Fuzzes the daemon's settings file reader (nimbreld.conf and the log level file): the
// input is written to a file and loaded as the settings. Besides crashes and sanitizer
// reports it checks that a refused file changes no setting, that an accepted one keeps
// the worker count in its bounds, and that every key and value the reader stores is
// made of the characters a line may hold there.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/config.h"
#include "foundation/settings.h"

namespace {

std::string g_file;

bool KeyChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Every setting, as one text, so that "nothing changed" is one comparison.
std::string Snapshot() {
    Settings& s = Settings::getInstance();
    std::string out;
    for (const ustring& v :
         {s.getDbPath(), s.getFStatDbPath(), s.getFilterDbPath(), s.getSystemFilterPath(), s.getPidFilePath(),
          s.getLogFilePath(), s.getLogLevelFilePath(), s.getRejectedWorkerCount(), s.getSocketPath(),
          s.getUISocketPath(), s.getServerIp(), s.getSession(), s.getClientName(), s.getRelayHost(),
          s.getRelayKeyMultiplier(), s.getRelayKeyIncrement(), s.getRelayIV()})
        out += v.str() + '\n';
    out += std::to_string(s.getWorkerCount()) + ' ' + std::to_string(s.getUIPort()) + ' ' +
           std::to_string(s.getServerPort()) + ' ' + std::to_string(s.isDaemon()) + ' ' + std::to_string(s.useSSL());
    return out;
}

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char shm[] = "/dev/shm/nimbrel-config-fuzz-XXXXXX";
    char tmp[] = "/tmp/nimbrel-config-fuzz-XXXXXX";
    int fd = ::mkstemp(shm);
    if (fd >= 0) {
        g_file = shm;
    } else if ((fd = ::mkstemp(tmp)) >= 0) {
        g_file = tmp;
    } else {
        std::abort();
    }
    ::close(fd);
    std::atexit([] { ::unlink(g_file.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_file.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size)) std::abort();
    std::fclose(f);

    Settings& s = Settings::getInstance();
    s.reset();
    const std::string defaults = Snapshot();
    const bool loaded = s.loadConfigSettings(ustring(g_file));
    if (!loaded && Snapshot() != defaults) Fail("a refused settings file changed a setting");
    if (s.getWorkerCount() < Settings::kMinWorkers || s.getWorkerCount() > Settings::kMaxWorkers)
        Fail("worker count outside its bounds");

    // The reader underneath, as the log level file uses it.
    Config cfg;
    if (cfg.read(ustring(g_file))) {
        for (const auto& [key, value] : cfg.store) {
            for (unsigned char c : key.str())
                if (!KeyChar(c)) Fail("a stored key holds a character keys may not hold");
            for (unsigned char c : value.str())
                if (c < 0x20 || c == 0x7F) Fail("a stored value holds a control character");
            (void)Config::to_int(value);
        }
    } else if (!cfg.store.empty()) {
        Fail("a refused file left entries behind");
    }
    return 0;
}
