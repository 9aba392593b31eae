#include "protocol/text_messages.h"

#include "channels/channel_access.h"
#include "config/settings.h"
#include "net/connection.h"
#include "protocol/client_records.h"
#include "protocol/login_messages.h"
#include "protocol/protocol.h"
#include "protocol/user_admin.h"
#include "store/connection_bridge.h"
#include "store/permission_block.h"
#include "store/server_properties.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr std::size_t kMaxLine = 256;
constexpr std::uint16_t kChatOwnChannel = 1;
constexpr std::uint16_t kChatParentAndBelow = 2;
constexpr std::size_t kConsolePrefix = 6;

enum PageResult : std::uint16_t {
  kPageSent = 0,
  kPageNoTarget = 1,
  kPageNotAccepted = 2,
  kPageChannelForbids = 3,
  kPageNotPermitted = 4,
};

// The one counted string of a text message, ending it; false when malformed.
bool ReadLine(const Message& message, std::size_t at, std::string& text) {
  return ReadCountedString(message, at, kMaxLine, text) && SizeEnd(message, at);
}

bool HasConsolePrefix(const std::string& text) {
  if (text.size() < 5) return false;
  return (text[0] == '/' || text[0] == '\\') && EqualsIgnoreCase(text.substr(1, 4), "rcon");
}

}  // namespace

std::unique_ptr<Message> BuildChatNotice(std::uint16_t action, std::uint16_t id) {
  auto message = CreateMessage(MSG_CHAT);
  message->SetU16(4, id);
  message->SetU16(6, action);
  return message;
}

void TextMessages::Register() {
  protocol_.SetHandler(
      MSG_CHAT, [this](Connection& c, Message& m, std::string&, bool& d) { HandleChat(c, m, d); });
  protocol_.SetHandler(MSG_TTS, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleBind(c, m, d, false);
  });
  protocol_.SetHandler(MSG_WAVE, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleBind(c, m, d, true);
  });
  protocol_.SetHandler(
      MSG_PAGE, [this](Connection& c, Message& m, std::string&, bool& d) { HandlePage(c, m, d); });
  protocol_.SetHandler(MSG_USER_SETTING, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleUserSetting(c, m, d);
  });
}

void TextMessages::SendChatters(Connection& connection) {
  ConnectionTable& table = protocol_.Context().table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& other = table.At(i);
    if (&other != &connection && other.loggedOn && !other.IsPhantom() &&
        protocol_.Sessions().Of(other.id).inChat)
      table.SendToClient(connection, BuildChatNotice(kChatJoin, other.id));
  }
}

void TextMessages::SendSettings(Connection& connection) {
  ConnectionTable& table = protocol_.Context().table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& other = table.At(i);
    if (&other == &connection || !other.loggedOn || other.IsPhantom() || !MaySee(connection, other))
      continue;
    const SessionState& state = protocol_.Sessions().Of(other.id);
    for (std::uint16_t setting = 0; setting < state.ownSettings.size(); ++setting) {
      if (state.ownSettings[setting] != 0)
        table.SendToClient(connection,
                           BuildUserSetting(other.id, setting, state.ownSettings[setting]));
    }
    if (state.globalMute)
      table.SendToClient(connection, BuildUserSetting(other.id, kSettingGlobalMute, 1));
    if (state.channelMute)
      table.SendToClient(connection, BuildUserSetting(other.id, kSettingChannelMute, 1));
  }
}

void TextMessages::AnnounceChat(Connection& connection, std::uint16_t action) {
  ConnectionTable& table = protocol_.Context().table;
  auto notice = BuildChatNotice(action, connection.id);
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !recipient.HasPermission(P::kChatGlobal) ||
        !MaySee(recipient, connection))
      continue;
    table.SendToClient(recipient, notice->Clone());
  }
}

void TextMessages::HandleChat(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeAtLeast(message, 8)) {
    disconnect = true;
    return;
  }
  message.SetU16(4, connection.id);
  SessionState& state = protocol_.Sessions().Of(connection.id);
  ConnectionTable& table = protocol_.Context().table;
  switch (message.GetU16(6)) {
    case kChatJoin:
      if (!SizeExact(message, 8)) {
        disconnect = true;
        return;
      }
      if (!connection.HasPermission(P::kChatGlobal)) {
        table.SendToClient(connection, BuildChatNotice(kChatJoinRefused, connection.id));
        return;
      }
      SendChatters(connection);
      state.inChat = true;
      AnnounceChat(connection, kChatJoin);
      return;
    case kChatLeave:
      if (!SizeExact(message, 8)) {
        disconnect = true;
        return;
      }
      if (!state.inChat) return;
      state.inChat = false;
      AnnounceChat(connection, kChatLeave);
      return;
    case kChatLine:
      ChatLine(connection, message, disconnect);
      return;
    default:
      disconnect = true;
  }
}

void TextMessages::ChatLine(Connection& connection, Message& message, bool& disconnect) {
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  SessionState& state = protocol_.Sessions().Of(connection.id);
  const int verdict = CheckSpam(state.spamChat, context.properties.spamChat, context.clock.NowMs());
  if (ApplySpamAction(table, connection, verdict)) return;
  if (state.globalMute || !connection.HasPermission(P::kChatGlobal)) return;
  std::string text;
  if (!ReadLine(message, 12, text)) {
    disconnect = true;
    return;
  }
  if (!TextValid(text)) return;
  TrimBlanks(text);
  if (text.empty()) return;
  if (HasConsolePrefix(text)) {
    // Console commands are never relayed; a bare prefix runs nothing.
    if (text.size() > kConsolePrefix && console_) console_(connection, text.substr(kConsolePrefix));
    return;
  }
  // The narrowest scope wins: ChatFilter, then flag bit 0, then flag bit 1.
  const std::uint16_t flags = message.GetU16(8);
  std::uint16_t scope = 0;
  if (context.properties.chatFilter != 0 || (flags & kChatOwnChannel) != 0) {
    scope = kChatOwnChannel;
  } else if ((flags & kChatParentAndBelow) != 0) {
    scope = kChatParentAndBelow;
  }
  message.SetU32(8, 0);
  ChannelTree& tree = context.channels;
  const Channel* own = tree.FindChannelById(connection.channel);
  const std::uint16_t parent = own != nullptr ? own->parent : 0;
  const Channel* parentChannel = tree.FindChannelById(parent);
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !recipient.HasPermission(P::kChatGlobal) ||
        !protocol_.Sessions().Of(recipient.id).inChat)
      continue;
    if (scope == kChatOwnChannel && recipient.channel != connection.channel) continue;
    if (scope == kChatParentAndBelow && recipient.channel != connection.channel &&
        recipient.channel != parent && parentChannel != nullptr &&
        !tree.IsDescendant(*parentChannel, recipient.channel))
      continue;
    table.SendToClient(recipient, message.Clone());
  }
}

void TextMessages::HandleBind(Connection& connection, Message& message, bool& disconnect,
                              bool wave) {
  if (!connection.loggedOn || !SizeAtLeast(message, 4)) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  SessionState& state = protocol_.Sessions().Of(connection.id);
  // A global mute silences both kinds.
  if (state.globalMute) return;
  const int verdict = CheckSpam(wave ? state.spamWave : state.spamTTS,
                                wave ? context.properties.spamWave : context.properties.spamTTS,
                                context.clock.NowMs());
  if (ApplySpamAction(context.table, connection, verdict)) return;
  std::string text;
  if (!ReadLine(message, 8, text)) {
    disconnect = true;
    return;
  }
  if (!TextValid(text)) return;
  if ((wave ? context.properties.filterWave : context.properties.filterTTS) != 0) return;
  if (context.settings.silentLobby != 0 && connection.channel == 0) return;
  if (state.channelMute || !connection.HasPermission(wave ? P::kSendWave : P::kSendTTS)) return;
  TrimBlanks(text);
  if (text.empty()) return;
  if (connection.channel != 0) {
    const Channel* channel = context.channels.FindChannelById(connection.channel);
    if (channel == nullptr || channel->Property(wave ? kAllowWaveBinds : kAllowTtsBinds) == 0 ||
        (channel->Property(kRestrictToUsr) != 0 && connection.guest))
      return;
  }
  message.SetU16(4, connection.id);
  message.SetU16(6, 0);
  context.table.Broadcast(&connection, message, false, false);
}

void TextMessages::HandlePage(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeExact(message, 8)) {
    disconnect = true;
    return;
  }
  if (protocol_.Sessions().Of(connection.id).globalMute) return;
  ProtocolContext& context = protocol_.Context();
  Connection* target = context.table.FindById(message.GetU16(4));
  std::uint16_t result = kPageSent;
  if (!connection.HasPermission(P::kSendPages)) {
    result = kPageNotPermitted;
  } else if (target == nullptr || target->IsPhantom() || !target->loggedOn) {
    result = kPageNoTarget;
  } else if (protocol_.Sessions().Of(target->id).ownSettings[0] == 0) {
    result = kPageNotAccepted;
  } else if (const Channel* channel = context.channels.FindChannelById(target->channel);
             channel != nullptr && channel->Property(kAllowPaging) == 0) {
    result = kPageChannelForbids;
  }
  auto reply = CreateMessage(MSG_PAGE);
  reply->SetU16(4, message.GetU16(4));
  reply->SetU16(6, connection.id);
  reply->SetU16(8, result);
  reply->SetU16(10, message.GetU16(10));
  context.table.SendToClient(result == kPageSent ? *target : connection, std::move(reply));
}

void TextMessages::HandleUserSetting(Connection& connection, Message& message, bool& disconnect) {
  const std::uint16_t setting = message.GetU16(6);
  if (!connection.loggedOn || !SizeExact(message, 8) || setting >= 6) {
    disconnect = true;
    return;
  }
  SessionState& state = protocol_.Sessions().Of(connection.id);
  if (setting >= state.ownSettings.size()) {
    // Settings 4 and 5 are the administrators' mutes of other clients.
    HandleMuteSetting(protocol_, connection, message);
    return;
  }
  const std::uint32_t value = message.GetU32(8) != 0 ? 1 : 0;
  message.SetU16(4, connection.id);
  message.SetU32(8, value);
  state.ownSettings[setting] = value;
  protocol_.Context().table.Broadcast(&connection, message, false, true);
}

}  // namespace kestrune
