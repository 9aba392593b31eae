#include "protocol/client_records.h"

#include "config/settings.h"
#include "store/permission_block.h"
#include "store/server_properties.h"

namespace kestrune {

using P = PermissionBlock;

std::unique_ptr<Message> BuildUserList(std::uint16_t action) {
  auto message = CreateMessage(MSG_USER_LIST);
  message->SetU16(4, action);
  return message;
}

bool AppendClientRecord(Message& message, const ClientRecord& record, bool withComments) {
  const std::uint16_t length = message.Length();
  const int at = message.ReserveBytes(8);
  if (at < 0) return false;
  const auto base = static_cast<std::size_t>(at);
  message.SetU16(base, record.id);
  message.SetU16(base + 2, record.channel);
  message.SetU8(base + 4, record.flagA);
  message.SetU8(base + 5, record.flagB);
  message.SetU16(base + 6, record.rank);
  const std::string empty;
  bool ok = WriteCountedString(message, record.name) &&
            WriteCountedString(message, record.phonetic) &&
            WriteCountedString(message, withComments ? record.comment : empty) &&
            WriteCountedString(message, withComments ? record.url : empty) &&
            WriteCountedString(message, withComments ? record.integration : empty);
  if (!ok) {
    // Zero what was written so a later append starts from clean bytes.
    for (std::size_t i = length; i < message.Length(); ++i) message.Data()[i] = 0;
    message.SetLength(length);
    return false;
  }
  message.SetU16(6, static_cast<std::uint16_t>(message.GetU16(6) + 1));
  return true;
}

ClientRecord RecordOf(const Connection& client, const SessionState& state) {
  ClientRecord record;
  record.id = client.id;
  record.channel = client.channel;
  record.rank = client.permissions[P::kRank];
  record.name = client.name;
  record.phonetic = client.phoneticName;
  record.comment = client.comment;
  record.url = state.url;
  record.integration = state.integration;
  return record;
}

bool MaySee(const Connection& viewer, const Connection& subject) {
  if (&viewer == &subject) return true;
  return viewer.HasPermission(subject.guest ? P::kSeeGuests : P::kSeeNonGuests);
}

std::uint8_t ArrivalFlags(const Connection& client) {
  std::uint8_t flags = 0;
  if (client.guest) flags |= kRecordGuest;
  if (!client.HasPermission(P::kSoundsEvents)) flags |= kRecordNoEventSounds;
  return flags;
}

std::vector<std::unique_ptr<Message>> BuildLoginClientList(ConnectionTable& table,
                                                           const Connection& client,
                                                           const SessionTable& sessions,
                                                           const ServerSettings& settings,
                                                           const ServerProperties& properties) {
  std::vector<std::unique_ptr<Message>> messages;
  std::unique_ptr<Message> current;
  const bool seesComments = client.HasPermission(P::kSeeUserComments);
  auto add = [&](const ClientRecord& record, bool withComments) {
    if (current && current->GetU16(6) >= kRecordsPerUserList)
      messages.push_back(std::move(current));
    if (!current) current = BuildUserList(kUserListFull);
    if (!AppendClientRecord(*current, record, withComments)) {
      // Cannot happen with 8 records of bounded texts; start a new message anyway.
      messages.push_back(std::move(current));
      current = BuildUserList(kUserListFull);
      AppendClientRecord(*current, record, withComments);
    }
  };

  ClientRecord server;
  server.flagA = kRecordServer;
  server.name = settings.name;
  server.phonetic = settings.phonetic;
  if (client.HasPermission(P::kSeeServerComment)) server.comment = properties.comment;
  add(server, true);

  ClientRecord own = RecordOf(client, sessions.Of(client.id));
  own.flagA = kRecordOwn;
  own.flagB = client.guest ? kRecordGuest : 0;
  add(own, true);

  for (std::size_t i = 0; i < table.Count(); ++i) {
    const Connection& other = table.At(i);
    if (&other == &client || !other.loggedOn || other.IsPhantom()) continue;
    if (!MaySee(client, other)) continue;
    ClientRecord record = RecordOf(other, sessions.Of(other.id));
    record.flagB = ArrivalFlags(other);
    add(record, seesComments);
  }
  if (current && current->GetU16(6) > 0) messages.push_back(std::move(current));
  return messages;
}

void AnnounceClient(ConnectionTable& table, const Connection& subject, const SessionState& state,
                    std::uint16_t action, std::uint8_t flagB) {
  ClientRecord record = RecordOf(subject, state);
  record.flagB = flagB;
  auto full = BuildUserList(action);
  auto plain = BuildUserList(action);
  AppendClientRecord(*full, record, true);
  AppendClientRecord(*plain, record, false);
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (&recipient == &subject || !recipient.loggedOn || recipient.IsPhantom()) continue;
    if (!MaySee(recipient, subject)) continue;
    const Message& copy = recipient.HasPermission(P::kSeeUserComments) ? *full : *plain;
    table.SendToClient(recipient, copy.Clone());
  }
}

}  // namespace kestrune
