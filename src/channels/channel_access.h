// The run-time rules of the channel properties: who may enter a protected
// channel and how that is remembered per connection, channel administrators,
// full channels, the channel mute by voice mode, and channel bans.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "channels/channel_tree.h"

namespace kestrune {

class Connection;
class RankStore;

enum ChannelPasswordResult : int {
  kChannelAdmitted = 0,
  kChannelWrongPassword = -1,
  kChannelNotAuthorised = -2,
};

// The channel itself or its nearest ancestor with ProtMode 1 or 2; none.
Channel* ProtectionRoot(ChannelTree& tree, Channel& channel);
// Walks up to the first ProtMode 1 or 2 channel. At ProtMode 1 a state of 1
// or 2 there admits without comparing; otherwise the 32 digest bytes must
// match (state 1 is stored). At ProtMode 2 only state 2 admits.
int CheckChannelPassword(ChannelTree& tree, Channel& channel, std::uint16_t connectionId,
                         const std::uint8_t* digest);
// The state at the protection root; 1 when there is none.
std::uint32_t AccessState(ChannelTree& tree, Channel& channel, std::uint16_t connectionId);
// True when the state there admits without a password: no protection root,
// 1 or 2 at a ProtMode 1 root, 2 at a ProtMode 2 root.
bool PassesAuthorisation(ChannelTree& tree, Channel& channel, std::uint16_t connectionId);
// State 2 when the channel's own ProtMode is 2.
void GrantAuthorisation(Channel& channel, std::uint16_t connectionId);
// The move bookkeeping (with the owner's id when a phantom moves): leaving
// turns a 3 at the old root into 0, entering sets 3 at the new root unless
// the state is 1 or 2. Nothing when both channels are the same.
void MoveAccess(ChannelTree& tree, std::uint16_t ownerId, std::uint16_t oldChannel,
                std::uint16_t newChannel);
// Every channel forgets the states of the id and of its phantoms.
void ResetAccess(ChannelTree& tree, std::uint16_t connectionId);
// Drops the states 1 of one channel (its password changed).
void ResetPasswordStates(Channel& channel);

void AddChannelAdmin(Channel& channel, std::uint16_t connectionId);
void RemoveChannelAdmin(Channel& channel, std::uint16_t connectionId);
void ClearChannelAdmins(Channel& channel);
// Takes the connection out of every administrator list and puts it in the
// lists of the listed channels that exist (sending the list is the caller's).
void SetAdminChannels(ChannelTree& tree, std::uint16_t connectionId,
                      const std::vector<std::uint16_t>& channels);
// AdminMode, or an administrator entry in the channel or above it (at most 64
// levels); false for no connection.
bool IsChannelAdmin(ChannelTree& tree, const Connection* connection, std::uint16_t channelId);
// The channel's top-level ancestor when the connection is in AdminMode or in
// that channel's administrator list; none otherwise.
Channel* TopAdminChannel(ChannelTree& tree, const Connection& connection, std::uint16_t channelId);

// The top-level ancestor's ban list covers the connection's address.
bool IsBannedFromChannel(ChannelTree& tree, Channel& channel, const Connection& connection);
// Channel bans go to the list of the top-level channel TopAdminChannel gives;
// the file is saved when the list changed. BanResult codes; -1 also when the
// connection administers no such top-level channel.
int AddChannelBan(ChannelTree& tree, const Connection& admin, std::uint16_t channelId,
                  std::string_view addressText, std::string_view name, std::string_view reason);
int RemoveChannelBan(ChannelTree& tree, const Connection& admin, std::uint16_t channelId,
                     std::string_view addressText);

// The users in the channel (phantoms too) have reached the lower of
// ChanClients and the channel's non-zero MaxClients. Never for AdminMode;
// always, at the limit, for no connection.
bool IsChannelFull(ChannelTree& tree, const Channel* channel, const Connection* connection);
// The connection's channel mutes it: VoiceMode 1, or VoiceMode 2 and a rank
// below RankLevel (RankLevel 0 mutes everyone).
bool VoiceMutedByChannel(ChannelTree& tree, const RankStore& ranks, const Connection& connection);

}  // namespace kestrune
