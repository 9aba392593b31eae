#include "store/connection_bridge.h"

#include <algorithm>

namespace kestrune {

namespace {

constexpr std::size_t kRanksPerMessage = 32;

void AppendRank(Message& message, const Rank& rank) {
  int at = message.ReserveBytes(4);
  if (at < 0) return;
  message.SetU16(static_cast<std::size_t>(at), rank.id);
  message.SetU16(static_cast<std::size_t>(at) + 2, static_cast<std::uint16_t>(rank.level));
  WriteCountedString(message, rank.abbrev);
  WriteCountedString(message, rank.descr);
}

}  // namespace

std::unique_ptr<Message> BuildPermissionMessage(const PermissionBlock& block) {
  auto message = CreateMessage(MSG_ACCOUNT_ADMIN);
  if (!message) return nullptr;
  message->SetU16(4, 5);
  message->SetU16(8, 1);
  message->SetU16(10, 1);
  int at = message->ReserveBytes(PermissionBlock::kSize);
  if (at < 0) return nullptr;
  std::copy(block.Raw().begin(), block.Raw().end(), message->Data() + at);
  return message;
}

std::unique_ptr<Message> BuildRankMessage(int action, const Rank& rank) {
  auto message = CreateMessage(MSG_RANK_ADMIN);
  if (!message) return nullptr;
  message->SetU16(4, static_cast<std::uint16_t>(action));
  message->SetU16(8, 1);
  message->SetU16(10, 1);
  AppendRank(*message, rank);
  return message;
}

std::vector<std::unique_ptr<Message>> BuildRankList(const RankStore& ranks) {
  std::vector<std::unique_ptr<Message>> messages;
  std::unique_ptr<Message> current;
  for (int id = 1; id <= RankStore::kMaxRanks; ++id) {
    const Rank* rank = ranks.RankById(id);
    if (rank == nullptr) continue;
    if (current && current->GetU16(10) >= kRanksPerMessage) messages.push_back(std::move(current));
    if (!current) {
      current = CreateMessage(MSG_RANK_ADMIN);
      current->SetU16(8, 1);
    }
    AppendRank(*current, *rank);
    current->SetU16(10, static_cast<std::uint16_t>(current->GetU16(10) + 1));
  }
  if (!current && messages.empty()) {
    current = CreateMessage(MSG_RANK_ADMIN);
    current->SetU16(8, 1);
  }
  if (current) messages.push_back(std::move(current));
  return messages;
}

bool ApplySpamAction(ConnectionTable& table, Connection& connection, int action) {
  if (action == kSpamNone) return false;
  table.SpamVerdict(connection, action);
  return true;
}

std::vector<SessionInfo> ConnectionBridge::Sessions() {
  std::vector<SessionInfo> sessions;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    const Connection& c = table_.At(i);
    SessionInfo s;
    s.id = c.id;
    s.name = c.name;
    s.loggedIn = c.loggedOn;
    s.guest = c.guest;
    s.adminMode = c.administrator;
    s.phantomOwner = c.phantomOwner;
    s.channel = c.channel;
    sessions.push_back(std::move(s));
  }
  return sessions;
}

std::optional<PermissionBlock> ConnectionBridge::Permissions(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c == nullptr) return std::nullopt;
  return PermissionBlock(c->permissions);
}

void ConnectionBridge::SetPermissions(std::uint16_t connectionId, const PermissionBlock& block) {
  if (Connection* c = table_.FindById(connectionId)) c->permissions = block.Raw();
}

void ConnectionBridge::SetAdminMode(std::uint16_t connectionId, bool on) {
  if (Connection* c = table_.FindById(connectionId)) c->administrator = on;
}

void ConnectionBridge::SendPermissions(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c == nullptr || c->IsPhantom()) return;
  if (auto message = BuildPermissionMessage(PermissionBlock(c->permissions))) {
    table_.SendToClient(*c, std::move(message));
  }
}

void ConnectionBridge::NotifyAdminModeEnded(std::uint16_t connectionId) {
  if (Connection* c = table_.FindById(connectionId)) table_.SendServerText(c, "", 0, 2);
}

void ConnectionBridge::ResetChannelAccess(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.resetAccess) hooks_.resetAccess(*c);
}

void ConnectionBridge::SetAdminChannels(std::uint16_t connectionId,
                                        const std::vector<std::uint16_t>& channels) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.setAdminChannels) hooks_.setAdminChannels(*c, channels);
}

void ConnectionBridge::GrantChannelAuth(std::uint16_t connectionId, std::uint16_t channelId) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.grantChannelAuth) hooks_.grantChannelAuth(*c, channelId);
}

void ConnectionBridge::RefreshChannelView(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.refreshChannelView) hooks_.refreshChannelView(*c);
}

void ConnectionBridge::TakeOutOfChannel(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.takeOutOfChannel) hooks_.takeOutOfChannel(*c);
}

void ConnectionBridge::Disconnect(std::uint16_t connectionId, int reason, const std::string& text) {
  if (Connection* c = table_.FindById(connectionId)) {
    table_.DisconnectWithNotice(*c, reason, 0, text);
  }
}

void ConnectionBridge::AnnounceRankChange(std::uint16_t connectionId) {
  Connection* c = table_.FindById(connectionId);
  if (c != nullptr && hooks_.announceRankChange) hooks_.announceRankChange(*c);
}

void ConnectionBridge::AnnounceRank(std::uint16_t requesterId, int action, const Rank& rank) {
  auto message = BuildRankMessage(action, rank);
  if (!message) return;
  for (std::size_t i = 0; i < table_.Count(); ++i) {
    Connection& c = table_.At(i);
    if (!c.loggedOn || c.IsPhantom() || c.id == requesterId) continue;
    table_.SendToClient(c, message->Clone());
  }
}

void ConnectionBridge::RankLevelChanged(std::uint16_t rankId) {
  if (hooks_.rankLevelChanged) hooks_.rankLevelChanged(rankId);
}

void ConnectionBridge::ApplySpamVerdict(std::uint16_t connectionId, int verdict) {
  if (Connection* c = table_.FindById(connectionId)) table_.SpamVerdict(*c, verdict);
}

}  // namespace kestrune
