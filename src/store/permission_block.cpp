#include "store/permission_block.h"

#include <algorithm>

namespace kestrune {

PermissionBlock PermissionBlock::FromBytes(const std::uint8_t* bytes) {
  Bytes copy{};
  std::copy(bytes, bytes + kSize, copy.begin());
  return PermissionBlock(copy);
}

PasswordDigest PermissionBlock::Digest() const {
  PasswordDigest digest;
  digest.FromRaw(bytes_.data() + kDigest);
  return digest;
}

void PermissionBlock::SetDigest(const PasswordDigest& digest) {
  const auto& raw = digest.CopyBytes();
  if (digest.IsSet()) {
    std::copy(raw.begin(), raw.end(), bytes_.begin() + kDigest);
  } else {
    ClearDigest();
  }
}

void PermissionBlock::ClearDigest() {
  std::fill(bytes_.begin() + kDigest, bytes_.begin() + kDigest + PasswordDigest::kSize, 0);
}

void PermissionBlock::ClearRange(std::size_t first, std::size_t last) {
  std::fill(bytes_.begin() + first, bytes_.begin() + last + 1, 0);
}

void PermissionBlock::ClearUnusedBytes() {
  ClearRange(2, 3);
  ClearRange(37, 39);
  ClearRange(46, 47);
  ClearRange(54, 55);
  ClearRange(71, 75);
  ClearRange(91, 91);
  ClearRange(93, 95);
  ClearRange(103, 103);
}

const std::array<PermissionKey, 5>& LeadingPermissionKeys() {
  using P = PermissionBlock;
  static const std::array<PermissionKey, 5> keys = {{
      {"Rank", P::kRank, 0},
      {"Locked", P::kLocked, 0},
      {"Reserved", P::kReserved, 0},
      {"DuplicatesIPs", P::kDuplicatesIPs, 0},
      {"ChanSwitch", P::kChanSwitch, 1},
  }};
  return keys;
}

const std::array<PermissionKey, 41>& FlagPermissionKeys() {
  using P = PermissionBlock;
  static const std::array<PermissionKey, 41> keys = {{
      {"VoiceRecv", P::kVoiceRecv, 1},
      {"PhantomsAdd", P::kPhantomsAdd, 1},
      {"Record", P::kRecord, 1},
      {"ComplaintsRecv", P::kComplaintsRecv, 0},
      {"ComplaintsSend", P::kComplaintsSend, 1},
      {"IgnoreInactivity", P::kIgnoreInactivity, 0},
      {"ServerAdmin", P::kServerAdmin, 0},
      {"UsersAdd", P::kUsersAdd, 0},
      {"UsersDelete", P::kUsersDelete, 0},
      {"UsersBan", P::kUsersBan, 0},
      {"UsersKick", P::kUsersKick, 0},
      {"UsersMove", P::kUsersMove, 0},
      {"ChanEditAdmins", P::kChanEditAdmins, 0},
      {"RankEdit", P::kRankEdit, 0},
      {"MotdEditNormal", P::kMotdEditNormal, 0},
      {"MotdEditGuest", P::kMotdEditGuest, 0},
      {"Rcon", P::kRcon, 0},
      {"RankAssign", P::kRankAssign, 0},
      {"ReservedAssign", P::kReservedAssign, 0},
      {"Broadcast", P::kBroadcast, 1},
      {"BroadcastLobby", P::kBroadcastLobby, 1},
      {"BroadcastU2U", P::kBroadcastU2U, 1},
      {"BroadcastCrossChan", P::kBroadcastCrossChan, 1},
      {"SendTTS", P::kSendTTS, 1},
      {"SendWave", P::kSendWave, 1},
      {"SendPages", P::kSendPages, 1},
      {"SendComments", P::kSendComments, 1},
      {"Phonetic", P::kPhonetic, 1},
      {"SoundsComment", P::kSoundsComment, 1},
      {"SoundsEvents", P::kSoundsEvents, 1},
      {"MuteGlobally", P::kMuteGlobally, 0},
      {"MuteOthersPTT", P::kMuteOthersPTT, 0},
      {"ChatGlobal", P::kChatGlobal, 1},
      {"Equalizer", P::kEqualizer, 0},
      {"SeeGuests", P::kSeeGuests, 1},
      {"SeeNonGuests", P::kSeeNonGuests, 1},
      {"SeeMotd", P::kSeeMotd, 1},
      {"SeeServerComment", P::kSeeServerComment, 1},
      {"SeeChan", P::kSeeChan, 1},
      {"SeeChanComments", P::kSeeChanComments, 1},
      {"SeeUserComments", P::kSeeUserComments, 1},
  }};
  return keys;
}

}  // namespace kestrune
