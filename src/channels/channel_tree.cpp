#include "channels/channel_tree.h"

#include <algorithm>
#include <array>

#include "config/log.h"
#include "config/settings.h"
#include "store/account_store.h"
#include "store/ini_file.h"
#include "util/text.h"

namespace kestrune {

const std::array<ChannelPropertyRule, kChannelPropertyCount> kChannelPropertyRules = {{
    {"AllowRecording", 1, 1, true},
    {"AllowCrossChannelXmit", 1, 1, true},
    {"AllowPaging", 1, 1, true},
    {"AllowWaveBinds", 1, 1, true},
    {"AllowTtsBinds", 1, 1, true},
    {"AllowU2U", 1, 1, true},
    {"RestrictToUsr", 0, 1, true},
    {"DisableSoundEvts", 0, 1, true},
    {"VoiceMode", 0, 2, false},
    {"TimeLimit", 0, 20864, false},
    {"PhantomMode", 1, 1, true},
    {"MaxClients", 0, 8, false},
    {"AllowGuestToJoin", 1, 1, true},
    {"ExemptFromInactivity", 0, 1, true},
    {"ProtMode", 0, 2, false},
    {"RankLevel", 0, 100, false},
}};

std::int16_t NormaliseChannelProperty(std::size_t property, int value) {
  const ChannelPropertyRule& rule = kChannelPropertyRules[property];
  if (rule.flag) return value != 0 ? 1 : 0;
  const std::int16_t signed16 = static_cast<std::int16_t>(value);
  if (signed16 < 0) return 0;
  return std::min(signed16, rule.max);
}

ChannelProperties DefaultChannelProperties() {
  ChannelProperties properties{};
  for (std::size_t i = 0; i < kChannelPropertyCount; ++i)
    properties[i] = kChannelPropertyRules[i].defaultValue;
  return properties;
}

ChannelLimits ChannelLimits::From(const ServerSettings& settings) {
  ChannelLimits limits;
  limits.width = std::max(settings.chanWidth, 0);
  limits.depth = settings.chanDepth;
  limits.clients = std::max(settings.chanClients, 0);
  return limits;
}

int CheckChannelName(const std::string* name) {
  if (name == nullptr) return kChannelNameNone;
  if (name->empty()) return kChannelNameEmpty;
  for (const char* reserved : {"lobby", "next", "parent", "child"}) {
    if (EqualsIgnoreCase(*name, reserved)) return kChannelNameReserved;
  }
  if (HasAnyOf(*name, "\\/,=\"[]")) return kChannelNameIllegal;
  return kChannelNameOk;
}

int SplitTopic(std::string_view topic, std::string& parentPath, std::string& name) {
  if (topic.size() > ChannelTree::kMaxTopic) return -1;
  if (topic.empty()) return -2;
  // The first byte is never looked at: a leading '/' belongs to the name.
  for (std::size_t at = topic.size() - 1; at >= 1; --at) {
    if (topic[at] == '/') {
      parentPath.assign(topic.substr(0, at));
      name.assign(topic.substr(at + 1));
      TrimBlanks(parentPath);
      TrimBlanks(name);
      return 0;
    }
    if (topic[at] == '\\') return -3;
  }
  parentPath.clear();
  name.assign(topic);
  TrimBlanks(name);
  return 0;
}

std::string BanItemValue(const BanEntry& entry) {
  auto escaped = [](const std::string& text) {
    std::string out = EscapeText(text);
    if (out.size() > 100) out.clear();
    return out;
  };
  return AddressText(entry) + "," + escaped(entry.name) + "," + escaped(entry.admin) + "," +
         escaped(entry.reason);
}

void ReadBanItem(BanList& list, std::string_view value) {
  std::array<std::string, 4> fields;
  std::size_t field = 0;
  for (char c : value) {
    if (c == ',') {
      if (++field == fields.size()) break;
      continue;
    }
    fields[field] += c;
  }
  auto entry = std::make_unique<BanEntry>();
  ParseAddress(*entry, fields[0]);
  for (std::size_t i = 1; i < fields.size(); ++i) UnescapeText(fields[i]);
  entry->name = fields[1];
  entry->admin = fields[2];
  entry->reason = fields[3];
  list.Append(std::move(entry));
}

ChannelTree::ChannelTree(Log& log, ConnectionTable& table) : log_(log), table_(table) {}

void ChannelTree::SetLimits(const ChannelLimits& limits) {
  limits_ = limits;
  if (limits_.depth <= 0 || limits_.depth > 8) limits_.depth = 8;
}

int ChannelTree::LoadChannels() {
  IniFile ini;
  const int read = ini.Load(path_, false);
  if (read == IniFile::kMissing) return kChannelsLoaded;
  if (read != IniFile::kLoaded) {
    log_.Write("WARNING: Unable to open channel definitions file '%s'.", path_.c_str());
    return kChannelsLoaded;
  }
  bool rewrite = false;
  for (int i = 0; i < ini.SectionCount(); ++i) {
    const int result = LoadSection(*ini.SectionAt(i), rewrite);
    if (result != kChannelsLoaded) return result;
  }
  if (rewrite) SaveChannels();
  return kChannelsLoaded;
}

int ChannelTree::LoadSection(const IniSection& section, bool& rewrite) {
  std::string topic = section.Name();
  TrimBlanks(topic);
  if (topic.empty()) {
    log_.Write("ERROR: A channel topic was empty in the file '%s'.", path_.c_str());
    return kChannelTopicEmpty;
  }
  std::string parentPath;
  std::string name;
  const int split = SplitTopic(topic, parentPath, name);
  if (split != 0) {
    log_.Write("ERROR: Unable to strip channel name from topic [%s], code=%d.", topic.c_str(),
               split);
    return kChannelTopicUnsplit;
  }

  auto channel = std::make_unique<Channel>();
  channel->path = topic;
  channel->name = name;
  if (name.size() > Channel::kMaxName) {
    log_.Write("ERROR: Channel name for topic [%s] is too long. %d characters max.", topic.c_str(),
               static_cast<int>(Channel::kMaxName));
    return kChannelNameTooLong;
  }

  auto text = [&section](const char* key) -> const std::string* {
    const IniEntry* entry = section.FindEntry(key);
    return entry != nullptr ? &entry->value : nullptr;
  };
  auto trimmedText = [&text](const char* key, std::size_t max) {
    const std::string* value = text(key);
    std::string out = value != nullptr ? *value : std::string();
    TrimBlanks(out);
    if (out.size() > max) out.resize(max);
    return out;
  };
  channel->phonetic = trimmedText("Phonetic", Channel::kMaxPhonetic);
  if (const std::string* hex = text("EncPassChan")) {
    // An empty value is "no password" and still counts as given.
    if (!hex->empty()) channel->password.FromHex(*hex);
  } else {
    const std::string* plain = text("PassChan");
    if (plain != nullptr) channel->password.FromPlain(*plain);
    rewrite = true;
  }
  channel->comment = trimmedText("Comment", Channel::kMaxComment);
  for (std::size_t p = 0; p < kChannelPropertyCount; ++p) {
    const std::string* value = text(kChannelPropertyRules[p].key);
    if (value != nullptr)
      channel->properties[p] = NormaliseChannelProperty(p, AtoiRule(value->c_str()));
  }
  if (text("ProtMode") == nullptr && channel->password.IsSet()) {
    channel->properties[kProtMode] = 1;
    rewrite = true;
  }
  for (int e = 0; e < section.EntryCount(); ++e) {
    const IniEntry* entry = section.EntryAt(e);
    if (entry->key.size() >= 7 &&
        EqualsIgnoreCase(std::string_view(entry->key).substr(0, 7), "BanItem")) {
      ReadBanItem(channel->bans, entry->value);
    }
  }

  if (CheckChannelName(&channel->name) != kChannelNameOk) {
    log_.Write("ERROR: Channel name '%s' is a reserved word or has illegal characters.",
               channel->name.c_str());
    return kChannelNameRefused;
  }
  if (table_.AllocateId(channel->id) != 0) {
    log_.Write("ERROR: Failed to create an ID for topic [%s].", topic.c_str());
    return kChannelNoId;
  }
  if (!parentPath.empty()) {
    const Channel* parent = FindChannelByPath(parentPath);
    if (parent == nullptr) {
      log_.Write("WARNING: Unable to find parent channel for topic [%s]. Ignoreing it.",
                 topic.c_str());
      return kChannelsLoaded;
    }
    channel->parent = parent->id;
  }
  // Topics that differ only in blanks or case name the same channel; a second
  // one would merge into the first at the next save and be lost.
  for (const auto& other : channels_) {
    if (other->parent == channel->parent && EqualsIgnoreCase(other->name, channel->name)) {
      log_.Write("WARNING: Duplicate channel topic [%s]. Ignoring it.", topic.c_str());
      return kChannelsLoaded;
    }
  }
  byId_[channel->id % Channel::kAccessIds] = channel.get();
  channels_.push_back(std::move(channel));
  return kChannelsLoaded;
}

int ChannelTree::SaveChannels() {
  RecomputePaths();
  IniFile ini;
  for (const auto& channel : channels_) {
    IniSection& section = ini.AddSection(channel->path, true);
    auto add = [&section](std::string_view key, std::string_view value) {
      section.AddEntry(key).value.assign(value);
    };
    add("Phonetic", channel->phonetic);
    add("EncPassChan", channel->password.ToHex());
    add("Comment", channel->comment);
    for (std::size_t p = 0; p < kChannelPropertyCount; ++p)
      add(kChannelPropertyRules[p].key, std::to_string(channel->properties[p]));
    for (std::size_t b = 0; b < channel->bans.Size(); ++b)
      add("BanItem" + std::to_string(b), BanItemValue(channel->bans.At(b)));
  }
  if (ini.Save(path_) != 0) {
    log_.Write("ERROR: Failed to write channel file '%s'.", path_.c_str());
    return -1;
  }
  return 0;
}

void ChannelTree::ServerChannelSort() {
  std::vector<std::unique_ptr<Channel>> sorted;
  sorted.reserve(channels_.size());
  for (auto& channel : channels_) {
    if (channel->parent == 0) sorted.push_back(std::move(channel));
  }
  // Each placed channel takes its children from the old list, in their old
  // order; the first placed channel with children left goes first.
  for (std::size_t placed = 0; placed < sorted.size(); ++placed) {
    const std::uint16_t parent = sorted[placed]->id;
    for (auto& channel : channels_) {
      if (channel && channel->parent == parent) sorted.push_back(std::move(channel));
    }
  }
  for (auto& channel : channels_) {
    if (!channel) continue;
    log_.Write("ERROR: ServerChannelSort detected left over channel '%s'.", channel->path.c_str());
    sorted.push_back(std::move(channel));
  }
  channels_ = std::move(sorted);
}

void ChannelTree::RecomputePaths() {
  for (auto& channel : channels_) {
    std::string path = channel->name;
    std::uint16_t parent = channel->parent;
    bool resolved = true;
    for (int steps = 0; parent != 0; ++steps) {
      const Channel* up = FindChannelById(parent);
      if (up == nullptr || steps >= kMaxWalk) {
        resolved = false;
        break;
      }
      path = up->name + "/" + path;
      parent = up->parent;
    }
    if (resolved) channel->path = std::move(path);
  }
}

Channel* ChannelTree::FindChannelById(std::uint16_t id) {
  return const_cast<Channel*>(static_cast<const ChannelTree*>(this)->FindChannelById(id));
}

const Channel* ChannelTree::FindChannelById(std::uint16_t id) const {
  if (id == 0 || id >= Channel::kAccessIds) return nullptr;
  return byId_[id];
}

Channel* ChannelTree::FindChannelByPath(std::string_view path) {
  return const_cast<Channel*>(static_cast<const ChannelTree*>(this)->FindChannelByPath(path));
}

const Channel* ChannelTree::FindChannelByPath(std::string_view path) const {
  for (const auto& channel : channels_) {
    if (EqualsIgnoreCase(channel->path, path)) return channel.get();
  }
  return nullptr;
}

Channel* ChannelTree::TopChannel(const Channel& channel) {
  Channel* at = FindChannelById(channel.id);
  for (int steps = 0; at != nullptr && steps < kMaxWalk; ++steps) {
    if (at->parent == 0) return at;
    at = FindChannelById(at->parent);
  }
  return nullptr;
}

bool ChannelTree::IsDescendant(const Channel& ancestor, std::uint16_t id) const {
  const Channel* at = FindChannelById(id);
  for (int steps = 0; at != nullptr && steps < kMaxWalk; ++steps) {
    if (at->parent == ancestor.id) return true;
    at = FindChannelById(at->parent);
  }
  return false;
}

int ChannelTree::ChildCount(std::uint16_t parent) const {
  return static_cast<int>(std::count_if(channels_.begin(), channels_.end(),
                                        [parent](const auto& c) { return c->parent == parent; }));
}

int ChannelTree::LevelsUpFrom(std::uint16_t channelId) const {
  int levels = 0;
  for (const Channel* at = FindChannelById(channelId); at != nullptr && levels < kMaxWalk;
       at = FindChannelById(at->parent)) {
    ++levels;
  }
  return levels;
}

int ChannelTree::FreeIdCount() const {
  int free = 0;
  for (std::uint16_t id = 1; id <= ConnectionTable::kMaxId; ++id) {
    if (table_.FindById(id) == nullptr && !HoldsId(id)) ++free;
  }
  return free;
}

std::uint16_t ChannelTree::CheckPlacement(std::uint16_t parent) const {
  if (parent == 0) return 0;
  if (limits_.width != 0 && ChildCount(parent) >= limits_.width) return kRefuseTooWide;
  if (limits_.depth != 0 && LevelsUpFrom(parent) >= limits_.depth) return kRefuseTooDeep;
  return 0;
}

std::string ChannelTree::FullPath(std::uint16_t parent, const std::string& name) const {
  if (parent == 0) return name;
  const Channel* up = FindChannelById(parent);
  return up != nullptr ? up->path + "/" + name : std::string();
}

bool ChannelTree::CheckNaming(std::uint16_t parent, const std::string& name, std::uint16_t self,
                              ChannelRefusal& refusal) const {
  if (!CheckName(parent, name, refusal)) return false;
  if (self == 0 && !IdAvailable()) {
    refusal = {kRefuseNoFreeId, 0};
    return false;
  }
  return CheckFullName(parent, name, self, refusal);
}

bool ChannelTree::CheckName(std::uint16_t parent, const std::string& name,
                            ChannelRefusal& refusal) const {
  if (parent != 0 && FindChannelById(parent) == nullptr) {
    refusal = {kRefuseNoChannel, 0};
    return false;
  }
  if (name.empty()) {
    refusal = {kRefuseBadName, 0};
    return false;
  }
  if (CheckChannelName(&name) != kChannelNameOk || name.size() > Channel::kMaxName) {
    refusal = {kRefuseBadName, 1};
    return false;
  }
  return true;
}

bool ChannelTree::CheckFullName(std::uint16_t parent, const std::string& name, std::uint16_t self,
                                ChannelRefusal& refusal) const {
  // The full name must read back as this parent and name from the file.
  const std::string path = FullPath(parent, name);
  if (path.empty() || path.size() > kMaxTopic) {
    refusal = {kRefuseBadName, 2};
    return false;
  }
  const Channel* same = FindChannelByPath(path);
  if (same != nullptr && same->id != self) {
    refusal = {kRefuseChannelExists, 0};
    return false;
  }
  return true;
}

bool ChannelTree::AddChannel(std::unique_ptr<Channel> channel, Channel*& added,
                             ChannelRefusal& refusal) {
  // The new channel takes one id and must leave the table's slots theirs.
  if (!IdAvailable() || table_.AllocateId(channel->id) != 0) {
    refusal = {kRefuseNoFreeId, 0};
    return false;
  }
  channel->path = FullPath(channel->parent, channel->name);
  added = channel.get();
  byId_[added->id % Channel::kAccessIds] = added;
  channels_.push_back(std::move(channel));
  ServerChannelSort();
  SaveChannels();
  return true;
}

bool ChannelTree::DeleteChannel(std::uint16_t id, const std::function<void(Channel&)>& before) {
  Channel* channel = FindChannelById(id);
  if (channel == nullptr) return false;
  DeleteOne(*channel, before);
  ServerChannelSort();
  SaveChannels();
  return true;
}

bool ChannelTree::MoveChannelBefore(std::uint16_t id, std::uint16_t before) {
  auto byId = [](std::uint16_t wanted) {
    return [wanted](const auto& c) { return c->id == wanted; };
  };
  auto moving = std::find_if(channels_.begin(), channels_.end(), byId(id));
  if (moving == channels_.end() || std::none_of(channels_.begin(), channels_.end(), byId(before)))
    return false;
  if (id == before) return true;
  std::unique_ptr<Channel> taken = std::move(*moving);
  channels_.erase(moving);
  channels_.insert(std::find_if(channels_.begin(), channels_.end(), byId(before)),
                   std::move(taken));
  return true;
}

void ChannelTree::DeleteOne(Channel& channel, const std::function<void(Channel&)>& before) {
  const std::uint16_t id = channel.id;
  for (;;) {
    auto child = std::find_if(channels_.begin(), channels_.end(),
                              [id](const auto& c) { return c->parent == id; });
    if (child == channels_.end()) break;
    DeleteOne(**child, before);
  }
  if (before) before(channel);
  log_.Write("CHANNEL: Deleteing [%s].", channel.path.c_str());
  if (accounts_ != nullptr) accounts_->ChannelDeleted(id);
  byId_[id % Channel::kAccessIds] = nullptr;
  channels_.erase(std::find_if(channels_.begin(), channels_.end(),
                               [id](const auto& c) { return c->id == id; }));
}

void ChannelTree::Forget(std::uint16_t connectionId) {
  for (auto& channel : channels_) {
    channel->SetAccess(connectionId, kAccessNone);
    auto& admins = channel->admins;
    admins.erase(std::remove(admins.begin(), admins.end(), connectionId), admins.end());
  }
}

std::uint16_t ChannelTree::ChannelIdByPath(std::string_view path) const {
  const Channel* channel = FindChannelByPath(path);
  return channel != nullptr ? channel->id : 0;
}

std::string ChannelTree::ChannelPath(std::uint16_t channelId) const {
  const Channel* channel = FindChannelById(channelId);
  return channel != nullptr ? channel->path : std::string();
}

bool ChannelTree::ChannelExists(std::uint16_t channelId) const {
  return FindChannelById(channelId) != nullptr;
}

int ChannelTree::ProtMode(std::uint16_t channelId) const {
  const Channel* channel = FindChannelById(channelId);
  return channel != nullptr ? channel->ProtMode() : 0;
}

bool ChannelTree::IsChannelAdmin(std::uint16_t connectionId, std::uint16_t channelId) const {
  const Channel* at = FindChannelById(channelId);
  for (int steps = 0; at != nullptr && steps < kMaxWalk; ++steps) {
    if (std::find(at->admins.begin(), at->admins.end(), connectionId) != at->admins.end())
      return true;
    at = FindChannelById(at->parent);
  }
  return false;
}

bool ChannelTree::HoldsId(std::uint16_t id) const {
  return FindChannelById(id) != nullptr;
}

}  // namespace kestrune
