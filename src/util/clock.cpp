#include "util/clock.h"

#include <sys/time.h>

namespace kestrune {

namespace {
// "a is later than b" on a wrapping 32-bit counter.
bool Later(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) > 0; }
}  // namespace

std::uint32_t SystemClock::NowMs() {
  timeval now{};
  gettimeofday(&now, nullptr);
  if (!started_) {
    started_ = true;
    firstSeconds_ = now.tv_sec;
  }
  auto seconds = static_cast<std::uint64_t>(now.tv_sec - firstSeconds_);
  return static_cast<std::uint32_t>(seconds * 1000u + static_cast<std::uint64_t>(now.tv_usec) / 1000u);
}

std::time_t SystemClock::WallSeconds() { return std::time(nullptr); }

void FakeClock::AdvanceMs(std::uint32_t ms) {
  ms_ += ms;
  std::uint64_t total = static_cast<std::uint64_t>(msRemainder_) + ms;
  wall_ += static_cast<std::time_t>(total / 1000);
  msRemainder_ = static_cast<std::uint32_t>(total % 1000);
}

bool ElapsedMs(std::uint32_t& start, std::uint32_t now, std::uint32_t ms) {
  if (Later(start, now)) start = now;
  return now - start > ms;
}

bool IntervalTimer::Expired(std::uint32_t now) {
  if (!Armed()) return false;
  if (Later(start_, now)) start_ = now;
  return now - start_ >= interval_;
}

}  // namespace kestrune
