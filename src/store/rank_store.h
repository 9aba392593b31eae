// Up to four named rank levels (ids 1 to 4), kept in the .rank file and edited
// by administrators with RankEdit. Changes reach the file an hour later or at
// shutdown.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace kestrune {

struct Rank {
  std::uint16_t id = 0;
  std::int16_t level = 0;
  std::string abbrev;
  std::string descr;
};

// What the rank store tells the rest of the server about its changes.
class RankEvents {
 public:
  virtual ~RankEvents() = default;
  // A successful add (3), delete (4) or change (5) by `requesterId`: every
  // logged-in, non-phantom client hears of it (MSG_RANK_ADMIN).
  virtual void AnnounceRank(std::uint16_t requesterId, int action, const Rank& rank) = 0;
  // Users whose permission copy holds `rankId` get their channel voice state
  // recomputed.
  virtual void RankLevelChanged(std::uint16_t rankId) = 0;
};

class RankStore {
 public:
  static constexpr int kMaxRanks = 4;
  static constexpr std::uint32_t kSaveDelaySeconds = 3600;

  // Result codes of the editor operations.
  static constexpr int kDone = 0;
  static constexpr int kNoSuchRank = 1;
  static constexpr int kAbbrevUsed = 2;
  static constexpr int kDescrUsed = 3;
  static constexpr int kNotEditor = 5;
  static constexpr int kNoFreeId = 6;
  static constexpr int kEmptyText = 7;  // also a text holding a byte below 32

  // Actions of the announcements.
  static constexpr int kActionAdd = 3;
  static constexpr int kActionDelete = 4;
  static constexpr int kActionChange = 5;

  RankStore(Clock& clock, std::string path) : clock_(clock), path_(std::move(path)) {}

  void SetEvents(RankEvents* events) { events_ = events; }

  // Reads the ranks file; a missing or unreadable file gives no ranks.
  void Load();
  // Writes the file when the save timer is armed: 0, or -1 when the write
  // failed (the timer is then armed again, so nothing is lost).
  int Save();
  // Save when the timer has run out (the server loop's save step).
  int SaveIfDue();
  bool SavePending() const { return saveTimer_.Armed(); }

  const Rank* RankById(int id) const;
  const Rank* FindByAbbrev(std::string_view abbrev) const;
  const Rank* FindByDescr(std::string_view descr) const;
  int Count() const;

  // 0 when the editor was free (the connection now holds it), else kNotEditor
  // (also for the holder itself).
  int AcquireRankEditor(std::uint16_t connectionId, std::string_view userName);
  void ReleaseRankEditor(std::uint16_t connectionId);
  // User name of the holder, or empty.
  const std::string& RankEditorHolder() const { return editorName_; }
  // A leaving connection gives up the editor.
  void Forget(std::uint16_t connectionId) { ReleaseRankEditor(connectionId); }

  int AddRank(std::uint16_t connectionId, std::int16_t level, std::string_view abbrev,
              std::string_view descr, std::uint16_t* newId = nullptr);
  int ModifyRank(std::uint16_t connectionId, int id, std::int16_t level, std::string_view abbrev,
                 std::string_view descr);
  int DeleteRank(std::uint16_t connectionId, int id);

  // True when a user of `rankId` may speak in a channel with these values.
  bool RankAllowsVoice(int rankId, int voiceMode, int rankLevel) const;

 private:
  bool IsEditor(std::uint16_t connectionId) const {
    return connectionId != 0 && connectionId == editor_;
  }
  // The rank (other than `except`) using that text, or nullptr.
  const Rank* AbbrevUser(std::string_view abbrev, int except) const;
  const Rank* DescrUser(std::string_view descr, int except) const;
  // A change while a save is pending keeps its start (an hour after the first).
  void ArmSave() {
    if (!saveTimer_.Armed()) saveTimer_.Arm(clock_.NowSeconds(), kSaveDelaySeconds);
  }

  Clock& clock_;
  std::string path_;
  RankEvents* events_ = nullptr;
  std::array<std::optional<Rank>, kMaxRanks + 1> slots_;  // slot 0 unused
  std::uint16_t editor_ = 0;
  std::string editorName_;
  int cursor_ = 0;
  IntervalTimer saveTimer_;
};

}  // namespace kestrune
