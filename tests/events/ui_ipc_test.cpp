#include "events/ui_ipc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "events_test_util.h"
#include "foundation/logger.h"
#include "ui_listener.h"

using events_test::Ev;
using events_test::UIListener;

namespace {

class UIIPCTest : public ::testing::Test {
protected:
    void SetUp() override { events_test::SetUIPort(ui.Port()); }
    void TearDown() override { Settings::getInstance().reset(); }
    UIListener ui;
};

}  // namespace

TEST_F(UIIPCTest, SessionAndConnectionErrors) {
    ASSERT_EQ(0, UI_IPC::ReportSessionErrorToUI(7, -17));
    ASSERT_EQ(0, UI_IPC::ReportConnectionErrorToUI(-3, -9));
    ASSERT_TRUE(ui.WaitFor(2));
    auto v = ui.Values();
    // connections are separate; order of arrival is what the sends did here (one thread)
    const PObject& s = v[0];
    EXPECT_EQ("error", s["notify"].asString().str());
    EXPECT_EQ(7u, s["session_id"].asUInt64());
    EXPECT_EQ(-17, s["error_type"].asInt32());
    EXPECT_FALSE(s.hasMember("connection_id"));
    EXPECT_EQ(3u, s.asMap().size());

    const PObject& c = v[1];
    EXPECT_EQ("error", c["notify"].asString().str());
    EXPECT_EQ(-3, c["connection_id"].asInt32());
    EXPECT_EQ(-9, c["error_type"].asInt32());
    EXPECT_FALSE(c.hasMember("session_id"));
}

TEST_F(UIIPCTest, LockedFileCarriesNestedError) {
    Event e = Ev(Event::EV_MODIFY, "/docs/a.txt", 0, 0, 12);
    ASSERT_EQ(0, UI_IPC::ReportFileLockedEventToUI(e, -23));
    ASSERT_TRUE(ui.WaitFor(1));
    PObject m = ui.Values()[0];
    EXPECT_EQ("locked_file", m["notify"].asString().str());
    EXPECT_EQ(12u, m["session_id"].asUInt64());
    EXPECT_EQ("/docs/a.txt", m["path"].asString().str());
    EXPECT_TRUE(m["is_dir"].isInteger());
    EXPECT_FALSE(m["is_dir"].asBool());
    ASSERT_TRUE(m["error"].isMap());
    EXPECT_EQ("file locked", m["error"]["reason"].asString().str());
    EXPECT_EQ(-23, m["error"]["code"].asInt32());
    EXPECT_FALSE(m.hasMember("event_type"));
}

TEST_F(UIIPCTest, RecentAndSyncingFiles) {
    ASSERT_EQ(0, UI_IPC::ReportFileEventToUI(Ev(Event::EV_REMOVE, "/dir", Event::F_DIR, 0, 3)));
    ASSERT_TRUE(ui.WaitFor(1));
    ASSERT_EQ(0, UI_IPC::ReportFileSyncingEventToUI(Ev(Event::EV_CREATE, "/f", Event::F_SERVER, 9, 4)));
    ASSERT_TRUE(ui.WaitFor(2));
    auto v = ui.Values();
    EXPECT_EQ("recent_file", v[0]["notify"].asString().str());
    EXPECT_TRUE(v[0]["is_dir"].asBool());
    EXPECT_EQ(2, v[0]["event_type"].asInt32());
    EXPECT_EQ(3u, v[0]["session_id"].asUInt64());
    EXPECT_EQ("syncing_file", v[1]["notify"].asString().str());
    EXPECT_FALSE(v[1]["is_dir"].asBool());
    EXPECT_EQ(1, v[1]["event_type"].asInt32());
    EXPECT_EQ("/f", v[1]["path"].asString().str());
}

TEST(UIIPCNoListener, EveryNotificationFails) {
    events_test::SetUIPort(events_test::DeadPort());
    Event e = Ev(Event::EV_MODIFY, "/a");
    EXPECT_EQ(-1, UI_IPC::ReportSessionErrorToUI(1, -2));
    EXPECT_EQ(-1, UI_IPC::ReportConnectionErrorToUI(1, -2));
    EXPECT_EQ(-1, UI_IPC::ReportFileLockedEventToUI(e, -23));
    EXPECT_EQ(-1, UI_IPC::ReportFileEventToUI(e));
    EXPECT_EQ(-1, UI_IPC::ReportFileSyncingEventToUI(e));
    Settings::getInstance().reset();
}

// A full queue drops the oldest "syncing_file" notice for each new one, never another
// kind; the drop count is logged once the queue drains; Stop sends what was queued.
TEST_F(UIIPCTest, FullNotifierQueueDropsOnlySupersededSyncingNotices) {
    namespace fs = std::filesystem;
    const fs::path log = fs::temp_directory_path() / ("nimbrel-notifier-" + std::to_string(getpid()) + ".log");
    fs::remove(log);
    ASSERT_TRUE(Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), ustring(), 1));
    UiNotifier& n = UiNotifier::getInstance();
    ASSERT_TRUE(n.Start(4));
    n.SetHeld(true);
    const uint64_t dropped_before = n.DroppedCount();
    auto syncing = [](const char* p) { return UI_IPC::ReportFileSyncingEventToUI(Ev(Event::EV_MODIFY, p, 0, 0, 1)); };
    ASSERT_EQ(0, syncing("/a"));
    ASSERT_EQ(0, UI_IPC::ReportSessionErrorToUI(1, -5));
    ASSERT_EQ(0, syncing("/b"));
    ASSERT_EQ(0, syncing("/c"));                                                     // full
    ASSERT_EQ(0, UI_IPC::ReportFileEventToUI(Ev(Event::EV_CREATE, "/r", 0, 0, 1)));  // grows
    ASSERT_EQ(0, syncing("/d"));                                                     // drops /a
    ASSERT_EQ(0, UI_IPC::ReportFileLockedEventToUI(Ev(Event::EV_MODIFY, "/l", 0, 0, 1), -23));
    ASSERT_EQ(0, UI_IPC::ReportConnectionErrorToUI(3, -9));
    ASSERT_EQ(0, syncing("/e"));  // drops /b
    EXPECT_EQ(2u, n.DroppedCount() - dropped_before);
    n.SetHeld(false);
    n.Drain();
    ASSERT_EQ(0, syncing("/after"));  // a clean stop still sends what was queued before it
    n.Stop();
    ASSERT_TRUE(ui.WaitFor(8));
    std::vector<std::string> got;
    for (const PObject& v : ui.Values())
        got.push_back(v["notify"].asString().str() + " " +
                      (v.hasMember("path") ? v["path"].asString().str() : std::to_string(v["error_type"].asInt32())));
    EXPECT_EQ(got, (std::vector<std::string>{"error -5", "syncing_file /c", "recent_file /r", "syncing_file /d",
                                             "locked_file /l", "error -9", "syncing_file /e", "syncing_file /after"}));
    // Stopped: the caller's thread sends again, and the result says whether it arrived.
    ASSERT_EQ(0, syncing("/sync"));
    ASSERT_TRUE(ui.WaitFor(9));
    Logger::Destroy();
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("2 syncing_file notices dropped: the UI queue was full"), std::string::npos) << text;
    fs::remove(log);
}

// A UI that reads several values per connection gets every notice over one connection.
TEST_F(UIIPCTest, NoticesShareOneKeptConnectionWhenTheUiReadsSeveralValues) {
    events_test::SetUIPort(ui.Port(), true);
    UiNotifier& n = UiNotifier::getInstance();
    ASSERT_TRUE(n.Start());
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0, UI_IPC::ReportFileEventToUI(Ev(Event::EV_CREATE, ("/f" + std::to_string(i)).c_str(), 0, 0, 1)));
    ASSERT_EQ(0, UI_IPC::ReportSessionErrorToUI(1, -5));
    n.Drain();
    n.Stop();  // closes the connection, so the listener takes the next one
    ASSERT_TRUE(ui.WaitFor(101));
    const std::vector<PObject> got = ui.Values();
    EXPECT_EQ(ui.connections.load(), 1u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i]["path"].asString().str(), "/f" + std::to_string(i));
    EXPECT_EQ(got[100]["notify"].asString().str(), "error");
}

// Past the rate, "recent_file" notices are counted per session and summed up once
// their second is over; other notices are never held back.
TEST(RecentLimiter, HoldsBackPastTheRateAndSumsUpPerSession) {
    RecentLimiter limit(3);
    const auto t0 = RecentLimiter::Clock::now();
    UiNotice recent = UiNotice::FromEvent(UiNotice::RECENT_FILE, Ev(Event::EV_CREATE, "/a", 0, 0, 1));
    UiNotice other = UiNotice::FromEvent(UiNotice::RECENT_FILE, Ev(Event::EV_CREATE, "/b", 0, 0, 2));
    UiNotice error;
    error.kind = UiNotice::SESSION_ERROR;
    std::vector<bool> held;
    for (int i = 0; i < 5; ++i) held.push_back(limit.Take(recent, t0));
    held.push_back(limit.Take(other, t0));
    held.push_back(limit.Take(error, t0));
    EXPECT_EQ(held, (std::vector<bool>{false, false, false, true, true, true, false}));
    EXPECT_FALSE(limit.WindowOver(t0 + std::chrono::milliseconds(500)));
    EXPECT_TRUE(limit.WindowOver(t0 + std::chrono::seconds(1)));
    std::vector<std::string> sums;
    for (const UiNotice& s : limit.TakeSummaries()) sums.push_back(s.Message().toString().str());
    EXPECT_EQ(sums.size(), 2u);
    EXPECT_NE(sums[0].find("recent_files"), std::string::npos);
    EXPECT_EQ(limit.TakeSummaries().size(), 0u);
    EXPECT_FALSE(limit.Take(recent, t0 + std::chrono::seconds(1)));  // a new second
}
