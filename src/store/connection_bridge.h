// Carries out what the stores decide on live connections, through the
// connection table: permission copies, AdminMode, the permission block
// message, disconnect notices, spam verdicts and rank announcements. What
// acts on channels goes through hooks that the channel work fills; until
// then those steps do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "net/connection.h"
#include "net/message.h"
#include "store/account_store.h"
#include "store/rank_store.h"
#include "store/spam.h"

namespace kestrune {

// The connection's own permission record: MSG_ACCOUNT_ADMIN action 5 (count 1,
// then the 104-byte block).
std::unique_ptr<Message> BuildPermissionMessage(const PermissionBlock& block);
// One rank as MSG_RANK_ADMIN with `action`, offset 8 = 1 and count 1: the
// announcement form. The requester's reply is this with offset 8 = 0 and its
// request's offset 12.
std::unique_ptr<Message> BuildRankMessage(int action, const Rank& rank);
// The rank list sent at login: MSG_RANK_ADMIN action 0, at most 32 ranks per
// message; one message with count 0 when there are no ranks.
std::vector<std::unique_ptr<Message>> BuildRankList(const RankStore& ranks);

// Carries out a spam action on the connection (0 does nothing); true when the
// handler must drop the user's request.
bool ApplySpamAction(ConnectionTable& table, Connection& connection, int action);

class ConnectionBridge : public AccountSessions, public RankEvents, public SpamEnforcer {
 public:
  struct ChannelHooks {
    std::function<void(Connection&)> resetAccess;
    std::function<void(Connection&, const std::vector<std::uint16_t>&)> setAdminChannels;
    std::function<void(Connection&, std::uint16_t channelId)> grantChannelAuth;
    std::function<void(Connection&)> refreshChannelView;
    // A phantom is removed, any other connection moved to the lobby.
    std::function<void(Connection&)> takeOutOfChannel;
    // The new rank of the connection's user, told to the clients.
    std::function<void(Connection&)> announceRankChange;
    // Channel voice state of every user holding the rank id, recomputed.
    std::function<void(std::uint16_t rankId)> rankLevelChanged;
  };

  explicit ConnectionBridge(ConnectionTable& table) : table_(table) {}
  void SetChannelHooks(ChannelHooks hooks) { hooks_ = std::move(hooks); }
  // Filled by the rank change's announcer, which is wired after the channel work.
  void SetAnnounceRankChange(std::function<void(Connection&)> announce) {
    hooks_.announceRankChange = std::move(announce);
  }

  // AccountSessions
  std::vector<SessionInfo> Sessions() override;
  std::optional<PermissionBlock> Permissions(std::uint16_t connectionId) override;
  void SetPermissions(std::uint16_t connectionId, const PermissionBlock& block) override;
  void SetAdminMode(std::uint16_t connectionId, bool on) override;
  void SendPermissions(std::uint16_t connectionId) override;
  void NotifyAdminModeEnded(std::uint16_t connectionId) override;
  void ResetChannelAccess(std::uint16_t connectionId) override;
  void SetAdminChannels(std::uint16_t connectionId,
                        const std::vector<std::uint16_t>& channels) override;
  void GrantChannelAuth(std::uint16_t connectionId, std::uint16_t channelId) override;
  void RefreshChannelView(std::uint16_t connectionId) override;
  void TakeOutOfChannel(std::uint16_t connectionId) override;
  void Disconnect(std::uint16_t connectionId, int reason, const std::string& text) override;
  void AnnounceRankChange(std::uint16_t connectionId) override;

  // RankEvents: every logged-in, non-phantom client other than the requester
  // gets the announcement (the rank handler answers the requester itself).
  void AnnounceRank(std::uint16_t requesterId, int action, const Rank& rank) override;
  void RankLevelChanged(std::uint16_t rankId) override;

  // SpamEnforcer
  void ApplySpamVerdict(std::uint16_t connectionId, int verdict) override;

 private:
  ConnectionTable& table_;
  ChannelHooks hooks_;
};

}  // namespace kestrune
