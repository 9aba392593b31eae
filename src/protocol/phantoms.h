// MSG_PHANTOM: a client adds and removes phantoms, its socket-less presences
// in other channels, and a newcomer learns of the phantoms already there.
// Every removal (asked for, or with the owner or the channel) goes through
// the table's removal path, which announces it once.
#pragma once

#include <cstdint>
#include <memory>

#include "net/message.h"

namespace kestrune {

struct Channel;
class Connection;
class Protocol;

// MSG_PHANTOM with `action` and result 0 about a phantom: its owner, its id
// and its channel.
std::unique_ptr<Message> BuildPhantomNotice(std::uint16_t action, const Connection& phantom);

class Phantoms {
 public:
  explicit Phantoms(Protocol& protocol) : protocol_(protocol) {}
  void Register();

  // The login's part: one add notice per phantom there is.
  void SendPhantoms(Connection& connection);

 private:
  void HandlePhantom(Connection& connection, Message& message, bool& disconnect);
  // 0 when the phantom was added (and announced), else the result.
  std::uint16_t Add(Connection& owner, Message& message);
  // The checks of an add that come before the table's: 0 or the result.
  std::uint16_t CheckAdd(Connection& owner, Channel* channel);
  void Remove(Connection& owner, Message& message);

  Protocol& protocol_;
};

}  // namespace kestrune
