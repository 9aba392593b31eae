// The server's answers to status requests: a per-address rate table, a
// server-wide byte budget, and the text (types 1 and 2) and compact (type 7)
// replies built from the settings, the properties, the channels and the
// connection table. Every failure is silent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "status/status_packet.h"

namespace kestrune {

class Clock;
class Connection;
class ConnectionTable;
struct ServerProperties;
struct ServerSettings;

inline constexpr const char* kServerPlatform = "NetBSD-i386";
// Shown for a client whose name may not be listed.
inline constexpr const char* kHiddenStatusName = "XXXXXXXX";

// One channel as the replies show it; the channel tree supplies these.
struct StatusChannel {
  std::uint16_t id = 0;
  std::uint16_t parent = 0;  // 0: a top-level channel
  int protMode = 0;
  std::string name;
  std::string comment;
};

// What the replies read; everything is owned by the server.
struct StatusResponderContext {
  ConnectionTable& table;
  const ServerSettings& settings;
  const ServerProperties& properties;
  Clock& clock;
  const int& idOffset;           // the loop's status id offset
  const std::time_t& startTime;  // wall-clock seconds
  std::string serverVersion;
  // The channels in channel-list order. Unset: none.
  std::function<std::vector<StatusChannel>()> channels;
  // A connection's name-visibility value from its login (non-zero: its name
  // may be listed). Unset: every name is hidden.
  std::function<std::uint16_t(const Connection&)> nameVisibility;
};

// Sends one reply text once; a StatusSendResult. Tests inject a recorder.
using StatusReplySender =
    std::function<int(int socket, std::uint16_t requestId, std::string_view text,
                      std::uint32_t address, std::uint16_t port)>;
// StatusSendText with type 3.
int SendStatusReplyText(int socket, std::uint16_t requestId, std::string_view text,
                        std::uint32_t address, std::uint16_t port);

// At most one answer per address every 100 ms, for up to 256 addresses at once.
class StatusRateTable {
 public:
  static constexpr std::size_t kEntries = 256;
  static constexpr std::uint32_t kIntervalMs = 100;

  // True (and the address stamped with now) when it may be answered.
  bool Admit(std::uint32_t address, std::uint32_t nowMs);

 private:
  struct Entry {
    std::uint32_t address = 0;  // 0: free
    std::uint32_t time = 0;
  };
  std::array<Entry, kEntries> entries_{};
};

// At most 65,536 reply bytes (UDP payload) per second of the millisecond
// clock, all addresses together, so a forged sender cannot make us an
// amplifier.
class StatusByteBudget {
 public:
  static constexpr std::size_t kBytesPerSecond = 65536;

  // True, and the bytes counted, when they fit what is left of this second.
  bool Take(std::size_t bytes, std::uint32_t nowMs);

 private:
  bool started_ = false;
  std::uint32_t second_ = 0;
  std::size_t used_ = 0;
};

// Bytes the datagrams of a packet with `dataLength` data bytes put on the wire.
std::size_t StatusWireBytes(std::size_t dataLength);

class StatusResponder {
 public:
  explicit StatusResponder(StatusResponderContext context,
                           StatusReplySender send = SendStatusReplyText);

  // Answers a decoded request through `socket`, or drops it silently.
  void Answer(const StatusRequest& request, int socket);

  // The reply texts without their NUL: types 1 (detail false) and 2, and 7.
  std::string TextReply(bool detail) const;
  std::string CompactReply() const;

 private:
  void Send(const StatusRequest& request, int socket, const std::string& text);

  StatusResponderContext context_;
  StatusReplySender send_;
  StatusRateTable rates_;
  StatusByteBudget budget_;
};

}  // namespace kestrune
