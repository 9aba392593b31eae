#include "channels/channel_access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "net/connection.h"
#include "store/permission_block.h"
#include "store/rank_store.h"

namespace kestrune {

Channel* ProtectionRoot(ChannelTree& tree, Channel& channel) {
  Channel* at = &channel;
  for (int steps = 0; at != nullptr && steps < ChannelTree::kMaxWalk; ++steps) {
    if (at->ProtMode() == 1 || at->ProtMode() == 2) return at;
    at = tree.FindChannelById(at->parent);
  }
  return nullptr;
}

int CheckChannelPassword(ChannelTree& tree, Channel& channel, std::uint16_t connectionId,
                         const std::uint8_t* digest) {
  Channel* root = ProtectionRoot(tree, channel);
  if (root == nullptr) return kChannelAdmitted;
  const std::uint32_t state = root->AccessOf(connectionId);
  if (root->ProtMode() == 2) {
    return state == kAccessAuthorised ? kChannelAdmitted : kChannelNotAuthorised;
  }
  // A password given once here is not asked for again.
  if (state == kAccessPassword || state == kAccessAuthorised) return kChannelAdmitted;
  if (digest == nullptr || !root->password.BytesEqual(digest)) return kChannelWrongPassword;
  root->SetAccess(connectionId, kAccessPassword);
  return kChannelAdmitted;
}

std::uint32_t AccessState(ChannelTree& tree, Channel& channel, std::uint16_t connectionId) {
  Channel* root = ProtectionRoot(tree, channel);
  return root != nullptr ? root->AccessOf(connectionId) : kAccessPassword;
}

bool PassesAuthorisation(ChannelTree& tree, Channel& channel, std::uint16_t connectionId) {
  Channel* root = ProtectionRoot(tree, channel);
  if (root == nullptr) return true;
  const std::uint32_t state = root->AccessOf(connectionId);
  if (root->ProtMode() == 2) return state == kAccessAuthorised;
  return state == kAccessPassword || state == kAccessAuthorised;
}

void GrantAuthorisation(Channel& channel, std::uint16_t connectionId) {
  if (channel.ProtMode() == 2) channel.SetAccess(connectionId, kAccessAuthorised);
}

void MoveAccess(ChannelTree& tree, std::uint16_t ownerId, std::uint16_t oldChannel,
                std::uint16_t newChannel) {
  if (oldChannel == newChannel) return;
  if (Channel* old = tree.FindChannelById(oldChannel)) {
    Channel* root = ProtectionRoot(tree, *old);
    if (root != nullptr && root->AccessOf(ownerId) == kAccessInside)
      root->SetAccess(ownerId, kAccessNone);
  }
  if (Channel* entered = tree.FindChannelById(newChannel)) {
    Channel* root = ProtectionRoot(tree, *entered);
    if (root != nullptr) {
      const std::uint32_t state = root->AccessOf(ownerId);
      if (state != kAccessPassword && state != kAccessAuthorised)
        root->SetAccess(ownerId, kAccessInside);
    }
  }
}

void ResetAccess(ChannelTree& tree, std::uint16_t connectionId) {
  std::vector<std::uint16_t> ids{connectionId};
  ConnectionTable& table = tree.Table();
  for (std::size_t i = 0; i < table.Count(); ++i) {
    if (table.At(i).phantomOwner == connectionId && connectionId != 0)
      ids.push_back(table.At(i).id);
  }
  for (std::size_t c = 0; c < tree.Count(); ++c) {
    for (std::uint16_t id : ids) tree.At(c).SetAccess(id, kAccessNone);
  }
}

void ResetPasswordStates(Channel& channel) {
  for (auto& state : channel.access) {
    if (state == kAccessPassword) state = kAccessNone;
  }
}

void AddChannelAdmin(Channel& channel, std::uint16_t connectionId) {
  if (std::find(channel.admins.begin(), channel.admins.end(), connectionId) == channel.admins.end())
    channel.admins.push_back(connectionId);
}

void RemoveChannelAdmin(Channel& channel, std::uint16_t connectionId) {
  auto& admins = channel.admins;
  admins.erase(std::remove(admins.begin(), admins.end(), connectionId), admins.end());
}

void ClearChannelAdmins(Channel& channel) {
  channel.admins.clear();
}

void SetAdminChannels(ChannelTree& tree, std::uint16_t connectionId,
                      const std::vector<std::uint16_t>& channels) {
  for (std::size_t c = 0; c < tree.Count(); ++c) RemoveChannelAdmin(tree.At(c), connectionId);
  for (std::uint16_t id : channels) {
    if (Channel* channel = tree.FindChannelById(id)) AddChannelAdmin(*channel, connectionId);
  }
}

bool IsChannelAdmin(ChannelTree& tree, const Connection* connection, std::uint16_t channelId) {
  if (connection == nullptr) return false;
  if (connection->administrator) return true;
  return tree.IsChannelAdmin(connection->id, channelId);
}

Channel* TopAdminChannel(ChannelTree& tree, const Connection& connection, std::uint16_t channelId) {
  Channel* channel = tree.FindChannelById(channelId);
  if (channel == nullptr) return nullptr;
  Channel* top = tree.TopChannel(*channel);
  if (top == nullptr) return nullptr;
  if (connection.administrator) return top;
  const auto& admins = top->admins;
  return std::find(admins.begin(), admins.end(), connection.id) != admins.end() ? top : nullptr;
}

bool IsBannedFromChannel(ChannelTree& tree, Channel& channel, const Connection& connection) {
  Channel* top = tree.TopChannel(channel);
  return top != nullptr && top->bans.FindCovering(ntohl(connection.peerAddress)) != nullptr;
}

int AddChannelBan(ChannelTree& tree, const Connection& admin, std::uint16_t channelId,
                  std::string_view addressText, std::string_view name, std::string_view reason) {
  Channel* top = TopAdminChannel(tree, admin, channelId);
  if (top == nullptr) return kBanCovered;
  const int result = AddChannelBan(top->bans, tree.GetLog(), addressText, name, admin.name, reason);
  if (result == kBanOk) {
    tree.ServerChannelSort();
    tree.SaveChannels();
  }
  return result;
}

int RemoveChannelBan(ChannelTree& tree, const Connection& admin, std::uint16_t channelId,
                     std::string_view addressText) {
  Channel* top = TopAdminChannel(tree, admin, channelId);
  if (top == nullptr) return kBanCovered;
  const int result = RemoveChannelBan(top->bans, tree.GetLog(), addressText, admin.name);
  if (result == kBanOk) {
    tree.ServerChannelSort();
    tree.SaveChannels();
  }
  return result;
}

bool IsChannelFull(ChannelTree& tree, const Channel* channel, const Connection* connection) {
  if (channel == nullptr) return false;
  int limit = tree.Limits().clients;
  if (limit == 0 || channel->MaxClients() < limit) limit = channel->MaxClients();
  if (limit == 0) return false;
  ConnectionTable& table = tree.Table();
  int inside = 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    if (table.At(i).channel == channel->id) ++inside;
  }
  if (inside < limit) return false;
  return connection == nullptr || !connection->administrator;
}

bool VoiceMutedByChannel(ChannelTree& tree, const RankStore& ranks, const Connection& connection) {
  const Channel* channel = tree.FindChannelById(connection.channel);
  if (channel == nullptr) return false;
  if (channel->VoiceMode() == 1) return true;
  return !ranks.RankAllowsVoice(connection.permissions[PermissionBlock::kRank],
                                channel->VoiceMode(), channel->Property(kRankLevel));
}

}  // namespace kestrune
