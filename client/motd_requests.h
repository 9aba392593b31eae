// Client side of the smaller services: ping answers with the idle time,
// message-of-the-day uploads, complaint requests and the complaint entries
// the server sends.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "net/message.h"

namespace kestrune {

// MSG_PING answering the server's ping `token` with `idleSeconds`.
std::unique_ptr<Message> BuildPingAnswer(std::uint16_t token, std::uint16_t idleSeconds);

// MSG_MOTD upload of one part; `count` is the byte count field (normally
// text.size(); the text is cut to 256 bytes).
std::unique_ptr<Message> BuildMotdUpload(std::uint16_t kind, std::uint16_t total,
                                         std::uint16_t index, const std::string& text);
std::unique_ptr<Message> BuildMotdUpload(std::uint16_t kind, std::uint16_t total,
                                         std::uint16_t index, const std::string& text,
                                         std::uint16_t count);

// MSG_COMPLAINT list (0) or clear (2): the bare 20-byte body.
std::unique_ptr<Message> BuildComplaintRequest(std::uint16_t action);
// MSG_COMPLAINT submit about client `target`.
std::unique_ptr<Message> BuildComplaintSubmit(std::uint16_t target, const std::string& text,
                                              const std::string& first = "",
                                              const std::string& second = "");

struct ComplaintEntryInfo {
  bool targetGuest = false;
  bool complainerGuest = false;
  std::uint32_t time = 0;
  std::string target;
  std::string complainer;
  std::string text;
};
// An entry sent by the server (action 3); none for anything else.
std::optional<ComplaintEntryInfo> ReadComplaintEntry(const Message& message);

}  // namespace kestrune
