// The 104-byte permission block of an account as the tool edits it: the
// defaults an account of the accounts file gets, and the rights by name.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/permission_block.h"

namespace kestrune {

using AccountBlock = PermissionBlock::Bytes;

constexpr std::size_t kBlockDigestAt = PermissionBlock::kDigest;
constexpr std::size_t kBlockRankAt = PermissionBlock::kRank;
constexpr std::size_t kBlockLockedAt = PermissionBlock::kLocked;
constexpr std::size_t kBlockAdminModeAt = PermissionBlock::kAdminModeMirror;

struct AccountRight {
  const char* name;  // the accounts file's key
  std::size_t offset;
  std::uint8_t byDefault;
};

// Every one-byte right of the block, in block order.
const std::vector<AccountRight>& AccountRights();
// The right named `name` (any letter case), or nullptr.
const AccountRight* FindAccountRight(const std::string& name);
// A block with every right at the accounts file's default, no digest.
AccountBlock DefaultAccountBlock();
// The set rights among offsets 56..70 (the administrator rights), comma-separated.
std::string AdminRightsText(const AccountBlock& block);

}  // namespace kestrune
