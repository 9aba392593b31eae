// Where each client stands in the channel tree as the others see it: moves
// with their access bookkeeping and notices, the channel mute that follows a
// move, and what an account change does to a connected user's channels.
#pragma once

#include <cstdint>
#include <vector>

#include "channels/channel_tree.h"
#include "net/connection.h"
#include "protocol/session_state.h"

namespace kestrune {

class RankStore;

// MSG_CHANNEL_CHANGE: the client and the channel it is now in.
std::unique_ptr<Message> BuildChannelChange(std::uint16_t clientId, std::uint16_t channel);
// The move notice: MSG_MOVE_USER with the client, its destination and result 0.
std::unique_ptr<Message> BuildMoveNotice(std::uint16_t clientId, std::uint16_t channel);

// How the others learn of a move.
enum class MoveNotice { kChannelChange, kMoveUser };

class ChannelPresence {
 public:
  ChannelPresence(ConnectionTable& table, ChannelTree& tree, const RankStore& ranks,
                  SessionTable& sessions)
      : table_(table), tree_(tree), ranks_(ranks), sessions_(sessions) {}

  ChannelTree& Tree() { return tree_; }

  // Puts the client (or phantom) into `channel`: the access bookkeeping
  // under the owner's id, the notice to all channels (the client itself
  // included), the floor timer cancelled, the channel mute re-evaluated.
  void MoveTo(Connection& connection, std::uint16_t channel,
              MoveNotice notice = MoveNotice::kChannelChange);
  // Recomputes the channel mute of a real client; when it flips, stores it
  // and tells everyone who may see the client (setting 5).
  void ReevaluateMute(Connection& connection);
  // A MSG_USER_SETTING notice about `subject` to every logged-in, non-phantom
  // client that may see it.
  void NotifySetting(const Connection& subject, std::uint16_t setting, std::uint32_t value);

  // What the account store asks for on a connected user.
  // A phantom leaves the table; anyone else goes to the lobby.
  void TakeOutOfChannel(Connection& connection);
  // Out of a ProtMode 2 channel it is no longer authorised for, then the mute.
  void RefreshChannelView(Connection& connection);
  // Rebuilds the administrator memberships; `send` also sends the list.
  void SetAdminChannels(Connection& connection, const std::vector<std::uint16_t>& channels,
                        bool send);
  void GrantChannelAuth(Connection& connection, std::uint16_t channelId);
  // The rank's level changed: every holder's channel mute again.
  void RankLevelChanged(std::uint16_t rankId);

 private:
  ConnectionTable& table_;
  ChannelTree& tree_;
  const RankStore& ranks_;
  SessionTable& sessions_;
};

}  // namespace kestrune
