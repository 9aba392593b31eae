// Keeps a repeated log line to at most one per second per address, so a
// connection flood cannot fill the disk with the same line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune {

class AddressThrottle {
 public:
  static constexpr std::size_t kAddresses = 256;
  static constexpr std::uint32_t kIntervalMs = 1000;

  // True when the line for `address` may be written now (and records it):
  // the address was not seen in the last second. A new address takes a free
  // entry or one older than a second; with all 256 seen within the second
  // the line is dropped.
  bool Allow(std::uint32_t address, std::uint32_t nowMs);

 private:
  struct Entry {
    std::uint32_t address = 0;
    std::uint32_t lastMs = 0;
    bool used = false;
  };
  std::array<Entry, kAddresses> entries_{};
};

}  // namespace kestrune
