#include "client/motd_requests.h"

#include <algorithm>

namespace kestrune {

std::unique_ptr<Message> BuildPingAnswer(std::uint16_t token, std::uint16_t idleSeconds) {
  auto message = CreateMessage(MSG_PING);
  message->SetU16(6, token);
  message->SetU16(10, idleSeconds);
  return message;
}

std::unique_ptr<Message> BuildMotdUpload(std::uint16_t kind, std::uint16_t total,
                                         std::uint16_t index, const std::string& text) {
  return BuildMotdUpload(kind, total, index, text,
                         static_cast<std::uint16_t>(std::min<std::size_t>(text.size(), 256)));
}

std::unique_ptr<Message> BuildMotdUpload(std::uint16_t kind, std::uint16_t total,
                                         std::uint16_t index, const std::string& text,
                                         std::uint16_t count) {
  auto message = CreateMessage(MSG_MOTD);
  message->SetU16(8, kind);
  message->SetU16(10, total);
  message->SetU16(12, index);
  message->SetU16(14, count);
  const std::size_t n = std::min<std::size_t>(text.size(), 256);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), message->Data() + 16);
  return message;
}

std::unique_ptr<Message> BuildComplaintRequest(std::uint16_t action) {
  auto message = CreateMessage(MSG_COMPLAINT);
  message->SetU16(4, action);
  return message;
}

std::unique_ptr<Message> BuildComplaintSubmit(std::uint16_t target, const std::string& text,
                                              const std::string& first, const std::string& second) {
  auto message = BuildComplaintRequest(1);
  message->SetU16(8, target);
  WriteCountedString(*message, first);
  WriteCountedString(*message, second);
  WriteCountedString(*message, text);
  return message;
}

std::optional<ComplaintEntryInfo> ReadComplaintEntry(const Message& message) {
  if (message.Type() != MSG_COMPLAINT || !SizeAtLeast(message, 20) || message.GetU16(4) != 3)
    return std::nullopt;
  ComplaintEntryInfo entry;
  entry.targetGuest = message.GetU8(12) != 0;
  entry.complainerGuest = message.GetU8(13) != 0;
  entry.time = message.GetU32(16);
  std::size_t cursor = 24;
  for (std::string* text : {&entry.target, &entry.complainer, &entry.text}) {
    if (!ReadCountedString(message, cursor, 1024, *text)) return std::nullopt;
  }
  if (!SizeEnd(message, cursor)) return std::nullopt;
  return entry;
}

}  // namespace kestrune
