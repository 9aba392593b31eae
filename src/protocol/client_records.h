// The client records of MSG_USER_LIST: the full list a new client receives,
// and the one-record announcements of arrivals and departures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/connection.h"
#include "net/message.h"
#include "protocol/session_state.h"

namespace kestrune {

struct ServerSettings;
struct ServerProperties;

enum UserListAction : std::uint16_t {
  kUserListRemoved = 0,
  kUserListAdded = 1,
  kUserListTexts = 2,
  kUserListFull = 4,
  kUserListAccountChange = 6,
};

// Flag byte A.
inline constexpr std::uint8_t kRecordServer = 2;
inline constexpr std::uint8_t kRecordOwn = 1;
// Flag byte B.
inline constexpr std::uint8_t kRecordSilentText = 1;
inline constexpr std::uint8_t kRecordGuest = 4;
inline constexpr std::uint8_t kRecordNoEventSounds = 8;

inline constexpr std::size_t kRecordsPerUserList = 8;

struct ClientRecord {
  std::uint16_t id = 0;
  std::uint16_t channel = 0;
  std::uint8_t flagA = 0;
  std::uint8_t flagB = 0;
  std::uint16_t rank = 0;
  std::string name;
  std::string phonetic;
  std::string comment;
  std::string url;
  std::string integration;
};

// An empty MSG_USER_LIST with `action` and count 0.
std::unique_ptr<Message> BuildUserList(std::uint16_t action);
// Appends the 8-byte record and its five strings (the last three empty unless
// `withComments`) and counts it; false, with the message unchanged, when it
// does not fit.
bool AppendClientRecord(Message& message, const ClientRecord& record, bool withComments);

// The record of a logged-in client with both flag bytes 0.
ClientRecord RecordOf(const Connection& client, const SessionState& state);
// Guests are seen with SeeGuests, registered clients with SeeNonGuests; a
// client always sees itself.
bool MaySee(const Connection& viewer, const Connection& subject);

// The full list (action 4) for `client`: the server, the client itself, then
// every other logged-in, non-phantom client it may see; 8 records a message.
std::vector<std::unique_ptr<Message>> BuildLoginClientList(ConnectionTable& table,
                                                           const Connection& client,
                                                           const SessionTable& sessions,
                                                           const ServerSettings& settings,
                                                           const ServerProperties& properties);

// One record for `subject` with `action` to every other logged-in, non-phantom
// client that may see it, the comments only where SeeUserComments allows.
// `flagB` is the record's flag byte B.
void AnnounceClient(ConnectionTable& table, const Connection& subject, const SessionState& state,
                    std::uint16_t action, std::uint8_t flagB);

// Flag byte B of an arrival: guest, and no event sounds.
std::uint8_t ArrivalFlags(const Connection& client);

}  // namespace kestrune
