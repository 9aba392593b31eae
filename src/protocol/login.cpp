// The handshake and the login of a client.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "config/log.h"
#include "config/settings.h"
#include "protocol/client_records.h"
#include "protocol/protocol.h"
#include "store/account_store.h"
#include "store/connection_bridge.h"
#include "store/ini_file.h"
#include "store/permission_block.h"
#include "store/rank_store.h"
#include "store/server_properties.h"
#include "util/clock.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kHandshakeBody = 80;
constexpr int kLoginBody = 276;
constexpr std::size_t kKeyBuffer = 127;
constexpr std::uint32_t kLoginQuiet = 1;  // login flag: no message of the day, no version notice

bool IsLiveOther(const Connection& other, const Connection& self) {
  return &other != &self && !other.IsPhantom();
}

// With Duplicates 0, the logged-in clients a successful login under `name`
// replaces. They are going, so they hold no address or capacity slot
// against it: a client whose link dropped can come back at once.
bool IsReplaced(const Connection& other, const Connection& self, std::string_view name,
                int duplicates) {
  return duplicates == 0 && IsLiveOther(other, self) && other.loggedOn && !other.closing &&
         EqualsIgnoreCase(other.name, name);
}

}  // namespace

void Protocol::Handshake(Connection& connection, Message& message, std::string& error,
                         bool& disconnect) {
  if (connection.loggedOn || !SizeExact(message, kHandshakeBody)) {
    disconnect = true;
    return;
  }
  const std::string version = message.GetFixedText(4, 16);
  const std::string first = message.GetFixedText(20, 32);
  const std::string second = message.GetFixedText(52, 32);
  if (!TextValid(version) || !TextValid(first) || !TextValid(second) || version.size() < 3) {
    disconnect = true;
    return;
  }
  sessions_.Reset(connection.id);
  connection.maySend = true;
  ConnectionTable& table = context_.table;
  if (!EqualsIgnoreCase(version, kProtocolVersion)) {
    error = "Incompatible version. Server is running version " + context_.serverVersion;
    table.SendServerText(&connection, error, 0, kTextCloses);
    return;
  }

  std::srand(context_.clock.NowMs());
  char a[kKeyBuffer];
  char b[kKeyBuffer];
  RandomKeyText(kKeyBuffer, a);
  RandomKeyText(kKeyBuffer, b);
  int lengthA = std::rand() % 127;
  if (lengthA <= 74) lengthA = std::rand() % 30 + 75;
  int lengthB = std::rand() % 127;
  if (lengthB <= 55) lengthB = std::rand() % 50 + 56;
  const std::string keyA(a, static_cast<std::size_t>(lengthA));
  const std::string keyB(b, static_cast<std::size_t>(lengthB));

  // The first message of the stream still goes out under the fixed key.
  table.SendServerText(&connection, keyB + "|" + keyA, 0, kTextHandshake);
  connection.InstallSendKey(reinterpret_cast<const std::uint8_t*>(keyA.data()), keyA.size());
  connection.InstallReceiveKey(reinterpret_cast<const std::uint8_t*>(keyB.data()), keyB.size());
  table.SendToClient(connection,
                     BuildServerInfo(context_.settings, LoggedInCount(), context_.serverVersion));
}

void Protocol::Login(Connection& connection, Message& message, std::string& /*error*/,
                     bool& disconnect) {
  ConnectionTable& table = context_.table;
  // A login needs the handshake's keys.
  if (connection.IsPhantom() || connection.loggedOn || !SizeExact(message, kLoginBody) ||
      !connection.maySend || !connection.sendCipher.Installed()) {
    disconnect = true;
    return;
  }
  const std::string clientVersion = message.GetFixedText(40, 64);
  const std::string protocolVersion = message.GetFixedText(104, 16);
  std::string name = message.GetFixedText(152, 32);
  std::string phonetic = message.GetFixedText(184, 32);
  std::string platform = message.GetFixedText(216, 64);
  if (!TextValid(protocolVersion, 16) || !TextValid(name, 32) || !TextValid(phonetic, 32) ||
      !TextValid(platform, 64) || !TextValid(clientVersion, 64) || protocolVersion.size() < 3 ||
      !EqualsIgnoreCase(protocolVersion, kProtocolVersion) || name.empty()) {
    disconnect = true;
    return;
  }

  const std::uint16_t statusName = message.GetU16(18);
  if (context_.properties.statusRequireName != 0 && statusName == 0) {
    table.SendRefusal(connection, kRefuseStatusName, 0, false, true);
    return;
  }

  if (AccountStore::CheckLoginName(name) != 0) {
    disconnect = true;
    return;
  }
  TrimBlanks(name);
  TrimBlanks(phonetic);
  // A name of blanks alone would log in nameless; and " Console" must not
  // become the reserved "Console" once trimmed.
  if (name.empty() || !TextValid(name) || !TextValid(phonetic) ||
      AccountStore::CheckLoginName(name) != 0) {
    disconnect = true;
    return;
  }

  const std::uint8_t* digest = message.Data() + 120;
  const std::uint32_t address = PenaltyAddress(connection);
  const std::time_t now = context_.clock.WallSeconds();
  UserAccount* account = context_.accounts.FindByName(name);
  const bool registered = account != nullptr && !account->isGuest;
  if (registered) {
    if (int minutes = account->penalties.AdmissionCheck(address, now); minutes != 0) {
      table.SendRefusal(connection, kRefuseTemporaryBan,
                        static_cast<std::uint16_t>(std::min(minutes, 65535)), false, true);
      return;
    }
    if (!account->permissions.Digest().BytesEqual(digest)) {
      table.SendServerText(&connection, "", 0, kTextLoginRefused);
      ReportOffence(connection, account, kOffenceAccountPassword);
      return;
    }
    if (account->permissions.Has(P::kLocked)) {
      table.SendRefusal(connection, kRefuseAccountLocked, 0, false, true, account->lockedReason);
      return;
    }
    account->penalties.ResetOffences(address, kOffenceAccountPassword, now);
  } else {
    connection.guest = true;
    account = context_.accounts.GuestAccount();
    if (account == nullptr) {
      table.SendServerText(&connection, "", 0, kTextLoginRefused);
      return;
    }
    if (int minutes = account->penalties.AdmissionCheck(address, now); minutes != 0) {
      table.SendRefusal(connection, kRefuseTemporaryBan,
                        static_cast<std::uint16_t>(std::min(minutes, 65535)), false, true);
      return;
    }
    if (account->permissions.Has(P::kLocked)) {
      table.SendRefusal(connection, kRefuseGuestLocked, 0, false, true, account->lockedReason);
      return;
    }
    const int auth = context_.settings.auth;
    if (auth == 1) {
      if (!context_.settings.encPassLogin.BytesEqual(digest)) {
        table.SendServerText(&connection, "", 0, kTextLoginRefused);
        ReportOffence(connection, account, kOffenceAccountPassword);
        return;
      }
    } else if (auth != 0) {
      table.SendServerText(&connection, "", 0, kTextLoginRefused);
      return;
    }
  }

  context_.accounts.ApplyToConnection(connection.id, *account);
  connection.permissions = account->permissions.Raw();
  const bool serverAdmin = registered && account->permissions.Has(P::kServerAdmin);

  if (!registered) {
    const int limit = context_.properties.guestMaxLogin;
    if (limit > 0) {
      int guests = 0;
      for (std::size_t i = 0; i < table.Count(); ++i) {
        const Connection& other = table.At(i);
        if (IsLiveOther(other, connection) && other.loggedOn && other.guest) ++guests;
      }
      if (guests >= limit) {
        table.SendRefusal(connection, kRefuseGuestLimit, 0, false, true);
        return;
      }
    }
    if (context_.properties.guestAutoKick > 0) {
      // Saturates at the timer's largest interval instead of wrapping.
      const std::uint64_t seconds =
          static_cast<std::uint64_t>(context_.properties.guestAutoKick) * 60u;
      connection.timeLimitTimer.Arm(
          context_.clock.NowSeconds(),
          seconds > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(seconds));
    }
  }

  if (!AdmitConnection(connection, *account, registered, name)) return;

  // Only now, with the login sure to succeed, does a same-named client go.
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& other = table.At(i);
    if (!IsReplaced(other, connection, name, context_.settings.duplicates)) continue;
    sessions_.Of(other.id).spareGuestBan = true;
    table.SendRefusal(other, kRefuseReplaced, 0, false, true);
  }

  ++context_.loggedOnUsers;
  if (context_.loggedOnUsers > context_.loggedOnPeak)
    context_.loggedOnPeak = context_.loggedOnUsers;

  SessionState& state = sessions_.Of(connection.id);
  state = SessionState{};
  state.registered = registered;
  state.loginFlags = message.GetU32(8);
  state.statusName = statusName;
  connection.phoneticName.clear();
  connection.SetLoginIdentity(name, phonetic);
  TrimBlanks(platform);
  std::string version = clientVersion;
  TrimBlanks(version);
  connection.platform = platform;
  connection.version = version;

  SendLoginPicture(connection, *account);

  if ((state.loginFlags & kLoginQuiet) == 0) {
    for (auto& part : BuildMotdParts(context_.guestMotdPath, kMotdGuest)) {
      table.SendToClient(connection, std::move(part));
    }
    if (registered && connection.HasPermission(P::kSeeMotd)) {
      for (auto& part : BuildMotdParts(context_.motdPath, kMotdNormal)) {
        table.SendToClient(connection, std::move(part));
      }
    }
  }

  AnnounceClient(table, connection, state, kUserListAdded, ArrivalFlags(connection));

  if (connection.HasPermission(P::kMuteGlobally)) {
    state.globalMute = true;
    auto notice = BuildUserSetting(connection.id, kSettingGlobalMute, 1);
    for (std::size_t i = 0; i < table.Count(); ++i) {
      Connection& recipient = table.At(i);
      if (!recipient.loggedOn || recipient.IsPhantom() || !MaySee(recipient, connection)) continue;
      table.SendToClient(recipient, notice->Clone());
    }
  }

  if (serverAdmin) {
    connection.administrator = true;
    if ((state.loginFlags & kLoginQuiet) == 0) SendNewVersionNotice(connection);
  }

  const std::uint16_t defChan = account->permissions.DefChan();
  if (defChan != 0 && hooks_.enterDefaultChannel) hooks_.enterDefaultChannel(connection, defChan);

  table.SendToClient(connection, CreateMessage(MSG_LOGIN_ACCEPTED));
}

bool Protocol::AdmitConnection(Connection& connection, const UserAccount& account, bool registered,
                               std::string_view name) {
  ConnectionTable& table = context_.table;
  const int duplicates = context_.settings.duplicates;
  const int allowed = account.permissions.Byte(P::kDuplicatesIPs);
  if (allowed != 0) {
    int sameAddress = 0;
    for (std::size_t i = 0; i < table.Count(); ++i) {
      const Connection& other = table.At(i);
      if (!IsLiveOther(other, connection) || other.closing) continue;
      if (IsReplaced(other, connection, name, duplicates)) continue;
      if (other.addressText == connection.addressText) ++sameAddress;
    }
    if (sameAddress > 0) {
      if (allowed == 1) {
        table.SendRefusal(connection, kRefuseSecondAddress, 0, false, true);
        return false;
      }
      if (sameAddress + 1 > allowed) {
        table.SendRefusal(connection, kRefuseAddressLimit, 0, false, true);
        return false;
      }
    }
  }

  int replaced = 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    if (IsReplaced(table.At(i), connection, name, duplicates)) ++replaced;
  }
  if (static_cast<std::size_t>(LoggedInCount() - replaced) + 1 <= ConnectionTable::kCapacity)
    return true;
  Connection* victim = nullptr;
  if (registered && account.permissions.Has(P::kReserved)) {
    // A guest first, then anyone without Reserved, then (for a server
    // administrator) anyone who is not one.
    auto pick = [&](auto&& eligible) {
      for (std::size_t i = 0; i < table.Count() && victim == nullptr; ++i) {
        Connection& other = table.At(i);
        if (!IsLiveOther(other, connection) || !other.loggedOn || other.closing) continue;
        if (eligible(other)) victim = &other;
      }
    };
    pick([](const Connection& c) { return c.guest; });
    if (victim == nullptr) pick([](const Connection& c) { return !c.HasPermission(P::kReserved); });
    if (victim == nullptr && account.permissions.Has(P::kServerAdmin)) {
      pick([](const Connection& c) { return !c.HasPermission(P::kServerAdmin); });
    }
  }
  if (victim == nullptr) {
    table.SendServerText(&connection, "", 0, kTextServerFull);
    return false;
  }
  sessions_.Of(victim->id).spareGuestBan = true;
  table.SendServerText(victim, "", 0, kTextBumped);
  return true;
}

void Protocol::SendLoginPicture(Connection& connection, const UserAccount& account) {
  ConnectionTable& table = context_.table;
  for (auto& property : BuildLoginProperties(context_.properties)) {
    table.SendToClient(connection, std::move(property));
  }
  table.SendToClient(connection, BuildPermissionMessage(PermissionBlock(connection.permissions)));
  if (hooks_.sendChannelList && connection.HasPermission(P::kSeeChan)) {
    hooks_.sendChannelList(connection);
  }
  if (!account.isGuest && !account.chanAdmin.empty()) {
    if (hooks_.recordAdminChannels) hooks_.recordAdminChannels(connection, account.chanAdmin);
    table.SendToClient(connection, BuildChannelAdminList(account.chanAdmin));
  }
  for (auto& ranks : BuildRankList(context_.ranks))
    table.SendToClient(connection, std::move(ranks));
  for (auto& list :
       BuildLoginClientList(table, connection, sessions_, context_.settings, context_.properties)) {
    table.SendToClient(connection, std::move(list));
  }
  if (hooks_.sendTalkers) hooks_.sendTalkers(connection);
  if (hooks_.sendChatters) hooks_.sendChatters(connection);
  if (hooks_.sendPhantoms) hooks_.sendPhantoms(connection);
  if (hooks_.sendSettings) hooks_.sendSettings(connection);
  table.SendToClient(connection,
                     BuildSessionInfo(context_.settings, account.permissions.DefChan() != 0));
}

}  // namespace kestrune
