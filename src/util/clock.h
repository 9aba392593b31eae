// The server's sense of time: a wrapping 32-bit millisecond clock for short
// timers, and wall-clock seconds for second timers and time stamps. Tests
// substitute FakeClock and advance it by hand.
#pragma once

#include <cstdint>
#include <ctime>

namespace kestrune {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the clock's first use; wraps at 2^32.
  virtual std::uint32_t NowMs() = 0;
  // Wall-clock seconds since the epoch.
  virtual std::time_t WallSeconds() = 0;
  // Wall-clock seconds truncated to 32 bits, the unit of IntervalTimer.
  std::uint32_t NowSeconds() { return static_cast<std::uint32_t>(WallSeconds()); }
};

class SystemClock : public Clock {
 public:
  std::uint32_t NowMs() override;
  std::time_t WallSeconds() override;

 private:
  bool started_ = false;
  std::time_t firstSeconds_ = 0;
};

class FakeClock : public Clock {
 public:
  // Starts away from 0: several timers use 0 for "never".
  explicit FakeClock(std::uint32_t ms = 1000, std::time_t wall = 1700000000)
      : ms_(ms), wall_(wall) {}
  std::uint32_t NowMs() override { return ms_; }
  std::time_t WallSeconds() override { return wall_; }
  // Moves both clocks forward; the millisecond clock wraps like the real one.
  void AdvanceMs(std::uint32_t ms);
  void AdvanceSeconds(std::uint32_t seconds) { AdvanceMs(seconds * 1000u); }
  void SetMs(std::uint32_t ms) { ms_ = ms; }
  void SetWall(std::time_t wall) { wall_ = wall; }

 private:
  std::uint32_t ms_;
  std::time_t wall_;
  std::uint32_t msRemainder_ = 0;
};

// True when more than `ms` milliseconds have passed since `start`. A start
// later than now is first pulled back to now. Correct across the wrap.
bool ElapsedMs(std::uint32_t& start, std::uint32_t now, std::uint32_t ms);

// A timer of whole seconds on Clock::NowSeconds(); armed while the interval is
// non-zero.
class IntervalTimer {
 public:
  void Arm(std::uint32_t now, std::uint32_t intervalSeconds) {
    start_ = now;
    interval_ = intervalSeconds;
  }
  void Disarm() { start_ = interval_ = 0; }
  bool Armed() const { return interval_ != 0; }
  std::uint32_t Interval() const { return interval_; }
  // Armed and at least the interval has passed since the start.
  bool Expired(std::uint32_t now);

 private:
  std::uint32_t start_ = 0;
  std::uint32_t interval_ = 0;
};

}  // namespace kestrune
