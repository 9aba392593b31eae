#include "protocol/voice_relay.h"

#include <algorithm>
#include <bitset>

#include "channels/channel_access.h"
#include "config/settings.h"
#include "net/connection.h"
#include "protocol/client_records.h"
#include "protocol/login_messages.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"
#include "store/rank_store.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kVoiceBody = 20;
constexpr std::size_t kListsAt = 24;
constexpr std::uint16_t kMuteOthersFlag = 1;

enum TargetType : std::uint16_t {
  kTargetOwnChannel = 1,
  kTargetOwnChannelToo = 2,
  kTargetChannel = 3,
  kTargetChannelAndBelow = 4,
  kTargetClient = 5,
  kTargetNobody = 6,
};

bool NamesOwnChannel(const std::vector<std::uint16_t>& types) {
  return std::any_of(types.begin(), types.end(), [](std::uint16_t type) {
    return type == kTargetOwnChannel || type == kTargetOwnChannelToo;
  });
}

}  // namespace

std::unique_ptr<Message> BuildVoiceNotice(std::uint16_t action, std::uint16_t clientId) {
  auto message = CreateMessage(MSG_VOICE);
  message->SetU16(4, action);
  message->SetU16(6, clientId);
  if (action == kVoiceStoppedHearing) {
    message->SetU16(8, 65535);
    message->SetU16(10, 65535);
  }
  return message;
}

void VoiceRelay::Register() {
  protocol_.SetHandler(MSG_VOICE, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleVoice(c, m, d);
  });
}

void VoiceRelay::SetChannelMute(Connection& connection, bool muted) {
  protocol_.Sessions().Of(connection.id).channelMute = muted;
  protocol_.Presence().NotifySetting(connection, kSettingChannelMute, muted ? 1 : 0);
}

void VoiceRelay::HandleVoice(Connection& connection, Message& message, bool& disconnect) {
  Targets targets;
  std::size_t cursor = kListsAt;
  if (!connection.loggedOn || !SizeAtLeast(message, kVoiceBody) ||
      !ReadU16List(message, cursor, kMaxTargets, targets.types) ||
      !ReadU16List(message, cursor, kMaxTargets, targets.ids) ||
      targets.types.size() != targets.ids.size()) {
    disconnect = true;
    return;
  }
  const std::uint16_t action = message.GetU16(4);
  if (action == kVoiceStart || action == kVoiceStop) {
    if (!SizeEnd(message, cursor) || message.GetU32(16) != 0 || message.GetU32(20) != 0) {
      disconnect = true;
      return;
    }
    StartOrStop(connection, message, targets);
    return;
  }
  if (action != kVoiceData) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  if (!connection.talking || protocol_.Sessions().Of(connection.id).globalMute) return;
  const std::uint32_t bytes = message.GetU32(16);
  if (message.GetU32(20) == 0 || bytes == 0 || bytes >= kMaxVoiceBytes) {
    disconnect = true;
    return;
  }
  const ServerSettings& settings = context.settings;
  if (message.GetU16(8) != settings.voiceCodec || message.GetU16(10) != settings.voiceFormat)
    return;
  const FormatRecord* format = FormatByNumber(settings.voiceCodec, settings.voiceFormat);
  if (format == nullptr) return;
  std::uint32_t limit = static_cast<std::uint32_t>(std::max(format->bytesPerSecond, 0)) / 8;
  limit += limit / 2;
  if (bytes > limit) return;
  if (cursor + bytes != message.Length() || !Relay(connection, message, cursor, targets)) {
    disconnect = true;
  }
}

void VoiceRelay::StartOrStop(Connection& connection, Message& message, const Targets& targets) {
  message.SetU16(6, connection.id);
  if (!connection.HasPermission(P::kMuteOthersPTT))
    message.SetU16(14, static_cast<std::uint16_t>(message.GetU16(14) & ~kMuteOthersFlag));
  ProtocolContext& context = protocol_.Context();
  Channel* channel = context.channels.FindChannelById(connection.channel);
  const int mode = channel != nullptr ? channel->VoiceMode() : 0;
  SessionState& state = protocol_.Sessions().Of(connection.id);
  if (message.GetU16(4) == kVoiceStart) {
    if (mode == 1) {
      if (NamesOwnChannel(targets.types)) FloorRequest(connection, *channel);
    } else if (mode == 2) {
      const int limit = channel->Property(kTimeLimit);
      if (!state.channelMute && limit != 0 && NamesOwnChannel(targets.types))
        connection.floorTimer.Arm(context.clock.NowSeconds(), static_cast<std::uint32_t>(limit));
    } else if (mode != 0) {
      return;
    }
    connection.talking = true;
  } else {
    if (mode == 1 && !state.channelMute) SetChannelMute(connection, true);
    connection.talking = false;
  }
  context.table.Broadcast(&connection, message, true, true);
}

void VoiceRelay::FloorRequest(Connection& connection, Channel& channel) {
  ProtocolContext& context = protocol_.Context();
  SessionTable& sessions = protocol_.Sessions();
  if (sessions.Of(connection.id).globalMute) return;
  bool granted = true;
  const int rankLevel = channel.Property(kRankLevel);
  if (rankLevel != 0) {
    const Rank* rank = context.ranks.RankById(connection.permissions[P::kRank]);
    if (rank == nullptr || rank->level < rankLevel) granted = false;
  }
  // The floor is free when everyone in the channel is muted; phantoms are not people.
  ConnectionTable& table = context.table;
  for (std::size_t i = 0; granted && i < table.Count(); ++i) {
    const Connection& other = table.At(i);
    if (other.IsPhantom() || other.channel != channel.id) continue;
    if (!sessions.Of(other.id).channelMute) granted = false;
  }
  if (granted) {
    const int limit = channel.Property(kTimeLimit);
    if (limit != 0)
      connection.floorTimer.Arm(context.clock.NowSeconds(), static_cast<std::uint32_t>(limit));
    SetChannelMute(connection, false);
  }
  table.SendToClient(connection, BuildVoiceNotice(granted ? kVoiceFloorGranted : kVoiceFloorRefused,
                                                  connection.id));
}

void VoiceRelay::FloorCheck(Connection& connection) {
  ProtocolContext& context = protocol_.Context();
  if (!connection.talking || protocol_.Sessions().Of(connection.id).channelMute) return;
  if (!connection.floorTimer.Expired(context.clock.NowSeconds())) return;
  connection.floorTimer.Disarm();
  const Channel* channel = context.channels.FindChannelById(connection.channel);
  if (channel != nullptr && (channel->VoiceMode() == 1 || channel->VoiceMode() == 2))
    SetChannelMute(connection, true);
}

void VoiceRelay::SendTalkers(Connection& connection) {
  ConnectionTable& table = protocol_.Context().table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& other = table.At(i);
    if (&other != &connection && other.loggedOn && !other.IsPhantom() && other.talking)
      table.SendToClient(connection, BuildVoiceNotice(kVoiceTalking, other.id));
  }
}

const VoiceRelay::SenderInChannel& VoiceRelay::SenderIn(Connection& sender, Channel& channel,
                                                        PacketCache& cache) {
  for (std::size_t i = 0; i < cache.count; ++i) {
    if (cache.entries[i].channel == channel.id) return cache.entries[i];
  }
  ChannelTree& tree = protocol_.Context().channels;
  const SenderInChannel found{channel.id, IsBannedFromChannel(tree, channel, sender),
                              PassesAuthorisation(tree, channel, sender.id)};
  if (cache.count == cache.entries.size()) cache.count = 0;  // never more than the slots
  cache.entries[cache.count] = found;
  return cache.entries[cache.count++];
}

bool VoiceRelay::AdmitsIntoChannel(Connection& sender, Channel& channel, PacketCache& cache) {
  if (channel.id == sender.channel && protocol_.Sessions().Of(sender.id).channelMute) return false;
  if (!sender.HasPermission(P::kBroadcastCrossChan)) return false;
  if (channel.Property(kAllowCrossChannelXmit) == 0) return false;
  if (channel.Property(kRestrictToUsr) != 0 && sender.guest) return false;
  const SenderInChannel& verdict = SenderIn(sender, channel, cache);
  if (verdict.banned) return false;
  return sender.administrator || verdict.authorised;
}

std::uint16_t VoiceRelay::Admits(Connection& sender, Connection& recipient, const Targets& targets,
                                 PacketCache& cache) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  const SessionState& senderState = protocol_.Sessions().Of(sender.id);
  Channel* recipientChannel = tree.FindChannelById(recipient.channel);
  Connection* owner = context.table.ResolveOwner(recipient);
  for (std::size_t t = 0; t < targets.types.size(); ++t) {
    const std::uint16_t type = targets.types[t];
    const std::uint16_t id = targets.ids[t];
    switch (type) {
      case kTargetOwnChannel:
      case kTargetOwnChannelToo: {
        if (senderState.channelMute || recipient.channel != sender.channel) break;
        if (sender.channel == 0) {
          if (sender.HasPermission(P::kBroadcastLobby)) return type;
          break;
        }
        if (recipientChannel != nullptr &&
            !(recipientChannel->Property(kRestrictToUsr) != 0 && sender.guest))
          return type;
        break;
      }
      case kTargetChannel: {
        if (id == 0 || recipient.channel != id || recipientChannel == nullptr) break;
        if (AdmitsIntoChannel(sender, *recipientChannel, cache)) return type;
        break;
      }
      case kTargetChannelAndBelow: {
        Channel* named = tree.FindChannelById(id);
        if (id == 0 || named == nullptr || recipientChannel == nullptr) break;
        if (recipient.channel != id && !tree.IsDescendant(*named, recipient.channel)) break;
        if (AdmitsIntoChannel(sender, *recipientChannel, cache)) return type;
        break;
      }
      case kTargetClient: {
        const std::uint32_t privateVoice =
            owner != nullptr ? protocol_.Sessions().Of(owner->id).ownSettings[1] : 0;
        if (recipient.id != id || privateVoice == 0 || !sender.HasPermission(P::kBroadcastU2U))
          break;
        const SenderInChannel* verdict =
            recipientChannel != nullptr ? &SenderIn(sender, *recipientChannel, cache) : nullptr;
        if (verdict != nullptr && (recipientChannel->Property(kAllowU2U) == 0 || verdict->banned))
          break;
        if (sender.administrator || recipient.channel == 0 ||
            (verdict != nullptr && verdict->authorised))
          return type;
        break;
      }
      default:
        break;  // 6: nobody
    }
  }
  return 0;
}

bool VoiceRelay::Relay(Connection& sender, const Message& message, std::size_t dataAt,
                       const Targets& targets) {
  for (std::uint16_t type : targets.types) {
    if (type == 0 || type > kTargetNobody) return false;
  }
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  const std::size_t bytes = message.Length() - dataAt;
  // One copy for every recipient: only the admitting target type differs.
  auto copy = CreateMessage(MSG_VOICE);
  std::copy(message.Data() + 4, message.Data() + kListsAt, copy->Data() + 4);
  copy->SetU16(6, sender.id);
  WriteU16List(*copy, {});
  WriteU16List(*copy, {});
  const int at = copy->ReserveBytes(bytes);
  if (at < 0) return false;
  std::copy(message.Data() + dataAt, message.Data() + message.Length(),
            copy->Data() + static_cast<std::size_t>(at));
  PacketCache cache;
  std::bitset<Connection::kClientIds> delivered;
  roundRobin_ = (roundRobin_ + 1) % ConnectionTable::kSlots;
  for (std::size_t k = 0; k < ConnectionTable::kSlots; ++k) {
    const std::size_t slot = (roundRobin_ + k) % ConnectionTable::kSlots;
    if (slot >= table.Count()) continue;
    Connection& recipient = table.At(slot);
    // A phantom listens for its owner.
    Connection* receiver = table.ResolveOwner(recipient);
    if (receiver == nullptr || receiver == &sender || !receiver->loggedOn) continue;
    if (delivered[receiver->id % Connection::kClientIds]) continue;
    if (!sender.HasPermission(P::kBroadcast) || !recipient.HasPermission(P::kVoiceRecv) ||
        !MaySee(recipient, sender))
      continue;
    const std::uint16_t type = Admits(sender, recipient, targets, cache);
    if (type == 0) continue;
    if (context.settings.silentLobby != 0 && recipient.channel == 0) continue;
    copy->SetU16(12, type);
    table.SendCopy(*receiver, *copy);
    delivered[receiver->id % Connection::kClientIds] = true;
    sender.clientFlags[receiver->id % Connection::kClientIds] = 1;
  }
  std::unique_ptr<Message> stopped;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& listener = table.At(i);
    if (listener.IsPhantom()) continue;
    const std::size_t id = listener.id % Connection::kClientIds;
    if (sender.clientFlags[id] == 0 || delivered[id]) continue;
    sender.clientFlags[id] = 0;
    if (!stopped) stopped = BuildVoiceNotice(kVoiceStoppedHearing, sender.id);
    table.SendCopy(listener, *stopped);
  }
  return true;
}

}  // namespace kestrune
