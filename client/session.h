// The login-level client: the handshake, the login, and readers for every
// message the server sends while a client logs in. Built on ClientConnection;
// loopback only, like it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/client_connection.h"
#include "net/message.h"

namespace kestrune {

// --- Requests ---

// MSG_HANDSHAKE with the protocol version and the two free texts.
std::unique_ptr<Message> BuildHandshakeRequest(const std::string& version,
                                               const std::string& first = "client",
                                               const std::string& second = "test");

struct LoginRequest {
  std::string name;
  std::string phonetic;
  std::string platform = "Linux";
  std::string clientVersion = "test client 1.0";
  std::string protocolVersion = "3.0.0";
  std::array<std::uint8_t, 32> digest{};  // password digest; all zero for none
  std::uint32_t flags = 0;                // bit 0: no message of the day
  std::uint16_t statusName = 1;
};
std::unique_ptr<Message> BuildLoginRequest(const LoginRequest& request);

// --- Readers: none when the message is of another type or malformed ---

struct ServerTextInfo {
  std::uint16_t code = 0;
  std::uint16_t flags = 0;
  std::string text;
};
std::optional<ServerTextInfo> ReadServerText(const Message& message);

struct RefusalInfo {
  std::uint16_t code = 0;
  std::uint16_t detail = 0;
  bool detailFlag = false;
  bool closes = false;
  std::string text;
};
std::optional<RefusalInfo> ReadRefusal(const Message& message);

struct ServerInfo {
  std::uint16_t port = 0;
  std::uint16_t capacity = 0;
  std::uint16_t loggedIn = 0;
  std::string name;
  std::string version;
};
std::optional<ServerInfo> ReadServerInfo(const Message& message);

struct PropertyInfo {
  std::uint16_t action = 0;
  std::uint16_t id = 0;
  std::uint16_t result = 0;
  std::string value;
};
std::optional<PropertyInfo> ReadProperty(const Message& message);

// MSG_ACCOUNT_ADMIN action 5: the client's own 104-byte permission record.
std::optional<std::array<std::uint8_t, 104>> ReadPermissionRecord(const Message& message);

struct RankEntry {
  std::uint16_t id = 0;
  std::int16_t level = 0;
  std::string abbrev;
  std::string descr;
};
struct RankListInfo {
  std::uint16_t action = 0;
  std::vector<RankEntry> ranks;
};
std::optional<RankListInfo> ReadRankList(const Message& message);

struct UserRecord {
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
struct UserListInfo {
  std::uint16_t action = 0;
  std::vector<UserRecord> records;
};
std::optional<UserListInfo> ReadUserList(const Message& message);

struct SessionInfoRecord {
  std::uint16_t codec = 0;
  std::uint16_t format = 0;
  bool hasDefChan = false;
  std::uint8_t silentLobby = 0;
};
std::optional<SessionInfoRecord> ReadSessionInfo(const Message& message);

struct MotdPartInfo {
  std::uint32_t modified = 0;
  std::uint16_t kind = 0;
  std::uint16_t total = 0;
  std::uint16_t index = 0;
  std::string bytes;
};
std::optional<MotdPartInfo> ReadMotdPart(const Message& message);

struct ChannelRecord {
  std::uint16_t id = 0;
  std::uint16_t parent = 0;
  std::uint32_t flags = 0;
  std::string name;
  std::string phonetic;
  std::string comment;
};
// MSG_CHANNEL_LIST; an empty list is the end mark.
std::optional<std::vector<ChannelRecord>> ReadChannelList(const Message& message);
// MSG_CHANNEL_AUTH action 1: the channels the client administers.
std::optional<std::vector<std::uint16_t>> ReadChannelAdminList(const Message& message);

struct UserSettingInfo {
  std::uint16_t id = 0;
  std::uint16_t setting = 0;
  std::uint32_t value = 0;
};
std::optional<UserSettingInfo> ReadUserSetting(const Message& message);

// --- The session ---

struct HandshakeResult {
  ServerTextInfo reply;  // the first message: the keys "B|A", or a notice
  std::optional<ServerInfo> info;
  std::string keyA;  // the server's send key
  std::string keyB;  // the server's receive key
};

struct LoginResult {
  bool accepted = false;  // MSG_LOGIN_ACCEPTED arrived
  // Everything received, in order, MSG_LOGIN_ACCEPTED or the notice last.
  std::vector<std::unique_ptr<Message>> messages;
  // The first message of `type`, or nullptr.
  const Message* Find(std::uint16_t type) const;
  std::vector<std::uint16_t> Types() const;
};

class ClientSession {
 public:
  static constexpr int kDefaultWaitMs = 2000;

  ClientConnection& Stream() { return stream_; }
  int Connect(const std::string& host, std::uint16_t port, const std::string& localAddress = "");
  // Sends the handshake and reads the reply; with the key reply (flags 4)
  // installs the keys and reads the server description. None when nothing came.
  std::optional<HandshakeResult> Handshake(const std::string& version = "3.0.0",
                                           int timeoutMs = kDefaultWaitMs);
  // Sends the login and collects what comes until MSG_LOGIN_ACCEPTED, a
  // closing notice (server text with bit 0, refusal with its close mark), the
  // end of the stream or the time-out.
  LoginResult Login(const LoginRequest& request, int timeoutMs = kDefaultWaitMs);
  // Handshake and login in one; accepted or not.
  LoginResult Join(const std::string& host, std::uint16_t port, const LoginRequest& request,
                   const std::string& localAddress = "");
  bool Send(const Message& message) { return stream_.Send(message); }
  std::unique_ptr<Message> Receive(int timeoutMs = kDefaultWaitMs) {
    return stream_.Receive(timeoutMs);
  }
  // The next message of `type`, discarding others; none after the time-out.
  std::unique_ptr<Message> WaitFor(std::uint16_t type, int timeoutMs = kDefaultWaitMs);
  bool WaitClosed(int timeoutMs = kDefaultWaitMs) { return stream_.WaitClosed(timeoutMs); }
  void Close() { stream_.Close(); }

 private:
  ClientConnection stream_;
};

}  // namespace kestrune
