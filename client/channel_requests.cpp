#include "client/channel_requests.h"

namespace kestrune {

std::unique_ptr<Message> BuildChannelRequest(const ChannelRequest& request) {
  auto message = CreateMessage(MSG_CHANNEL);
  message->SetU16(4, request.clientId);
  message->SetU16(6, request.action);
  for (std::size_t i = 0; i < request.digest.size(); ++i) message->SetU8(8 + i, request.digest[i]);
  message->SetU16(40, request.channel);
  message->SetU16(42, request.parent);
  message->SetU32(44, request.flags);
  for (std::size_t p = 0; p < request.properties.size(); ++p)
    message->SetU16(48 + 2 * p, static_cast<std::uint16_t>(request.properties[p]));
  message->SetU16(80, request.codec);
  message->SetU16(82, request.format);
  if (request.withTexts) {
    WriteCountedString(*message, request.name);
    WriteCountedString(*message, request.phonetic);
    WriteCountedString(*message, request.comment);
  }
  return message;
}

std::optional<ChannelNotice> ReadChannelNotice(const Message& message) {
  if (message.Type() != MSG_CHANNEL || !SizeAtLeast(message, 84)) return std::nullopt;
  ChannelNotice notice;
  notice.clientId = message.GetU16(4);
  notice.action = message.GetU16(6);
  notice.channel = message.GetU16(40);
  notice.parent = message.GetU16(42);
  notice.flags = message.GetU32(44);
  for (std::size_t p = 0; p < notice.properties.size(); ++p)
    notice.properties[p] = static_cast<std::int16_t>(message.GetU16(48 + 2 * p));
  std::size_t cursor = 88;
  if (message.Length() > cursor) {
    for (std::string* text : {&notice.name, &notice.phonetic, &notice.comment}) {
      if (!ReadCountedString(message, cursor, 1024, *text)) return std::nullopt;
    }
  }
  if (!SizeEnd(message, cursor)) return std::nullopt;
  return notice;
}

std::optional<ChannelMove> ReadChannelMove(const Message& message) {
  if (message.Type() == MSG_CHANNEL_CHANGE && SizeExact(message, 4))
    return ChannelMove{message.GetU16(4), message.GetU16(6), 0};
  if (message.Type() == MSG_MOVE_USER && SizeExact(message, 8))
    return ChannelMove{message.GetU16(4), message.GetU16(6), message.GetU16(8)};
  return std::nullopt;
}

std::unique_ptr<Message> BuildChannelAuthRequest(std::uint16_t channel,
                                                 const std::array<std::uint8_t, 32>& digest) {
  auto message = CreateMessage(MSG_CHANNEL_AUTH);
  message->SetU16(8, channel);
  for (std::size_t i = 0; i < digest.size(); ++i) message->SetU8(20 + i, digest[i]);
  return message;
}

std::optional<std::uint16_t> ReadChannelAuthResult(const Message& message) {
  if (message.Type() != MSG_CHANNEL_AUTH || !SizeExact(message, 48) || message.GetU16(4) != 0)
    return std::nullopt;
  return message.GetU16(6);
}

std::unique_ptr<Message> BuildOwnTexts(std::uint16_t clientId, const std::string& comment,
                                       const std::string& url, const std::string& integration) {
  auto message = CreateMessage(MSG_USER_LIST);
  message->SetU16(4, 2);
  message->SetU16(6, 1);
  const int at = message->ReserveBytes(8);
  message->SetU16(static_cast<std::size_t>(at), clientId);
  const std::string empty;
  for (const std::string* text : {&empty, &empty, &comment, &url, &integration})
    WriteCountedString(*message, *text);
  return message;
}

}  // namespace kestrune
