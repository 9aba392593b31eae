#include "store/penalty_tracker.h"

namespace kestrune {

namespace {
// Every `step`-th offence of a kind adds `minutes` while the accumulated
// penalty is below `ceiling`, and starts a penalty.
struct OffenceRule {
  bool punished;
  std::uint32_t step;
  std::int32_t minutes;
  std::int32_t ceiling;
};

constexpr OffenceRule kRules[5] = {
    {true, 10, 10, 240},   // wrong account password
    {true, 5, 5, 4320},    // wrong administrator password
    {false, 1, 30, 4320},  // unknown message type: counted only
    {true, 5, 5, 4320},    // wrong channel password
    {false, 3, 15, 4320},  // console command without Rcon: counted only
};
}  // namespace

PenaltyEntry* PenaltyTracker::Find(std::uint32_t address, std::time_t now) {
  for (PenaltyEntry& entry : entries_) {
    if (entry.address == address) {
      entry.lastUsed = now;
      return &entry;
    }
  }
  return nullptr;
}

const PenaltyEntry* PenaltyTracker::Peek(std::uint32_t address) const {
  for (const PenaltyEntry& entry : entries_) {
    if (entry.address == address) return &entry;
  }
  return nullptr;
}

PenaltyEntry& PenaltyTracker::FindOrCreate(std::uint32_t address, std::time_t now) {
  if (PenaltyEntry* found = Find(address, now)) return *found;
  PenaltyEntry fresh;
  fresh.address = address;
  fresh.lastUsed = now;
  if (entries_.size() < kMaxEntries) {
    entries_.push_back(fresh);
    return entries_.back();
  }
  // Full: the least recently used entry (the first of equals) makes room.
  std::size_t oldest = 0;
  for (std::size_t i = 1; i < entries_.size(); ++i) {
    if (entries_[i].lastUsed < entries_[oldest].lastUsed) oldest = i;
  }
  entries_[oldest] = fresh;
  return entries_[oldest];
}

int PenaltyTracker::RecordOffence(std::uint32_t address, int kind, std::time_t now) {
  PenaltyEntry& entry = FindOrCreate(address, now);
  if (kind < 0 || kind > 4) return kCounted;
  const OffenceRule& rule = kRules[kind];
  std::uint32_t& counter = entry.counters[static_cast<std::size_t>(kind)];
  ++counter;
  if (!rule.punished || counter % rule.step != 0) return kCounted;
  if (entry.penaltyMinutes < rule.ceiling) entry.penaltyMinutes += rule.minutes;
  entry.penaltyStart = now;
  entry.penaltyLength = entry.penaltyMinutes * 60;
  return kPenaltyStarted;
}

void PenaltyTracker::ResetOffences(std::uint32_t address, int kind, std::time_t now) {
  PenaltyEntry* entry = Find(address, now);
  if (entry == nullptr || kind < 0 || kind > 4) return;
  entry->counters[static_cast<std::size_t>(kind)] = 0;
}

int PenaltyTracker::AdmissionCheck(std::uint32_t address, std::time_t now) {
  PenaltyEntry* entry = Find(address, now);
  if (entry == nullptr || entry->penaltyStart == 0) return 0;
  if (entry->penaltyStart > now) entry->penaltyStart = now;
  std::time_t elapsed = now - entry->penaltyStart;
  if (elapsed >= entry->penaltyLength) {
    entry->penaltyStart = 0;
    entry->penaltyLength = 0;
    return 0;
  }
  return static_cast<int>((entry->penaltyLength - elapsed) / 60 + 1);
}

}  // namespace kestrune
