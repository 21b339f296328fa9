#include "events/ui_ipc.h"

#include <gtest/gtest.h>

#include "events_test_util.h"
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
