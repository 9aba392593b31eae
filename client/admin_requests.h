// Client side of the administration of other clients: admin login and logout,
// kick, ban and channel ban (MSG_USER_ADMIN), mutes, moves and channel
// ordering (MSG_MOVE_USER) and phantoms (MSG_PHANTOM), with readers for the
// server's answers and notices.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/message.h"

namespace kestrune {

enum UserAdminAction : std::uint16_t {
  kUserAdminLogin = 0,
  kUserAdminKick = 1,
  kUserAdminBan = 3,
  kUserAdminLogout = 4,
  kUserAdminChannelBan = 5,
};

// MSG_USER_ADMIN with a reason text (kick, ban, channel ban; at most 127
// bytes reach the server, the field's last byte being its terminator).
std::unique_ptr<Message> BuildUserAdmin(std::uint16_t action, std::uint16_t target,
                                        const std::string& reason = "");
// MSG_USER_ADMIN action 0 with the administrator password digest.
std::unique_ptr<Message> BuildAdminLogin(const std::array<std::uint8_t, 32>& digest);

// MSG_MOVE_USER: move client (or, with channel ordering, channel) `id` to
// `destination` (a channel, 0 for the lobby, or a client whose channel it is).
std::unique_ptr<Message> BuildMoveUser(std::uint16_t id, std::uint16_t destination);

enum PhantomAction : std::uint16_t { kPhantomAdd = 0, kPhantomRemove = 1 };

struct PhantomInfo {
  std::uint16_t action = 0;
  std::uint16_t result = 0;
  std::uint16_t owner = 0;    // offset 10: the requester's own id
  std::uint16_t phantom = 0;  // offset 12
  std::uint16_t channel = 0;  // offset 14
};
std::unique_ptr<Message> BuildPhantom(const PhantomInfo& request);
std::optional<PhantomInfo> ReadPhantom(const Message& message);

}  // namespace kestrune
