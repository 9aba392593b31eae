// Client side of the channel messages: requests to create, edit, delete and
// enter channels, channel password checks and own-text updates, and readers
// for the server's channel notices.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/message.h"

namespace kestrune {

struct ChannelRequest {
  std::uint16_t clientId = 0;
  std::uint16_t action = 0;
  std::array<std::uint8_t, 32> digest{};
  std::uint16_t channel = 0;
  std::uint16_t parent = 0;
  std::uint32_t flags = 0;
  // The sixteen properties in wire order; the defaults of a new channel.
  std::array<std::int16_t, 16> properties{1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0};
  std::uint16_t codec = 65535;
  std::uint16_t format = 65535;
  bool withTexts = true;
  std::string name;
  std::string phonetic;
  std::string comment;
};
std::unique_ptr<Message> BuildChannelRequest(const ChannelRequest& request);

// MSG_CHANNEL from the server.
struct ChannelNotice {
  std::uint16_t clientId = 0;
  std::uint16_t action = 0;
  std::uint16_t channel = 0;
  std::uint16_t parent = 0;
  std::uint32_t flags = 0;
  std::array<std::int16_t, 16> properties{};
  std::string name;
  std::string phonetic;
  std::string comment;
};
std::optional<ChannelNotice> ReadChannelNotice(const Message& message);

// MSG_CHANNEL_CHANGE or the MSG_MOVE_USER notice: who is now where.
struct ChannelMove {
  std::uint16_t clientId = 0;
  std::uint16_t channel = 0;
  std::uint16_t result = 0;  // MSG_MOVE_USER only
};
std::optional<ChannelMove> ReadChannelMove(const Message& message);

// MSG_CHANNEL_AUTH action 0 and its reply.
std::unique_ptr<Message> BuildChannelAuthRequest(std::uint16_t channel,
                                                 const std::array<std::uint8_t, 32>& digest);
std::optional<std::uint16_t> ReadChannelAuthResult(const Message& message);

// MSG_USER_LIST action 2: the client's own comment, URL and integration text.
std::unique_ptr<Message> BuildOwnTexts(std::uint16_t clientId, const std::string& comment,
                                       const std::string& url, const std::string& integration);

}  // namespace kestrune
