#include "client/admin_requests.h"

namespace kestrune {

namespace {

constexpr std::size_t kTextAt = 12;
constexpr std::size_t kTextWidth = 128;

}  // namespace

std::unique_ptr<Message> BuildUserAdmin(std::uint16_t action, std::uint16_t target,
                                        const std::string& reason) {
  auto message = CreateMessage(MSG_USER_ADMIN);
  message->SetU16(4, action);
  message->SetU16(6, target);
  message->SetFixedText(kTextAt, kTextWidth, reason);
  return message;
}

std::unique_ptr<Message> BuildAdminLogin(const std::array<std::uint8_t, 32>& digest) {
  auto message = CreateMessage(MSG_USER_ADMIN);
  message->SetU16(4, kUserAdminLogin);
  for (std::size_t i = 0; i < digest.size(); ++i) message->SetU8(kTextAt + i, digest[i]);
  return message;
}

std::unique_ptr<Message> BuildMoveUser(std::uint16_t id, std::uint16_t destination) {
  auto message = CreateMessage(MSG_MOVE_USER);
  message->SetU16(4, id);
  message->SetU16(6, destination);
  return message;
}

std::unique_ptr<Message> BuildPhantom(const PhantomInfo& request) {
  auto message = CreateMessage(MSG_PHANTOM);
  message->SetU16(4, request.action);
  message->SetU16(6, request.result);
  message->SetU16(10, request.owner);
  message->SetU16(12, request.phantom);
  message->SetU16(14, request.channel);
  return message;
}

std::optional<PhantomInfo> ReadPhantom(const Message& message) {
  if (message.Type() != MSG_PHANTOM || !SizeExact(message, 16)) return std::nullopt;
  return PhantomInfo{message.GetU16(4), message.GetU16(6), message.GetU16(10), message.GetU16(12),
                     message.GetU16(14)};
}

}  // namespace kestrune
