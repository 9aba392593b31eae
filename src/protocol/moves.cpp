#include "protocol/moves.h"

#include "channels/channel_access.h"
#include "net/connection.h"
#include "protocol/channel_presence.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"
#include "store/server_properties.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kMoveBody = 8;
constexpr std::uint16_t kRefuseNoUsersMove = 24;

enum MoveResult : std::uint16_t {
  kMoved = 0,
  kNotPermitted = 1,
  kNoSuchClient = 2,
  kBadDestination = 3,
  kChannelsOrdered = 4,
  kDestinationFull = 5,
  kNoPhantoms = 6,
};

}  // namespace

void MoveMessages::Register() {
  protocol_.SetHandler(MSG_MOVE_USER, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleMove(c, m, d);
  });
}

void MoveMessages::Reply(Connection& connection, const Message& request, std::uint16_t result) {
  auto reply = CreateMessage(MSG_MOVE_USER);
  reply->SetU16(4, request.GetU16(4));
  reply->SetU16(6, request.GetU16(6));
  reply->SetU16(8, result);
  protocol_.Context().table.SendToClient(connection, std::move(reply));
}

void MoveMessages::HandleMove(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeExact(message, kMoveBody)) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  ConnectionTable& table = context.table;
  const std::uint16_t id = message.GetU16(4);
  const std::uint16_t destination = message.GetU16(6);
  Channel* destinationChannel = tree.FindChannelById(destination);
  Connection* destinationClient = nullptr;
  if (destination != 0 && destinationChannel == nullptr) {
    destinationClient = table.FindById(destination);
    if (destinationClient != nullptr && !destinationClient->loggedOn) destinationClient = nullptr;
  }
  if (id == 0) {
    Reply(connection, message, kNoSuchClient);
    return;
  }
  if (destination != 0 && destinationChannel == nullptr && destinationClient == nullptr) {
    Reply(connection, message, kBadDestination);
    return;
  }
  if (!connection.HasPermission(P::kChanSwitch) || !connection.HasPermission(P::kSeeChan)) {
    Reply(connection, message, kNotPermitted);
    return;
  }
  if (Channel* first = tree.FindChannelById(id)) {
    Reply(connection, message, OrderChannels(connection, *first, destinationChannel));
    return;
  }
  if (!connection.HasPermission(P::kUsersMove)) {
    table.SendRefusal(connection, kRefuseNoUsersMove, 0, false, false);
    return;
  }
  Connection* client = table.FindById(id);
  if (client == nullptr || !client->loggedOn) {
    Reply(connection, message, kNoSuchClient);
    return;
  }
  // A client named as the destination stands for its channel.
  const std::uint16_t channel =
      destinationClient != nullptr ? destinationClient->channel : destination;
  const std::uint16_t result = MoveClient(connection, *client, channel);
  if (result != kMoved) Reply(connection, message, result);
}

std::uint16_t MoveMessages::OrderChannels(Connection& connection, Channel& first, Channel* second) {
  ProtocolContext& context = protocol_.Context();
  if (context.properties.channelOrdering == 0) return kChannelsOrdered;
  if (second == nullptr || second->parent != first.parent) return kBadDestination;
  ChannelTree& tree = context.channels;
  if (!IsChannelAdmin(tree, &connection, first.parent)) return kNotPermitted;
  const std::uint16_t firstId = first.id;
  const std::uint16_t secondId = second->id;
  tree.MoveChannelBefore(firstId, secondId);
  tree.ServerChannelSort();
  // The order is part of the definitions: it survives a restart.
  tree.SaveChannels();
  context.table.Broadcast(nullptr, *BuildMoveNotice(firstId, secondId), false, true);
  return kChannelsOrdered;
}

std::uint16_t MoveMessages::MoveClient(Connection& connection, Connection& client,
                                       std::uint16_t destination) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  ConnectionTable& table = context.table;
  // Before any other check on the destination: a phantom has no place in
  // the lobby.
  if (client.IsPhantom() && destination == 0) return kBadDestination;
  if (!IsChannelAdmin(tree, &connection, client.channel) ||
      !IsChannelAdmin(tree, &connection, destination))
    return kNotPermitted;
  if (client.channel == destination) return kBadDestination;
  Channel* channel = tree.FindChannelById(destination);
  // A destination client whose channel has gone.
  if (destination != 0 && channel == nullptr) return kBadDestination;
  if (IsChannelFull(tree, channel, &client)) return kDestinationFull;
  if (client.IsPhantom()) {
    if (channel->Property(kPhantomMode) == 0) return kNoPhantoms;
    for (std::size_t i = 0; i < table.Count(); ++i) {
      const Connection& other = table.At(i);
      if (other.phantomOwner == client.phantomOwner && other.channel == destination)
        return kBadDestination;
    }
  }
  protocol_.Presence().MoveTo(client, destination, MoveNotice::kMoveUser);
  return kMoved;
}

}  // namespace kestrune
