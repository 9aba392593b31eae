#include "util/address_throttle.h"

namespace kestrune {

bool AddressThrottle::Allow(std::uint32_t address, std::uint32_t nowMs) {
  Entry* reusable = nullptr;
  for (Entry& entry : entries_) {
    // Unsigned differences stay right across the clock's wrap.
    const bool stale = !entry.used || nowMs - entry.lastMs >= kIntervalMs;
    if (entry.used && entry.address == address) {
      if (!stale) return false;
      entry.lastMs = nowMs;
      return true;
    }
    if (stale && reusable == nullptr) reusable = &entry;
  }
  if (reusable == nullptr) return false;
  *reusable = Entry{address, nowMs, true};
  return true;
}

}  // namespace kestrune
