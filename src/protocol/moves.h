// MSG_MOVE_USER: administrators move clients and phantoms between channels,
// and, with the ChannelOrdering property, put a channel before a sibling.
#pragma once

#include <cstdint>

#include "net/message.h"

namespace kestrune {

struct Channel;
class Connection;
class Protocol;

class MoveMessages {
 public:
  explicit MoveMessages(Protocol& protocol) : protocol_(protocol) {}
  void Register();

 private:
  void HandleMove(Connection& connection, Message& message, bool& disconnect);
  // The result for the requester (4 also when nothing moved).
  std::uint16_t OrderChannels(Connection& connection, Channel& first, Channel* second);
  // 0 when the client moved (the notice is broadcast), else the result.
  std::uint16_t MoveClient(Connection& connection, Connection& client, std::uint16_t destination);
  void Reply(Connection& connection, const Message& request, std::uint16_t result);

  Protocol& protocol_;
};

}  // namespace kestrune
