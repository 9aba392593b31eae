// The 104-byte permission record of an account: copied whole into each
// connection at login and sent to the client as one block. 16-bit fields are
// little-endian; every flag is one byte where any non-zero value means yes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "store/password_digest.h"

namespace kestrune {

class PermissionBlock {
 public:
  static constexpr std::size_t kSize = 104;
  using Bytes = std::array<std::uint8_t, kSize>;

  // Offsets.
  static constexpr std::size_t kUid = 0;
  static constexpr std::size_t kDigest = 4;
  static constexpr std::size_t kRank = 36;
  static constexpr std::size_t kLocked = 40;
  static constexpr std::size_t kReserved = 41;
  static constexpr std::size_t kDuplicatesIPs = 42;
  static constexpr std::size_t kChanSwitch = 43;
  static constexpr std::size_t kDefChan = 44;
  static constexpr std::size_t kVoiceRecv = 48;
  static constexpr std::size_t kPhantomsAdd = 49;
  static constexpr std::size_t kRecord = 50;
  static constexpr std::size_t kComplaintsRecv = 51;
  static constexpr std::size_t kComplaintsSend = 52;
  static constexpr std::size_t kIgnoreInactivity = 53;
  static constexpr std::size_t kServerAdmin = 56;
  static constexpr std::size_t kUsersAdd = 57;
  static constexpr std::size_t kUsersDelete = 58;
  static constexpr std::size_t kUsersBan = 59;
  static constexpr std::size_t kUsersKick = 60;
  static constexpr std::size_t kUsersMove = 61;
  static constexpr std::size_t kChanEditAdmins = 62;
  static constexpr std::size_t kRankEdit = 63;
  static constexpr std::size_t kMotdEditNormal = 64;
  static constexpr std::size_t kMotdEditGuest = 65;
  static constexpr std::size_t kRcon = 66;
  static constexpr std::size_t kExtraAdmin1 = 67;  // set only by the ServerAdmin expansion
  static constexpr std::size_t kExtraAdmin2 = 68;
  static constexpr std::size_t kRankAssign = 69;
  static constexpr std::size_t kReservedAssign = 70;
  static constexpr std::size_t kBroadcast = 76;
  static constexpr std::size_t kBroadcastLobby = 77;
  static constexpr std::size_t kBroadcastU2U = 78;
  static constexpr std::size_t kBroadcastCrossChan = 79;
  static constexpr std::size_t kSendTTS = 80;
  static constexpr std::size_t kSendWave = 81;
  static constexpr std::size_t kSendPages = 82;
  static constexpr std::size_t kSendComments = 83;
  static constexpr std::size_t kPhonetic = 84;
  static constexpr std::size_t kSoundsComment = 85;
  static constexpr std::size_t kSoundsEvents = 86;
  static constexpr std::size_t kMuteGlobally = 87;
  static constexpr std::size_t kMuteOthersPTT = 88;
  static constexpr std::size_t kChatGlobal = 89;
  static constexpr std::size_t kAdminModeMirror = 90;
  static constexpr std::size_t kEqualizer = 92;
  static constexpr std::size_t kSeeGuests = 96;
  static constexpr std::size_t kSeeNonGuests = 97;
  static constexpr std::size_t kSeeMotd = 98;
  static constexpr std::size_t kSeeServerComment = 99;
  static constexpr std::size_t kSeeChan = 100;
  static constexpr std::size_t kSeeChanComments = 101;
  static constexpr std::size_t kSeeUserComments = 102;

  PermissionBlock() = default;
  explicit PermissionBlock(const Bytes& bytes) : bytes_(bytes) {}
  // From the wire: exactly kSize bytes.
  static PermissionBlock FromBytes(const std::uint8_t* bytes);

  const Bytes& Raw() const { return bytes_; }

  std::uint16_t Uid() const { return Get16(kUid); }
  void SetUid(std::uint16_t uid) { Set16(kUid, uid); }
  std::uint16_t DefChan() const { return Get16(kDefChan); }
  void SetDefChan(std::uint16_t channel) { Set16(kDefChan, channel); }
  std::uint8_t RankId() const { return bytes_[kRank]; }
  void SetRankId(std::uint8_t rank) { bytes_[kRank] = rank; }

  // The digest bytes at offset 4 (set when any byte is non-zero).
  PasswordDigest Digest() const;
  void SetDigest(const PasswordDigest& digest);
  void ClearDigest();

  std::uint8_t Byte(std::size_t offset) const { return bytes_[offset]; }
  void SetByte(std::size_t offset, std::uint8_t value) { bytes_[offset] = value; }
  bool Has(std::size_t offset) const { return bytes_[offset] != 0; }
  void ClearRange(std::size_t first, std::size_t last);  // inclusive
  // Zeroes every byte the layout keeps at 0 (gaps of the record).
  void ClearUnusedBytes();

  bool operator==(const PermissionBlock& other) const { return bytes_ == other.bytes_; }

 private:
  std::uint16_t Get16(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
  }
  void Set16(std::size_t at, std::uint16_t value) {
    bytes_[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes_[at + 1] = static_cast<std::uint8_t>(value >> 8);
  }

  Bytes bytes_{};
};

// One byte flag of the accounts file: its key, offset and the value an
// ordinary account takes when the key is absent.
struct PermissionKey {
  const char* key;
  std::size_t offset;
  std::uint8_t defaultValue;
};

// The one-byte keys in file order from Rank to ChanSwitch (before DefChan).
const std::array<PermissionKey, 5>& LeadingPermissionKeys();
// The one-byte keys in file order from VoiceRecv to SeeUserComments.
const std::array<PermissionKey, 41>& FlagPermissionKeys();

}  // namespace kestrune
