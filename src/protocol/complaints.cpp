#include "protocol/complaints.h"

#include "net/connection.h"
#include "protocol/protocol.h"
#include "store/permission_block.h"
#include "util/clock.h"

namespace kestrune {

namespace {

using P = PermissionBlock;

constexpr int kComplaintBody = 20;
constexpr int kSubmitBody = 24;
constexpr std::size_t kStringsAt = 24;
// Readers refuse a length at or above the maximum: names up to 32 bytes,
// the text up to 256.
constexpr std::size_t kNameMaximum = 33;
constexpr std::size_t kTextMaximum = 257;

}  // namespace

std::unique_ptr<Message> BuildComplaintEntry(const Complaint& complaint) {
  auto message = CreateMessage(MSG_COMPLAINT);
  message->SetU16(4, kComplaintEntry);
  message->SetU8(12, complaint.targetGuest ? 1 : 0);
  message->SetU8(13, complaint.complainerGuest ? 1 : 0);
  message->SetU32(16, static_cast<std::uint32_t>(complaint.time));
  WriteCountedString(*message, complaint.target);
  WriteCountedString(*message, complaint.complainer);
  WriteCountedString(*message, complaint.text);
  return message;
}

Complaints::Complaints(Protocol& protocol) : protocol_(protocol) {}

void Complaints::Register() {
  protocol_.SetHandler(
      MSG_COMPLAINT, [this](Connection& c, Message& m, std::string&, bool& d) { Handle(c, m, d); });
}

void Complaints::Handle(Connection& connection, Message& message, bool& disconnect) {
  if (!connection.loggedOn || !SizeAtLeast(message, kComplaintBody)) {
    disconnect = true;
    return;
  }
  ConnectionTable& table = protocol_.Context().table;
  switch (message.GetU16(4)) {
    case kComplaintSubmit:
      Submit(connection, message, disconnect);
      return;
    case kComplaintList:
      if (!SizeExact(message, kComplaintBody)) {
        disconnect = true;
        return;
      }
      if (!connection.HasPermission(P::kComplaintsRecv)) {
        table.SendRefusal(connection, kRefuseComplaintsRecv, 0, false, false);
        return;
      }
      for (const Complaint& complaint : entries_)
        table.SendToClient(connection, BuildComplaintEntry(complaint));
      return;
    case kComplaintClear:
      if (!SizeExact(message, kComplaintBody) || !connection.administrator) {
        disconnect = true;
        return;
      }
      if (!connection.HasPermission(P::kComplaintsRecv)) {
        table.SendRefusal(connection, kRefuseComplaintsRecv, 0, false, false);
        return;
      }
      entries_.clear();
      return;
    default:
      disconnect = true;
  }
}

void Complaints::Submit(Connection& connection, Message& message, bool& disconnect) {
  ProtocolContext& context = protocol_.Context();
  ConnectionTable& table = context.table;
  if (!connection.HasPermission(P::kComplaintsSend)) {
    table.SendRefusal(connection, kRefuseComplaintsSend, 0, false, false);
    return;
  }
  std::string first;
  std::string second;
  std::string text;
  std::size_t cursor = kStringsAt;
  if (message.BodySize() < kSubmitBody ||
      !ReadCountedString(message, cursor, kNameMaximum, first) ||
      !ReadCountedString(message, cursor, kNameMaximum, second) ||
      !ReadCountedString(message, cursor, kTextMaximum, text)) {
    disconnect = true;
    return;
  }
  const Connection* target = table.FindById(message.GetU16(8));
  if (target == nullptr || !target->loggedOn) return;
  if (entries_.size() >= kMaxEntries) entries_.pop_front();
  entries_.push_back(Complaint{target->name, connection.name, std::move(text),
                               context.clock.WallSeconds(), target->guest, connection.guest});
  auto entry = BuildComplaintEntry(entries_.back());
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (!recipient.loggedOn || recipient.IsPhantom() || recipient.closing ||
        !recipient.HasPermission(P::kComplaintsRecv))
      continue;
    table.SendToClient(recipient, entry->Clone());
  }
}

}  // namespace kestrune
