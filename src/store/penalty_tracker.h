// Per-account offence counters by client address, and the login refusal in
// minutes that they lead to. Memory only; never written to a file.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <vector>

namespace kestrune {

enum OffenceKind : int {
  kOffenceAccountPassword = 0,
  kOffenceAdminPassword = 1,
  kOffenceUnknownMessage = 2,
  kOffenceChannelPassword = 3,
  kOffenceConsoleWithoutRcon = 4,
};

struct PenaltyEntry {
  std::uint32_t address = 0;  // IPv4, the key
  std::time_t lastUsed = 0;
  std::int32_t penaltyMinutes = 0;  // grows, never shrinks
  std::time_t penaltyStart = 0;     // 0 = no penalty running
  std::int32_t penaltyLength = 0;   // seconds
  std::array<std::uint32_t, 5> counters{};
};

class PenaltyTracker {
 public:
  static constexpr std::size_t kMaxEntries = 1010;

  // Result of RecordOffence.
  static constexpr int kCounted = 0;
  static constexpr int kPenaltyStarted = 1;  // the caller disconnects the connection

  // Counts one offence of `kind` from `address` (creating the entry). Kinds 0,
  // 1 and 3 start a penalty when their counter reaches its step; 2 and 4 are
  // only counted; kinds above 4 do nothing.
  int RecordOffence(std::uint32_t address, int kind, std::time_t now);
  // Sets the counter of `kind` to 0 when the address has an entry.
  void ResetOffences(std::uint32_t address, int kind, std::time_t now);
  // 0, or the minutes for which logins from `address` are still refused.
  int AdmissionCheck(std::uint32_t address, std::time_t now);
  void ClearPenalties() { entries_.clear(); }

  std::size_t EntryCount() const { return entries_.size(); }
  // The entry of `address` without touching it, or nullptr.
  const PenaltyEntry* Peek(std::uint32_t address) const;

 private:
  PenaltyEntry* Find(std::uint32_t address, std::time_t now);
  PenaltyEntry& FindOrCreate(std::uint32_t address, std::time_t now);

  std::vector<PenaltyEntry> entries_;
};

}  // namespace kestrune
