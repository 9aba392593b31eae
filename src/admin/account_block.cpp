#include "admin/account_block.h"

#include <strings.h>

#include "store/permission_block.h"

namespace kestrune {

const std::vector<AccountRight>& AccountRights() {
  // The accounts file's own keys: the yes/no ones among the leading keys,
  // then every flag.
  static const std::vector<AccountRight> rights = [] {
    std::vector<AccountRight> list;
    for (const PermissionKey& key : LeadingPermissionKeys()) {
      if (key.offset == PermissionBlock::kReserved || key.offset == PermissionBlock::kChanSwitch) {
        list.push_back(AccountRight{key.key, key.offset, key.defaultValue});
      }
    }
    for (const PermissionKey& key : FlagPermissionKeys()) {
      list.push_back(AccountRight{key.key, key.offset, key.defaultValue});
    }
    return list;
  }();
  return rights;
}

const AccountRight* FindAccountRight(const std::string& name) {
  for (const AccountRight& right : AccountRights()) {
    if (strcasecmp(right.name, name.c_str()) == 0) return &right;
  }
  return nullptr;
}

AccountBlock DefaultAccountBlock() {
  AccountBlock block{};
  for (const AccountRight& right : AccountRights()) block[right.offset] = right.byDefault;
  return block;
}

std::string AdminRightsText(const AccountBlock& block) {
  std::string text;
  for (const AccountRight& right : AccountRights()) {
    if (right.offset < PermissionBlock::kServerAdmin ||
        right.offset > PermissionBlock::kReservedAssign || block[right.offset] == 0) {
      continue;
    }
    if (!text.empty()) text += ",";
    text += right.name;
  }
  return text;
}

}  // namespace kestrune
