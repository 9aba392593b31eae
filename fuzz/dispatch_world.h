// A whole server for the dispatcher target, shared with the program that
// writes its seed corpus: stores and a channel tree loaded from files on
// tmpfs, every handler and the console wired as start-up wires them, a fake
// clock, and four socketpair clients, three of them logged in. After every
// message the loop's reap step runs, and the server must still be consistent.
//
// Input: a run of steps, each
//   control  bits 0-1: which of the four clients sends; bit 2: a clock byte
//            follows, and the clock moves on by its value x 50 ms, with the
//            loop's housekeeping, before the message; bit 3: reconnect that
//            client (and log it in again) if it is gone
//   length   two bytes, big-endian, taken modulo 4097 (0: no message)
//   message  the bytes (type, length field, body) as the framing hands them
//            over
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/session.h"
#include "net/connection.h"
#include "net/message.h"
#include "server/server.h"
#include "server/services.h"
#include "store/password_digest.h"
#include "util/clock.h"

namespace kestrune::fuzz {

inline std::string HexDigest(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

inline std::array<std::uint8_t, 32> BytesDigest(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

// Guests may log in; "admin" is the administrator password.
inline std::string SettingsText() {
  return "[Server]\nName=Fuzz Server\nAuth=0\nDuplicates=1\nPort=4999\nEncPassAdmin=" +
         HexDigest("admin") + "\n";
}

// Sam administers the server, Ann is ordinary, Rex may add and delete
// accounts and holds rank 1.
inline std::string AccountsText() {
  return "[Sam]\nUID=1\nEncPass=" + HexDigest("sam") +
         "\nServerAdmin=1\nRcon=1\nUsersAdd=1\nUsersDelete=1\nUsersKick=1\nUsersBan=1\n"
         "[Ann]\nUID=2\nEncPass=" +
         HexDigest("ann") +
         "\n[Rex]\nUID=50\nRank=1\nUsersAdd=1\nUsersDelete=1\nEncPass=" + HexDigest("rex") + "\n";
}

// Vault has the password "key", Club admits by grant only, Lounge has a
// floor; World::ChannelId finds their ids.
inline std::string ChannelsText() {
  return "[Hall]\nEncPassChan=\nAllowGuestToJoin=1\n"
         "[Hall/Quiet]\nEncPassChan=\nVoiceMode=2\n"
         "[Vault]\nEncPassChan=" +
         HexDigest("key") +
         "\nProtMode=1\n"
         "[Club]\nEncPassChan=\nProtMode=2\n"
         "[Lounge]\nEncPassChan=\nVoiceMode=1\nAllowGuestToJoin=1\n";
}

// Clients 0 to 2 log in as Sam, Ann and a guest; client 3 never does.
inline LoginRequest LoginOf(std::size_t index) {
  static const char* const names[] = {"Sam", "Ann", "Visitor"};
  static const char* const passwords[] = {"sam", "ann", ""};
  LoginRequest request;
  request.name = names[index];
  request.phonetic = names[index];
  if (passwords[index][0] != '\0') request.digest = BytesDigest(passwords[index]);
  return request;
}

// One step of the target's input: client `control & 3` sends `message`;
// with bit 2 of `control` the clock first moves on by clockStep x 50 ms.
inline void AppendStep(std::vector<std::uint8_t>& input, std::uint8_t control,
                       const Message& message, std::uint8_t clockStep = 0) {
  const std::uint16_t length = message.Length();
  input.push_back(control);
  if ((control & 4u) != 0) input.push_back(clockStep);
  input.push_back(static_cast<std::uint8_t>(length >> 8));
  input.push_back(static_cast<std::uint8_t>(length & 0xFF));
  input.insert(input.end(), message.Data(), message.Data() + length);
}

class World {
 public:
  static constexpr std::size_t kClients = 4;

  // Fresh stores on tmpfs, the services, and the four clients.
  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Runs every step of an input.
  void Run(const std::uint8_t* data, std::size_t size);
  void Step(std::uint8_t control, std::uint8_t clockStep, const std::uint8_t* bytes,
            std::size_t length);

  // 0 when the client is gone.
  std::uint16_t ClientId(std::size_t index) const;
  std::uint16_t ChannelId(const std::string& path);

 private:
  struct Client {
    Connection* connection = nullptr;
    int peer = -1;
  };

  void Deliver(Connection& connection, Message& message);
  void Reap();
  bool InTable(const Connection* connection);
  void Connect(std::size_t index);
  void CheckConsistent();

  FakeClock clock_{5000, 1700000000};
  Server server_;
  std::unique_ptr<ServerServices> services_;
  std::array<Client, kClients> clients_{};
};

}  // namespace kestrune::fuzz
