#include "watch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "control_client.h"
#include "json_convert.h"
#include "status_view.h"

namespace nimbrelctl {
namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

size_t TerminalWidth() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col - 1;
    return 79;
}

// Follows a file of JSON lines from where it ended when first opened; a file that
// does not exist yet is looked for again at every read.
class LineFollower {
public:
    explicit LineFollower(std::string path) : path(std::move(path)) { Open(true); }
    ~LineFollower() {
        if (fd >= 0) close(fd);
    }

    template <typename Fn>
    void ReadNew(Fn&& take) {
        if (fd < 0 && !Open(false)) return;
        char buf[8192];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            partial.append(buf, static_cast<size_t>(n));
            size_t start = 0, end;
            while ((end = partial.find('\n', start)) != std::string::npos) {
                take(partial.substr(start, end - start));
                start = end + 1;
            }
            partial.erase(0, start);
            // A line this long is not a notification; do not hold it.
            if (partial.size() > (1u << 20)) partial.clear();
        }
    }

private:
    bool Open(bool at_end) {
        if (path.empty()) return false;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return false;
        if (at_end) lseek(fd, 0, SEEK_END);
        return true;
    }

    std::string path;
    int fd = -1;
    std::string partial;
};

}  // namespace

int RunWatch(const WatchOptions& options) {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const bool redraw = !options.json && isatty(STDOUT_FILENO);
    LineFollower notes(options.notifications);
    WatchView view;
    PObject request;
    request["action"] = "get_status";
    size_t drawn = 0;
    std::string last_json;

    for (unsigned polls = 0; !g_stop && (options.count == 0 || polls < options.count); ++polls) {
        if (polls > 0) {
            // Short steps, so an interrupt ends the wait at once.
            const double until = Now() + options.interval_ms / 1000.0;
            while (!g_stop && Now() < until) poll(nullptr, 0, 50);
            if (g_stop) break;
        }
        notes.ReadNew([&view](const std::string& line) {
            nlohmann::json note = nlohmann::json::parse(line, nullptr, false);
            if (!note.is_discarded()) view.Notify(note);
        });
        PObject reply;
        std::string error;
        if (SendControl(options.port, request, &reply, error) != 0) {
            if (redraw && drawn > 0) fputc('\n', stdout);
            fflush(stdout);
            fprintf(stderr, "nimbrelctl: watch: %s\n", error.c_str());
            return 1;
        }
        view.Update(PObjectToJson(reply), Now());

        if (redraw) {
            const std::vector<std::string> lines = view.Lines(TerminalWidth());
            std::string out;
            if (drawn > 0) out += "\033[" + std::to_string(drawn) + "A";
            for (const std::string& line : lines) out += "\r\033[K" + line + "\n";
            // Clears what a longer earlier drawing left below.
            out += "\033[J";
            fputs(out.c_str(), stdout);
            drawn = lines.size();
        } else {
            const std::string line = DumpLine(view.ToJson());
            if (line != last_json) printf("%s\n", line.c_str());
            last_json = line;
        }
        fflush(stdout);
    }
    return 0;
}

}  // namespace nimbrelctl
