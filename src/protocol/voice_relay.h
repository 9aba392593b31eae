// Voice: talk start and stop with the floor rules of the channel voice modes,
// and the relay of each voice packet to the clients its targets and the
// channel rules admit. Packets are copied, never decoded.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/message.h"

namespace kestrune {

struct Channel;
class Connection;
class Protocol;

enum VoiceAction : std::uint16_t {
  kVoiceStart = 0,
  kVoiceData = 1,
  kVoiceStop = 2,
  kVoiceStoppedHearing = 3,
  kVoiceTalking = 4,
  kVoiceFloorGranted = 5,
  kVoiceFloorRefused = 6,
};

// The server's own MSG_VOICE notices: the fixed body alone, `action` and the
// client at offset 6 (stopped hearing also carries 65535 as codec and format).
std::unique_ptr<Message> BuildVoiceNotice(std::uint16_t action, std::uint16_t clientId);

class VoiceRelay {
 public:
  static constexpr std::size_t kMaxTargets = 16;
  static constexpr std::uint32_t kMaxVoiceBytes = 4076;

  explicit VoiceRelay(Protocol& protocol) : protocol_(protocol) {}
  void Register();

  // The loop's floor time limit for one logged-in client.
  void FloorCheck(Connection& connection);
  // The login's list of who is talking now.
  void SendTalkers(Connection& connection);

 private:
  struct Targets {
    std::vector<std::uint16_t> types;
    std::vector<std::uint16_t> ids;
  };
  // What one packet has learned about its sender in a channel: whether the
  // channel bans the sender and whether the sender passes its authorisation.
  // Recipients sit in at most as many channels as the table has slots.
  struct SenderInChannel {
    std::uint16_t channel = 0;
    bool banned = false;
    bool authorised = false;
  };
  struct PacketCache {
    std::array<SenderInChannel, 9> entries;
    std::size_t count = 0;
  };

  void HandleVoice(Connection& connection, Message& message, bool& disconnect);
  void StartOrStop(Connection& connection, Message& message, const Targets& targets);
  void FloorRequest(Connection& connection, Channel& channel);
  // False on a relay error (the sender is closed).
  bool Relay(Connection& sender, const Message& message, std::size_t dataAt,
             const Targets& targets);
  // The target type that admits `recipient` (its channel decides), or 0.
  std::uint16_t Admits(Connection& sender, Connection& recipient, const Targets& targets,
                       PacketCache& cache);
  bool AdmitsIntoChannel(Connection& sender, Channel& channel, PacketCache& cache);
  const SenderInChannel& SenderIn(Connection& sender, Channel& channel, PacketCache& cache);
  void SetChannelMute(Connection& connection, bool muted);

  Protocol& protocol_;
  std::size_t roundRobin_ = 0;
};

}  // namespace kestrune
