#include "admin/account_block.h"

#include <strings.h>

namespace kestrune {

const std::vector<AccountRight>& AccountRights() {
  static const std::vector<AccountRight> rights = {
      {"Reserved", 41, 0},         {"ChanSwitch", 43, 1},         {"VoiceRecv", 48, 1},
      {"PhantomsAdd", 49, 1},      {"Record", 50, 1},             {"ComplaintsRecv", 51, 0},
      {"ComplaintsSend", 52, 1},   {"IgnoreInactivity", 53, 0},   {"ServerAdmin", 56, 0},
      {"UsersAdd", 57, 0},         {"UsersDelete", 58, 0},        {"UsersBan", 59, 0},
      {"UsersKick", 60, 0},        {"UsersMove", 61, 0},          {"ChanEditAdmins", 62, 0},
      {"RankEdit", 63, 0},         {"MotdEditNormal", 64, 0},     {"MotdEditGuest", 65, 0},
      {"Rcon", 66, 0},             {"RankAssign", 69, 0},         {"ReservedAssign", 70, 0},
      {"Broadcast", 76, 1},        {"BroadcastLobby", 77, 1},     {"BroadcastU2U", 78, 1},
      {"BroadcastCrossChan", 79, 1}, {"SendTTS", 80, 1},          {"SendWave", 81, 1},
      {"SendPages", 82, 1},        {"SendComments", 83, 1},       {"Phonetic", 84, 1},
      {"SoundsComment", 85, 1},    {"SoundsEvents", 86, 1},       {"MuteGlobally", 87, 0},
      {"MuteOthersPTT", 88, 0},    {"ChatGlobal", 89, 1},         {"Equalizer", 92, 0},
      {"SeeGuests", 96, 1},        {"SeeNonGuests", 97, 1},       {"SeeMotd", 98, 1},
      {"SeeServerComment", 99, 1}, {"SeeChan", 100, 1},           {"SeeChanComments", 101, 1},
      {"SeeUserComments", 102, 1},
  };
  return rights;
}

const AccountRight* FindAccountRight(const std::string& name) {
  for (const AccountRight& right : AccountRights()) {
    if (strcasecmp(right.name, name.c_str()) == 0) return &right;
  }
  return nullptr;
}

AccountBlock DefaultAccountBlock() {
  AccountBlock block{};
  for (const AccountRight& right : AccountRights()) block[right.offset] = right.byDefault;
  return block;
}

std::string AdminRightsText(const AccountBlock& block) {
  std::string text;
  for (const AccountRight& right : AccountRights()) {
    if (right.offset < 56 || right.offset > 70 || block[right.offset] == 0) continue;
    if (!text.empty()) text += ",";
    text += right.name;
  }
  return text;
}

}  // namespace kestrune
