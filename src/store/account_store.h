// The user accounts of the .usr file (at most 50, one of them Guest), the
// rules of their editing by administrators and their deferred saving.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/channel_source.h"
#include "store/permission_block.h"
#include "store/rank_store.h"
#include "store/spam.h"
#include "store/user_account.h"
#include "util/clock.h"

namespace kestrune {

// The connection that edits, as the edit rules see it.
struct AccountEditor {
  std::uint16_t id = 0;
  std::string name;
  bool adminMode = false;
  bool guest = false;           // logged in with the guest account
  PermissionBlock permissions;  // the connection's copy
};

// What an add or change request carries.
struct AccountRecord {
  PermissionBlock permissions;
  std::string name;
  std::string owner;
  std::string notes;
  std::string lockedReason;
  std::vector<std::uint16_t> chanAdmin;
  std::vector<std::uint16_t> chanAuth;
};

// One entry of the connection table, as the account store sees it.
struct SessionInfo {
  std::uint16_t id = 0;
  std::string name;
  bool loggedIn = false;
  bool guest = false;
  bool adminMode = false;
  std::uint16_t phantomOwner = 0;  // non-zero: a phantom of that connection
  std::uint16_t channel = 0;
};

// What the account store needs to do to live connections. The server
// implements it over the connection table, the channel tree and the senders.
class AccountSessions {
 public:
  virtual ~AccountSessions() = default;
  virtual std::vector<SessionInfo> Sessions() = 0;
  // The connection's permission copy; none when there is no such id.
  virtual std::optional<PermissionBlock> Permissions(std::uint16_t connectionId) = 0;
  virtual void SetPermissions(std::uint16_t connectionId, const PermissionBlock& block) = 0;
  virtual void SetAdminMode(std::uint16_t connectionId, bool on) = 0;
  // Sends the connection its copy (MSG_ACCOUNT_ADMIN action 5).
  virtual void SendPermissions(std::uint16_t connectionId) = 0;
  // Tells the client it has left AdminMode.
  virtual void NotifyAdminModeEnded(std::uint16_t connectionId) = 0;
  // Forgets the connection's channel access states (and its phantoms').
  virtual void ResetChannelAccess(std::uint16_t connectionId) = 0;
  // Rebuilds the connection's channel-administrator memberships and sends them.
  virtual void SetAdminChannels(std::uint16_t connectionId,
                                const std::vector<std::uint16_t>& channels) = 0;
  virtual void GrantChannelAuth(std::uint16_t connectionId, std::uint16_t channelId) = 0;
  virtual void RefreshChannelView(std::uint16_t connectionId) = 0;
  // A phantom is removed, any other connection moved to the lobby.
  virtual void TakeOutOfChannel(std::uint16_t connectionId) = 0;
  // Disconnect with notice (MSG_REFUSAL with close).
  virtual void Disconnect(std::uint16_t connectionId, int reason, const std::string& text) = 0;
  // Announces the new rank of the connection's user to the clients.
  virtual void AnnounceRankChange(std::uint16_t connectionId) = 0;
};

class AccountStore {
 public:
  static constexpr int kMaxUid = 50;
  static constexpr int kDefaultSaveDelay = 60;
  static constexpr int kMinSaveDelay = 10;
  static constexpr int kMaxSaveDelay = 3600;

  // Result codes of the edit operations.
  static constexpr int kDone = 0;
  static constexpr int kNoSuchAccount = 1;
  static constexpr int kNameExists = 2;
  static constexpr int kIncomplete = 3;
  static constexpr int kNoPassword = 4;
  static constexpr int kGuestNotDeletable = 6;
  static constexpr int kReservedName = 7;
  static constexpr int kIllegalCharacter = 8;
  static constexpr int kNotPermitted = 9;
  static constexpr int kNoNewOwner = 11;
  static constexpr int kBadNewOwner = 12;
  static constexpr int kNoFreeUid = 13;
  static constexpr int kLastUnlocked = 14;

  // Disconnect reasons the store uses.
  static constexpr int kReasonAccountLocked = 34;
  static constexpr int kReasonAccountDeleted = 44;

  static constexpr const char* kGuestCreateFailed =
      "ERROR: Failed to create mandatory GUEST account.";

  AccountStore(Clock& clock, std::string path, const RankStore& ranks);

  void SetChannels(const ChannelSource* channels) { channels_ = channels; }
  void SetSessions(AccountSessions* sessions) { sessions_ = sessions; }
  void SetLog(StoreLogSink log) { log_ = std::move(log); }
  // The -u delay in seconds, clamped to 10..3600.
  void SetSaveDelay(int seconds);
  int SaveDelay() const { return static_cast<int>(saveDelay_); }

  // Reads the accounts file (after the ranks and the channel tree). 0, or -1
  // when the file exists but cannot be read or the guest account cannot be
  // created (logged; start-up fails).
  int Load();
  // Writes the file when the save timer is armed. 0, or -1 when the write
  // failed: the timer is armed again and the save retried after the delay.
  int Save();
  int SaveIfDue();
  bool SavePending() const { return saveTimer_.Armed(); }

  UserAccount* FindByName(std::string_view name);
  // None for 0, above 50, or a free UID.
  UserAccount* FindByUid(int uid);
  UserAccount* GuestAccount();
  int Count() const;
  // The next account at or after `cursor` (advanced past it), or nullptr.
  UserAccount* Next(int& cursor);

  // 0, kReservedName or kIllegalCharacter.
  static int CheckLoginName(std::string_view name);

  // Edit operations; nullptr stands for a missing connection or record.
  int AddAccount(const AccountEditor* editor, const AccountRecord* record,
                 std::uint16_t* newUid = nullptr);
  int ModifyAccount(const AccountEditor* editor, const AccountRecord* record);
  int DeleteAccount(const AccountEditor* editor, int uid);
  int ReassignOwner(const AccountEditor* editor, int fromUid, int toUid);

  // Copies the account's block into the connection and grants it the
  // account's authorised channels.
  void ApplyToConnection(std::uint16_t connectionId, const UserAccount& account);
  void GrantAdminMode(std::uint16_t connectionId);
  void DropAdminMode(std::uint16_t connectionId);
  // The rights GrantAdminMode gives a permission copy.
  static void ApplyAdminRights(PermissionBlock& block);

  void RememberChannelAuth(std::uint16_t connectionId, std::uint16_t channelId);
  void ForgetChannelAuth(std::uint16_t channelId);
  void ChannelDeleted(std::uint16_t channelId);

  // 0 when the lock was free or already held by this connection; -1 with the
  // holder's user name when another connection holds it.
  int AcquireEditor(std::uint16_t connectionId, std::string_view userName, std::string& holder);
  void ReleaseEditor(std::uint16_t connectionId);
  bool HoldsEditor(std::uint16_t connectionId) const {
    return connectionId != 0 && editor_ == connectionId;
  }
  // A leaving connection gives up the editor.
  void Forget(std::uint16_t connectionId) { ReleaseEditor(connectionId); }

 private:
  std::uint16_t ResolvePath(const std::string& path) const;
  std::string PathOf(std::uint16_t channelId) const;
  bool ChannelExists(std::uint16_t channelId) const;
  bool Administers(const AccountEditor& editor, std::uint16_t channelId) const;
  void FilterLists(const AccountEditor& editor, std::vector<std::uint16_t>& chanAdmin,
                   std::vector<std::uint16_t>& chanAuth) const;
  bool IsProtected(const AccountEditor& editor, const UserAccount& account) const;
  int LowestFreeUid() const;
  bool OtherUnlockedAccount(const UserAccount* except) const;
  void ApplyUnlockRule();
  static void CleanGuest(UserAccount& guest);
  void PushToSessions(const UserAccount& account, bool rankChanged);
  std::optional<SessionInfo> FindSession(std::uint16_t connectionId);
  // A change while a save is pending keeps its start: the file is written the
  // delay after the first change, however busy the editors are.
  void ArmSave() {
    if (!saveTimer_.Armed()) saveTimer_.Arm(clock_.NowSeconds(), saveDelay_);
  }

  Clock& clock_;
  std::string path_;
  const RankStore& ranks_;
  const ChannelSource* channels_ = nullptr;
  AccountSessions* sessions_ = nullptr;
  StoreLogSink log_;
  std::uint32_t saveDelay_ = kDefaultSaveDelay;
  IntervalTimer saveTimer_;
  std::array<std::unique_ptr<UserAccount>, kMaxUid + 1> slots_;  // slot 0 unused
  std::uint16_t editor_ = 0;
  std::string editorName_;
};

}  // namespace kestrune
