#include "store/account_store.h"

#include <algorithm>
#include <set>

#include "store/ini_file.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr const char* kGuestName = "Guest";
constexpr const char* kUnknownReason = "Unknown";
constexpr std::string_view kNameForbidden = ",;|%";
constexpr std::size_t kNameScanLimit = 32;

bool IsGuestName(std::string_view name) {
  return EqualsIgnoreCase(name, kGuestName);
}

// The administrator rights that only an editor in AdminMode may hand out.
void CopyAdminOnlyBytes(P& to, const P& from) {
  to.SetByte(P::kComplaintsRecv, from.Byte(P::kComplaintsRecv));
  for (std::size_t at = P::kServerAdmin; at <= P::kReservedAssign; ++at) {
    to.SetByte(at, from.Byte(at));
  }
  to.SetByte(P::kMuteOthersPTT, from.Byte(P::kMuteOthersPTT));
}

void ClearAdminOnlyBytes(P& block) {
  CopyAdminOnlyBytes(block, P());
}

void ApplyUnknownReason(UserAccount& account) {
  if (account.permissions.Has(P::kLocked) && account.lockedReason.empty()) {
    account.lockedReason = kUnknownReason;
  }
}

void MoveToEnd(std::vector<std::uint16_t>& list, std::uint16_t id) {
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
  list.push_back(id);
}

bool RemoveId(std::vector<std::uint16_t>& list, std::uint16_t id) {
  auto end = std::remove(list.begin(), list.end(), id);
  bool changed = end != list.end();
  list.erase(end, list.end());
  return changed;
}

std::uint8_t ReadByte(const IniSection& section, const char* key, std::uint8_t fallback) {
  const IniEntry* entry = section.FindEntry(key);
  if (entry == nullptr) return fallback;
  return static_cast<std::uint8_t>(AtoiRule(entry->value.c_str()));
}

std::string ReadText(const IniSection& section, const char* key, bool escaped, std::size_t limit) {
  const IniEntry* entry = section.FindEntry(key);
  if (entry == nullptr) return {};
  std::string text = entry->value;
  if (escaped) UnescapeText(text);
  if (text.size() >= limit) text.clear();
  return text;
}

// A load-time account name: no control byte, none of ",;|%", 1 to 31 bytes.
bool AcceptableFileName(const std::string& name) {
  return !name.empty() && name.size() <= UserAccount::kNameLimit && !HasControlChar(name) &&
         !HasAnyOf(name, kNameForbidden);
}

}  // namespace

AccountStore::AccountStore(Clock& clock, std::string path, const RankStore& ranks)
    : clock_(clock), path_(std::move(path)), ranks_(ranks) {}

void AccountStore::SetSaveDelay(int seconds) {
  saveDelay_ = static_cast<std::uint32_t>(std::clamp(seconds, kMinSaveDelay, kMaxSaveDelay));
}

std::uint16_t AccountStore::ResolvePath(const std::string& path) const {
  if (channels_ == nullptr || path.empty()) return 0;
  return channels_->ChannelIdByPath(path);
}

std::string AccountStore::PathOf(std::uint16_t channelId) const {
  if (channels_ == nullptr || channelId == 0) return {};
  return channels_->ChannelPath(channelId);
}

bool AccountStore::ChannelExists(std::uint16_t channelId) const {
  return channels_ != nullptr && channelId != 0 && channels_->ChannelExists(channelId);
}

bool AccountStore::Administers(const AccountEditor& editor, std::uint16_t channelId) const {
  if (editor.adminMode) return true;
  return channels_ != nullptr && channels_->IsChannelAdmin(editor.id, channelId);
}

// ---------------------------------------------------------------- load / save

int AccountStore::Load() {
  for (auto& slot : slots_) slot.reset();
  saveTimer_.Disarm();
  IniFile file;
  // A file that is there but cannot be read must not be replaced by a
  // guest-only one at the next save: the start fails instead.
  if (file.Load(path_, true) == IniFile::kUnreadable) {
    if (log_) log_("ERROR: Unable to read the accounts file '" + path_ + "'.");
    return -1;
  }

  // UIDs written in the file are kept free for the records that name them.
  std::set<int> fileUids;
  for (int i = 0; i < file.SectionCount(); ++i) {
    if (const IniEntry* uid = file.SectionAt(i)->FindEntry("UID")) {
      fileUids.insert(static_cast<std::uint16_t>(AtoiRule(uid->value.c_str())));
    }
  }

  bool fixed = false;
  for (int i = 0; i < file.SectionCount(); ++i) {
    const IniSection& section = *file.SectionAt(i);
    std::string name = section.Name();
    TrimBlanks(name);
    if (!AcceptableFileName(name) || FindByName(name) != nullptr) {
      fixed = true;
      continue;
    }

    int uid = 0;
    if (const IniEntry* entry = section.FindEntry("UID")) {
      uid = static_cast<std::uint16_t>(AtoiRule(entry->value.c_str()));
      if (uid < 1 || uid > kMaxUid) continue;
      if (slots_[uid]) {
        fixed = true;
        continue;
      }
    } else {
      for (int candidate = 1; candidate <= kMaxUid && uid == 0; ++candidate) {
        if (!slots_[candidate] && fileUids.count(candidate) == 0) uid = candidate;
      }
      if (uid == 0) continue;
      fixed = true;
    }

    auto account = std::make_unique<UserAccount>();
    account->name = name;
    P& block = account->permissions;
    block.SetUid(static_cast<std::uint16_t>(uid));
    PasswordDigest digest;
    if (const IniEntry* pass = section.FindEntry("EncPass")) digest.FromHex(pass->value);
    if (!IsGuestName(name) && !digest.IsSet()) {
      fixed = true;
      continue;
    }
    block.SetDigest(digest);

    account->owner = ReadText(section, "Owner", false, UserAccount::kOwnerLimit);
    account->notes = ReadText(section, "Notes", true, UserAccount::kNotesLimit);
    account->lockedReason =
        ReadText(section, "LockedReason", true, UserAccount::kLockedReasonLimit);
    for (const PermissionKey& key : LeadingPermissionKeys()) {
      block.SetByte(key.offset, ReadByte(section, key.key, key.defaultValue));
    }
    for (const PermissionKey& key : FlagPermissionKeys()) {
      block.SetByte(key.offset, ReadByte(section, key.key, key.defaultValue));
    }
    if (ranks_.RankById(block.RankId()) == nullptr) block.SetRankId(0);
    if (const IniEntry* defChan = section.FindEntry("DefChan")) {
      block.SetDefChan(ResolvePath(defChan->value));
    }

    for (auto [listKey, list] :
         {std::pair{"ChanAdmin", &account->chanAdmin}, std::pair{"ChanAuth", &account->chanAuth}}) {
      std::string base = listKey;
      int count = AtoiRule(section.FindEntry(base + "Count") != nullptr
                               ? section.FindEntry(base + "Count")->value.c_str()
                               : "0");
      for (int k = 0; k < count; ++k) {
        const IniEntry* entry = section.FindEntry(base + std::to_string(k));
        if (entry == nullptr) break;
        if (std::uint16_t id = ResolvePath(entry->value)) list->push_back(id);
      }
    }

    bool anyUsersKey = false;
    for (const char* key : {"UsersAdd", "UsersDelete", "UsersBan", "UsersKick", "UsersMove"}) {
      if (section.FindEntry(key) != nullptr) anyUsersKey = true;
    }
    if (block.Has(P::kServerAdmin) && !anyUsersKey) {
      for (std::size_t at = P::kUsersAdd; at <= P::kReservedAssign; ++at) block.SetByte(at, 1);
      fixed = true;
    }
    ApplyUnknownReason(*account);
    slots_[uid] = std::move(account);
  }

  UserAccount* guest = FindByName(kGuestName);
  if (guest != nullptr) {
    guest->isGuest = true;
    guest->chanAdmin.clear();
    guest->chanAuth.clear();
  } else {
    int uid = LowestFreeUid();
    if (uid == 0) {
      slots_[kMaxUid].reset();
      uid = kMaxUid;
    }
    auto created = std::make_unique<UserAccount>();
    created->name = kGuestName;
    created->isGuest = true;
    P& block = created->permissions;
    block.SetUid(static_cast<std::uint16_t>(uid));
    for (std::size_t at :
         {P::kChanSwitch, P::kVoiceRecv,       P::kPhantomsAdd,    P::kRecord,
          P::kBroadcast,  P::kBroadcastLobby,  P::kBroadcastU2U,   P::kBroadcastCrossChan,
          P::kSendTTS,    P::kSendWave,        P::kSendPages,      P::kSendComments,
          P::kPhonetic,   P::kSoundsComment,   P::kSoundsEvents,   P::kChatGlobal,
          P::kSeeGuests,  P::kSeeNonGuests,    P::kSeeMotd,        P::kSeeServerComment,
          P::kSeeChan,    P::kSeeChanComments, P::kSeeUserComments}) {
      block.SetByte(at, 1);
    }
    slots_[uid] = std::move(created);
    guest = slots_[uid].get();
    fixed = true;
  }
  if (guest == nullptr) {
    if (log_) log_(kGuestCreateFailed);
    return -1;
  }
  CleanGuest(*guest);

  if (fixed) ArmSave();
  ApplyUnlockRule();
  return 0;
}

void AccountStore::CleanGuest(UserAccount& guest) {
  guest.owner.clear();
  ApplyUnknownReason(guest);
  P& block = guest.permissions;
  block.SetByte(P::kReserved, 0);
  block.SetByte(P::kComplaintsRecv, 0);
  block.SetByte(P::kMuteOthersPTT, 0);
  block.ClearRange(P::kServerAdmin, P::kReservedAssign);
  block.ClearDigest();
}

int AccountStore::Save() {
  if (!saveTimer_.Armed()) return 0;
  saveTimer_.Disarm();
  IniFile file;
  for (int uid = 1; uid <= kMaxUid; ++uid) {
    const UserAccount* account = slots_[uid].get();
    if (account == nullptr) continue;
    const P& block = account->permissions;
    if (!account->isGuest && !block.Digest().IsSet()) continue;
    IniSection& section = file.AddSection(account->name, true);
    auto add = [&section](std::string_view key, std::string value) {
      section.AddEntry(key).value = std::move(value);
    };
    add("UID", std::to_string(block.Uid()));
    add("EncPass", account->isGuest ? std::string() : block.Digest().ToHex());
    add("Owner", account->owner);
    add("Notes", EscapeText(account->notes));
    add("LockedReason", EscapeText(account->lockedReason));
    for (const PermissionKey& key : LeadingPermissionKeys()) {
      add(key.key, std::to_string(block.Byte(key.offset)));
    }
    add("DefChan", PathOf(block.DefChan()));
    for (const PermissionKey& key : FlagPermissionKeys()) {
      add(key.key, std::to_string(block.Byte(key.offset)));
    }
    for (auto [listKey, list] :
         {std::pair{"ChanAdmin", &account->chanAdmin}, std::pair{"ChanAuth", &account->chanAuth}}) {
      std::string base = listKey;
      // The count keeps the ids of channels that have gone; their keys do not.
      add(base + "Count", std::to_string(list->size()));
      int index = 0;
      for (std::uint16_t id : *list) {
        if (!ChannelExists(id)) continue;
        add(base + std::to_string(index++), PathOf(id));
      }
    }
  }
  if (file.Save(path_) != 0) {
    ArmSave();
    return -1;
  }
  return 0;
}

int AccountStore::SaveIfDue() {
  if (!saveTimer_.Expired(clock_.NowSeconds())) return 0;
  return Save();
}

// ---------------------------------------------------------------- lookups

UserAccount* AccountStore::FindByName(std::string_view name) {
  for (auto& slot : slots_) {
    if (slot && EqualsIgnoreCase(slot->name, name)) return slot.get();
  }
  return nullptr;
}

UserAccount* AccountStore::FindByUid(int uid) {
  if (uid < 1 || uid > kMaxUid) return nullptr;
  return slots_[uid].get();
}

UserAccount* AccountStore::GuestAccount() {
  for (auto& slot : slots_) {
    if (slot && slot->isGuest) return slot.get();
  }
  return nullptr;
}

int AccountStore::Count() const {
  return static_cast<int>(std::count_if(slots_.begin(), slots_.end(),
                                        [](const auto& slot) { return slot != nullptr; }));
}

UserAccount* AccountStore::Next(int& cursor) {
  if (cursor < 1) cursor = 1;
  for (; cursor <= kMaxUid; ++cursor) {
    if (slots_[cursor]) return slots_[cursor++].get();
  }
  return nullptr;
}

int AccountStore::LowestFreeUid() const {
  for (int uid = 1; uid <= kMaxUid; ++uid) {
    if (!slots_[uid]) return uid;
  }
  return 0;
}

int AccountStore::CheckLoginName(std::string_view name) {
  for (const char* reserved : {"ADMIN", "CONSOLE", "GUEST", "(GUEST)"}) {
    if (EqualsIgnoreCase(name, reserved)) return kReservedName;
  }
  if (name.size() >= 8 &&
      std::all_of(name.begin(), name.begin() + 8, [](char c) { return c == 'x' || c == 'X'; })) {
    return kReservedName;
  }
  std::string_view scanned = name.substr(0, std::min(name.size(), kNameScanLimit));
  if (HasControlChar(scanned) || HasAnyOf(scanned, kNameForbidden)) return kIllegalCharacter;
  return 0;
}

// ---------------------------------------------------------------- edit rules

bool AccountStore::IsProtected(const AccountEditor& editor, const UserAccount& account) const {
  if (editor.adminMode) return false;
  return editor.guest || account.owner.empty() || !EqualsIgnoreCase(account.owner, editor.name);
}

bool AccountStore::OtherUnlockedAccount(const UserAccount* except) const {
  for (const auto& slot : slots_) {
    if (slot && !slot->isGuest && slot.get() != except && !slot->permissions.Has(P::kLocked)) {
      return true;
    }
  }
  return false;
}

void AccountStore::ApplyUnlockRule() {
  UserAccount* guest = GuestAccount();
  if (guest == nullptr || OtherUnlockedAccount(nullptr)) return;
  guest->permissions.SetByte(P::kLocked, 0);
  ArmSave();
}

void AccountStore::FilterLists(const AccountEditor& editor, std::vector<std::uint16_t>& chanAdmin,
                               std::vector<std::uint16_t>& chanAuth) const {
  if (editor.adminMode) return;
  std::erase_if(chanAdmin,
                [&](std::uint16_t id) { return !ChannelExists(id) || !Administers(editor, id); });
  std::erase_if(chanAuth, [&](std::uint16_t id) {
    return !ChannelExists(id) || channels_->ProtMode(id) != 2 || !Administers(editor, id);
  });
}

int AccountStore::AddAccount(const AccountEditor* editor, const AccountRecord* record,
                             std::uint16_t* newUid) {
  if (editor == nullptr) return kIncomplete;
  if (!editor->adminMode && !editor->permissions.Has(P::kUsersAdd)) return kNotPermitted;
  if (record == nullptr || record->name.empty()) return kIncomplete;
  const std::string& name = record->name;
  if (name.size() >= 5 && EqualsIgnoreCase(std::string_view(name).substr(0, 5), "GUEST")) {
    return kNameExists;
  }
  int uid = LowestFreeUid();
  if (uid == 0) return kNoFreeUid;
  if (int code = CheckLoginName(name)) return code;
  if (FindByName(name) != nullptr) return kNameExists;
  P block = record->permissions;
  if (!block.Digest().IsSet()) return kNoPassword;

  auto account = std::make_unique<UserAccount>();
  account->name = name;
  account->owner = record->owner;
  account->notes = record->notes;
  account->lockedReason = record->lockedReason;

  if (!editor->adminMode) ClearAdminOnlyBytes(block);
  if (!editor->permissions.Has(P::kRankAssign) || ranks_.RankById(block.RankId()) == nullptr) {
    block.SetRankId(0);
  }
  if (!editor->permissions.Has(P::kReservedAssign)) block.SetByte(P::kReserved, 0);
  if (block.DefChan() != 0 && !Administers(*editor, block.DefChan())) block.SetDefChan(0);
  block.SetByte(P::kExtraAdmin1, 0);
  block.SetByte(P::kExtraAdmin2, 0);
  block.SetByte(P::kAdminModeMirror, 0);
  block.ClearUnusedBytes();
  block.SetUid(static_cast<std::uint16_t>(uid));
  account->permissions = block;
  ApplyUnknownReason(*account);

  std::vector<std::uint16_t> chanAdmin = record->chanAdmin;
  std::vector<std::uint16_t> chanAuth = record->chanAuth;
  FilterLists(*editor, chanAdmin, chanAuth);
  if (editor->permissions.Has(P::kChanEditAdmins)) account->chanAdmin = chanAdmin;
  for (std::uint16_t id : chanAuth) {
    if (id != 0) account->chanAuth.push_back(id);
  }

  slots_[uid] = std::move(account);
  if (newUid != nullptr) *newUid = static_cast<std::uint16_t>(uid);
  ArmSave();
  return kDone;
}

int AccountStore::ModifyAccount(const AccountEditor* editor, const AccountRecord* record) {
  if (editor == nullptr || record == nullptr) return kIncomplete;
  if (!editor->adminMode && !editor->permissions.Has(P::kUsersAdd)) return kNotPermitted;
  UserAccount* account = FindByUid(record->permissions.Uid());
  if (account == nullptr || !EqualsIgnoreCase(account->name, record->name)) return kNoSuchAccount;
  if (IsProtected(*editor, *account)) return kNotPermitted;
  P block = record->permissions;
  if (!editor->adminMode) {
    if (account->isGuest) return kNotPermitted;
    CopyAdminOnlyBytes(block, account->permissions);
  }
  if (account->isGuest && block.Has(P::kLocked) && !OtherUnlockedAccount(account)) {
    return kLastUnlocked;
  }

  if (account->isGuest) {
    block.ClearDigest();
  } else if (!block.Digest().IsSet()) {
    block.SetDigest(account->permissions.Digest());
  }
  if (editor->adminMode && !record->owner.empty()) {
    const UserAccount* owner = FindByName(record->owner);
    if (owner != nullptr && owner->permissions.Has(P::kUsersAdd)) account->owner = owner->name;
  }
  account->notes = record->notes;
  account->lockedReason = record->lockedReason;

  bool rankChanged = false;
  if (block.RankId() != account->permissions.RankId()) {
    if (editor->permissions.Has(P::kRankAssign)) {
      if (ranks_.RankById(block.RankId()) == nullptr) block.SetRankId(0);
      rankChanged = block.RankId() != account->permissions.RankId();
    } else {
      block.SetRankId(account->permissions.RankId());
    }
  }
  if (!editor->permissions.Has(P::kReservedAssign)) {
    block.SetByte(P::kReserved, account->permissions.Byte(P::kReserved));
  }
  if (block.DefChan() != 0 && !Administers(*editor, block.DefChan())) block.SetDefChan(0);
  block.SetByte(P::kExtraAdmin1, 0);
  block.SetByte(P::kExtraAdmin2, 0);
  block.SetByte(P::kAdminModeMirror, 0);
  block.ClearUnusedBytes();
  block.SetUid(account->Uid());
  account->permissions = block;
  ApplyUnknownReason(*account);
  if (account->isGuest) {
    CleanGuest(*account);
    account->chanAdmin.clear();
    account->chanAuth.clear();
  }
  if (editor->adminMode) account->penalties.ClearPenalties();

  if (editor->permissions.Has(P::kChanEditAdmins) && !account->isGuest) {
    std::vector<std::uint16_t> chanAdmin = record->chanAdmin;
    std::vector<std::uint16_t> chanAuth = record->chanAuth;
    FilterLists(*editor, chanAdmin, chanAuth);
    std::erase(chanAuth, 0);
    // The connected users get the new lists in the push below, in the order
    // an account change follows: access reset, admin channels, grants, then
    // out of the ProtMode 2 channels no longer granted.
    account->chanAdmin = chanAdmin;
    account->chanAuth = chanAuth;
  }

  ApplyUnlockRule();
  ArmSave();
  PushToSessions(*account, rankChanged);
  return kDone;
}

void AccountStore::PushToSessions(const UserAccount& account, bool rankChanged) {
  if (sessions_ == nullptr) return;
  std::vector<SessionInfo> sessions = sessions_->Sessions();
  auto owner = [&sessions](std::uint16_t id) -> const SessionInfo* {
    for (const SessionInfo& s : sessions) {
      if (s.id == id) return &s;
    }
    return nullptr;
  };
  auto take = [this, &account](std::uint16_t id) {
    sessions_->SetPermissions(id, account.permissions);
  };

  if (account.isGuest) {
    for (const SessionInfo& s : sessions) {
      bool affected = s.guest;
      if (s.phantomOwner != 0) {
        const SessionInfo* o = owner(s.phantomOwner);
        affected = o == nullptr || o->guest;
      }
      if (!affected) continue;
      take(s.id);
      if (s.loggedIn && s.phantomOwner == 0) sessions_->SendPermissions(s.id);
    }
    return;
  }

  for (const SessionInfo& s : sessions) {
    if (s.phantomOwner == 0) continue;
    const SessionInfo* o = owner(s.phantomOwner);
    if (o != nullptr && o->loggedIn && !o->guest && EqualsIgnoreCase(o->name, account.name)) {
      take(s.id);
    }
  }
  for (const SessionInfo& s : sessions) {
    if (!s.loggedIn || s.phantomOwner != 0 || s.guest || !EqualsIgnoreCase(s.name, account.name)) {
      continue;
    }
    std::optional<P> copy = sessions_->Permissions(s.id);
    if (s.adminMode && copy && copy->Has(P::kServerAdmin) &&
        !account.permissions.Has(P::kServerAdmin)) {
      sessions_->SetAdminMode(s.id, false);
      sessions_->NotifyAdminModeEnded(s.id);
    }
    take(s.id);
    // A password given before the change must be given again.
    sessions_->ResetChannelAccess(s.id);
    sessions_->SetAdminChannels(s.id, account.chanAdmin);
    for (std::uint16_t channel : account.chanAuth) sessions_->GrantChannelAuth(s.id, channel);
    // Out of a ProtMode 2 channel no longer granted, then the channel mute.
    sessions_->RefreshChannelView(s.id);
    for (const SessionInfo& phantom : sessions) {
      if (phantom.phantomOwner != s.id || channels_ == nullptr ||
          channels_->ProtMode(phantom.channel) != 2 ||
          std::find(account.chanAuth.begin(), account.chanAuth.end(), phantom.channel) !=
              account.chanAuth.end()) {
        continue;
      }
      sessions_->TakeOutOfChannel(phantom.id);
    }
    if (account.permissions.Has(P::kLocked)) {
      sessions_->Disconnect(s.id, kReasonAccountLocked, account.lockedReason);
    } else {
      sessions_->SendPermissions(s.id);
    }
    if (rankChanged) sessions_->AnnounceRankChange(s.id);
  }
}

int AccountStore::DeleteAccount(const AccountEditor* editor, int uid) {
  if (editor == nullptr) return kIncomplete;
  if (!editor->adminMode && !editor->permissions.Has(P::kUsersDelete)) return kNotPermitted;
  UserAccount* account = FindByUid(uid);
  if (account == nullptr) return kNoSuchAccount;
  if (account->isGuest) return kGuestNotDeletable;
  if (IsProtected(*editor, *account)) return kNotPermitted;
  if (sessions_ != nullptr) {
    for (const SessionInfo& s : sessions_->Sessions()) {
      if (s.phantomOwner == 0 && EqualsIgnoreCase(s.name, account->name)) {
        sessions_->Disconnect(s.id, kReasonAccountDeleted, std::string());
      }
    }
  }
  slots_[uid].reset();
  ArmSave();
  ApplyUnlockRule();
  return kDone;
}

int AccountStore::ReassignOwner(const AccountEditor* editor, int fromUid, int toUid) {
  if (editor == nullptr || !editor->adminMode) return kNotPermitted;
  const UserAccount* from = FindByUid(fromUid);
  if (from == nullptr) return kNoSuchAccount;
  const UserAccount* to = FindByUid(toUid);
  if (to == nullptr) return kNoNewOwner;
  if (to->isGuest || !to->permissions.Has(P::kUsersAdd)) return kBadNewOwner;
  std::string fromName = from->name;
  for (auto& slot : slots_) {
    if (slot && EqualsIgnoreCase(slot->owner, fromName)) {
      slot->owner = to->name;
      ArmSave();
    }
  }
  return kDone;
}

// ---------------------------------------------------------------- connections

std::optional<SessionInfo> AccountStore::FindSession(std::uint16_t connectionId) {
  if (sessions_ == nullptr) return std::nullopt;
  for (SessionInfo& s : sessions_->Sessions()) {
    if (s.id == connectionId) return s;
  }
  return std::nullopt;
}

void AccountStore::ApplyToConnection(std::uint16_t connectionId, const UserAccount& account) {
  if (sessions_ == nullptr) return;
  sessions_->SetPermissions(connectionId, account.permissions);
  for (std::uint16_t channel : account.chanAuth) sessions_->GrantChannelAuth(connectionId, channel);
}

void AccountStore::ApplyAdminRights(PermissionBlock& block) {
  for (std::size_t at : {P::kReserved, P::kChanSwitch}) block.SetByte(at, 1);
  auto set = [&block](std::size_t first, std::size_t last) {
    for (std::size_t at = first; at <= last; ++at) block.SetByte(at, 1);
  };
  set(48, 53);
  set(56, 66);
  set(69, 70);
  set(76, 86);
  set(88, 90);
  set(92, 92);
  set(96, 102);
  block.SetByte(P::kDuplicatesIPs, 0);
  block.SetDefChan(0);
  block.SetByte(P::kMuteGlobally, 0);
  block.SetByte(91, 0);
}

void AccountStore::GrantAdminMode(std::uint16_t connectionId) {
  std::optional<SessionInfo> session = FindSession(connectionId);
  if (!session || session->adminMode) return;
  std::optional<P> copy = sessions_->Permissions(connectionId);
  if (!copy) return;
  sessions_->SetAdminMode(connectionId, true);
  ApplyAdminRights(*copy);
  sessions_->SetPermissions(connectionId, *copy);
  sessions_->SendPermissions(connectionId);
}

void AccountStore::DropAdminMode(std::uint16_t connectionId) {
  std::optional<SessionInfo> session = FindSession(connectionId);
  if (!session || !session->adminMode) return;
  if (!sessions_->Permissions(connectionId)) return;
  sessions_->SetAdminMode(connectionId, false);
  const UserAccount* account = session->guest ? GuestAccount() : FindByName(session->name);
  // An account deleted meanwhile must not leave the administrator rights behind.
  if (account == nullptr) account = GuestAccount();
  sessions_->SetPermissions(connectionId, account != nullptr ? account->permissions : P());
  sessions_->SendPermissions(connectionId);
}

void AccountStore::RememberChannelAuth(std::uint16_t connectionId, std::uint16_t channelId) {
  std::optional<SessionInfo> session = FindSession(connectionId);
  if (!session || session->guest) return;
  UserAccount* account = FindByName(session->name);
  if (account == nullptr || account->isGuest || !account->permissions.Has(P::kUsersAdd)) return;
  if (channels_ == nullptr || channels_->ProtMode(channelId) != 2) return;
  sessions_->GrantChannelAuth(connectionId, channelId);
  MoveToEnd(account->chanAuth, channelId);
  ArmSave();
}

void AccountStore::ForgetChannelAuth(std::uint16_t channelId) {
  bool changed = false;
  for (auto& slot : slots_) {
    if (slot && RemoveId(slot->chanAuth, channelId)) changed = true;
  }
  if (changed) ArmSave();
}

void AccountStore::ChannelDeleted(std::uint16_t channelId) {
  for (auto& slot : slots_) {
    if (!slot) continue;
    RemoveId(slot->chanAdmin, channelId);
    RemoveId(slot->chanAuth, channelId);
    // Ids are reused: a stale default channel could name a new channel.
    if (slot->permissions.DefChan() == channelId) slot->permissions.SetDefChan(0);
  }
  ArmSave();
}

int AccountStore::AcquireEditor(std::uint16_t connectionId, std::string_view userName,
                                std::string& holder) {
  if (editor_ != 0 && editor_ != connectionId) {
    holder = editorName_;
    return -1;
  }
  editor_ = connectionId;
  editorName_ = userName;
  return 0;
}

void AccountStore::ReleaseEditor(std::uint16_t connectionId) {
  if (editor_ == 0 || editor_ != connectionId) return;
  editor_ = 0;
  editorName_.clear();
}

}  // namespace kestrune
