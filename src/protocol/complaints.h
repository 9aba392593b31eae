// The complaint list (MSG_COMPLAINT): clients submit complaints about other
// clients; those with ComplaintsRecv receive each one and may list them, an
// administrator may clear them. The list keeps the newest 100.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>

#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;

enum ComplaintAction : std::uint16_t {
  kComplaintList = 0,
  kComplaintSubmit = 1,
  kComplaintClear = 2,
  kComplaintEntry = 3,  // what the server sends
};

enum ComplaintRefusal : std::uint16_t {
  kRefuseComplaintsRecv = 29,
  kRefuseComplaintsSend = 30,
};

struct Complaint {
  std::string target;
  std::string complainer;
  std::string text;
  std::time_t time = 0;
  bool targetGuest = false;
  bool complainerGuest = false;
};

// One entry as the server sends it.
std::unique_ptr<Message> BuildComplaintEntry(const Complaint& complaint);

class Complaints {
 public:
  static constexpr std::size_t kMaxEntries = 100;

  explicit Complaints(Protocol& protocol);
  void Register();

  // Oldest first.
  const std::deque<Complaint>& Entries() const { return entries_; }

 private:
  void Handle(Connection& connection, Message& message, bool& disconnect);
  void Submit(Connection& connection, Message& message, bool& disconnect);

  Protocol& protocol_;
  std::deque<Complaint> entries_;
};

}  // namespace kestrune
