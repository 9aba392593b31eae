#include "store/server_properties.h"

#include <algorithm>
#include <vector>

#include "store/ini_file.h"
#include "util/file_write.h"
#include "util/text.h"

namespace kestrune {

namespace {

constexpr const char* kSection = "SrvProp";
constexpr const char* kDefaultSpam = "0,1000,2";

enum class Kind { kClamped, kFlag, kSpam, kText, kComment };

struct Property {
  int id;
  const char* key;
  Kind kind;
  int defaultValue;
  int low;
  int high;
  int ServerProperties::*number;
  std::string ServerProperties::*text;
  SpamSetting ServerProperties::*spam;
};

using P = ServerProperties;

Property Number(int id, const char* key, int def, int low, int high, int P::*field) {
  return {id, key, Kind::kClamped, def, low, high, field, nullptr, nullptr};
}
Property Flag(int id, const char* key, int def, int P::*field) {
  return {id, key, Kind::kFlag, def, 0, 1, field, nullptr, nullptr};
}
Property Spam(int id, const char* key, SpamSetting P::*field) {
  return {id, key, Kind::kSpam, 0, 0, 0, nullptr, nullptr, field};
}
Property Text(int id, const char* key, Kind kind, std::string P::*field) {
  return {id, key, kind, 0, 0, 0, nullptr, field, nullptr};
}

// File order of the keys.
const std::vector<Property>& Properties() {
  static const std::vector<Property> table = {
      Number(2, "ChatFilter", 0, 0, 1, &P::chatFilter),
      Number(3, "ChannelOrdering", 0, 0, 1, &P::channelOrdering),
      Flag(5, "MotdAlways", 0, &P::motdAlways),
      Spam(7, "SpamChat", &P::spamChat),
      Spam(8, "SpamComment", &P::spamComment),
      Spam(9, "SpamWave", &P::spamWave),
      Spam(10, "SpamTTS", &P::spamTTS),
      Spam(22, "SpamChannel", &P::spamChannel),
      Number(11, "InactivityTimeout", 0, 0, 1440, &P::inactivityTimeout),
      Number(12, "InactivityAction", 0, 0, 1, &P::inactivityAction),
      Text(13, "InactivityChannel", Kind::kText, &P::inactivityChannel),
      Flag(14, "StatusServerComment", 1, &P::statusServerComment),
      Flag(15, "StatusChanNames", 1, &P::statusChanNames),
      Flag(16, "StatusChanComments", 1, &P::statusChanComments),
      Flag(17, "StatusUserNames", 1, &P::statusUserNames),
      Flag(18, "StatusUserComments", 1, &P::statusUserComments),
      Text(19, "Comment", Kind::kComment, &P::comment),
      Flag(20, "FilterWave", 0, &P::filterWave),
      Flag(21, "FilterTTS", 0, &P::filterTTS),
      Flag(24, "StatusRequireName", 0, &P::statusRequireName),
      Number(25, "GuestMaxLogin", 0, 0, 8, &P::guestMaxLogin),
      Number(26, "GuestAutoKick", 0, 0, 1440, &P::guestAutoKick),
      Number(27, "GuestAutoBan", 0, 0, 43200, &P::guestAutoBan),
  };
  return table;
}

const Property* FindProperty(int id) {
  for (const Property& property : Properties()) {
    if (property.id == id) return &property;
  }
  return nullptr;
}

// A disabled rule keeps the interval and times it was saved with, so that a
// file the server wrote reads back to the same text. They have no effect
// while the action is 0: enabling a rule always sets both.
void KeepDisabledSpamText(SpamSetting& setting, const std::string& text) {
  std::vector<std::string> tokens;
  if (setting.action != kSpamNone || SplitList(text, ',', tokens) != 3) return;
  setting.interval = SpamIntervalValue(tokens[1].c_str());
  setting.times = AtoiRule(tokens[2].c_str());
}

}  // namespace

void ServerProperties::LoadProperties(const std::string& path, const StoreLogSink& log) {
  *this = ServerProperties();
  IniFile file;
  file.Load(path, false);
  for (const Property& property : Properties()) {
    switch (property.kind) {
      case Kind::kClamped:
      case Kind::kFlag:
        this->*property.number = file.GetInt(kSection, property.key, property.defaultValue);
        break;
      case Kind::kSpam: {
        std::string text = file.GetString(kSection, property.key, kDefaultSpam);
        SpamSetting& setting = this->*property.spam;
        if (ParseSpamSetting(setting, text, log) == 0) KeepDisabledSpamText(setting, text);
        break;
      }
      case Kind::kText:
      case Kind::kComment:
        this->*property.text = file.GetString(kSection, property.key);
        if (property.kind == Kind::kComment) LimitLength(this->*property.text, kCommentLimit);
        break;
    }
  }
}

std::string ServerProperties::Format() const {
  IniFile file;
  for (const Property& property : Properties()) {
    switch (property.kind) {
      case Kind::kClamped:
      case Kind::kFlag:
        file.AddInt(kSection, property.key, this->*property.number);
        break;
      case Kind::kSpam:
        file.AddString(kSection, property.key, SpamSettingText(this->*property.spam));
        break;
      case Kind::kText:
      case Kind::kComment:
        file.AddString(kSection, property.key, this->*property.text);
        break;
    }
  }
  return file.Format();
}

int ServerProperties::SaveProperties(const std::string& path) const {
  return WriteFileAtomically(path, Format()) == 0 ? 0 : -1;
}

int ServerProperties::GetPropertyText(int id, std::string& text) const {
  const Property* property = FindProperty(id);
  if (property == nullptr) return kUnknownProperty;
  switch (property->kind) {
    case Kind::kClamped:
    case Kind::kFlag:
      text = std::to_string(this->*property->number);
      break;
    case Kind::kSpam:
      text = SpamSettingText(this->*property->spam);
      break;
    case Kind::kText:
    case Kind::kComment:
      text = this->*property->text;
      break;
  }
  return 0;
}

int ServerProperties::SetPropertyText(int id, std::string_view text, const StoreLogSink& log) {
  const Property* property = FindProperty(id);
  if (property == nullptr) return kUnknownProperty;
  // A line break would split the .prop file.
  if (HasControlChar(text)) return kRefusedValue;
  std::string value(text);
  switch (property->kind) {
    case Kind::kClamped:
      this->*property->number = std::clamp(AtoiRule(value.c_str()), property->low, property->high);
      break;
    case Kind::kFlag:
      this->*property->number = AtoiRule(value.c_str()) != 0 ? 1 : 0;
      break;
    case Kind::kSpam:
      ParseSpamSetting(this->*property->spam, value, log);
      break;
    case Kind::kComment:
      LimitLength(value, kCommentLimit);
      this->*property->text = value;
      break;
    case Kind::kText:
      this->*property->text = value;
      break;
  }
  return kApplied;
}

void ServerProperties::ResolveInactivityChannel(const ChannelSource* channels) {
  inactivityChannelId = 0;
  if (channels != nullptr && !inactivityChannel.empty()) {
    inactivityChannelId = channels->ChannelIdByPath(inactivityChannel);
  }
}

}  // namespace kestrune
