#include "config/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/clock.h"

namespace kestrune {
namespace {

// 2024-01-31 23:59:07 UTC.
constexpr std::time_t kWall = 1706745547;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) savedTz_ = tz;
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", savedTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  // Writes one line the way `write` does and returns what the console saw.
  template <typename Write>
  std::string Console(Write write) {
    ::testing::internal::CaptureStdout();
    write();
    return ::testing::internal::GetCapturedStdout();
  }

  testing::TempDir dir_;
  FakeClock clock_{1000, kWall};
  Log log_{clock_};

 private:
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(LogTest, FileLinesCarryTheTimeStampAndAreOnDiskAtOnce) {
  log_.SetDaemon(true);
  ASSERT_EQ(log_.Open(dir_.File("a.log")), 0);
  EXPECT_GE(log_.Descriptor(), 0);
  log_.Write("READY:");
  log_.Write("%s", "");
  log_.Write("MSG_CONN: ID %u, IP %s", 5u, "127.0.0.1");
  // Flushed per line: readable while the file is still open.
  EXPECT_EQ(dir_.Read("a.log"),
            "20240131 23:59:07 READY:\n"
            "20240131 23:59:07 \n"
            "20240131 23:59:07 MSG_CONN: ID 5, IP 127.0.0.1\n");
  log_.Close();
  EXPECT_EQ(log_.Descriptor(), -1);

  // Reopening appends.
  ASSERT_EQ(log_.Open(dir_.File("a.log")), 0);
  log_.Write("END:");
  EXPECT_EQ(dir_.Read("a.log").substr(dir_.Read("a.log").rfind("2024")),
            "20240131 23:59:07 END:\n");
}

TEST_F(LogTest, TimeStampText) {
  EXPECT_EQ(Log::TimeStampText(kWall), "20240131 23:59:07");
  EXPECT_EQ(Log::TimeStampText(0), "19700101 00:00:00");
}

TEST_F(LogTest, LongTextIsCutTo2047Characters) {
  log_.SetDaemon(true);
  ASSERT_EQ(log_.Open(dir_.File("a.log")), 0);
  std::vector<std::string> forwarded;
  log_.SetForwarder([&](const std::string& text) { forwarded.push_back(text); });
  const std::string text(3000, 'x');
  log_.Write("%s", text.c_str());
  EXPECT_EQ(dir_.Read("a.log"), "20240131 23:59:07 " + std::string(2047, 'x') + "\n");
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0].size(), 2047u);
}

TEST_F(LogTest, ConsoleEchoFollowsTimeStampAndDaemonMode) {
  EXPECT_EQ(Console([&] { log_.Write("END: %s", "bye"); }), "END: bye\n");
  log_.SetTimeStamp(true);
  EXPECT_EQ(Console([&] { log_.Write("END: %s", "bye"); }), "20240131 23:59:07 END: bye\n");
  log_.SetDaemon(true);
  EXPECT_EQ(Console([&] { log_.Write("END: %s", "bye"); }), "");
}

TEST_F(LogTest, ForwardedLinesFollowTimeStampEvenWithoutAFile) {
  log_.SetDaemon(true);
  std::vector<std::string> forwarded;
  log_.SetForwarder([&](const std::string& text) { forwarded.push_back(text); });
  log_.Write("ADMIN: %s", "%s is not a format here");
  log_.SetTimeStamp(true);
  log_.Write("ADMIN: two");
  EXPECT_EQ(forwarded, (std::vector<std::string>{"ADMIN: %s is not a format here",
                                                 "20240131 23:59:07 ADMIN: two"}));
}

TEST_F(LogTest, OpenFailureIsPrintedAndReported) {
  const std::string path = dir_.File("missing/a.log");
  EXPECT_EQ(Console([&] { EXPECT_EQ(log_.Open(path), -1); }),
            "Unable to open log file '" + path + "'.\n");
  EXPECT_FALSE(log_.IsOpen());
  EXPECT_EQ(log_.Descriptor(), -1);
}

}  // namespace
}  // namespace kestrune
