#include "protocol/inactivity.h"

#include "channels/channel_tree.h"
#include "net/connection.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"
#include "store/server_properties.h"

namespace kestrune {

std::uint64_t InactivityLimitSeconds(int minutes) {
  if (minutes <= 0) return 0;
  return static_cast<std::uint64_t>(minutes) * 60u;
}

void ApplyInactivity(Protocol& protocol, Connection& connection, std::uint32_t idleSeconds) {
  ProtocolContext& context = protocol.Context();
  const ServerProperties& properties = context.properties;
  const std::uint64_t limit = InactivityLimitSeconds(properties.inactivityTimeout);
  if (limit == 0 || idleSeconds <= limit) return;
  if (connection.HasPermission(PermissionBlock::kIgnoreInactivity)) return;
  ChannelTree& tree = context.channels;
  if (connection.channel != 0) {
    const Channel* current = tree.FindChannelById(connection.channel);
    if (current != nullptr && current->Property(kExemptFromInactivity) != 0) return;
  }
  if (properties.inactivityAction == kInactivityDisconnect) {
    context.table.SendRefusal(connection, kRefuseInactive, 0, false, true);
    return;
  }
  if (properties.inactivityAction != kInactivityMove) return;
  // By path each time: a stored id could name a channel that replaced a
  // deleted one, or a person.
  const Channel* target = tree.FindChannelByPath(properties.inactivityChannel);
  if (target == nullptr || target->id == connection.channel) return;
  protocol.Presence().MoveTo(connection, target->id);
}

}  // namespace kestrune
