#include "foundation/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "foundation/config.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::getInstance().reset(); }
    void TearDown() override {
        Settings::getInstance().reset();
        std::remove(path.c_str());
    }
    bool load(const std::string& text) {
        std::ofstream(path) << text;
        return Settings::getInstance().loadConfigSettings(path.c_str());
    }
    std::string path = "/tmp/nimbrel-settings-test-" + std::to_string(getpid()) + ".conf";
};

TEST_F(SettingsTest, DefaultsStandWithoutAFile) {
    auto& s = Settings::getInstance();
    EXPECT_FALSE(s.loadConfigSettings("/nonexistent/file"));
    EXPECT_FALSE(s.loadConfigSettings(""));
    EXPECT_EQ(s.getWorkerCount(), 3u);
    EXPECT_EQ(s.getUIPort(), 1024);
    EXPECT_TRUE(s.isDaemon());
    // Defaults in the user's own folders, never in a shared one.
    EXPECT_EQ(s.getFStatDbPath().str(), UserStateDir() + "/file-status.sqlite");
    EXPECT_EQ(s.getLogFilePath().str(), UserStateDir() + "/nimbreld.log");
    EXPECT_EQ(s.getSystemFilterPath().str(), UserConfigDir() + "/filter");
    EXPECT_EQ(s.getServerIp(), ustring("InvalidAddress"));
}

TEST_F(SettingsTest, CommentsBlanksAndValues) {
    EXPECT_TRUE(load("# only comments\n\n   \n# more\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);

    EXPECT_TRUE(load("worker_count = 5 # five\r\nlog_file_path='/tmp/a b\\c.log'\nui_port=2000\nui_port=2001\n"));
    auto& s = Settings::getInstance();
    EXPECT_EQ(s.getWorkerCount(), 5u);
    EXPECT_EQ(s.getLogFilePath(), ustring("/tmp/a b\\c.log"));
    EXPECT_EQ(s.getUIPort(), 2001);
}

TEST_F(SettingsTest, RecycleKeepTimeAndSizeCap) {
    auto& s = Settings::getInstance();
    EXPECT_EQ(s.getRecycleKeepSeconds(), 1800u);
    EXPECT_EQ(s.getRecycleMaxBytes(), 0u);
    EXPECT_TRUE(load("recycle_keep_seconds = 90\nrecycle_max_bytes = 5000000000\n"));
    EXPECT_EQ(s.getRecycleKeepSeconds(), 90u);
    EXPECT_EQ(s.getRecycleMaxBytes(), 5000000000u);  // beyond 32 bits
    s.reset();
    EXPECT_TRUE(load("recycle_keep_seconds = -3\nrecycle_max_bytes = 12k\n"));  // not numbers to keep
    EXPECT_EQ(s.getRecycleKeepSeconds(), 1800u);
    EXPECT_EQ(s.getRecycleMaxBytes(), 0u);
}

TEST_F(SettingsTest, SyntaxErrorChangesNothing) {
    EXPECT_FALSE(load("fstat_db_path=/x\nworker_count=5 more\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
    EXPECT_EQ(Settings::getInstance().getFStatDbPath().str(), UserStateDir() + "/file-status.sqlite");
    EXPECT_FALSE(load("ui_port=\n"));
    EXPECT_FALSE(load("worker_count #x\n"));
    EXPECT_FALSE(load("a=\"unterminated\n"));
}

TEST_F(SettingsTest, TypedConversions) {
    EXPECT_TRUE(load("ui_port=\"\"\nis_daemon=yes\nuse_ssl=true\nworker_count#ignored\n"));
    auto& s = Settings::getInstance();
    EXPECT_EQ(s.getUIPort(), 1024);
    EXPECT_FALSE(s.isDaemon());
    EXPECT_TRUE(s.useSSL());
    EXPECT_TRUE(load("is_daemon=True\nui_port=abc\n"));
    EXPECT_FALSE(s.isDaemon());
    EXPECT_EQ(s.getUIPort(), 0);
}

TEST_F(SettingsTest, UnusableWorkerCountsKeepTheDefault) {
    EXPECT_TRUE(load("worker_count=2\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 2u);
    EXPECT_TRUE(Settings::getInstance().getRejectedWorkerCount().empty());
    EXPECT_TRUE(load("worker_count=64\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 64u);
    Settings::getInstance().reset();
    EXPECT_TRUE(load("worker_count=1\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
    EXPECT_EQ(Settings::getInstance().getRejectedWorkerCount(), ustring("1"));
    EXPECT_TRUE(load("worker_count=65\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
    EXPECT_TRUE(load("worker_count=0\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
    EXPECT_TRUE(load("worker_count=-4\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
    EXPECT_TRUE(load("worker_count=100000\n"));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 3u);
}

TEST(ConfigLine, Classification) {
    ustring k, v;
    EXPECT_EQ(Config::parse_line("", k, v), Config::EMPTY);
    EXPECT_EQ(Config::parse_line("key", k, v), Config::EMPTY);
    EXPECT_EQ(Config::parse_line("key#c", k, v), Config::EMPTY);
    EXPECT_EQ(Config::parse_line("key = \"a # b\"  # c\n", k, v), Config::OK);
    EXPECT_EQ(v, ustring("a # b"));
    EXPECT_EQ(Config::parse_line("key=''\n", k, v), Config::OK);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(Config::parse_line("key=\"a\tb\"", k, v), Config::INVALID);
    EXPECT_EQ(Config::parse_line("key=x\x7fy", k, v), Config::INVALID);
    EXPECT_EQ(Config::parse_line("k.ey=1", k, v), Config::INVALID);
    EXPECT_EQ(Config::parse_line("key=\xc3\xa9t\xc3\xa9", k, v), Config::OK);
    EXPECT_EQ(v, ustring("\xc3\xa9t\xc3\xa9"));
    EXPECT_EQ(Config::to_int("  42abc"), 42);
    EXPECT_EQ(Config::to_int("-7"), -7);
    EXPECT_EQ(Config::to_int("x1"), 0);
}

}  // namespace

// A configuration that does not parse is refused with the line and the problem, so the
// daemon never starts on defaults without a word; unknown keys are reported, not fatal.
TEST_F(SettingsTest, ErrorsNameTheLineAndTheProblem) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"# fine\nworker_count 5\n", "line 2: no \"=\" after the key \"worker_count\""},
        {"db_path = \"/a b\n", "line 1: the value of \"db_path\" has no closing quote"},
        {"\n\nui_port =\n", "line 3: no value after \"ui_port =\""},
        {"worker_count = 5 6\n", "line 1: more than one value for \"worker_count\""},
    };
    for (const auto& c : cases) {
        std::ofstream(path) << c.text;
        std::string why;
        EXPECT_FALSE(Settings::getInstance().loadConfigSettings(path.c_str(), &why)) << c.text;
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
    }
    std::ofstream(path) << "worker_count = 4\nworkers = 9\nui_prot = 7\n";
    std::vector<std::string> unknown;
    ASSERT_TRUE(Settings::getInstance().loadConfigSettings(path.c_str(), nullptr, &unknown));
    EXPECT_EQ(unknown, (std::vector<std::string>{"ui_prot", "workers"}));
    EXPECT_EQ(Settings::getInstance().getWorkerCount(), 4u);
}
