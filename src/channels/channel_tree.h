// The channel tree: one ordered list of channels below the lobby (id 0), its
// definitions file (.chn), the naming and path rules, the tree limits and the
// rules for creating and deleting channels. Channel ids come from the same
// allocator as connection ids.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel.h"
#include "net/connection.h"
#include "store/channel_source.h"

namespace kestrune {

class AccountStore;
class Log;
struct ServerSettings;

struct ChannelLimits {
  int width = 0;    // sub-channels of one channel; 0: no limit
  int depth = 8;    // levels; 0 is read as 8
  int clients = 0;  // users in one channel, server-wide; 0: none

  static ChannelLimits From(const ServerSettings& settings);
};

// Load failures; the start fails with the code.
enum ChannelLoadResult : int {
  kChannelsLoaded = 0,
  kChannelTopicEmpty = -4,
  kChannelNameTooLong = -5,
  kChannelNameRefused = -6,
  kChannelTopicUnsplit = -7,
  kChannelNoId = -10,
};

// CheckChannelName results.
enum ChannelNameResult : int {
  kChannelNameOk = 0,
  kChannelNameNone = -1,
  kChannelNameEmpty = -2,
  kChannelNameReserved = -3,
  kChannelNameIllegal = -4,
};

// 0, or one of ChannelNameResult (nullptr: none).
int CheckChannelName(const std::string* name);
// 0 with the parent path and the name (both trimmed); -1 for a topic over
// 2046 bytes, -2 for an empty one, -3 for a '\' after the last '/'.
int SplitTopic(std::string_view topic, std::string& parentPath, std::string& name);

// A refusal of the channel messages: MSG_REFUSAL code and detail.
struct ChannelRefusal {
  std::uint16_t code = 0;
  std::uint16_t detail = 0;
};

// Refusal codes the tree rules give.
enum ChannelRefusalCode : std::uint16_t {
  kRefuseNoChannel = 2,
  kRefuseBadName = 6,  // detail 0 empty, 1 name rules, 2 no full name
  kRefuseNoFreeId = 7,
  kRefuseChannelExists = 8,
  kRefuseTooWide = 14,
  kRefuseTooDeep = 15,
};

class ChannelTree : public ChannelSource, public ChannelIdSource {
 public:
  static constexpr int kMaxWalk = 64;
  // A client's create leaves at least this many ids (the table's slots) free.
  static constexpr int kIdsKeptForPeople = 9;
  static constexpr std::size_t kMaxTopic = 2046;

  ChannelTree(Log& log, ConnectionTable& table);
  ChannelTree(const ChannelTree&) = delete;
  ChannelTree& operator=(const ChannelTree&) = delete;

  void SetFile(std::string path) { path_ = std::move(path); }
  const std::string& File() const { return path_; }
  void SetLimits(const ChannelLimits& limits);
  const ChannelLimits& Limits() const { return limits_; }
  // The accounts forget deleted channels; none: nothing to tell.
  void SetAccounts(AccountStore* accounts) { accounts_ = accounts; }

  // Reads the definitions file into the (empty) tree: 0, also for a missing
  // or unreadable file; a ChannelLoadResult for a broken definition (the
  // channels read before it stay).
  int LoadChannels();
  // Writes the whole file durably: 0, or -1 with the error logged.
  int SaveChannels();
  // Parents before children: the top level first, then each channel's
  // children in list order after the channels already placed.
  void ServerChannelSort();
  void RecomputePaths();

  std::size_t Count() const { return channels_.size(); }
  Channel& At(std::size_t index) { return *channels_[index]; }
  const Channel& At(std::size_t index) const { return *channels_[index]; }
  // None for 0 or an unknown id.
  Channel* FindChannelById(std::uint16_t id);
  const Channel* FindChannelById(std::uint16_t id) const;
  // The first channel whose path equals `path` (any letter case), or none.
  Channel* FindChannelByPath(std::string_view path);
  const Channel* FindChannelByPath(std::string_view path) const;
  // Its top-level ancestor (itself at the top), or none after 64 steps.
  Channel* TopChannel(const Channel& channel);
  // True when `ancestor` lies on the way up from the channel with that id.
  bool IsDescendant(const Channel& ancestor, std::uint16_t id) const;
  // Direct sub-channels of `parent`.
  int ChildCount(std::uint16_t parent) const;
  // Channels from `channelId` up to the top, itself included (0 for the lobby).
  int LevelsUpFrom(std::uint16_t channelId) const;
  // Ids 1..1023 that no connection and no channel holds.
  int FreeIdCount() const;

  // --- Tree rules of a client's create and edit ---
  // Width and depth below `parent`: 0, kRefuseTooWide or kRefuseTooDeep.
  std::uint16_t CheckPlacement(std::uint16_t parent) const;
  // Parent and name of a new or renamed channel: true, or false with
  // refusal 2 or 6 (details 0 and 1).
  bool CheckName(std::uint16_t parent, const std::string& name, ChannelRefusal& refusal) const;
  // A client's create may take an id: kIdsKeptForPeople stay free after it.
  bool IdAvailable() const { return FreeIdCount() > kIdsKeptForPeople; }
  // The full name (`self` is the channel being edited, or 0): true, or false
  // with refusal 6 (detail 2) or 8.
  bool CheckFullName(std::uint16_t parent, const std::string& name, std::uint16_t self,
                     ChannelRefusal& refusal) const;
  // All three checks in that order, with refusal 7 between name and full name.
  bool CheckNaming(std::uint16_t parent, const std::string& name, std::uint16_t self,
                   ChannelRefusal& refusal) const;
  // Takes an id (leaving kIdsKeptForPeople free), sets the path, appends,
  // re-sorts and saves. True with the new channel; false with refusal 7.
  bool AddChannel(std::unique_ptr<Channel> channel, Channel*& added, ChannelRefusal& refusal);
  // Deletes the channel and everything below it, the deepest first. For each
  // one, `before` runs first (announcements and moves), then the log line,
  // the accounts forget it, and it leaves the tree; the file is saved once
  // and the tree re-sorted at the end. False when there is no such channel.
  bool DeleteChannel(std::uint16_t id, const std::function<void(Channel&)>& before);
  // Takes the channel out of the ordered list and puts it back just before
  // `before` (the caller re-sorts and saves). False, with nothing moved, when
  // either is missing.
  bool MoveChannelBefore(std::uint16_t id, std::uint16_t before);

  // A connection goes away: its access states and administrator entries are
  // forgotten (its phantoms go the same way, each with its own id).
  void Forget(std::uint16_t connectionId);

  // ChannelSource
  std::uint16_t ChannelIdByPath(std::string_view path) const override;
  std::string ChannelPath(std::uint16_t channelId) const override;
  bool ChannelExists(std::uint16_t channelId) const override;
  int ProtMode(std::uint16_t channelId) const override;
  bool IsChannelAdmin(std::uint16_t connectionId, std::uint16_t channelId) const override;
  // ChannelIdSource
  bool HoldsId(std::uint16_t id) const override;

  Log& GetLog() { return log_; }
  ConnectionTable& Table() { return table_; }

 private:
  int LoadSection(const class IniSection& section, bool& rewrite);
  void DeleteOne(Channel& channel, const std::function<void(Channel&)>& before);
  std::string FullPath(std::uint16_t parent, const std::string& name) const;

  Log& log_;
  ConnectionTable& table_;
  AccountStore* accounts_ = nullptr;
  std::string path_;
  ChannelLimits limits_;
  std::vector<std::unique_ptr<Channel>> channels_;
  // Channels by id: the relay looks channels up for every recipient.
  std::array<Channel*, Channel::kAccessIds> byId_{};
};

// The BanItem value of a channel ban: address, name, admin, reason with the
// texts escaped (an escaped text over 100 bytes is written empty).
std::string BanItemValue(const BanEntry& entry);
// Appends the ban a BanItem value describes (no covering test, no limit).
void ReadBanItem(BanList& list, std::string_view value);

}  // namespace kestrune
