// Rate limits on chat, comment, wave, text-to-speech and channel changes: one
// SpamSetting per kind in the server properties, one SpamTracker per kind in
// every connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune {

// Receives the fixed report lines of the stores (start-up passes them to the log).
using StoreLogSink = std::function<void(std::string_view text)>;

struct SpamSetting {
  bool enabled = false;
  std::int32_t action = 0;        // kSpamNone, kSpamDisconnect or kSpamBan
  std::uint32_t interval = 1000;  // ms
  std::int32_t times = 2;
};

struct SpamTracker {
  std::uint32_t windowStart = 0;  // 0 = no event seen yet
  std::uint32_t count = 0;        // never reset while the connection lives
};

constexpr int kSpamNone = 0;
constexpr int kSpamDisconnect = 1;
constexpr int kSpamBan = 2;

constexpr int kSpamMissingParameters = -1;
constexpr int kSpamBadAction = -2;
constexpr int kSpamBadTimes = -4;
constexpr int kSpamTooManyParameters = -10;

// 0, or one of the negative codes above after logging its line; on any error
// the setting keeps all its previous values.
int ParseSpamSetting(SpamSetting& setting, std::string_view text, const StoreLogSink& log);

// "action,interval,times".
std::string SpamSettingText(const SpamSetting& setting);
// The interval of a setting's text: a negative number reads as its unsigned
// value, a larger one than fits is the largest interval, so every interval
// SpamSettingText writes reads back as itself.
std::uint32_t SpamIntervalValue(const char* text);

// 0, or the setting's action code when the event is one too many. `nowMs` is
// the wrapping millisecond clock.
int CheckSpam(SpamTracker& tracker, const SpamSetting& setting, std::uint32_t nowMs);

// What carrying out a spam action needs from the connection layer: verdict 1
// disconnects (reason 38), 2 bans the address and disconnects (reason 47).
class SpamEnforcer {
 public:
  virtual ~SpamEnforcer() = default;
  virtual void ApplySpamVerdict(std::uint16_t connectionId, int verdict) = 0;
};

// Carries out `action` on the connection; 0 does nothing. True when the caller
// must drop the user's request.
bool ApplySpamAction(SpamEnforcer& enforcer, std::uint16_t connectionId, int action);

}  // namespace kestrune
