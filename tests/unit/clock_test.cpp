#include "util/clock.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(ElapsedMs, StrictlyMoreThanTheDuration) {
  FakeClock clock(5000);
  std::uint32_t start = clock.NowMs();
  clock.AdvanceMs(1000);
  EXPECT_FALSE(ElapsedMs(start, clock.NowMs(), 1000));
  clock.AdvanceMs(1);
  EXPECT_TRUE(ElapsedMs(start, clock.NowMs(), 1000));
}

TEST(ElapsedMs, CorrectAcrossTheWrap) {
  FakeClock clock(0xFFFFFF00u);
  std::uint32_t start = clock.NowMs();
  clock.AdvanceMs(0x200);  // now 0x100, past the wrap
  EXPECT_TRUE(ElapsedMs(start, clock.NowMs(), 0x1FF));
  EXPECT_FALSE(ElapsedMs(start, clock.NowMs(), 0x200));
  EXPECT_EQ(start, 0xFFFFFF00u);
}

TEST(ElapsedMs, AStartInTheFutureIsPulledBackToNow) {
  std::uint32_t start = 9000;
  EXPECT_FALSE(ElapsedMs(start, 5000, 10));
  EXPECT_EQ(start, 5000u);
  // Also when "the future" lies beyond the wrap.
  start = 0x10;
  EXPECT_FALSE(ElapsedMs(start, 0xFFFFFFF0u, 0));
  EXPECT_EQ(start, 0xFFFFFFF0u);
}

TEST(IntervalTimer, ArmExpireDisarm) {
  IntervalTimer timer;
  EXPECT_FALSE(timer.Armed());
  EXPECT_FALSE(timer.Expired(100));
  timer.Arm(100, 60);
  EXPECT_TRUE(timer.Armed());
  EXPECT_FALSE(timer.Expired(159));
  EXPECT_TRUE(timer.Expired(160));
  timer.Disarm();
  EXPECT_FALSE(timer.Expired(1000));
  timer.Arm(100, 0);  // a zero interval leaves the timer unarmed
  EXPECT_FALSE(timer.Armed());
}

TEST(IntervalTimer, CorrectAcrossTheWrap) {
  IntervalTimer timer;
  timer.Arm(0xFFFFFFF0u, 30);
  EXPECT_FALSE(timer.Expired(0x0000000Cu));  // 28 s later
  EXPECT_TRUE(timer.Expired(0x0000000Eu));   // 30 s later
}

TEST(IntervalTimer, AStartInTheFutureIsPulledBackToNow) {
  IntervalTimer timer;
  timer.Arm(1000, 10);
  EXPECT_FALSE(timer.Expired(900));  // clock went back: restart from 900
  EXPECT_FALSE(timer.Expired(909));
  EXPECT_TRUE(timer.Expired(910));
}

TEST(FakeClock, AdvancesBothClocksTogether) {
  FakeClock clock(0xFFFFFC18u, 100);  // 1000 ms before the wrap
  clock.AdvanceMs(1500);
  EXPECT_EQ(clock.NowMs(), 500u);
  EXPECT_EQ(clock.WallSeconds(), 101);
  clock.AdvanceMs(500);
  EXPECT_EQ(clock.WallSeconds(), 102);
}

TEST(SystemClock, StartsNearZeroAndMovesForward) {
  SystemClock clock;
  std::uint32_t first = clock.NowMs();
  EXPECT_LT(first, 1000u);
  EXPECT_GE(clock.NowMs(), first);
  EXPECT_GT(clock.WallSeconds(), 1600000000);
}

}  // namespace
}  // namespace kestrune
