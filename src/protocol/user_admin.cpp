#include "protocol/user_admin.h"

#include "channels/channel_access.h"
#include "config/log.h"
#include "config/settings.h"
#include "net/connection.h"
#include "protocol/login_messages.h"
#include "protocol/protocol.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/penalty_tracker.h"
#include "store/permission_block.h"
#include "util/clock.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kUserAdminBody = 136;

enum Action : std::uint16_t {
  kAdminLogin = 0,
  kKick = 1,
  kUnused = 2,
  kBan = 3,
  kAdminLogout = 4,
  kChannelBan = 5,
  kActions = 6,
};

constexpr std::size_t kTextAt = 12;
constexpr std::size_t kTextWidth = 128;

enum Refusal : std::uint16_t {
  kRefuseSelf = 1,
  kRefuseMissing = 2,
  kRefuseNeedsChannelRights = 12,
  kRefuseFloorChannel = 13,
  kRefuseBanRefused = 16,
  kRefuseNoUsersBan = 22,
  kRefuseNoUsersKick = 23,
  kRefuseInAdminMode = 25,
  kRefuseAdminPassword = 45,
};

}  // namespace

void UserAdmin::Register() {
  protocol_.SetHandler(MSG_USER_ADMIN, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleUserAdmin(c, m, d);
  });
}

void UserAdmin::Refuse(Connection& connection, std::uint16_t code) {
  protocol_.Context().table.SendRefusal(connection, code, 0, false, false);
}

Connection* UserAdmin::Target(std::uint16_t id) {
  ConnectionTable& table = protocol_.Context().table;
  Connection* named = table.FindById(id);
  Connection* target = named != nullptr ? table.ResolveOwner(*named) : nullptr;
  return target != nullptr && target->loggedOn ? target : nullptr;
}

void UserAdmin::HandleUserAdmin(Connection& connection, Message& message, bool& disconnect) {
  const std::uint16_t action = message.GetU16(4);
  if (!connection.loggedOn || !SizeExact(message, kUserAdminBody) || action >= kActions ||
      action == kUnused) {
    disconnect = true;
    return;
  }
  if (action == kAdminLogin) {
    AdminLogin(connection, message);
    return;
  }
  if (action == kAdminLogout) {
    AdminLogout(connection);
    return;
  }
  const std::string reason = message.GetFixedText(kTextAt, kTextWidth);
  if (!TextValid(reason)) {
    disconnect = true;
    return;
  }
  const std::uint16_t target = message.GetU16(6);
  switch (action) {
    case kKick:
      Kick(connection, target, reason);
      return;
    case kBan:
      Ban(connection, target, reason);
      return;
    default:
      ChannelBan(connection, target, reason);
      return;
  }
}

void UserAdmin::AdminLogin(Connection& connection, Message& message) {
  if (connection.administrator) {
    Refuse(connection, kRefuseInAdminMode);
    return;
  }
  ProtocolContext& context = protocol_.Context();
  UserAccount* account = protocol_.AccountOf(connection);
  const PasswordDigest& password = context.settings.encPassAdmin;
  if (password.IsSet() && password.BytesEqual(message.Data() + kTextAt)) {
    if (account != nullptr) {
      account->penalties.ResetOffences(PenaltyAddress(connection), kOffenceAdminPassword,
                                       context.clock.WallSeconds());
    }
    context.accounts.GrantAdminMode(connection.id);
    context.table.SendServerText(&connection, "", 0, kTextAdminMode);
    protocol_.SendNewVersionNotice(connection);
    return;
  }
  context.table.SendRefusal(connection, kRefuseAdminPassword, 0, false, true);
  protocol_.ReportOffence(connection, account, kOffenceAdminPassword);
}

void UserAdmin::AdminLogout(Connection& connection) {
  if (!connection.administrator) return;
  ProtocolContext& context = protocol_.Context();
  context.accounts.DropAdminMode(connection.id);
  context.table.SendServerText(&connection, "", 0, kTextAdminMode);
}

Connection* UserAdmin::OtherTarget(Connection& connection, std::uint16_t targetId) {
  Connection* target = Target(targetId);
  if (target == nullptr) {
    Refuse(connection, kRefuseMissing);
  } else if (target == &connection) {
    Refuse(connection, kRefuseSelf);
    target = nullptr;
  }
  return target;
}

void UserAdmin::Kick(Connection& connection, std::uint16_t targetId, const std::string& reason) {
  if (!connection.HasPermission(P::kUsersKick)) {
    Refuse(connection, kRefuseNoUsersKick);
    return;
  }
  Connection* target = OtherTarget(connection, targetId);
  if (target == nullptr) return;
  ProtocolContext& context = protocol_.Context();
  context.log.Write("ADMIN: ID %d, User '%s' was kicked by '%s' because '%s'.",
                    static_cast<int>(target->id), target->name.c_str(), connection.name.c_str(),
                    reason.c_str());
  context.table.Kick(*target, false, reason);
}

void UserAdmin::Ban(Connection& connection, std::uint16_t targetId, const std::string& reason) {
  if (!connection.HasPermission(P::kUsersBan)) {
    Refuse(connection, kRefuseNoUsersBan);
    return;
  }
  Connection* target = OtherTarget(connection, targetId);
  if (target == nullptr) return;
  ProtocolContext& context = protocol_.Context();
  const int result =
      context.bans.AddBan(target->addressText, target->name, connection.name, reason);
  // A ban the file could not take is still in force.
  if (result != kBanOk && result != kBanNotAppended) {
    Refuse(connection, kRefuseBanRefused);
    return;
  }
  context.table.Kick(*target, true, reason);
}

void UserAdmin::ChannelBan(Connection& connection, std::uint16_t targetId,
                           const std::string& reason) {
  ChannelTree& tree = protocol_.Context().channels;
  Connection* target = Target(targetId);
  // The rights are on the top-level channel that carries the bans of the
  // target's channel; nobody administers the channel of a missing target.
  if (!connection.administrator &&
      (target == nullptr || TopAdminChannel(tree, connection, target->channel) == nullptr)) {
    Refuse(connection, kRefuseNeedsChannelRights);
    return;
  }
  if (target == nullptr) {
    Refuse(connection, kRefuseMissing);
    return;
  }
  if (target == &connection) {
    Refuse(connection, kRefuseSelf);
    return;
  }
  if (target->administrator) return;
  // Stored in the top-level channel's list; the tree is re-sorted and saved.
  if (AddChannelBan(tree, connection, target->channel, target->addressText, target->name, reason) !=
      kBanOk) {
    Refuse(connection, kRefuseBanRefused);
    return;
  }
  protocol_.Presence().MoveTo(*target, 0);
}

void HandleMuteSetting(Protocol& protocol, Connection& requester, Message& message) {
  ProtocolContext& context = protocol.Context();
  ConnectionTable& table = context.table;
  Connection* target = table.FindById(message.GetU16(4));
  // Mutes are about people: a phantom never talks.
  if (target == nullptr || !target->loggedOn || target->IsPhantom()) return;
  SessionState& state = protocol.Sessions().Of(target->id);
  const bool on = message.GetU32(8) != 0;
  if (message.GetU16(6) == kSettingGlobalMute) {
    if (!requester.administrator) return;
    state.globalMute = on;
  } else {
    ChannelTree& tree = context.channels;
    if (!IsChannelAdmin(tree, &requester, target->channel)) return;
    const Channel* channel = tree.FindChannelById(target->channel);
    if (channel == nullptr) return;
    if (channel->VoiceMode() == 1) {
      // The floor rule owns the mutes of such a channel.
      table.SendRefusal(requester, kRefuseFloorChannel, 0, false, false);
      return;
    }
    state.channelMute = on;
  }
  message.SetU32(8, on ? 1 : 0);
  table.Broadcast(&requester, message, false, true);
}

}  // namespace kestrune
