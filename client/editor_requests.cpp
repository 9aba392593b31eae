#include "client/editor_requests.h"

#include <algorithm>

namespace kestrune {

namespace {

constexpr std::size_t kAnyString = 1024;

}  // namespace

std::unique_ptr<Message> BuildRankEditorRequest(std::uint16_t action, std::uint16_t tag) {
  auto message = CreateMessage(MSG_RANK_ADMIN);
  message->SetU16(4, action);
  message->SetU16(12, tag);
  return message;
}

std::unique_ptr<Message> BuildRankEdit(std::uint16_t action, std::uint16_t id, std::int16_t level,
                                       const std::string& abbrev, const std::string& descr,
                                       std::uint16_t tag) {
  auto message = BuildRankEditorRequest(action, tag);
  message->SetU16(10, 1);
  const int at = message->ReserveBytes(4);
  message->SetU16(static_cast<std::size_t>(at), id);
  message->SetU16(static_cast<std::size_t>(at) + 2, static_cast<std::uint16_t>(level));
  if (action != 4) {
    WriteCountedString(*message, abbrev);
    WriteCountedString(*message, descr);
  }
  return message;
}

std::optional<RankEditReply> ReadRankEditReply(const Message& message) {
  if (message.Type() != MSG_RANK_ADMIN || !SizeAtLeast(message, 12)) return std::nullopt;
  RankEditReply reply;
  reply.action = message.GetU16(4);
  reply.result = message.GetU16(6);
  reply.announced = message.GetU16(8);
  reply.tag = message.GetU16(12);
  if (message.GetU16(10) == 0) return reply;
  std::size_t cursor = 16;
  const std::uint8_t* record = ReadBytes(message, cursor, 4);
  if (record == nullptr) return std::nullopt;
  reply.id = static_cast<std::uint16_t>(record[0] | (record[1] << 8));
  reply.level = static_cast<std::int16_t>(record[2] | (record[3] << 8));
  if (!ReadCountedString(message, cursor, kAnyString, reply.abbrev) ||
      !ReadCountedString(message, cursor, kAnyString, reply.descr)) {
    return std::nullopt;
  }
  reply.hasRecord = true;
  return reply;
}

std::unique_ptr<Message> BuildAccountList(std::uint32_t tag) {
  auto message = CreateMessage(MSG_ACCOUNT_ADMIN);
  message->SetU32(16, tag);
  message->ReserveBytes(4);
  return message;
}

std::unique_ptr<Message> BuildAccountEdit(std::uint16_t action, const AccountData& record,
                                          std::uint32_t tag) {
  auto message = CreateMessage(MSG_ACCOUNT_ADMIN);
  message->SetU16(4, action);
  message->SetU32(16, tag);
  const int at = message->ReserveBytes(record.block.size());
  std::copy(record.block.begin(), record.block.end(), message->Data() + at);
  WriteCountedString(*message, record.name);
  WriteCountedString(*message, record.owner);
  WriteCountedString(*message, record.notes);
  WriteCountedString(*message, record.lockedReason);
  WriteU16List(*message, record.chanAdmin);
  WriteU16List(*message, record.chanAuth);
  return message;
}

std::unique_ptr<Message> BuildAccountBlockRequest(std::uint16_t action, std::uint16_t first,
                                                  std::uint16_t second, std::uint32_t tag) {
  auto message = CreateMessage(MSG_ACCOUNT_ADMIN);
  message->SetU16(4, action);
  message->SetU32(16, tag);
  const auto at = static_cast<std::size_t>(message->ReserveBytes(104));
  message->SetU16(at, first);
  message->SetU16(at + 2, second);
  return message;
}

std::unique_ptr<Message> BuildAccountClose() {
  auto message = CreateMessage(MSG_ACCOUNT_ADMIN);
  message->SetU16(4, 4);
  return message;
}

std::optional<AccountReply> ReadAccountReply(const Message& message) {
  if (message.Type() != MSG_ACCOUNT_ADMIN || !SizeAtLeast(message, 16)) return std::nullopt;
  AccountReply reply;
  reply.action = message.GetU16(4);
  reply.result = message.GetU16(6);
  reply.total = message.GetU16(8);
  reply.first = message.GetU16(12);
  reply.last = message.GetU16(14);
  reply.tag = message.GetU32(16);
  std::size_t cursor = 20;
  for (std::uint16_t i = 0; i < message.GetU16(10); ++i) {
    AccountData record;
    const std::uint8_t* block = ReadBytes(message, cursor, record.block.size());
    if (block == nullptr) return std::nullopt;
    std::copy(block, block + record.block.size(), record.block.begin());
    if (!ReadCountedString(message, cursor, kAnyString, record.name) ||
        !ReadCountedString(message, cursor, kAnyString, record.owner) ||
        !ReadCountedString(message, cursor, kAnyString, record.notes) ||
        !ReadCountedString(message, cursor, kAnyString, record.lockedReason) ||
        !ReadU16List(message, cursor, kAnyString, record.chanAdmin) ||
        !ReadU16List(message, cursor, kAnyString, record.chanAuth)) {
      return std::nullopt;
    }
    reply.records.push_back(std::move(record));
  }
  return reply;
}

std::unique_ptr<Message> BuildPropertyRequest(std::uint16_t action, std::uint16_t id,
                                              std::optional<std::string> value,
                                              std::uint16_t copied) {
  auto message = CreateMessage(MSG_SERVER_PROPS);
  message->SetU16(4, action);
  message->SetU16(6, id);
  message->SetU16(10, copied);
  if (value) WriteCountedString(*message, *value);
  return message;
}

std::unique_ptr<Message> BuildBanRequest(const BanRequest& request) {
  auto message = CreateMessage(MSG_BAN_LIST);
  message->SetU16(4, request.action);
  message->SetU16(6, request.channel);
  message->SetU16(8, request.bits);
  message->SetU32(12, request.address);
  // Written raw so that tests can send bytes a fixed-text field would cut.
  auto put = [&message](std::size_t at, std::size_t width, const std::string& text) {
    std::copy_n(text.begin(), std::min(text.size(), width), message->Data() + at);
  };
  put(20, 32, request.name);
  put(52, 32, request.text);
  put(84, 128, request.reason);
  return message;
}

std::optional<BanRequest> ReadBanEntry(const Message& message) {
  if (message.Type() != MSG_BAN_LIST || !SizeExact(message, 208)) return std::nullopt;
  Message copy(message.Length());
  std::copy_n(message.Data(), message.Length(), copy.Data());
  BanRequest entry;
  entry.action = copy.GetU16(4);
  entry.channel = copy.GetU16(6);
  entry.bits = copy.GetU16(8);
  entry.address = copy.GetU32(12);
  entry.name = copy.GetFixedText(20, 32);
  entry.text = copy.GetFixedText(52, 32);
  entry.reason = copy.GetFixedText(84, 128);
  return entry;
}

}  // namespace kestrune
