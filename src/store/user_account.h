// One user account: its permission block, texts, channel lists and the
// in-memory offence counters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/penalty_tracker.h"
#include "store/permission_block.h"

namespace kestrune {

struct UserAccount {
  static constexpr std::size_t kNameLimit = 31;   // bytes
  static constexpr std::size_t kOwnerLimit = 32;  // texts are shorter than these
  static constexpr std::size_t kNotesLimit = 256;
  static constexpr std::size_t kLockedReasonLimit = 128;

  PermissionBlock permissions;
  std::string name;
  std::string owner;  // empty = no owner
  std::string notes;
  std::string lockedReason;
  std::vector<std::uint16_t> chanAdmin;
  std::vector<std::uint16_t> chanAuth;
  PenaltyTracker penalties;
  bool isGuest = false;

  std::uint16_t Uid() const { return permissions.Uid(); }
};

}  // namespace kestrune
