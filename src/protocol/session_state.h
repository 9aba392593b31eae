// The per-client state that the protocol keeps beside a connection: login
// flags and texts, mutes and the marks the departure work reads. Indexed by
// client id; an entry is reset when its id starts a new handshake and when
// the client departs, so a reused id never sees an old client's state.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "store/spam.h"

namespace kestrune {

struct SessionState {
  std::uint32_t loginFlags = 0;  // bit 0: no message of the day, no new-version notice
  std::uint16_t statusName = 0;
  bool registered = false;   // logged in with an account other than Guest
  bool globalMute = false;   // muted server-wide
  bool channelMute = false;  // muted in its channel
  bool inChat = false;
  // Settings 0 to 3 of MSG_USER_SETTING: 0 accepts pages, 1 accepts private
  // voice, 2 and 3 belong to the client. All 0 at login.
  std::array<std::uint32_t, 4> ownSettings{};
  // Closed by refusal 39 or bumped for a Reserved login: no guest auto-ban.
  bool spareGuestBan = false;
  std::uint32_t lastPingAnswer = 0;  // millisecond clock
  std::string url;
  std::string integration;
  // One window per spam rule, for this login.
  SpamTracker spamChat;
  SpamTracker spamComment;
  SpamTracker spamWave;
  SpamTracker spamTTS;
  SpamTracker spamChannel;
};

class SessionTable {
 public:
  static constexpr std::size_t kIds = 1024;

  SessionState& Of(std::uint16_t id) { return states_[id % kIds]; }
  const SessionState& Of(std::uint16_t id) const { return states_[id % kIds]; }
  void Reset(std::uint16_t id) { states_[id % kIds] = SessionState{}; }

 private:
  std::array<SessionState, kIds> states_{};
};

}  // namespace kestrune
