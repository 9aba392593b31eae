#include "store/rank_store.h"

#include <algorithm>

#include "store/ini_file.h"
#include "util/text.h"

namespace kestrune {

namespace {
constexpr std::size_t kAbbrevFileLimit = 15;
constexpr std::size_t kDescrFileLimit = 63;

bool ValidId(int id) {
  return id >= 1 && id <= RankStore::kMaxRanks;
}

// Empty, or holding a byte below 32: a line break would split the .rank file
// and could write a rank of its own into it.
bool UnusableText(std::string_view text) {
  return text.empty() || HasControlChar(text);
}
}  // namespace

void RankStore::Load() {
  for (auto& slot : slots_) slot.reset();
  IniFile file;
  file.Load(path_, false);
  for (int i = 0; i < file.SectionCount(); ++i) {
    const IniSection* section = file.SectionAt(i);
    int id = static_cast<std::uint16_t>(AtoiRule(section->Name().c_str()));
    if (!ValidId(id) || slots_[id]) continue;
    const IniEntry* level = section->FindEntry("Level");
    const IniEntry* abbrev = section->FindEntry("Abbrev");
    const IniEntry* descr = section->FindEntry("Descr");
    if (level == nullptr || abbrev == nullptr || descr == nullptr) continue;
    Rank rank;
    rank.id = static_cast<std::uint16_t>(id);
    auto raw = static_cast<std::int16_t>(AtoiRule(level->value.c_str()));
    rank.level = std::clamp<std::int16_t>(raw, 0, 100);
    // Uniqueness is judged after the cut too, so that two long texts that
    // differ only past the limit cannot both be kept.
    // A cut may end in blanks, which the file cannot hold: trimmed again, the
    // text reads back the same after a save.
    rank.abbrev = abbrev->value;
    TrimBlanks(rank.abbrev);
    if (rank.abbrev.size() > kAbbrevFileLimit) rank.abbrev.resize(kAbbrevFileLimit);
    TrimBlanks(rank.abbrev);
    if (AbbrevUser(rank.abbrev, 0) != nullptr || rank.abbrev.empty()) continue;
    rank.descr = descr->value;
    TrimBlanks(rank.descr);
    if (rank.descr.size() > kDescrFileLimit) rank.descr.resize(kDescrFileLimit);
    TrimBlanks(rank.descr);
    if (DescrUser(rank.descr, 0) != nullptr || rank.descr.empty()) continue;
    slots_[id] = std::move(rank);
  }
}

int RankStore::Save() {
  if (!saveTimer_.Armed()) return 0;
  saveTimer_.Disarm();
  IniFile file;
  for (int id = 1; id <= kMaxRanks; ++id) {
    if (!slots_[id]) continue;
    std::string name = std::to_string(id);
    file.AddInt(name, "Level", slots_[id]->level);
    file.AddString(name, "Abbrev", slots_[id]->abbrev);
    file.AddString(name, "Descr", slots_[id]->descr);
  }
  if (file.Save(path_) != 0) {
    // Keep the change pending: it is tried again after the delay and at shutdown.
    ArmSave();
    return -1;
  }
  return 0;
}

int RankStore::SaveIfDue() {
  if (!saveTimer_.Expired(clock_.NowSeconds())) return 0;
  return Save();
}

const Rank* RankStore::RankById(int id) const {
  if (!ValidId(id) || !slots_[id]) return nullptr;
  return &*slots_[id];
}

const Rank* RankStore::AbbrevUser(std::string_view abbrev, int except) const {
  for (int id = 1; id <= kMaxRanks; ++id) {
    if (id != except && slots_[id] && EqualsIgnoreCase(slots_[id]->abbrev, abbrev)) {
      return &*slots_[id];
    }
  }
  return nullptr;
}

const Rank* RankStore::DescrUser(std::string_view descr, int except) const {
  for (int id = 1; id <= kMaxRanks; ++id) {
    if (id != except && slots_[id] && EqualsIgnoreCase(slots_[id]->descr, descr)) {
      return &*slots_[id];
    }
  }
  return nullptr;
}

const Rank* RankStore::FindByAbbrev(std::string_view abbrev) const {
  return AbbrevUser(abbrev, 0);
}
const Rank* RankStore::FindByDescr(std::string_view descr) const {
  return DescrUser(descr, 0);
}

int RankStore::Count() const {
  return static_cast<int>(std::count_if(slots_.begin() + 1, slots_.end(),
                                        [](const auto& slot) { return slot.has_value(); }));
}

int RankStore::AcquireRankEditor(std::uint16_t connectionId, std::string_view userName) {
  if (editor_ != 0 || connectionId == 0) return kNotEditor;
  editor_ = connectionId;
  editorName_ = userName;
  return kDone;
}

void RankStore::ReleaseRankEditor(std::uint16_t connectionId) {
  if (editor_ == 0 || editor_ != connectionId) return;
  editor_ = 0;
  editorName_.clear();
}

int RankStore::AddRank(std::uint16_t connectionId, std::int16_t level, std::string_view abbrev,
                       std::string_view descr, std::uint16_t* newId) {
  if (!IsEditor(connectionId)) return kNotEditor;
  if (UnusableText(abbrev) || UnusableText(descr)) return kEmptyText;
  if (Count() >= kMaxRanks) return kNoFreeId;
  if (AbbrevUser(abbrev, 0) != nullptr) return kAbbrevUsed;
  if (DescrUser(descr, 0) != nullptr) return kDescrUsed;
  int id = 0;
  for (int step = 0; step < 5 && id == 0; ++step) {
    ++cursor_;
    if (cursor_ <= 0 || cursor_ > kMaxRanks) cursor_ = 1;
    if (!slots_[cursor_]) id = cursor_;
  }
  if (id == 0) return kNoFreeId;
  slots_[id] = Rank{static_cast<std::uint16_t>(id), level, std::string(abbrev), std::string(descr)};
  if (newId != nullptr) *newId = static_cast<std::uint16_t>(id);
  if (events_ != nullptr) events_->AnnounceRank(connectionId, kActionAdd, *slots_[id]);
  ArmSave();
  return kDone;
}

int RankStore::ModifyRank(std::uint16_t connectionId, int id, std::int16_t level,
                          std::string_view abbrev, std::string_view descr) {
  if (!IsEditor(connectionId)) return kNotEditor;
  if (UnusableText(abbrev) || UnusableText(descr)) return kEmptyText;
  if (RankById(id) == nullptr) return kNoSuchRank;
  if (AbbrevUser(abbrev, id) != nullptr) return kAbbrevUsed;
  if (DescrUser(descr, id) != nullptr) return kDescrUsed;
  Rank& rank = *slots_[id];
  rank.level = level;
  rank.abbrev = abbrev;
  rank.descr = descr;
  if (events_ != nullptr) events_->AnnounceRank(connectionId, kActionChange, rank);
  ArmSave();
  if (events_ != nullptr) events_->RankLevelChanged(rank.id);
  return kDone;
}

int RankStore::DeleteRank(std::uint16_t connectionId, int id) {
  if (!IsEditor(connectionId)) return kNotEditor;
  if (RankById(id) == nullptr) return kNoSuchRank;
  // Announced while the record still exists; accounts keep the id.
  if (events_ != nullptr) events_->AnnounceRank(connectionId, kActionDelete, *slots_[id]);
  slots_[id].reset();
  ArmSave();
  return kDone;
}

bool RankStore::RankAllowsVoice(int rankId, int voiceMode, int rankLevel) const {
  if (voiceMode == 0) return true;
  if (rankLevel == 0) return false;
  const Rank* rank = RankById(rankId);
  return rank != nullptr && rankLevel <= rank->level;
}

}  // namespace kestrune
