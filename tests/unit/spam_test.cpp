#include "store/spam.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/clock.h"

namespace kestrune {
namespace {

struct Capture {
  std::vector<std::string> lines;
  StoreLogSink Sink() {
    return [this](std::string_view text) { lines.emplace_back(text); };
  }
};

SpamSetting Enabled(int action, std::uint32_t interval, int times) {
  SpamSetting s;
  s.enabled = true;
  s.action = action;
  s.interval = interval;
  s.times = times;
  return s;
}

TEST(ParseSpamSetting, RefusalsLogAndKeepThePreviousSetting) {
  struct Case {
    const char* text;
    int code;
    const char* line;
  };
  for (const Case& c :
       {Case{"1,500", kSpamMissingParameters, "Spam, missing parameters."},
        Case{",,", kSpamMissingParameters, "Spam, missing parameters."},
        Case{"3,1,1", kSpamBadAction, "Spam, bad action."},
        Case{"-1,1,1", kSpamBadAction, "Spam, bad action."},
        Case{"2,1000,0", kSpamBadTimes, "Spam, bad times."},
        Case{"1,1,1,1", kSpamTooManyParameters, "Spam, more parameters then allowed."},
        Case{"0,1,1,,", kSpamTooManyParameters, "Spam, more parameters then allowed."}}) {
    SpamSetting setting = Enabled(1, 500, 4);
    Capture log;
    EXPECT_EQ(ParseSpamSetting(setting, c.text, log.Sink()), c.code) << c.text;
    EXPECT_EQ(log.lines, std::vector<std::string>{c.line}) << c.text;
    EXPECT_TRUE(setting.enabled);
    EXPECT_EQ(SpamSettingText(setting), "1,500,4") << c.text;
  }
}

TEST(ParseSpamSetting, AcceptedTexts) {
  Capture log;
  SpamSetting setting;
  EXPECT_EQ(ParseSpamSetting(setting, "", log.Sink()), 0);
  EXPECT_FALSE(setting.enabled);

  // A trailing comma adds no token; blanks before numbers are skipped.
  EXPECT_EQ(ParseSpamSetting(setting, " 1, 250, 3,", log.Sink()), 0);
  EXPECT_TRUE(setting.enabled);
  EXPECT_EQ(SpamSettingText(setting), "1,250,3");

  // Action 0 skips the times check and leaves everything else as it was.
  EXPECT_EQ(ParseSpamSetting(setting, "0,50,0", log.Sink()), 0);
  EXPECT_TRUE(setting.enabled);
  EXPECT_EQ(SpamSettingText(setting), "0,250,3");

  EXPECT_EQ(ParseSpamSetting(setting, "2,abc,2", log.Sink()), 0);
  EXPECT_EQ(SpamSettingText(setting), "2,0,2");
  EXPECT_TRUE(log.lines.empty());
}

// The text form writes the interval unsigned; whatever it writes, for an
// enabled rule or a disabled one kept in the properties file, reads back the same.
TEST(ParseSpamSetting, EveryWrittenIntervalReadsBack) {
  Capture log;
  struct Case {
    const char* text;
    const char* written;
  };
  for (const Case& c : {Case{"1,-1000,2", "1,4294966296,2"}, Case{"1,4294966296,2", "1,4294966296,2"},
                        Case{"2,2147483648,3", "2,2147483648,3"},
                        Case{"1,99999999999,2", "1,4294967295,2"}}) {
    SpamSetting setting;
    ASSERT_EQ(ParseSpamSetting(setting, c.text, log.Sink()), 0) << c.text;
    EXPECT_EQ(SpamSettingText(setting), c.written) << c.text;
    SpamSetting again;
    ASSERT_EQ(ParseSpamSetting(again, SpamSettingText(setting), log.Sink()), 0) << c.text;
    EXPECT_EQ(again.interval, setting.interval) << c.text;
  }
}

class CheckSpamTest : public ::testing::Test {
 protected:
  int At(std::uint32_t offsetMs) {
    clock.SetMs(base + offsetMs);
    return CheckSpam(tracker, setting, clock.NowMs());
  }
  FakeClock clock{7000};
  std::uint32_t base = 7000;
  SpamTracker tracker;
  SpamSetting setting = Enabled(1, 1000, 3);
};

TEST_F(CheckSpamTest, ThirdCountedEventTriggersAndLaterWindowsTriggerAtOnce) {
  EXPECT_EQ(At(0), 0);    // opens the window
  EXPECT_EQ(At(100), 0);  // count 1
  EXPECT_EQ(At(200), 0);  // count 2
  EXPECT_EQ(At(300), 1);  // count 3
  // Five seconds later a new window opens; the count is not reset.
  EXPECT_EQ(At(5300), 0);
  EXPECT_EQ(At(5400), 1);
}

TEST_F(CheckSpamTest, WindowSurvivesTheClockWrap) {
  base = 0xFFFFFF00u;
  EXPECT_EQ(At(0), 0);
  EXPECT_EQ(At(0x200), 0);  // 512 ms later, past the wrap: counted
  EXPECT_EQ(tracker.count, 1u);
  EXPECT_EQ(At(0x200 + 1001), 0);  // more than the interval after the start: new window
  EXPECT_EQ(tracker.windowStart, base + 0x200 + 1001);
  EXPECT_EQ(tracker.count, 1u);
}

TEST_F(CheckSpamTest, ZeroIntervalCountsOnlyEventsOfTheSameMillisecond) {
  setting = Enabled(2, 0, 2);
  EXPECT_EQ(At(0), 0);
  EXPECT_EQ(At(0), 0);  // count 1
  EXPECT_EQ(At(0), 2);  // count 2
  EXPECT_EQ(At(1), 0);  // a new window
}

TEST_F(CheckSpamTest, DisabledOrActionZeroNeverActs) {
  setting = SpamSetting();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(At(i), 0);
  setting = Enabled(0, 1000, 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(At(i), 0);
}

TEST(ApplySpamAction, PassesVerdictsOnAndReportsWhetherToDropTheRequest) {
  struct Enforcer : SpamEnforcer {
    std::vector<std::pair<std::uint16_t, int>> calls;
    void ApplySpamVerdict(std::uint16_t id, int verdict) override {
      calls.emplace_back(id, verdict);
    }
  } enforcer;
  EXPECT_FALSE(ApplySpamAction(enforcer, 7, kSpamNone));
  EXPECT_TRUE(ApplySpamAction(enforcer, 7, kSpamDisconnect));
  EXPECT_TRUE(ApplySpamAction(enforcer, 8, kSpamBan));
  EXPECT_EQ(enforcer.calls, (std::vector<std::pair<std::uint16_t, int>>{{7, 1}, {8, 2}}));
}

}  // namespace
}  // namespace kestrune
