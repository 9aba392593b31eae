#include "protocol/channel_messages.h"

#include <algorithm>
#include <string>

#include "channels/channel_access.h"
#include "config/log.h"
#include "net/connection.h"
#include "protocol/client_records.h"
#include "protocol/protocol.h"
#include "store/account_store.h"
#include "store/connection_bridge.h"
#include "store/penalty_tracker.h"
#include "store/permission_block.h"
#include "store/server_properties.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kChannelBody = 84;
constexpr std::size_t kStringsAt = 88;
constexpr std::uint16_t kServerCodec = 65535;
constexpr std::uint32_t kEditSetsPassword = 0x40000;
constexpr std::uint32_t kRequestDetailFlag = 0x4;

enum Refusal : std::uint16_t {
  kRefuseSelf = 1,
  kRefuseMissing = 2,
  kRefuseTopLevel = 4,
  kRefuseNotAdmin = 5,
  kRefuseBanned = 9,
  kRefuseFull = 10,
  kRefuseNoChanSwitch = 21,
  kRefuseNotAuthorised = 32,
  kRefuseNeedsUsersAdd = 36,
  kRefuseNoSeeChan = 38,
  kRefuseNoGuests = 50,
};

void WriteProperties(Message& message, std::size_t at, const ChannelProperties& properties) {
  for (std::size_t p = 0; p < kChannelPropertyCount; ++p)
    message.SetU16(at + 2 * p, static_cast<std::uint16_t>(properties[p]));
}

std::uint32_t ChannelFlags(const Channel& channel) {
  return channel.password.IsSet() ? kChannelFlagPassword : 0;
}

bool AllBytes(const Message& message, std::size_t at, std::size_t n, std::uint8_t value) {
  for (std::size_t i = 0; i < n; ++i) {
    if (message.GetU8(at + i) != value) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Message> BuildChannelNotice(std::uint16_t action, const Channel& channel,
                                            bool creator, bool withComment) {
  auto message = CreateMessage(MSG_CHANNEL);
  message->SetU16(6, action);
  message->SetU16(40, channel.id);
  message->SetU16(42, channel.parent);
  message->SetU32(44, ChannelFlags(channel) | (creator ? kChannelFlagCreator : 0));
  WriteProperties(*message, 48, channel.properties);
  WriteCountedString(*message, channel.name);
  WriteCountedString(*message, channel.phonetic);
  WriteCountedString(*message, withComment ? channel.comment : std::string());
  return message;
}

std::vector<std::unique_ptr<Message>> BuildChannelList(const ChannelTree& tree, bool withComments) {
  std::vector<std::unique_ptr<Message>> messages;
  if (tree.Count() == 0) return messages;
  std::unique_ptr<Message> current;
  for (std::size_t i = 0; i < tree.Count(); ++i) {
    const Channel& channel = tree.At(i);
    if (current && current->GetU16(4) >= kChannelsPerList) messages.push_back(std::move(current));
    if (!current) current = CreateMessage(MSG_CHANNEL_LIST);
    const int at = current->ReserveBytes(48);
    if (at < 0) break;
    const auto record = static_cast<std::size_t>(at);
    current->SetU16(record, channel.id);
    current->SetU16(record + 2, channel.parent);
    current->SetU32(record + 4, ChannelFlags(channel));
    WriteProperties(*current, record + 8, channel.properties);
    current->SetU32(record + 40, 0xFFFFFFFFu);
    WriteCountedString(*current, channel.name);
    WriteCountedString(*current, channel.phonetic);
    WriteCountedString(*current, withComments ? channel.comment : std::string());
    current->SetU16(4, static_cast<std::uint16_t>(current->GetU16(4) + 1));
  }
  if (current) messages.push_back(std::move(current));
  messages.push_back(CreateMessage(MSG_CHANNEL_LIST));
  return messages;
}

std::unique_ptr<Message> BuildPhantomGone(const Connection& phantom) {
  auto message = CreateMessage(MSG_PHANTOM);
  message->SetU16(4, 1);
  message->SetU16(10, phantom.phantomOwner);
  message->SetU16(12, phantom.id);
  message->SetU16(14, phantom.channel);
  return message;
}

ChannelMessages::ChannelMessages(Protocol& protocol) : protocol_(protocol) {}

void ChannelMessages::Register() {
  protocol_.SetHandler(MSG_CHANNEL, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleChannel(c, m, d);
  });
  protocol_.SetHandler(MSG_CHANNEL_AUTH, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleChannelAuth(c, m, d);
  });
  protocol_.SetHandler(MSG_USER_LIST, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleUserList(c, m, d);
  });
}

void ChannelMessages::SendChannelList(Connection& connection) {
  if (!connection.HasPermission(P::kSeeChan)) return;
  const bool comments = connection.HasPermission(P::kSeeChanComments);
  for (auto& part : BuildChannelList(protocol_.Context().channels, comments))
    protocol_.Context().table.SendToClient(connection, std::move(part));
}

void ChannelMessages::EnterDefaultChannel(Connection& connection, std::uint16_t channel) {
  if (protocol_.Context().channels.FindChannelById(channel) == nullptr) return;
  protocol_.Presence().MoveTo(connection, channel, MoveNotice::kMoveUser);
}

void ChannelMessages::Refuse(Connection& connection, std::uint16_t code, std::uint16_t detail,
                             bool detailFlag) {
  protocol_.Context().table.SendRefusal(connection, code, detail, detailFlag, false);
}

void ChannelMessages::Notify(std::uint16_t action, const Channel& channel,
                             const Connection* creator) {
  ConnectionTable& table = protocol_.Context().table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !recipient.HasPermission(P::kSeeChan))
      continue;
    table.SendToClient(recipient, BuildChannelNotice(action, channel, &recipient == creator,
                                                     recipient.HasPermission(P::kSeeChanComments)));
  }
}

void ChannelMessages::HandleChannel(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeAtLeast(message, kChannelBody)) {
    disconnect = true;
    return;
  }
  std::string texts[3];
  bool hasTexts = false;
  if (message.Length() > kStringsAt) {
    std::size_t cursor = kStringsAt;
    const std::size_t limits[3] = {32, 32, 128};
    for (int i = 0; i < 3; ++i) {
      if (!ReadCountedString(message, cursor, limits[i], texts[i]) || !TextValid(texts[i])) {
        disconnect = true;
        return;
      }
      TrimBlanks(texts[i]);
    }
    if (!SizeEnd(message, cursor)) {
      disconnect = true;
      return;
    }
    hasTexts = true;
  }
  ChannelProperties properties{};
  for (std::size_t p = 0; p < kChannelPropertyCount; ++p) {
    properties[p] =
        NormaliseChannelProperty(p, static_cast<std::int16_t>(message.GetU16(48 + 2 * p)));
  }
  const std::uint16_t action = message.GetU16(6);
  const bool codecsOk = message.GetU16(80) == kServerCodec && message.GetU16(82) == kServerCodec;
  switch (action) {
    case kChannelCreate:
    case kChannelEdit:
      if (!hasTexts || !codecsOk) {
        disconnect = true;
        return;
      }
      if (action == kChannelCreate) {
        Create(connection, message, properties, texts);
      } else {
        Edit(connection, message, properties, texts);
      }
      return;
    case kChannelDelete:
      Delete(connection, message);
      return;
    case kChannelEnter:
      Enter(connection, message, disconnect);
      return;
    case kChannelToLobby:
      SendToLobby(connection, message);
      return;
    default:
      disconnect = true;
  }
}

void ChannelMessages::Create(Connection& connection, Message& message,
                             const ChannelProperties& properties, const std::string texts[3]) {
  ChannelTree& tree = protocol_.Context().channels;
  const std::uint16_t parent = message.GetU16(42);
  if (parent != 0 ? !IsChannelAdmin(tree, &connection, parent) : !connection.administrator) {
    Refuse(connection, parent != 0 ? kRefuseNotAdmin : kRefuseTopLevel);
    return;
  }
  if (properties[kProtMode] == 2 && !connection.HasPermission(P::kUsersAdd)) {
    Refuse(connection, kRefuseNeedsUsersAdd);
    return;
  }
  if (const std::uint16_t placement = tree.CheckPlacement(parent)) {
    Refuse(connection, placement);
    return;
  }
  ChannelRefusal refusal;
  if (!tree.CheckNaming(parent, texts[0], 0, refusal)) {
    Refuse(connection, refusal.code, refusal.detail);
    return;
  }
  auto channel = std::make_unique<Channel>();
  channel->parent = parent;
  channel->name = texts[0];
  channel->phonetic = texts[1];
  channel->comment = texts[2];
  LimitLength(channel->phonetic, Channel::kMaxPhonetic + 1);
  LimitLength(channel->comment, Channel::kMaxComment + 1);
  channel->password.FromRaw(message.Data() + 8);
  channel->properties = properties;
  Channel* added = nullptr;
  if (!tree.AddChannel(std::move(channel), added, refusal)) {
    Refuse(connection, refusal.code, refusal.detail);
    return;
  }
  protocol_.Context().accounts.RememberChannelAuth(connection.id, added->id);
  Notify(kChannelCreate, *added, &connection);
}

void ChannelMessages::EmptyChannel(Channel& channel) {
  ConnectionTable& table = protocol_.Context().table;
  for (;;) {
    Connection* phantom = nullptr;
    for (std::size_t i = 0; i < table.Count() && phantom == nullptr; ++i) {
      if (table.At(i).IsPhantom() && table.At(i).channel == channel.id) phantom = &table.At(i);
    }
    if (phantom == nullptr) break;
    table.Discard(*phantom);
  }
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& client = table.At(i);
    if (client.loggedOn && client.channel == channel.id)
      protocol_.Presence().MoveTo(client, 0, MoveNotice::kMoveUser);
  }
  Notify(kChannelDelete, channel, nullptr);
}

void ChannelMessages::Delete(Connection& connection, Message& message) {
  ChannelTree& tree = protocol_.Context().channels;
  const std::uint16_t id = message.GetU16(40);
  if (id == 0) {
    Refuse(connection, kRefuseMissing, 1);
    return;
  }
  Channel* channel = tree.FindChannelById(id);
  if (channel == nullptr) {
    Refuse(connection, kRefuseMissing);
    return;
  }
  if (channel->parent != 0) {
    if (!IsChannelAdmin(tree, &connection, id) ||
        !IsChannelAdmin(tree, &connection, channel->parent)) {
      Refuse(connection, kRefuseNotAdmin);
      return;
    }
  } else if (!connection.administrator) {
    Refuse(connection, kRefuseTopLevel);
    return;
  }
  tree.DeleteChannel(id, [this](Channel& gone) { EmptyChannel(gone); });
}

void ChannelMessages::Enter(Connection& connection, Message& message, bool& disconnect) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  ConnectionTable& table = context.table;
  if (connection.IsPhantom()) {
    disconnect = true;
    return;
  }
  if (!connection.administrator) {
    SessionState& state = protocol_.Sessions().Of(connection.id);
    const int verdict =
        CheckSpam(state.spamChannel, context.properties.spamChannel, context.clock.NowMs());
    if (ApplySpamAction(table, connection, verdict)) return;
  }
  const std::uint16_t target = message.GetU16(40);
  if (!connection.HasPermission(P::kChanSwitch)) {
    Refuse(connection, kRefuseNoChanSwitch);
    return;
  }
  if (!connection.HasPermission(P::kSeeChan) && target != 0) {
    table.SendRefusal(connection, kRefuseNoSeeChan, 0, false, true);
    return;
  }
  if (message.GetU16(4) != connection.id) {
    disconnect = true;
    return;
  }
  if (target == connection.channel) return;
  Channel* channel = tree.FindChannelById(target);
  if (target != 0 && channel == nullptr) {
    Refuse(connection, kRefuseMissing);
    return;
  }
  if (connection.channel != 0 && tree.FindChannelById(connection.channel) == nullptr) return;
  if (channel != nullptr) {
    if (!connection.administrator) {
      if (IsBannedFromChannel(tree, *channel, connection)) {
        Refuse(connection, kRefuseBanned);
        return;
      }
      const int check = CheckChannelPassword(tree, *channel, connection.id, message.Data() + 8);
      if (check == kChannelNotAuthorised) {
        Refuse(connection, kRefuseNotAuthorised);
        return;
      }
      if (check == kChannelWrongPassword) {
        auto reply = CreateMessage(MSG_CHANNEL);
        reply->SetU16(4, message.GetU16(4));
        reply->SetU16(6, kChannelPasswordNeeded);
        reply->SetU16(40, target);
        reply->SetU32(44, message.GetU32(44));
        table.SendToClient(connection, std::move(reply));
        protocol_.ReportOffence(connection, protocol_.AccountOf(connection),
                                kOffenceChannelPassword);
        return;
      }
    }
    if (IsChannelFull(tree, channel, &connection)) {
      Refuse(connection, kRefuseFull, 0, (message.GetU32(44) & kRequestDetailFlag) != 0);
      return;
    }
    if (connection.guest && channel->Property(kAllowGuestToJoin) == 0) {
      Refuse(connection, kRefuseNoGuests);
      return;
    }
  }
  protocol_.Presence().MoveTo(connection, target);
}

void ChannelMessages::Edit(Connection& connection, Message& message,
                           const ChannelProperties& properties, const std::string texts[3]) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  Channel* channel = tree.FindChannelById(message.GetU16(40));
  if (channel == nullptr) return;
  if (channel->parent != 0 ? !IsChannelAdmin(tree, &connection, channel->id)
                           : !connection.administrator) {
    Refuse(connection, channel->parent != 0 ? kRefuseNotAdmin : kRefuseTopLevel);
    return;
  }
  if (properties[kProtMode] == 2 && !connection.HasPermission(P::kUsersAdd)) {
    Refuse(connection, kRefuseNeedsUsersAdd);
    return;
  }
  ChannelRefusal refusal;
  if (!tree.CheckName(channel->parent, texts[0], refusal) ||
      !tree.CheckFullName(channel->parent, texts[0], channel->id, refusal)) {
    Refuse(connection, refusal.code, refusal.detail);
    return;
  }
  channel->name = texts[0];
  channel->phonetic = texts[1];
  channel->comment = texts[2];
  LimitLength(channel->phonetic, Channel::kMaxPhonetic + 1);
  LimitLength(channel->comment, Channel::kMaxComment + 1);
  if ((message.GetU32(44) & kEditSetsPassword) != 0 && !AllBytes(message, 8, 32, 0xFF)) {
    channel->password.FromRaw(message.Data() + 8);
    ResetPasswordStates(*channel);
  }
  if (channel->ProtMode() == 2 && properties[kProtMode] != 2)
    context.accounts.ForgetChannelAuth(channel->id);
  const bool voiceModeChanged = channel->VoiceMode() != properties[kVoiceMode];
  channel->properties = properties;
  tree.ServerChannelSort();
  tree.SaveChannels();

  Notify(kChannelEdit, *channel, nullptr);
  ConnectionTable& table = context.table;
  ChannelPresence& presence = protocol_.Presence();
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& client = table.At(i);
    if (client.loggedOn && !client.IsPhantom() && client.channel == channel->id &&
        client.HasPermission(P::kSeeChan))
      presence.ReevaluateMute(client);
  }
  if (!voiceModeChanged) return;
  const bool muted = channel->VoiceMode() != 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& client = table.At(i);
    if (!client.loggedOn || client.IsPhantom() || client.channel != channel->id) continue;
    protocol_.Sessions().Of(client.id).channelMute = muted;
    presence.NotifySetting(client, kSettingChannelMute, muted ? 1 : 0);
  }
}

void ChannelMessages::SendToLobby(Connection& connection, Message& message) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  const std::uint16_t from = message.GetU16(40);
  if (!IsChannelAdmin(tree, &connection, from)) {
    Refuse(connection, kRefuseNotAdmin);
    return;
  }
  Connection* named = context.table.FindById(message.GetU16(4));
  Connection* target = named != nullptr ? context.table.ResolveOwner(*named) : nullptr;
  if (target == nullptr || !target->loggedOn) {
    Refuse(connection, kRefuseMissing);
    return;
  }
  if (target == &connection) {
    Refuse(connection, kRefuseSelf);
    return;
  }
  // Only a target in the channel named, or below it, unless the requester
  // administers everything.
  if (!connection.administrator) {
    const Channel* channel = tree.FindChannelById(from);
    if (channel == nullptr ||
        (target->channel != from && !tree.IsDescendant(*channel, target->channel))) {
      Refuse(connection, kRefuseNotAdmin);
      return;
    }
  }
  if (target->administrator) return;
  protocol_.Presence().MoveTo(*target, 0);
}

void ChannelMessages::HandleChannelAuth(Connection& connection, Message& message,
                                        bool& disconnect) {
  if (!connection.loggedOn || !SizeExact(message, 48)) {
    disconnect = true;
    return;
  }
  if (message.GetU16(4) != 0) return;
  ChannelTree& tree = protocol_.Context().channels;
  const std::uint16_t id = message.GetU16(8);
  std::uint16_t result = 0;
  Channel* channel = tree.FindChannelById(id);
  if (id == 0) {
    result = 3;
  } else if (!connection.HasPermission(P::kSeeChan) || channel == nullptr) {
    result = 1;
  } else {
    const int check = CheckChannelPassword(tree, *channel, connection.id, message.Data() + 20);
    if (check != kChannelAdmitted) result = 2;
    if (check == kChannelWrongPassword) {
      protocol_.ReportOffence(connection, protocol_.AccountOf(connection), kOffenceChannelPassword);
    }
  }
  auto reply = message.Clone();
  reply->SetU16(6, result);
  protocol_.Context().table.SendToClient(connection, std::move(reply));
}

void ChannelMessages::HandleUserList(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeAtLeast(message, 22) || message.GetU16(6) != 1) {
    disconnect = true;
    return;
  }
  std::size_t cursor = 16;
  std::string texts[5];
  const std::size_t limits[5] = {32, 32, 128, 128, 128};
  for (int i = 0; i < 5; ++i) {
    if (!ReadCountedString(message, cursor, limits[i], texts[i]) ||
        (i >= 2 && !TextValid(texts[i]))) {
      disconnect = true;
      return;
    }
  }
  if (!SizeEnd(message, cursor) || message.GetU16(4) != kUserListTexts) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  SessionState& state = protocol_.Sessions().Of(connection.id);
  const int verdict =
      CheckSpam(state.spamComment, context.properties.spamComment, context.clock.NowMs());
  if (ApplySpamAction(context.table, connection, verdict)) return;
  if (state.globalMute || !connection.HasPermission(P::kSendComments)) return;
  if (texts[2] == connection.comment && texts[3] == state.url && texts[4] == state.integration)
    return;
  connection.comment = texts[2];
  state.url = texts[3];
  state.integration = texts[4];

  ClientRecord record = RecordOf(connection, state);
  record.flagA = static_cast<std::uint8_t>(message.GetU8(12) & 0xFC);
  record.flagB = message.GetU8(13);
  if (!connection.HasPermission(P::kSoundsComment)) {
    record.flagB = static_cast<std::uint8_t>(record.flagB | kRecordSilentText);
  }
  record.name.clear();
  record.phonetic.clear();
  auto update = BuildUserList(kUserListTexts);
  AppendClientRecord(*update, record, true);
  ConnectionTable& table = context.table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !MaySee(recipient, connection)) continue;
    if (&recipient != &connection && !recipient.HasPermission(P::kSeeUserComments)) continue;
    table.SendToClient(recipient, update->Clone());
  }
}

}  // namespace kestrune
