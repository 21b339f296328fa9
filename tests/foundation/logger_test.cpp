#include "foundation/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("nimbrel-log-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        log = dir / "daemon.log";
        std::ofstream(dir / "levels") << "verbose_debug = 7\nsilent_debug=0\nword_debug=high\n";
        ASSERT_TRUE(Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), (dir / "levels").c_str(), 3));
    }
    void TearDown() override {
        Logger::Destroy();
        fs::remove_all(dir);
    }
    fs::path dir, log;
};

TEST_F(LoggerTest, LevelsPerChannel) {
    Logger::LogMsg(Logger::L_WARNING, "unknown_debug", "[WARNING] t.cpp(%d): warn\n", 1);
    Logger::LogMsg(Logger::L_NOTICE, "unknown_debug", "[NOTE] t.cpp(%d): dropped\n", 2);
    Logger::LogMsg(Logger::L_DEBUG, "verbose_debug", "[DEBUG] t.cpp(%d): debug %s\n", 3, "ok");
    Logger::LogMsg(Logger::L_ALERT, "silent_debug", "[ALERT] t.cpp(%d): dropped\n", 4);
    Logger::LogMsg(Logger::L_EMERG, "silent_debug", "emerg %d\n", 5);
    Logger::LogMsg(Logger::L_ALERT, "word_debug", "dropped %d\n", 6);
    std::string text = slurp(log);
    EXPECT_NE(text.find("[WARNING] t.cpp(1): warn\n"), std::string::npos);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find("[DEBUG] t.cpp(3): debug ok\n"), std::string::npos);
    EXPECT_NE(text.find("emerg 5\n"), std::string::npos);
    EXPECT_EQ(Logger::GetLevel("default_component"), 4);
    EXPECT_EQ(Logger::GetLevel("word_debug"), 0);
    // "default_component" is the level of every channel the level file does not name.
    Logger::SetLevel("default_component", 6);
    EXPECT_EQ(Logger::GetLevel("unknown_debug"), 6);
    EXPECT_EQ(Logger::GetLevel("word_debug"), 0);
    Logger::SetLevel("default_component", 4);
    // Each line starts with a time stamp such as "Mar 05 14:03:27 ".
    EXPECT_EQ(text[3], ' ');
    EXPECT_EQ(text[6], ' ');
    EXPECT_EQ(text[9], ':');
    EXPECT_EQ(text.substr(15, 10), " [WARNING]");
}

// A newline in a logged name cannot forge a line; the file is the owner's alone even
// under an open umask (made before the umask changed: checked after a rotation).
TEST_F(LoggerTest, ControlBytesAreEscapedAndTheFileIsPrivate) {
    Logger::LogMsg(Logger::L_ERR, "x_debug", "[ERROR] t.cpp(%d): name %s\n", 1, "a\n[ERROR] forged\x7f\tb");
    EXPECT_NE(slurp(log).find("name a\\x0A[ERROR] forged\\x7F\\x09b\n"), std::string::npos) << slurp(log);
    const mode_t old = umask(0);
    EXPECT_TRUE(Logger::Rotate());
    umask(old);
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LoggerTest, RotationKeepsTheConfiguredNumberOfFiles) {
    std::string big(100000, 'x');
    // 11 messages of ~100 KB pass 1 MiB: the file rotates after the message that crossed it.
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 11; ++i) Logger::LogMsg(Logger::L_ERR, "any", "%s %d\n", big.c_str(), round);
    EXPECT_TRUE(fs::exists(dir / "daemon.log_0"));
    EXPECT_TRUE(fs::exists(dir / "daemon.log_1"));
    EXPECT_TRUE(fs::exists(dir / "daemon.log_2"));
    EXPECT_FALSE(fs::exists(dir / "daemon.log_3"));
    EXPECT_GT(fs::file_size(dir / "daemon.log_0"), 1048576u);
    EXPECT_NE(slurp(dir / "daemon.log_0").find(" 3\n"), std::string::npos);
    EXPECT_EQ(fs::file_size(log), 0u);
    Logger::LogMsg(Logger::L_ERR, "any", "after\n");
    EXPECT_NE(slurp(log).find("after"), std::string::npos);
}

TEST(LoggerRotation, WithAllFiftyFilesPresentTheOldestGoes) {
    fs::path dir = fs::temp_directory_path() / ("nimbrel-log50-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::path log = dir / "d.log";
    for (int i = 0; i < 50; ++i) std::ofstream(dir / ("d.log_" + std::to_string(i))) << "old " << i << "\n";
    ASSERT_TRUE(Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), "", 50));
    std::string big(600000, 'y');
    Logger::LogMsg(Logger::L_ERR, "any", "%s first\n", big.c_str());
    EXPECT_EQ(slurp(dir / "d.log_0"), "old 0\n");  // not over the limit yet: no rotation
    Logger::LogMsg(Logger::L_ERR, "any", "%s second\n", big.c_str());
    // The write that crossed the limit was completed in the file that then became _0.
    std::string newest = slurp(dir / "d.log_0");
    EXPECT_NE(newest.find("first"), std::string::npos);
    EXPECT_NE(newest.find("second"), std::string::npos);
    EXPECT_EQ(slurp(dir / "d.log_1"), "old 0\n");
    EXPECT_EQ(slurp(dir / "d.log_49"), "old 48\n");
    EXPECT_FALSE(fs::exists(dir / "d.log_50"));
    Logger::Destroy();
    fs::remove_all(dir);
}

TEST(LoggerRotation, AFailedRotationDropsEveryLaterMessage) {
    fs::path dir = fs::temp_directory_path() / ("nimbrel-logfail-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::path log = dir / "d.log";
    ASSERT_TRUE(Logger::Initialize(Logger::FILE_LOGGER, log.c_str(), "", 1));
    // A non-empty directory where the newest rotated file must go makes the rename fail.
    fs::create_directories(dir / "d.log_0" / "blocker");
    std::string big(1100000, 'z');
    Logger::LogMsg(Logger::L_ERR, "any", "%s\n", big.c_str());
    Logger::LogMsg(Logger::L_ERR, "any", "after failure\n");
    EXPECT_EQ(slurp(log).find("after failure"), std::string::npos);
    Logger::Destroy();
    fs::remove_all(dir);
}

TEST(LoggerInit, FileTypeNeedsAWritablePath) {
    EXPECT_FALSE(Logger::Initialize(Logger::FILE_LOGGER, "", "", 50));
    EXPECT_FALSE(Logger::Initialize(Logger::FILE_LOGGER, "/nonexistent-dir/x.log", "", 50));
    EXPECT_TRUE(Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50));
    Logger::Destroy();
}

}  // namespace
