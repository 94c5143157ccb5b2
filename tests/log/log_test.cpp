#include "sdk/log/log.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace zelkSDK;

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = ::testing::TempDir() + "ferrun_log_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
};

}  // namespace

TEST_F(LogTest, QuietLogWritesExactlyTheLine) {
    {
        Log log;
        log.set_verbose_mode(false);
        ASSERT_FALSE(static_cast<bool>(log.open(path)));
        EXPECT_FALSE(static_cast<bool>(log.write("abc")));
    }
    EXPECT_EQ(contents(), "abc\r\n");
}

TEST_F(LogTest, VerboseLogFramesItsLines) {
    {
        Log log;
        ASSERT_FALSE(static_cast<bool>(log.open(path)));
        log.write("abc");
    }
    EXPECT_EQ(contents(), "My TestOpened File\r\nMy Testabc\r\nMy TestClosed File\r\n");
}

TEST_F(LogTest, SecondOpenFailsAndNamesBothFiles) {
    Log log;
    log.set_verbose_mode(false);
    ASSERT_FALSE(static_cast<bool>(log.open(path)));
    const ZelkError again = log.open("other.txt");
    EXPECT_TRUE(static_cast<bool>(again));
    EXPECT_EQ(again.what(),
              "Could not open file: other.txt. The file: " + path + " is already open.");
    log.write("still");
    EXPECT_EQ(contents(), "still\r\n");
}

TEST_F(LogTest, MissingFolderFailsAndLaterWritesSaySo) {
    Log log;
    const std::string bad = "/nonexistent-folder/x.log";
    const ZelkError open = log.open(bad);
    EXPECT_TRUE(static_cast<bool>(open));
    EXPECT_EQ(open.what(),
              "Failed to create/open log file: " + bad + ": No such file or directory.");
    const ZelkError write = log.write("x");
    EXPECT_TRUE(static_cast<bool>(write));
    EXPECT_EQ(write.what(), "Tried to write to unopened log file .");
    EXPECT_EQ(log.open("").what(), "Failed to create/open log file: '': the path is empty.");
    EXPECT_EQ(log.open(std::string("a\0b", 3)).what(),
              "Failed to create/open log file: 'a': the path holds a NUL character.");
    Log never_opened;
    EXPECT_EQ(never_opened.write("x").what(), "Tried to write to unopened log file .");
}

TEST_F(LogTest, TwoLogsOnOnePathAppendInOrder) {
    for (const char* line : {"first", "second"}) {
        Log log;
        log.set_verbose_mode(false);
        ASSERT_FALSE(static_cast<bool>(log.open(path)));
        log.write(line);
    }
    EXPECT_EQ(contents(), "first\r\nsecond\r\n");
}

TEST_F(LogTest, WriteToAFullDeviceIsAFailure) {
    std::ifstream probe("/dev/full");
    if (!probe)
        GTEST_SKIP() << "no /dev/full here";
    Log log;
    log.set_verbose_mode(false);
    ASSERT_FALSE(static_cast<bool>(log.open("/dev/full")));
    const ZelkError error = log.write("abc");
    EXPECT_TRUE(static_cast<bool>(error));
    EXPECT_EQ(error.what(), "Failed to write to log file /dev/full: No space left on device.");
    EXPECT_TRUE(static_cast<bool>(log.write("again")));
}
