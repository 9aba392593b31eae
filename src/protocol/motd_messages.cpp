#include "protocol/motd_messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "net/connection.h"
#include "protocol/login_messages.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"

namespace kestrune {

namespace {

constexpr int kMotdBody = 268;
constexpr std::size_t kTextAt = 16;

bool WriteAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(descriptor, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

bool WriteMotdPart(const std::string& path, std::uint16_t index, std::string_view bytes) {
  int descriptor = -1;
  if (index == 0) {
    unlink(path.c_str());
    descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // The umask may only take bits away; make the mode exact.
    if (descriptor >= 0) fchmod(descriptor, 0600);
  } else {
    descriptor = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  }
  if (descriptor < 0) return false;
  bool written = false;
  struct stat info {};
  if (fstat(descriptor, &info) == 0 && info.st_size >= 0 &&
      static_cast<std::size_t>(info.st_size) + bytes.size() <= kMotdFileLimit) {
    written = WriteAll(descriptor, bytes);
  }
  close(descriptor);
  return written;
}

MotdMessages::MotdMessages(Protocol& protocol) : protocol_(protocol) {}

void MotdMessages::Register() {
  protocol_.SetHandler(MSG_MOTD, [this](Connection& c, Message& m, std::string&, bool& d) {
    HandleUpload(c, m, d);
  });
}

void MotdMessages::HandleUpload(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeExact(message, kMotdBody)) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  const bool guestKind = message.GetU16(8) != kMotdNormal;
  const std::size_t right =
      guestKind ? PermissionBlock::kMotdEditGuest : PermissionBlock::kMotdEditNormal;
  if (!connection.HasPermission(right)) {
    context.table.SendRefusal(connection, guestKind ? kRefuseMotdGuest : kRefuseMotdNormal, 0,
                              false, false);
    return;
  }
  const std::uint16_t total = message.GetU16(10);
  const std::uint16_t index = message.GetU16(12);
  const std::uint16_t count = message.GetU16(14);
  if (count > kMotdPartBytes || total > kMotdMaxParts) {
    disconnect = true;
    return;
  }
  const std::string& path = guestKind ? context.guestMotdPath : context.motdPath;
  if (total == 0) {
    unlink(path.c_str());
    return;
  }
  if (index >= total) {
    disconnect = true;
    return;
  }
  const auto* text = reinterpret_cast<const char*>(message.Data() + kTextAt);
  WriteMotdPart(path, index, std::string_view(text, count));
}

}  // namespace kestrune
