#include "bench/soak_accounts.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "store/account_store.h"
#include "store/password_digest.h"
#include "store/rank_store.h"
#include "util/clock.h"

namespace kestrune::bench {
namespace {

constexpr std::size_t kDigestAt = 4;
constexpr std::size_t kDigestEnd = kDigestAt + 32;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool Managed(const std::string& name) {
  return strncasecmp(name.c_str(), AccountModel::kPrefix, std::strlen(AccountModel::kPrefix)) == 0;
}

// The first byte outside the digest where the blocks differ, or -1.
int BlockDifference(const std::array<std::uint8_t, 104>& a,
                    const std::array<std::uint8_t, 104>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i >= kDigestAt && i < kDigestEnd) continue;
    if (a[i] != b[i]) return static_cast<int>(i);
  }
  return -1;
}

// The texts and the block the server kept, against the acknowledged ones.
std::string Compare(const AccountData& expected, const AccountData& got) {
  if (got.name != expected.name) return "name '" + got.name + "'";
  if (const int at = BlockDifference(expected.block, got.block); at >= 0) {
    return "permission byte " + std::to_string(at) + " is " + std::to_string(got.block[at]) +
           ", acknowledged " + std::to_string(expected.block[at]);
  }
  if (got.notes != expected.notes) return "notes '" + got.notes + "'";
  if (got.lockedReason != expected.lockedReason) return "locked reason '" + got.lockedReason + "'";
  return "";
}

AccountData Zeroed(AccountData record) {
  std::fill(record.block.begin() + kDigestAt, record.block.begin() + kDigestEnd, 0);
  return record;
}

}  // namespace

void AccountModel::Sent(std::uint16_t action, const AccountData& record,
                        const std::string& password) {
  pending_ = Pending{action, record, password};
}

void AccountModel::Answered(int result, const AccountData* stored) {
  if (!pending_) return;
  const Pending pending = *pending_;
  pending_.reset();
  if (result != 0) return;
  switch (pending.action) {
    case 1:
      if (stored != nullptr) present_[stored->Uid()] = {pending.password, Zeroed(*stored), false};
      break;
    case 2:
      if (auto it = present_.find(pending.record.Uid()); it != present_.end()) {
        deleted_.insert(Lower(it->second.record.name));
        present_.erase(it);
      }
      break;
    case 3:
      if (auto it = present_.find(pending.record.Uid());
          it != present_.end() && stored != nullptr) {
        it->second.password = pending.password;
        it->second.record = Zeroed(*stored);
      }
      break;
    default:
      break;
  }
}

void AccountModel::Lost() {
  // The pending edit stays in doubt until a listing settles it.
}

std::vector<std::string> AccountModel::Reconcile(const std::vector<AccountData>& listing) {
  std::vector<std::string> problems;
  std::map<std::string, const AccountData*> byName;
  for (const AccountData& record : listing) byName[Lower(record.name)] = &record;

  // The edit in doubt: the listing says whether it happened.
  if (pending_) {
    const Pending pending = *pending_;
    pending_.reset();
    const auto found = byName.find(Lower(pending.record.name));
    const AccountData* now = found != byName.end() ? found->second : nullptr;
    if (pending.action == 1 && now != nullptr) {
      present_[now->Uid()] = {pending.password, Zeroed(*now), false};
    } else if (pending.action == 2 || pending.action == 3) {
      auto it = present_.find(pending.record.Uid());
      if (it != present_.end()) {
        if (now == nullptr) {
          deleted_.insert(Lower(it->second.record.name));
          present_.erase(it);
        } else {
          // Every change carries fresh notes: they tell whether it (and its
          // password) took effect.
          if (pending.action == 3 && now->notes == pending.record.notes) {
            it->second.password = pending.password;
          }
          it->second.record = Zeroed(*now);
        }
      }
    }
  }

  for (const auto& [uid, account] : present_) {
    const auto found = byName.find(Lower(account.record.name));
    if (found == byName.end()) {
      problems.push_back("listing lacks acknowledged account " + account.record.name);
      continue;
    }
    std::string difference = found->second->Uid() != uid
                                 ? "UID " + std::to_string(found->second->Uid())
                                 : Compare(account.record, *found->second);
    if (!difference.empty()) {
      problems.push_back("listing: " + account.record.name + ": " + difference);
    }
  }
  for (const AccountData& record : listing) {
    if (!Managed(record.name)) continue;
    if (deleted_.count(Lower(record.name)) != 0) {
      problems.push_back("listing holds deleted account " + record.name);
    } else if (present_.count(record.Uid()) == 0) {
      problems.push_back("listing holds unknown account " + record.name);
    }
  }
  return problems;
}

void AccountModel::Adopt(const AccountData& record, const std::string& password) {
  if (present_.count(record.Uid()) == 0) present_[record.Uid()] = {password, Zeroed(record), true};
}

const ModelAccount* AccountModel::Pick(std::size_t position, bool withLive) const {
  std::vector<const ModelAccount*> candidates;
  for (const auto& [uid, account] : present_) {
    if (withLive || !account.live) candidates.push_back(&account);
  }
  if (candidates.empty()) return nullptr;
  return candidates[position % candidates.size()];
}

std::vector<std::string> CheckStoredAccounts(
    const std::string& accountsPath, const std::string& ranksPath, const AccountModel& model,
    const std::vector<std::pair<std::string, std::string>>& untouched, int& checked) {
  std::vector<std::string> problems;
  checked = 0;
  SystemClock clock;
  RankStore ranks(clock, ranksPath);
  ranks.Load();
  AccountStore accounts(clock, accountsPath, ranks);
  if (accounts.Load() != 0) {
    problems.push_back("the accounts file does not load");
    return problems;
  }
  for (const auto& [uid, account] : model.Present()) {
    ++checked;
    const UserAccount* stored = accounts.FindByName(account.record.name);
    if (stored == nullptr) {
      problems.push_back("file lacks acknowledged account " + account.record.name);
      continue;
    }
    AccountData got;
    got.block = stored->permissions.Raw();
    got.name = stored->name;
    got.notes = stored->notes;
    got.lockedReason = stored->lockedReason;
    std::string difference = stored->Uid() != uid ? "UID " + std::to_string(stored->Uid())
                                                  : Compare(account.record, got);
    PasswordDigest digest;
    digest.FromPlain(account.password);
    if (difference.empty() && !stored->permissions.Digest().Equals(digest)) {
      difference = "password digest";
    }
    if (!difference.empty()) problems.push_back("file: " + account.record.name + ": " + difference);
  }
  for (const std::string& name : model.Deleted()) {
    ++checked;
    if (accounts.FindByName(name) != nullptr)
      problems.push_back("file holds deleted account " + name);
  }
  for (const auto& [name, password] : untouched) {
    ++checked;
    const UserAccount* stored = accounts.FindByName(name);
    PasswordDigest digest;
    digest.FromPlain(password);
    if (stored == nullptr) {
      problems.push_back("file lacks account " + name);
    } else if (!stored->permissions.Digest().Equals(digest)) {
      problems.push_back("file: " + name + ": password digest");
    }
  }
  if (accounts.GuestAccount() == nullptr) problems.push_back("file lacks the guest account");
  int cursor = 1;
  while (const UserAccount* stored = accounts.Next(cursor)) {
    if (Managed(stored->name) && model.Present().count(stored->Uid()) == 0 &&
        model.Deleted().count(Lower(stored->name)) == 0 && !model.InDoubt()) {
      problems.push_back("file holds unknown account " + stored->name);
    }
  }
  return problems;
}

}  // namespace kestrune::bench
