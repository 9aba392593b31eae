// The administration of other clients: the server-administrator login and
// logout, kick, ban and channel ban (MSG_USER_ADMIN), and the mutes an
// administrator sets (settings 4 and 5 of MSG_USER_SETTING).
#pragma once

#include <cstdint>
#include <string>

#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;

class UserAdmin {
 public:
  explicit UserAdmin(Protocol& protocol) : protocol_(protocol) {}
  void Register();

 private:
  void HandleUserAdmin(Connection& connection, Message& message, bool& disconnect);
  void AdminLogin(Connection& connection, Message& message);
  void AdminLogout(Connection& connection);
  void Kick(Connection& connection, std::uint16_t targetId, const std::string& reason);
  void Ban(Connection& connection, std::uint16_t targetId, const std::string& reason);
  void ChannelBan(Connection& connection, std::uint16_t targetId, const std::string& reason);
  // The client an action names, a phantom standing for its owner; none when
  // there is no such logged-in client.
  Connection* Target(std::uint16_t id);
  // The target of a kick or ban: none (refused with 2 or 1) when it is
  // missing or the requester itself.
  Connection* OtherTarget(Connection& connection, std::uint16_t targetId);
  void Refuse(Connection& connection, std::uint16_t code);

  Protocol& protocol_;
};

// Settings 4 (global mute, AdminMode only) and 5 (channel mute, by the
// administrators of the target's channel) of a MSG_USER_SETTING whose size
// and setting number have been checked. A request that fails its checks is
// ignored (refusal 13 for a channel mute in voice mode 1); a stored mute is
// relayed to all channels, the requester included.
void HandleMuteSetting(Protocol& protocol, Connection& requester, Message& message);

}  // namespace kestrune
