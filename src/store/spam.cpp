#include "store/spam.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "util/clock.h"
#include "util/text.h"

namespace kestrune {

namespace {
void Report(const StoreLogSink& log, std::string_view text) {
  if (log) log(text);
}
}  // namespace

int ParseSpamSetting(SpamSetting& setting, std::string_view text, const StoreLogSink& log) {
  if (text.empty()) return 0;
  std::vector<std::string> tokens;
  SplitList(std::string(text), ',', tokens);
  if (tokens.size() < 3) {
    Report(log, "Spam, missing parameters.");
    return kSpamMissingParameters;
  }
  int action = AtoiRule(tokens[0].c_str());
  if (action < kSpamNone || action > kSpamBan) {
    Report(log, "Spam, bad action.");
    return kSpamBadAction;
  }
  std::uint32_t interval = 0;
  int times = 0;
  if (action != kSpamNone) {
    // Any interval is accepted; a negative one reads as its unsigned value.
    interval = SpamIntervalValue(tokens[1].c_str());
    times = AtoiRule(tokens[2].c_str());
    if (times < 1) {
      Report(log, "Spam, bad times.");
      return kSpamBadTimes;
    }
  }
  if (tokens.size() > 3) {
    Report(log, "Spam, more parameters then allowed.");
    return kSpamTooManyParameters;
  }
  setting.action = action;
  if (action != kSpamNone) {
    setting.interval = interval;
    setting.times = times;
    setting.enabled = true;
  }
  return 0;
}

std::uint32_t SpamIntervalValue(const char* text) {
  // Read wider than int: the text form writes intervals up to 4294967295.
  const long long value = std::strtoll(text, nullptr, 10);
  if (value < 0) return static_cast<std::uint32_t>(AtoiRule(text));
  if (value > static_cast<long long>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<std::uint32_t>(value);
}

std::string SpamSettingText(const SpamSetting& setting) {
  char text[48];
  std::snprintf(text, sizeof text, "%d,%u,%d", setting.action, setting.interval, setting.times);
  return text;
}

int CheckSpam(SpamTracker& tracker, const SpamSetting& setting, std::uint32_t nowMs) {
  if (!setting.enabled) return 0;
  if (tracker.windowStart == 0) {
    tracker.windowStart = nowMs;
    return 0;
  }
  if (ElapsedMs(tracker.windowStart, nowMs, setting.interval)) {
    tracker.windowStart = nowMs;
    return 0;
  }
  ++tracker.count;
  if (setting.times > 0 && tracker.count < static_cast<std::uint32_t>(setting.times)) return 0;
  return setting.action;
}

bool ApplySpamAction(SpamEnforcer& enforcer, std::uint16_t connectionId, int action) {
  if (action == kSpamNone) return false;
  enforcer.ApplySpamVerdict(connectionId, action);
  return true;
}

}  // namespace kestrune
