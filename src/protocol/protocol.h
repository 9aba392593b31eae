// The dispatcher of received messages, the handshake, the login and the
// departure work of a client that leaves. Handlers of later message groups
// register here; until a type has a handler its messages are checked for
// login state and body size and then ignored.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_tree.h"
#include "net/connection.h"
#include "net/message.h"
#include "protocol/channel_presence.h"
#include "protocol/login_messages.h"
#include "protocol/session_state.h"

namespace kestrune {

class AccountStore;
class Clock;
class Log;
class RankStore;
class ServerBanList;
struct ServerProperties;
struct ServerSettings;
struct UserAccount;

// What the protocol works on; everything is owned by the server.
struct ProtocolContext {
  ConnectionTable& table;
  const ServerSettings& settings;
  Log& log;
  Clock& clock;
  AccountStore& accounts;
  const RankStore& ranks;
  const ServerProperties& properties;
  ServerBanList& bans;
  ChannelTree& channels;
  int& loggedOnUsers;  // raised by the login, lowered by the departure
  int& loggedOnPeak;
  std::string motdPath;       // .motd
  std::string guestMotdPath;  // .gmotd
  std::string serverVersion;  // shown in the server description and the version notice
};

// Refusal codes of the login.
enum LoginRefusal : std::uint16_t {
  kRefuseStatusName = 18,
  kRefuseGuestLimit = 19,
  kRefuseAccountLocked = 34,
  kRefuseGuestLocked = 35,
  kRefuseReplaced = 39,
  kRefuseSecondAddress = 40,
  kRefuseAddressLimit = 41,
  kRefuseTemporaryBan = 48,
};

// Flags of MSG_SERVER_TEXT the login and handshake use.
enum ServerTextFlags : std::uint16_t {
  kTextCloses = 1,
  kTextAdminMode = 2,
  kTextHandshake = 4,
  kTextLoginRefused = 65,
  kTextServerFull = 257,
  kTextBumped = 1025,
};

// The penalty tracker's key for a connection: its IPv4 address in host order.
std::uint32_t PenaltyAddress(const Connection& connection);

class Protocol {
 public:
  // A handler of one message type; it may leave an error text (logged) and
  // set `disconnect` (the connection is closed after it returns).
  using Handler = std::function<void(Connection&, Message&, std::string& error, bool& disconnect)>;

  // The parts of a login that other message groups supply. An unset hook
  // sends nothing: the channel tree, talkers, chatters, phantoms and settings
  // have nothing to show until their handlers exist.
  struct LoginHooks {
    // The channel list (nothing while the tree is empty or without SeeChan).
    std::function<void(Connection&)> sendChannelList;
    // Records the channels the client administers (the list itself is sent here).
    std::function<void(Connection&, const std::vector<std::uint16_t>&)> recordAdminChannels;
    std::function<void(Connection&)> sendTalkers;
    std::function<void(Connection&)> sendChatters;
    std::function<void(Connection&)> sendPhantoms;
    std::function<void(Connection&)> sendSettings;
    // Puts the client into its default channel when that channel exists.
    std::function<void(Connection&, std::uint16_t channel)> enterDefaultChannel;
  };

  explicit Protocol(ProtocolContext context);

  // Replaces the built-in check-and-ignore of a type in the table.
  void SetHandler(std::uint16_t type, Handler handler);
  void SetLoginHooks(LoginHooks hooks) { hooks_ = std::move(hooks); }
  SessionTable& Sessions() { return sessions_; }
  ChannelPresence& Presence() { return presence_; }
  NewVersionRecord& NewVersion() { return newVersion_; }

  // Handles one received message, then frees it.
  void Dispatch(Connection& connection, std::unique_ptr<Message> message);
  // Handles one received message the caller keeps.
  void Handle(Connection& connection, Message& message);
  // The departure of a logged-in client, called by the reap step before the
  // connection is removed: the count, the notice to the others, the
  // "MSG_DISC:" line and the guest auto-ban.
  void Depart(Connection& connection);

  // Sends the new-version notice when a newer version is known.
  void SendNewVersionNotice(Connection& connection);

  // For the handlers of the other message groups.
  ProtocolContext& Context() { return context_; }
  // The account a connection acts under (the guest account for a guest).
  UserAccount* AccountOf(const Connection& connection);
  // Counts an offence of `kind` for the connection's address; a penalty that
  // starts closes the connection.
  void ReportOffence(Connection& connection, UserAccount* account, int kind);

 private:
  void Handshake(Connection& connection, Message& message, std::string& error, bool& disconnect);
  void Login(Connection& connection, Message& message, std::string& error, bool& disconnect);
  void PingAnswer(Connection& connection, Message& message, bool& disconnect);
  // Steps of the login after the account is chosen; false when it stopped.
  // The clients the login under `name` replaces are not counted.
  bool AdmitConnection(Connection& connection, const UserAccount& account, bool registered,
                       std::string_view name);
  void SendLoginPicture(Connection& connection, const UserAccount& account);
  void CheckAndIgnore(Connection& connection, Message& message, bool& disconnect);
  void UnknownType(Connection& connection);
  int LoggedInCount();

  ProtocolContext context_;
  LoginHooks hooks_;
  SessionTable sessions_;
  ChannelPresence presence_;
  NewVersionRecord newVersion_;
  std::array<Handler, 256> handlers_{};
};

}  // namespace kestrune
