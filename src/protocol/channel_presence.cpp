#include "protocol/channel_presence.h"

#include "channels/channel_access.h"
#include "net/message.h"
#include "protocol/client_records.h"
#include "protocol/login_messages.h"
#include "store/permission_block.h"
#include "store/rank_store.h"

namespace kestrune {

std::unique_ptr<Message> BuildChannelChange(std::uint16_t clientId, std::uint16_t channel) {
  auto message = CreateMessage(MSG_CHANNEL_CHANGE);
  message->SetU16(4, clientId);
  message->SetU16(6, channel);
  return message;
}

std::unique_ptr<Message> BuildMoveNotice(std::uint16_t clientId, std::uint16_t channel) {
  auto message = CreateMessage(MSG_MOVE_USER);
  message->SetU16(4, clientId);
  message->SetU16(6, channel);
  return message;
}

void ChannelPresence::MoveTo(Connection& connection, std::uint16_t channel, MoveNotice notice) {
  Connection* owner = table_.ResolveOwner(connection);
  const std::uint16_t ownerId = owner != nullptr ? owner->id : connection.phantomOwner;
  MoveAccess(tree_, ownerId, connection.channel, channel);
  connection.channel = channel;
  auto message = notice == MoveNotice::kMoveUser ? BuildMoveNotice(connection.id, channel)
                                                 : BuildChannelChange(connection.id, channel);
  table_.Broadcast(&connection, *message, false, true);
  connection.floorTimer.Disarm();
  ReevaluateMute(connection);
}

void ChannelPresence::ReevaluateMute(Connection& connection) {
  if (connection.IsPhantom()) return;
  const bool muted = VoiceMutedByChannel(tree_, ranks_, connection);
  SessionState& state = sessions_.Of(connection.id);
  if (state.channelMute == muted) return;
  state.channelMute = muted;
  NotifySetting(connection, kSettingChannelMute, muted ? 1 : 0);
}

void ChannelPresence::NotifySetting(const Connection& subject, std::uint16_t setting,
                                    std::uint32_t value) {
  auto notice = BuildUserSetting(subject.id, setting, value);
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    Connection& recipient = table_.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !MaySee(recipient, subject)) continue;
    table_.SendToClient(recipient, notice->Clone());
  }
}

void ChannelPresence::TakeOutOfChannel(Connection& connection) {
  if (connection.IsPhantom()) {
    table_.Discard(connection);
    return;
  }
  if (connection.channel != 0) MoveTo(connection, 0);
}

void ChannelPresence::RefreshChannelView(Connection& connection) {
  if (Channel* channel = tree_.FindChannelById(connection.channel)) {
    Channel* root = ProtectionRoot(tree_, *channel);
    if (root != nullptr && root->ProtMode() == 2 &&
        root->AccessOf(connection.id) != kAccessAuthorised) {
      TakeOutOfChannel(connection);
      return;  // the move re-evaluated the mute
    }
  }
  ReevaluateMute(connection);
}

void ChannelPresence::SetAdminChannels(Connection& connection,
                                       const std::vector<std::uint16_t>& channels, bool send) {
  kestrune::SetAdminChannels(tree_, connection.id, channels);
  if (send) table_.SendToClient(connection, BuildChannelAdminList(channels));
}

void ChannelPresence::GrantChannelAuth(Connection& connection, std::uint16_t channelId) {
  if (Channel* channel = tree_.FindChannelById(channelId))
    GrantAuthorisation(*channel, connection.id);
}

void ChannelPresence::RankLevelChanged(std::uint16_t rankId) {
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    Connection& connection = table_.At(i);
    if (connection.loggedOn && connection.permissions[PermissionBlock::kRank] == rankId)
      ReevaluateMute(connection);
  }
}

}  // namespace kestrune
