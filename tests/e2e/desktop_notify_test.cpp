// Desktop notices of "nimbrelctl daemon --desktop-notify", with a stand-in
// notify-send found on PATH: errors and conflicts only, one per folder a minute,
// what was held back counted into the next.
#include "desktop_notify.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "e2e/e2e_support.h"

using nlohmann::json;

TEST(DesktopNotify, ErrorsAndConflictsAtMostOncePerFolderAMinute) {
    e2e::TempDir dir;
    const std::string log = dir.file("shown");
    e2e::WriteFile(dir.file("notify-send"), "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log + "'\n");
    ASSERT_EQ(chmod(dir.file("notify-send").c_str(), 0755), 0);
    const std::string old_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);

    nimbrelctl::DesktopNotifier notifier;
    const json conflict = {{"notify", "conflict"},
                           {"session_id", 1},
                           {"path", "/s/a_X_Conflict.txt"},
                           {"original", "/s/a.txt"},
                           {"reason", "changed here and on the server"}};
    const json error1 = {{"notify", "error"}, {"session_id", 1}, {"error_type", -5}};
    const json error2 = {{"notify", "error"}, {"session_id", 2}, {"error_type", -5}};
    EXPECT_FALSE(notifier.Offer({{"notify", "recent_file"}, {"session_id", 1}}, 0));
    EXPECT_TRUE(notifier.Offer(conflict, 0));
    EXPECT_FALSE(notifier.Offer(error1, 30));  // the same folder within the minute
    EXPECT_FALSE(notifier.Offer(conflict, 59));
    EXPECT_TRUE(notifier.Offer(error2, 30));  // another folder
    EXPECT_TRUE(notifier.Offer(error1, 60));
    setenv("PATH", old_path.c_str(), 1);

    std::string shown;
    for (int i = 0; i < 100 && std::count(shown.begin(), shown.end(), '\n') < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown = e2e::ReadFile(log);
    }
    EXPECT_NE(shown.find("conflict copy made /s/a_X_Conflict.txt keeps your version of /s/a.txt"), std::string::npos)
        << shown;
    EXPECT_NE(shown.find("session 2: "), std::string::npos) << shown;
    EXPECT_NE(shown.find("(-5) (and 2 more since the last notice)"), std::string::npos) << shown;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 3) << shown;
}
