// One channel of the tree: its identity, texts, password, the sixteen
// properties in their wire and file order, and the run-time state kept per
// channel (administrators, bans, access states by connection id).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/ban_list.h"
#include "store/password_digest.h"

namespace kestrune {

// The sixteen properties, in the order of the definitions file and the messages.
enum ChannelProperty : std::size_t {
  kAllowRecording,
  kAllowCrossChannelXmit,
  kAllowPaging,
  kAllowWaveBinds,
  kAllowTtsBinds,
  kAllowU2U,
  kRestrictToUsr,
  kDisableSoundEvts,
  kVoiceMode,
  kTimeLimit,
  kPhantomMode,
  kMaxClients,
  kAllowGuestToJoin,
  kExemptFromInactivity,
  kProtMode,
  kRankLevel,
  kChannelPropertyCount
};

struct ChannelPropertyRule {
  const char* key;
  std::int16_t defaultValue;
  std::int16_t max;  // flags: 1 (any non-zero value is 1)
  bool flag;
};

// Key, default and bound of each property, by ChannelProperty.
extern const std::array<ChannelPropertyRule, kChannelPropertyCount> kChannelPropertyRules;

// A value read for a property (as a signed 16-bit number): flags become 0 or
// 1, numbers are clamped to 0..max.
std::int16_t NormaliseChannelProperty(std::size_t property, int value);

using ChannelProperties = std::array<std::int16_t, kChannelPropertyCount>;
// Every property at its default.
ChannelProperties DefaultChannelProperties();

// Access states, kept at a channel's protection root per connection id.
enum ChannelAccess : std::uint32_t {
  kAccessNone = 0,
  kAccessPassword = 1,    // gave the right password
  kAccessAuthorised = 2,  // on the account's list, or remembered
  kAccessInside = 3,      // inside without either (moved in by an administrator)
};

struct Channel {
  static constexpr std::uint16_t kNoId = 0xFFFF;
  static constexpr std::size_t kMaxName = 31;
  static constexpr std::size_t kMaxPhonetic = 31;
  static constexpr std::size_t kMaxComment = 127;
  static constexpr std::size_t kAccessIds = 1024;

  std::uint16_t id = kNoId;
  std::uint16_t parent = 0;  // 0: top level
  std::string path;
  std::string name;
  std::string phonetic;
  PasswordDigest password;
  std::string comment;
  ChannelProperties properties = DefaultChannelProperties();
  std::vector<std::uint16_t> admins;  // connection ids, no duplicates
  BanList bans;                       // used in top-level channels only
  std::array<std::uint32_t, kAccessIds> access{};

  int Property(ChannelProperty property) const { return properties[property]; }
  int ProtMode() const { return properties[kProtMode]; }
  int VoiceMode() const { return properties[kVoiceMode]; }
  int MaxClients() const { return properties[kMaxClients]; }
  std::uint32_t AccessOf(std::uint16_t connectionId) const {
    return access[connectionId % kAccessIds];
  }
  void SetAccess(std::uint16_t connectionId, std::uint32_t state) {
    access[connectionId % kAccessIds] = state;
  }
};

}  // namespace kestrune
