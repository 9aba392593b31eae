#include "protocol/phantoms.h"

#include "channels/channel_access.h"
#include "net/connection.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"
#include "util/clock.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kPhantomBody = 16;

enum Action : std::uint16_t { kAdd = 0, kRemove = 1 };

enum PhantomResult : std::uint16_t {
  kAdded = 0,
  kNoPhantomMode = 1,
  kAlreadyThere = 3,
  kNoChannel = 4,
  kNotYours = 5,
  kNotAuthorised = 6,
  kNotAdded = 7,
  kChannelFull = 8,
  kNoFreeId = 9,
  kBanned = 10,
  kNoPhantomsAdd = 11,
};

bool HasPhantomIn(ConnectionTable& table, std::uint16_t ownerId, std::uint16_t channel) {
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& c = table.At(i);
    if (c.phantomOwner == ownerId && c.channel == channel) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<Message> BuildPhantomNotice(std::uint16_t action, const Connection& phantom) {
  auto message = CreateMessage(MSG_PHANTOM);
  message->SetU16(4, action);
  message->SetU16(10, phantom.phantomOwner);
  message->SetU16(12, phantom.id);
  message->SetU16(14, phantom.channel);
  return message;
}

void Phantoms::Register() {
  protocol_.SetHandler(MSG_PHANTOM, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandlePhantom(c, m, d);
  });
}

void Phantoms::SendPhantoms(Connection& connection) {
  ConnectionTable& table = protocol_.Context().table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& phantom = table.At(i);
    if (phantom.IsPhantom()) table.SendToClient(connection, BuildPhantomNotice(kAdd, phantom));
  }
}

void Phantoms::HandlePhantom(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || connection.IsPhantom() || !SizeExact(message, kPhantomBody) ||
      message.GetU16(10) != connection.id) {
    disconnect = true;
    return;
  }
  switch (message.GetU16(4)) {
    case kAdd:
      if (const std::uint16_t result = Add(connection, message); result != kAdded) {
        auto reply = message.Clone();
        reply->SetU16(6, result);
        protocol_.Context().table.SendToClient(connection, std::move(reply));
      }
      return;
    case kRemove:
      Remove(connection, message);
      return;
    default:
      disconnect = true;
  }
}

std::uint16_t Phantoms::CheckAdd(Connection& owner, Channel* channel) {
  ProtocolContext& context = protocol_.Context();
  ChannelTree& tree = context.channels;
  if (channel == nullptr) return kNoChannel;
  if (!owner.HasPermission(P::kPhantomsAdd)) return kNoPhantomsAdd;
  if (HasPhantomIn(context.table, owner.id, channel->id)) return kAlreadyThere;
  if (channel->Property(kPhantomMode) != 1) return kNoPhantomMode;
  // Without a digest only what the channel remembers admits; a guest goes
  // only where guests may.
  if (!owner.administrator && !PassesAuthorisation(tree, *channel, owner.id)) return kNotAuthorised;
  if (owner.guest && channel->Property(kAllowGuestToJoin) == 0) return kNotAuthorised;
  if (IsBannedFromChannel(tree, *channel, owner)) return kBanned;
  if (IsChannelFull(tree, channel, &owner)) return kChannelFull;
  return kAdded;
}

std::uint16_t Phantoms::Add(Connection& owner, Message& message) {
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  Channel* channel = context.channels.FindChannelById(message.GetU16(14));
  if (const std::uint16_t result = CheckAdd(owner, channel); result != kAdded) return result;
  std::uint16_t id = 0;
  if (table.AllocateId(id) != 0) return kNoFreeId;

  auto phantom = std::make_unique<Connection>(nullptr, id);
  phantom->phantomOwner = owner.id;
  phantom->name = owner.name;
  phantom->peerAddress = owner.peerAddress;
  phantom->peerSocketAddress = owner.peerSocketAddress;
  phantom->addressText = owner.addressText;
  phantom->version = owner.version;
  phantom->permissions = owner.permissions;
  phantom->guest = owner.guest;
  phantom->channel = channel->id;
  phantom->connectTime = context.clock.NowSeconds();
  phantom->loggedOn = true;
  // Refused by the table: it has destroyed the phantom.
  if (table.Add(std::move(phantom), true) != 0) return kNotAdded;

  SessionTable& sessions = protocol_.Sessions();
  const SessionState& ownerState = sessions.Of(owner.id);
  SessionState fresh;
  fresh.registered = ownerState.registered;
  fresh.statusName = ownerState.statusName;
  sessions.Of(id) = std::move(fresh);

  auto notice = message.Clone();
  notice->SetU16(6, kAdded);
  notice->SetU16(12, id);
  table.Broadcast(&owner, *notice, false, true);
  return kAdded;
}

void Phantoms::Remove(Connection& owner, Message& message) {
  ConnectionTable& table = protocol_.Context().table;
  Connection* phantom = table.FindById(message.GetU16(12));
  if (phantom == nullptr || phantom->phantomOwner != owner.id) {
    auto reply = message.Clone();
    reply->SetU16(6, kNotYours);
    table.SendToClient(owner, std::move(reply));
    return;
  }
  // The removal path tells every client, as for any phantom that goes.
  table.Discard(*phantom);
}

}  // namespace kestrune
