// What the soak's administrator was told about its account edits: the
// accounts the server acknowledged (with the record it said it stored), the
// ones it acknowledged deleting, and the edits whose answer was lost with the
// connection. The listing of the next editor session settles those, and the
// accounts file must hold all of it after the server stops.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/editor_requests.h"

namespace kestrune::bench {

struct ModelAccount {
  std::string password;  // plain, for the stored digest
  AccountData record;    // as acknowledged; the digest bytes zero
  bool live = false;     // a soak client logs in with it: never deleted or locked
};

class AccountModel {
 public:
  // Every account the soak adds has a name with this prefix.
  static constexpr const char* kPrefix = "Acct";

  // An edit goes out: until its answer it is in doubt.
  void Sent(std::uint16_t action, const AccountData& record, const std::string& password);
  // Its answer: result 0 with the stored record (add, change) or none (delete).
  void Answered(int result, const AccountData* stored);
  // The connection ended before the answer.
  void Lost();

  // Compares an editor listing with what was acknowledged and settles the
  // edit in doubt from it. The disagreements, as text.
  std::vector<std::string> Reconcile(const std::vector<AccountData>& listing);

  // Takes an account a client logs in with into the model, as listed.
  void Adopt(const AccountData& record, const std::string& password);

  bool InDoubt() const { return pending_.has_value(); }
  std::size_t PresentCount() const { return present_.size(); }
  std::size_t DeletedCount() const { return deleted_.size(); }
  const std::map<std::uint16_t, ModelAccount>& Present() const { return present_; }
  const std::set<std::string>& Deleted() const { return deleted_; }
  // A random acknowledged account (by position), or none; live ones only
  // when `withLive`.
  const ModelAccount* Pick(std::size_t position, bool withLive) const;
  std::string NextName() { return kPrefix + std::to_string(++named_); }

 private:
  struct Pending {
    std::uint16_t action = 0;
    AccountData record;
    std::string password;
  };

  std::map<std::uint16_t, ModelAccount> present_;  // by UID
  std::set<std::string> deleted_;                  // names, never reused
  std::optional<Pending> pending_;
  int named_ = 0;
};

// Loads the accounts file (and the ranks file beside it) with the server's
// own stores and checks every acknowledged account and deletion, and that
// the accounts nobody edited (`untouched`: name and password) are still there
// with their passwords. The problems found, as text; `checked` counts what
// was compared.
std::vector<std::string> CheckStoredAccounts(
    const std::string& accountsPath, const std::string& ranksPath, const AccountModel& model,
    const std::vector<std::pair<std::string, std::string>>& untouched, int& checked);

}  // namespace kestrune::bench
