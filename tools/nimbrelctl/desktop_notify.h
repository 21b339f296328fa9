// Desktop notices for "nimbrelctl daemon --desktop-notify": errors and conflict
// copies reach the desktop through notify-send, at most one per folder (session) per
// interval; what is held back meanwhile is counted into the next notice.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace nimbrelctl {

class DesktopNotifier {
public:
    // program is looked up on PATH (Debian: libnotify-bin's notify-send).
    explicit DesktopNotifier(std::string program = "notify-send", double interval_seconds = 60);

    // notice is one notification as nimbrelctl prints it. "error" and "conflict" are
    // shown (others ignored) unless their folder had one less than the interval
    // before now (seconds, any monotonic clock). True when a notice was launched;
    // the program runs detached, so a desktop that does not answer never holds the
    // caller up, and its failure is not reported.
    bool Offer(const nlohmann::json& notice, double now);

    // Summary and body for a notice, or false when it is not shown at all.
    static bool Describe(const nlohmann::json& notice, std::string& key, std::string& summary, std::string& body);

private:
    struct Slot {
        double last = 0;
        bool used = false;
        unsigned held = 0;
    };
    std::string program;
    double interval;
    std::map<std::string, Slot> slots;
};

}  // namespace nimbrelctl
