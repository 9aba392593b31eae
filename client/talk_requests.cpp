#include "client/talk_requests.h"

#include <algorithm>

namespace kestrune {

std::unique_ptr<Message> BuildVoice(const VoicePacket& packet) {
  auto message = CreateMessage(MSG_VOICE);
  message->SetU16(4, packet.action);
  message->SetU16(6, packet.sender);
  message->SetU16(8, packet.codec);
  message->SetU16(10, packet.format);
  message->SetU16(12, packet.targetType);
  message->SetU16(14, packet.flags);
  message->SetU32(16, packet.count.value_or(static_cast<std::uint32_t>(packet.data.size())));
  message->SetU32(20, packet.mark);
  WriteU16List(*message, packet.types);
  WriteU16List(*message, packet.ids);
  const int at = message->ReserveBytes(packet.data.size());
  if (at < 0) return nullptr;
  std::copy(packet.data.begin(), packet.data.end(), message->Data() + at);
  return message;
}

std::optional<VoicePacket> ReadVoice(const Message& message) {
  if (message.Type() != MSG_VOICE || !SizeAtLeast(message, 20)) return std::nullopt;
  VoicePacket packet;
  packet.action = message.GetU16(4);
  packet.sender = message.GetU16(6);
  packet.codec = message.GetU16(8);
  packet.format = message.GetU16(10);
  packet.targetType = message.GetU16(12);
  packet.flags = message.GetU16(14);
  packet.count = message.GetU32(16);
  packet.mark = message.GetU32(20);
  std::size_t cursor = 24;
  if (message.Length() > cursor) {
    if (!ReadU16List(message, cursor, 16, packet.types) ||
        !ReadU16List(message, cursor, 16, packet.ids))
      return std::nullopt;
    packet.data.assign(reinterpret_cast<const char*>(message.Data()) + cursor,
                       message.Length() - cursor);
  }
  return packet;
}

std::unique_ptr<Message> BuildChat(std::uint16_t action, const std::string& line,
                                   std::uint16_t flags) {
  auto message = CreateMessage(MSG_CHAT);
  message->SetU16(6, action);
  message->SetU16(8, flags);
  if (action == 2) WriteCountedString(*message, line);
  return message;
}

std::optional<ChatInfo> ReadChat(const Message& message) {
  if (message.Type() != MSG_CHAT || !SizeAtLeast(message, 8)) return std::nullopt;
  ChatInfo info{message.GetU16(4), message.GetU16(6), message.GetU16(8), {}};
  std::size_t cursor = 12;
  if (message.Length() > cursor && !ReadCountedString(message, cursor, 1024, info.text))
    return std::nullopt;
  return info;
}

std::unique_ptr<Message> BuildBind(std::uint16_t type, const std::string& line) {
  auto message = CreateMessage(type);
  WriteCountedString(*message, line);
  return message;
}

std::optional<BindInfo> ReadBind(const Message& message) {
  if ((message.Type() != MSG_TTS && message.Type() != MSG_WAVE) || !SizeAtLeast(message, 4))
    return std::nullopt;
  BindInfo info{message.GetU16(4), {}};
  std::size_t cursor = 8;
  if (!ReadCountedString(message, cursor, 1024, info.text)) return std::nullopt;
  return info;
}

std::unique_ptr<Message> BuildPage(std::uint16_t target, std::uint16_t value) {
  auto message = CreateMessage(MSG_PAGE);
  message->SetU16(4, target);
  message->SetU16(10, value);
  return message;
}

std::optional<PageInfo> ReadPage(const Message& message) {
  if (message.Type() != MSG_PAGE || !SizeExact(message, 8)) return std::nullopt;
  return PageInfo{message.GetU16(4), message.GetU16(6), message.GetU16(8), message.GetU16(10)};
}

std::unique_ptr<Message> BuildSetting(std::uint16_t id, std::uint16_t setting,
                                      std::uint32_t value) {
  auto message = CreateMessage(MSG_USER_SETTING);
  message->SetU16(4, id);
  message->SetU16(6, setting);
  message->SetU32(8, value);
  return message;
}

}  // namespace kestrune
