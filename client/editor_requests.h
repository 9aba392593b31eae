// Client side of the store editors: requests of the rank, account, server
// property and ban list editors, and readers of their replies.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/message.h"

namespace kestrune {

// --- Ranks (MSG_RANK_ADMIN) ---

// Take (1) or release (2) the rank editor: the bare 12-byte body.
std::unique_ptr<Message> BuildRankEditorRequest(std::uint16_t action, std::uint16_t tag = 0);
// Add (3), delete (4) or change (5) one rank; delete carries no texts.
std::unique_ptr<Message> BuildRankEdit(std::uint16_t action, std::uint16_t id, std::int16_t level,
                                       const std::string& abbrev = "",
                                       const std::string& descr = "", std::uint16_t tag = 0);

struct RankEditReply {
  std::uint16_t action = 0;
  std::uint16_t result = 0;
  std::uint16_t announced = 0;  // offset 8: 1 in announcements, 0 in the requester's copy
  std::uint16_t tag = 0;        // offset 12
  std::uint16_t id = 0;         // the record, when one is carried
  std::int16_t level = 0;
  std::string abbrev;
  std::string descr;
  bool hasRecord = false;
};
std::optional<RankEditReply> ReadRankEditReply(const Message& message);

// --- Accounts (MSG_ACCOUNT_ADMIN) ---

struct AccountData {
  std::array<std::uint8_t, 104> block{};
  std::string name;
  std::string owner;
  std::string notes;
  std::string lockedReason;
  std::vector<std::uint16_t> chanAdmin;
  std::vector<std::uint16_t> chanAuth;

  std::uint16_t Uid() const { return static_cast<std::uint16_t>(block[0] | (block[1] << 8)); }
  void SetUid(std::uint16_t uid) {
    block[0] = static_cast<std::uint8_t>(uid & 0xFF);
    block[1] = static_cast<std::uint8_t>(uid >> 8);
  }
};

// Action 0: open the editor and list (a 20-byte body).
std::unique_ptr<Message> BuildAccountList(std::uint32_t tag = 0);
// Add (1) or change (3) with one record.
std::unique_ptr<Message> BuildAccountEdit(std::uint16_t action, const AccountData& record,
                                          std::uint32_t tag = 0);
// Delete (2) or hand over (6): one block holding `first` at offset 0 and
// `second` at offset 2.
std::unique_ptr<Message> BuildAccountBlockRequest(std::uint16_t action, std::uint16_t first,
                                                  std::uint16_t second = 0, std::uint32_t tag = 0);
// Close the editor (4): the bare 16-byte body.
std::unique_ptr<Message> BuildAccountClose();

struct AccountReply {
  std::uint16_t action = 0;
  std::uint16_t result = 0;
  std::uint16_t total = 0;  // offset 8
  std::uint16_t first = 0;  // offset 12
  std::uint16_t last = 0;   // offset 14
  std::uint32_t tag = 0;
  std::vector<AccountData> records;
};
std::optional<AccountReply> ReadAccountReply(const Message& message);

// --- Server properties (MSG_SERVER_PROPS) ---

// Without `value` the bare 8-byte body.
std::unique_ptr<Message> BuildPropertyRequest(std::uint16_t action, std::uint16_t id,
                                              std::optional<std::string> value = std::nullopt,
                                              std::uint16_t copied = 0);

// --- Bans (MSG_BAN_LIST) ---

struct BanRequest {
  std::uint16_t action = 0;
  std::uint16_t channel = 0;
  std::uint16_t bits = 0;
  std::uint32_t address = 0;  // host order, 10.1.2.3 = 0x0A010203
  std::string name;
  std::string text;
  std::string reason;
};
std::unique_ptr<Message> BuildBanRequest(const BanRequest& request);
// A list entry; the text field carries the ban's administrator.
std::optional<BanRequest> ReadBanEntry(const Message& message);

}  // namespace kestrune
