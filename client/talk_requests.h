// Client side of the talk messages: voice start, data and stop, chat, text-to-
// speech and sound-event lines, pages and own settings, with readers for what
// the server sends back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/message.h"

namespace kestrune {

struct VoicePacket {
  std::uint16_t action = 0;
  std::uint16_t sender = 0;
  std::uint16_t codec = 0;
  std::uint16_t format = 0;
  std::uint16_t targetType = 0;  // offset 12: set by the server in relayed data
  std::uint16_t flags = 0;
  std::uint32_t mark = 0;  // offset 20: non-zero in data
  std::vector<std::uint16_t> types;
  std::vector<std::uint16_t> ids;
  std::string data;
  // Offset 16; taken from the data when not set.
  std::optional<std::uint32_t> count;
};
std::unique_ptr<Message> BuildVoice(const VoicePacket& packet);
std::optional<VoicePacket> ReadVoice(const Message& message);

// MSG_CHAT: a join, leave or line (with its flags).
std::unique_ptr<Message> BuildChat(std::uint16_t action, const std::string& line = "",
                                   std::uint16_t flags = 0);
struct ChatInfo {
  std::uint16_t id = 0;
  std::uint16_t action = 0;
  std::uint16_t flags = 0;
  std::string text;
};
std::optional<ChatInfo> ReadChat(const Message& message);

// MSG_TTS or MSG_WAVE with one line.
std::unique_ptr<Message> BuildBind(std::uint16_t type, const std::string& line);
struct BindInfo {
  std::uint16_t sender = 0;
  std::string text;
};
std::optional<BindInfo> ReadBind(const Message& message);

std::unique_ptr<Message> BuildPage(std::uint16_t target, std::uint16_t value);
struct PageInfo {
  std::uint16_t target = 0;
  std::uint16_t sender = 0;
  std::uint16_t result = 0;
  std::uint16_t value = 0;
};
std::optional<PageInfo> ReadPage(const Message& message);

// MSG_USER_SETTING from a client.
std::unique_ptr<Message> BuildSetting(std::uint16_t id, std::uint16_t setting, std::uint32_t value);

}  // namespace kestrune
