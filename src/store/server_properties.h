// The policy settings administrators change while the server runs: one record,
// section "SrvProp" of the .prop file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/channel_source.h"
#include "store/spam.h"

namespace kestrune {

struct ServerProperties {
  static constexpr std::size_t kCommentLimit = 128;  // stored texts are cut to 127 bytes

  // Results of SetPropertyText (the editor reply's result).
  static constexpr int kApplied = 0;
  static constexpr int kUnknownProperty = 1;
  static constexpr int kRefusedValue = 2;

  int chatFilter = 0;
  int channelOrdering = 0;
  int motdAlways = 0;
  SpamSetting spamChat;
  SpamSetting spamComment;
  SpamSetting spamWave;
  SpamSetting spamTTS;
  SpamSetting spamChannel;
  int inactivityTimeout = 0;  // minutes; 0 = no inactivity rule
  int inactivityAction = 0;   // 0 disconnect, 1 move to inactivityChannel
  std::string inactivityChannel;
  int statusServerComment = 1;
  int statusChanNames = 1;
  int statusChanComments = 1;
  int statusUserNames = 1;
  int statusUserComments = 1;
  std::string comment;
  int filterWave = 0;
  int filterTTS = 0;
  int statusRequireName = 0;
  int guestMaxLogin = 0;
  int guestAutoKick = 0;  // minutes
  int guestAutoBan = 0;   // minutes

  // Id of the channel named by inactivityChannel; 0 when none.
  std::uint16_t inactivityChannelId = 0;

  // Reads `path` (a missing file gives the defaults). Refused spam settings are
  // reported through `log` and keep their default.
  void LoadProperties(const std::string& path, const StoreLogSink& log);
  // Writes the whole file; 0, or -1 when the write failed (the old file stays).
  int SaveProperties(const std::string& path) const;
  // The file text SaveProperties writes.
  std::string Format() const;

  // 0 with the value as text, or kUnknownProperty for an id that names no
  // property.
  int GetPropertyText(int id, std::string& text) const;
  // Applies `text` with the editor's bounds: kApplied (also when the spam
  // parser refused it), kUnknownProperty, or kRefusedValue for a text holding
  // a byte below 32 (nothing changes).
  int SetPropertyText(int id, std::string_view text, const StoreLogSink& log);
  // Whole-record assignment; the editor works on a copy and commits it.
  void Copy(const ServerProperties& other) { *this = other; }

  // Looks up inactivityChannel; without a channel tree it resolves to 0.
  void ResolveInactivityChannel(const ChannelSource* channels);
};

}  // namespace kestrune
