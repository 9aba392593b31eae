// Uploads of the two messages of the day (MSG_MOTD from a client): part 0
// starts the file afresh, later parts append to it, a total of 0 deletes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;

enum MotdRefusal : std::uint16_t {
  kRefuseMotdNormal = 27,
  kRefuseMotdGuest = 28,
};

// The files never grow past 32 parts of 256 bytes.
inline constexpr std::size_t kMotdFileLimit = 8192;

// Writes one uploaded part to `path`: index 0 recreates the file (mode
// 0600), other indexes append to an existing file while it stays within
// kMotdFileLimit. False when the part was not written (no file, too big,
// a write error); the caller stays silent either way.
bool WriteMotdPart(const std::string& path, std::uint16_t index, std::string_view bytes);

class MotdMessages {
 public:
  explicit MotdMessages(Protocol& protocol);
  void Register();

 private:
  void HandleUpload(Connection& connection, Message& message, bool& disconnect);

  Protocol& protocol_;
};

}  // namespace kestrune
