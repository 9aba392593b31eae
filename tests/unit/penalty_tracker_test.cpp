#include "store/penalty_tracker.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

constexpr std::uint32_t kHost = 0x7F000002;
constexpr std::uint32_t kOtherHost = 0x7F000003;

class PenaltyTrackerTest : public ::testing::Test {
 protected:
  // Records `n` offences; returns how many of them started a penalty.
  int Offend(int kind, int n, std::uint32_t address = kHost) {
    int started = 0;
    for (int i = 0; i < n; ++i) {
      if (tracker.RecordOffence(address, kind, now) == PenaltyTracker::kPenaltyStarted) ++started;
    }
    return started;
  }
  std::int32_t Minutes(std::uint32_t address = kHost) {
    return tracker.Peek(address)->penaltyMinutes;
  }

  PenaltyTracker tracker;
  std::time_t now = 1700000000;
};

TEST_F(PenaltyTrackerTest, FifthWrongAdminPasswordStartsFiveMinutes) {
  EXPECT_EQ(Offend(kOffenceAdminPassword, 4), 0);
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 0);
  EXPECT_EQ(Offend(kOffenceAdminPassword, 1), 1);
  now += 61;
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 4);
  EXPECT_EQ(tracker.AdmissionCheck(kOtherHost, now), 0);
  EXPECT_EQ(tracker.EntryCount(), 1u);  // the check creates no entry

  now += 300 - 61;  // the penalty is over
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 0);
  EXPECT_EQ(tracker.Peek(kHost)->penaltyStart, 0);

  // Minutes accumulate: the tenth offence gives ten minutes.
  EXPECT_EQ(Offend(kOffenceAdminPassword, 5), 1);
  EXPECT_EQ(Minutes(), 10);
  now += 1;
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 10);
}

TEST_F(PenaltyTrackerTest, CorrectPasswordResetsTheCount) {
  Offend(kOffenceAdminPassword, 4);
  tracker.ResetOffences(kHost, kOffenceAdminPassword, now);
  EXPECT_EQ(Offend(kOffenceAdminPassword, 4), 0);
  EXPECT_EQ(Offend(kOffenceAdminPassword, 1), 1);
  // Resetting an address without an entry creates none.
  tracker.ResetOffences(kOtherHost, kOffenceAdminPassword, now);
  EXPECT_EQ(tracker.Peek(kOtherHost), nullptr);
}

TEST_F(PenaltyTrackerTest, StepsAndCeilingsOfEveryKind) {
  struct Case {
    int kind;
    int offences;
    int penalties;
    std::int32_t minutes;
  };
  for (const Case& c :
       {Case{kOffenceAccountPassword, 9, 0, 0}, Case{kOffenceAccountPassword, 10, 1, 10},
        // 24 penalties reach the ceiling of 240; more add nothing.
        Case{kOffenceAccountPassword, 300, 30, 240}, Case{kOffenceChannelPassword, 5, 1, 5},
        Case{kOffenceChannelPassword, 12, 2, 10}, Case{kOffenceUnknownMessage, 50, 0, 0},
        Case{kOffenceConsoleWithoutRcon, 50, 0, 0}, Case{7, 5, 0, 0}}) {
    tracker.ClearPenalties();
    EXPECT_EQ(Offend(c.kind, c.offences), c.penalties) << c.kind << "/" << c.offences;
    EXPECT_EQ(Minutes(), c.minutes) << c.kind << "/" << c.offences;
  }
}

TEST_F(PenaltyTrackerTest, KindsShareOneAccumulatedPenalty) {
  Offend(kOffenceAdminPassword, 5);
  Offend(kOffenceChannelPassword, 5);
  EXPECT_EQ(Minutes(), 10);
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now + 1), 10);
}

TEST_F(PenaltyTrackerTest, AdminPenaltyStopsGrowingAtThreeDays) {
  EXPECT_EQ(Offend(kOffenceAdminPassword, 5 * 870), 870);
  EXPECT_EQ(Minutes(), 4320);
}

TEST_F(PenaltyTrackerTest, StartInTheFutureIsPulledBackToNow) {
  Offend(kOffenceAdminPassword, 5);
  now -= 1000;                                       // the wall clock went back
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 6);  // 300 s left: 5 + 1
  now += 299;
  EXPECT_EQ(tracker.AdmissionCheck(kHost, now), 1);
}

TEST_F(PenaltyTrackerTest, FullListReplacesTheLeastRecentlyUsedEntry) {
  for (std::uint32_t i = 0; i < PenaltyTracker::kMaxEntries; ++i) {
    tracker.RecordOffence(0x0A000000 + i, kOffenceUnknownMessage, now + (i == 0 ? 5 : 0));
  }
  // Entry 0 was used last; entry 1 is the first of the oldest.
  tracker.RecordOffence(kHost, kOffenceUnknownMessage, now + 10);
  EXPECT_EQ(tracker.EntryCount(), PenaltyTracker::kMaxEntries);
  EXPECT_NE(tracker.Peek(0x0A000000), nullptr);
  EXPECT_EQ(tracker.Peek(0x0A000001), nullptr);
  EXPECT_NE(tracker.Peek(0x0A000002), nullptr);
  EXPECT_NE(tracker.Peek(kHost), nullptr);
}

}  // namespace
}  // namespace kestrune
