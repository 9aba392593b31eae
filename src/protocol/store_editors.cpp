#include "protocol/store_editors.h"

#include <algorithm>
#include <optional>

#include "channels/channel_access.h"
#include "config/log.h"
#include "net/connection.h"
#include "protocol/client_records.h"
#include "protocol/login_messages.h"
#include "protocol/protocol.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/connection_bridge.h"
#include "store/permission_block.h"
#include "store/rank_store.h"
#include "store/server_properties.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kRankBody = 12;
constexpr std::size_t kRankRecordAt = 16;
// Readers refuse a length at or above the maximum.
constexpr std::size_t kAbbrevMaximum = 16;
constexpr std::size_t kDescrMaximum = 64;

constexpr int kAccountBody = 16;
constexpr int kAccountListBody = 20;
constexpr std::size_t kAccountRecordAt = 20;
constexpr std::size_t kAccountNameMaximum = 32;
constexpr std::size_t kAccountOwnerMaximum = 32;
constexpr std::size_t kAccountNotesMaximum = 256;
constexpr std::size_t kAccountReasonMaximum = 128;
constexpr std::size_t kAccountListCapacity = 32;

constexpr int kPropertyBody = 8;
constexpr int kPropertySetBody = 10;
constexpr std::size_t kPropertyValueAt = 12;
constexpr std::size_t kPropertyValueMaximum = 256;

constexpr int kBanBody = 208;
constexpr int kBanLargestAddedPrefix = 31;

// The private copy of the properties an administrator edits.
struct PropertiesCopy : ConnectionAttachment {
  explicit PropertiesCopy(const ServerProperties& live) : properties(live) {}
  ServerProperties properties;
};

PropertiesCopy* CopyOf(Connection& connection) {
  return dynamic_cast<PropertiesCopy*>(connection.propertiesCopy.get());
}

bool Holds(const Connection& connection, std::size_t right) {
  return connection.administrator || connection.HasPermission(right);
}

AccountEditor EditorOf(const Connection& connection) {
  AccountEditor editor;
  editor.id = connection.id;
  editor.name = connection.name;
  editor.adminMode = connection.administrator;
  editor.guest = connection.guest;
  editor.permissions = PermissionBlock(connection.permissions);
  return editor;
}

// One account record from `cursor`; it must end the message.
bool ReadAccountRecord(const Message& message, AccountRecord& record) {
  std::size_t cursor = kAccountRecordAt;
  const std::uint8_t* block = ReadBytes(message, cursor, P::kSize);
  if (block == nullptr) return false;
  record.permissions = P::FromBytes(block);
  if (!ReadCountedString(message, cursor, kAccountNameMaximum, record.name) ||
      !ReadCountedString(message, cursor, kAccountOwnerMaximum, record.owner) ||
      !ReadCountedString(message, cursor, kAccountNotesMaximum, record.notes) ||
      !ReadCountedString(message, cursor, kAccountReasonMaximum, record.lockedReason) ||
      !ReadU16List(message, cursor, kAccountListCapacity, record.chanAdmin) ||
      !ReadU16List(message, cursor, kAccountListCapacity, record.chanAuth)) {
    return false;
  }
  TrimBlanks(record.name);
  TrimBlanks(record.owner);
  TrimBlanks(record.notes);
  TrimBlanks(record.lockedReason);
  return SizeEnd(message, cursor);
}

// One 104-byte block that ends the message.
std::optional<PermissionBlock> ReadAccountBlock(const Message& message) {
  std::size_t cursor = kAccountRecordAt;
  const std::uint8_t* block = ReadBytes(message, cursor, P::kSize);
  if (block == nullptr || !SizeEnd(message, cursor)) return std::nullopt;
  return P::FromBytes(block);
}

std::unique_ptr<Message> AccountReply(std::uint16_t action, int result, std::uint32_t tag) {
  auto reply = CreateMessage(MSG_ACCOUNT_ADMIN);
  reply->SetU16(4, action);
  reply->SetU16(6, static_cast<std::uint16_t>(result));
  reply->SetU32(16, tag);
  return reply;
}

std::string TrimmedField(Message& message, std::size_t offset, std::size_t width, bool& valid) {
  std::string text = message.GetFixedText(offset, width);
  if (!TextValid(text)) valid = false;
  TrimBlanks(text);
  return text;
}

}  // namespace

bool AppendAccountRecord(Message& message, const UserAccount& account) {
  const std::uint16_t length = message.Length();
  const int at = message.ReserveBytes(P::kSize);
  if (at < 0) return false;
  P block = account.permissions;
  block.ClearDigest();
  std::copy(block.Raw().begin(), block.Raw().end(), message.Data() + at);
  const bool ok =
      WriteCountedString(message, account.name) && WriteCountedString(message, account.owner) &&
      WriteCountedString(message, account.notes) &&
      WriteCountedString(message, account.lockedReason) &&
      WriteU16List(message, account.chanAdmin) && WriteU16List(message, account.chanAuth);
  if (!ok) {
    // Zero what was written so a later append starts from clean bytes.
    for (std::size_t i = length; i < message.Length(); ++i) message.Data()[i] = 0;
    message.SetLength(length);
    return false;
  }
  message.SetU16(10, static_cast<std::uint16_t>(message.GetU16(10) + 1));
  return true;
}

std::unique_ptr<Message> BuildBanEntry(std::uint16_t action, std::uint16_t channel,
                                       const BanEntry& entry) {
  auto message = CreateMessage(MSG_BAN_LIST);
  message->SetU16(4, action);
  message->SetU16(6, channel);
  message->SetU16(8, static_cast<std::uint16_t>(entry.bits));
  message->SetU32(12, entry.address);
  message->SetFixedText(20, 32, entry.name);
  message->SetFixedText(52, 32, entry.admin);
  message->SetFixedText(84, 128, entry.reason);
  return message;
}

std::unique_ptr<Message> BuildServerRecord(const std::string& comment) {
  ClientRecord server;
  server.flagB = kRecordSilentText;
  server.comment = comment;
  auto message = BuildUserList(kUserListTexts);
  AppendClientRecord(*message, server, true);
  return message;
}

StoreEditors::StoreEditors(Protocol& protocol, RankStore& ranks, ServerProperties& properties,
                           std::string propertiesPath)
    : protocol_(protocol),
      ranks_(ranks),
      properties_(properties),
      propertiesPath_(std::move(propertiesPath)) {}

void StoreEditors::Register() {
  protocol_.SetHandler(
      MSG_RANK_ADMIN, [this](Connection& c, Message& m, std::string&, bool& d) { Ranks(c, m, d); });
  protocol_.SetHandler(MSG_ACCOUNT_ADMIN, [this](Connection& c, Message& m, std::string&, bool& d) {
    Accounts(c, m, d);
  });
  protocol_.SetHandler(MSG_SERVER_PROPS, [this](Connection& c, Message& m, std::string&, bool& d) {
    Properties(c, m, d);
  });
  protocol_.SetHandler(MSG_BAN_LIST,
                       [this](Connection& c, Message& m, std::string&, bool& d) { Bans(c, m, d); });
}

void StoreEditors::AnnounceRankChange(Connection& subject) {
  ConnectionTable& table = protocol_.Context().table;
  ClientRecord record = RecordOf(subject, protocol_.Sessions().Of(subject.id));
  record.flagB = ArrivalFlags(subject);
  auto full = BuildUserList(kUserListAccountChange);
  auto plain = BuildUserList(kUserListAccountChange);
  AppendClientRecord(*full, record, true);
  AppendClientRecord(*plain, record, false);
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || !MaySee(recipient, subject)) continue;
    const bool comments = &recipient == &subject || recipient.HasPermission(P::kSeeUserComments);
    table.SendCopy(recipient, comments ? *full : *plain);
  }
}

// ------------------------------------------------------------------- ranks

void StoreEditors::Ranks(Connection& connection, Message& message, bool& disconnect) {
  const std::uint16_t action = message.GetU16(4);
  if (!connection.loggedOn || !SizeAtLeast(message, kRankBody) || action < kRankTakeEditor ||
      action > kRankChange) {
    disconnect = true;
    return;
  }
  ConnectionTable& table = protocol_.Context().table;
  auto reply = [&](int result) {
    auto answer = CreateMessage(MSG_RANK_ADMIN);
    answer->SetU16(4, action);
    answer->SetU16(6, static_cast<std::uint16_t>(result));
    answer->SetU16(12, message.GetU16(12));
    answer->SetU16(14, message.GetU16(14));
    table.SendToClient(connection, std::move(answer));
  };
  const bool mayEdit = Holds(connection, P::kRankEdit);

  if (action == kRankTakeEditor || action == kRankReleaseEditor) {
    if (!SizeExact(message, kRankBody)) {
      disconnect = true;
      return;
    }
    if (action == kRankReleaseEditor) {
      ranks_.ReleaseRankEditor(connection.id);
      return;
    }
    if (!mayEdit) {
      reply(kRankNoRight);
      return;
    }
    const int result = ranks_.AcquireRankEditor(connection.id, connection.name);
    reply(result);
    if (result != 0) {
      table.SendRefusal(connection, kRefuseRankEditorHeld, 0, false, false,
                        ranks_.RankEditorHolder());
    }
    return;
  }

  // Add, delete and change carry one record; add and change its two texts.
  std::size_t cursor = kRankRecordAt;
  const std::uint8_t* record = ReadBytes(message, cursor, 4);
  std::string abbrev;
  std::string descr;
  bool readable = message.GetU16(10) == 1 && record != nullptr;
  if (readable && action != kRankDelete) {
    readable = ReadCountedString(message, cursor, kAbbrevMaximum, abbrev) &&
               ReadCountedString(message, cursor, kDescrMaximum, descr);
  }
  if (!readable || !SizeEnd(message, cursor)) {
    disconnect = true;
    return;
  }
  if (!mayEdit) {
    reply(kRankNoRight);
    return;
  }
  TrimBlanks(abbrev);
  TrimBlanks(descr);
  const auto id = static_cast<std::uint16_t>(record[0] | (record[1] << 8));
  const auto level = static_cast<std::int16_t>(record[2] | (record[3] << 8));

  int result = RankStore::kDone;
  std::optional<Rank> done;
  if (action == kRankAdd) {
    std::uint16_t newId = 0;
    result = ranks_.AddRank(connection.id, level, abbrev, descr, &newId);
    if (result == RankStore::kDone) done = *ranks_.RankById(newId);
  } else if (action == kRankDelete) {
    // The announcement carries the rank as it was.
    const Rank* old = ranks_.RankById(id);
    std::optional<Rank> before;
    if (old != nullptr) before = *old;
    result = ranks_.DeleteRank(connection.id, id);
    if (result == RankStore::kDone) done = before;
  } else {
    result = ranks_.ModifyRank(connection.id, id, level, abbrev, descr);
    if (result == RankStore::kDone) done = *ranks_.RankById(id);
  }
  if (!done) {
    reply(result);
    return;
  }
  auto own = BuildRankMessage(action, *done);
  if (!own) return;
  own->SetU16(8, 0);
  own->SetU16(12, message.GetU16(12));
  own->SetU16(14, message.GetU16(14));
  table.SendToClient(connection, std::move(own));
}

// ---------------------------------------------------------------- accounts

void StoreEditors::Accounts(Connection& connection, Message& message, bool& disconnect) {
  const std::uint16_t action = message.GetU16(4);
  if (!connection.loggedOn || !SizeAtLeast(message, kAccountBody) || action > kAccountReassign ||
      action == kAccountOwnRecord) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  AccountStore& accounts = context.accounts;
  ConnectionTable& table = context.table;
  const std::uint32_t tag = message.GetU32(16);
  const AccountEditor editor = EditorOf(connection);

  switch (action) {
    case kAccountList: {
      if (!SizeExact(message, kAccountListBody)) {
        disconnect = true;
        return;
      }
      if (!connection.administrator && !connection.HasPermission(P::kUsersAdd) &&
          !connection.HasPermission(P::kUsersDelete)) {
        table.SendToClient(connection,
                           AccountReply(kAccountList, AccountStore::kNotPermitted, tag));
        return;
      }
      std::string holder;
      if (accounts.AcquireEditor(connection.id, connection.name, holder) != 0) {
        table.SendRefusal(connection, kRefuseAccountEditorHeld, 0, false, false, holder);
        return;
      }
      ListAccounts(connection, message);
      return;
    }
    case kAccountCloseEditor:
      accounts.ReleaseEditor(connection.id);
      return;
    default:
      break;
  }

  // Every edit needs the editor lock; a client that skipped it is broken.
  if (!accounts.HoldsEditor(connection.id)) {
    disconnect = true;
    return;
  }
  if (action == kAccountAdd || action == kAccountChange) {
    AccountRecord record;
    if (!ReadAccountRecord(message, record)) {
      disconnect = true;
      return;
    }
    int result;
    std::uint16_t uid = record.permissions.Uid();
    if (action == kAccountAdd) {
      record.owner = connection.name;
      result = accounts.AddAccount(&editor, &record, &uid);
    } else {
      if (!connection.administrator) record.owner.clear();
      result = accounts.ModifyAccount(&editor, &record);
    }
    auto reply = AccountReply(action, result, tag);
    if (result == AccountStore::kDone) {
      if (const UserAccount* stored = accounts.FindByUid(uid)) AppendAccountRecord(*reply, *stored);
    }
    table.SendToClient(connection, std::move(reply));
    return;
  }
  const std::optional<PermissionBlock> block = ReadAccountBlock(message);
  if (!block) {
    disconnect = true;
    return;
  }
  int result;
  if (action == kAccountDelete) {
    result = accounts.DeleteAccount(&editor, block->Uid());
  } else {
    // The block names the old owner at offset 0 and the new one at offset 2.
    const auto& raw = block->Raw();
    result = accounts.ReassignOwner(&editor, block->Uid(), raw[2] | (raw[3] << 8));
  }
  table.SendToClient(connection, AccountReply(action, result, tag));
}

void StoreEditors::ListAccounts(Connection& connection, const Message& request) {
  AccountStore& accounts = protocol_.Context().accounts;
  ConnectionTable& table = protocol_.Context().table;
  const std::uint32_t tag = request.GetU32(16);
  const auto total = static_cast<std::uint16_t>(accounts.Count());
  std::vector<std::unique_ptr<Message>> messages;
  std::uint16_t index = 0;
  auto start = [&] {
    auto message = AccountReply(kAccountList, AccountStore::kDone, tag);
    message->SetU16(8, total);
    message->SetU16(12, index);
    messages.push_back(std::move(message));
  };
  start();
  int cursor = 1;
  while (const UserAccount* account = accounts.Next(cursor)) {
    if (!AppendAccountRecord(*messages.back(), *account)) {
      start();
      AppendAccountRecord(*messages.back(), *account);
    }
    ++index;
  }
  messages.back()->SetU16(14, 1);
  for (auto& message : messages) table.SendToClient(connection, std::move(message));
}

// -------------------------------------------------------------- properties

void StoreEditors::Properties(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeAtLeast(message, kPropertyBody)) {
    disconnect = true;
    return;
  }
  if (!connection.administrator) return;
  const std::uint16_t action = message.GetU16(4);
  const std::uint16_t id = message.GetU16(6);
  auto reply = CreateMessage(MSG_SERVER_PROPS);
  reply->SetU16(4, action);
  reply->SetU16(6, id);
  reply->SetU16(10, message.GetU16(10));
  ConnectionTable& table = protocol_.Context().table;
  PropertiesCopy* copy = CopyOf(connection);

  switch (action) {
    case kPropertyGet: {
      if (copy == nullptr) {
        connection.propertiesCopy = std::make_unique<PropertiesCopy>(properties_);
        copy = CopyOf(connection);
      }
      std::string value;
      reply->SetU16(8, static_cast<std::uint16_t>(copy->properties.GetPropertyText(id, value)));
      WriteCountedString(*reply, value);
      table.SendToClient(connection, std::move(reply));
      return;
    }
    case kPropertySet: {
      if (copy == nullptr) return;  // nothing to edit before a get
      int result = ServerProperties::kRefusedValue;
      std::size_t cursor = kPropertyValueAt;
      std::string value;
      if (message.BodySize() >= kPropertySetBody &&
          ReadCountedString(message, cursor, kPropertyValueMaximum, value) &&
          SizeEnd(message, cursor)) {
        Log& log = protocol_.Context().log;
        result = copy->properties.SetPropertyText(id, value, [&log](std::string_view text) {
          log.Write("%.*s", static_cast<int>(text.size()), text.data());
        });
      }
      reply->SetU16(8, static_cast<std::uint16_t>(result));
      WriteCountedString(*reply, "");
      table.SendToClient(connection, std::move(reply));
      return;
    }
    case kPropertyCommit:
      if (copy == nullptr) return;
      WriteCountedString(*reply, "");
      CommitProperties(connection, *reply);
      return;
    case kPropertyCancel:
      connection.propertiesCopy.reset();
      return;
    default:
      disconnect = true;
  }
}

void StoreEditors::CommitProperties(Connection& connection, Message& reply) {
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  PropertiesCopy* copy = CopyOf(connection);
  const bool commentChanged = copy->properties.comment != properties_.comment;
  properties_.Copy(copy->properties);
  properties_.ResolveInactivityChannel(&context.channels);
  properties_.SaveProperties(propertiesPath_);
  connection.propertiesCopy.reset();
  table.SendCopy(connection, reply);

  const auto values = BuildLoginProperties(properties_);
  const auto withComment = BuildServerRecord(properties_.comment);
  const auto withoutComment = BuildServerRecord("");
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom()) continue;
    for (const auto& value : values) table.SendCopy(recipient, *value);
    if (commentChanged) {
      const bool sees = recipient.HasPermission(P::kSeeServerComment);
      table.SendCopy(recipient, sees ? *withComment : *withoutComment);
    }
  }
}

// -------------------------------------------------------------------- bans

void StoreEditors::Bans(Connection& connection, Message& message, bool& disconnect) {
  const std::uint16_t action = message.GetU16(4);
  if (!connection.loggedOn || !SizeExact(message, kBanBody) || action > kBanAddChannel) {
    disconnect = true;
    return;
  }
  bool valid = true;
  const std::string name = TrimmedField(message, 20, 32, valid);
  TrimmedField(message, 52, 32, valid);
  const std::string reason = TrimmedField(message, 84, 128, valid);
  if (!valid) {
    disconnect = true;
    return;
  }
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  const std::uint16_t channelId = message.GetU16(6);
  BanEntry pattern;
  pattern.address = message.GetU32(12);
  pattern.bits = message.GetU16(8);
  const std::string address = AddressText(pattern);
  const bool adding = action == kBanAddServer || action == kBanAddChannel;
  auto refuse = [&](std::uint16_t code) { table.SendRefusal(connection, code, 0, false, false); };

  if (action <= kBanAddServer) {
    if (!Holds(connection, P::kUsersBan)) {
      refuse(kRefuseUsersBan);
      return;
    }
    ServerBanList& bans = context.bans;
    if (action == kBanListServer) {
      for (std::size_t i = 0; i < bans.List().Size(); ++i)
        table.SendToClient(connection, BuildBanEntry(action, 0, bans.List().At(i)));
      return;
    }
    if (adding && pattern.bits > kBanLargestAddedPrefix) {
      refuse(kRefuseBanRefused);
      return;
    }
    int result;
    if (adding) {
      result = bans.AddBan(address, name, connection.name, reason);
      // Added but not appended still bans: the entry is in memory.
      if (result == kBanNotAppended) result = kBanOk;
    } else {
      result = bans.RemoveBan(address, connection.name);
    }
    if (result != kBanOk) refuse(kRefuseBanRefused);
    return;
  }

  ChannelTree& tree = context.channels;
  Channel* top = TopAdminChannel(tree, connection, channelId);
  if (top == nullptr) {
    refuse(kRefuseNotServerAdmin);
    return;
  }
  if (action == kBanListChannel) {
    for (std::size_t i = 0; i < top->bans.Size(); ++i)
      table.SendToClient(connection, BuildBanEntry(action, channelId, top->bans.At(i)));
    return;
  }
  if (adding && pattern.bits > kBanLargestAddedPrefix) {
    refuse(kRefuseBanRefused);
    return;
  }
  const int result = adding ? AddChannelBan(tree, connection, channelId, address, name, reason)
                            : RemoveChannelBan(tree, connection, channelId, address);
  if (result != kBanOk) refuse(kRefuseBanRefused);
}

}  // namespace kestrune
