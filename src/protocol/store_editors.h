// The editors of the server's stores: the rank list (MSG_RANK_ADMIN), the
// accounts (MSG_ACCOUNT_ADMIN), the server properties (MSG_SERVER_PROPS) and
// the server and channel ban lists (MSG_BAN_LIST). The stores keep the rules
// and save their own files; this module reads the requests, checks the
// requester's rights and answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/message.h"

namespace kestrune {

class Connection;
class Protocol;
class RankStore;
struct BanEntry;
struct ServerProperties;
struct UserAccount;

enum RankAdminAction : std::uint16_t {
  kRankList = 0,
  kRankTakeEditor = 1,
  kRankReleaseEditor = 2,
  kRankAdd = 3,
  kRankDelete = 4,
  kRankChange = 5,
};

enum AccountAdminAction : std::uint16_t {
  kAccountList = 0,
  kAccountAdd = 1,
  kAccountDelete = 2,
  kAccountChange = 3,
  kAccountCloseEditor = 4,
  kAccountOwnRecord = 5,  // only the server sends it
  kAccountReassign = 6,
};

enum PropertyAction : std::uint16_t {
  kPropertyGet = 0,
  kPropertySet = 1,
  kPropertyCommit = 3,
  kPropertyCancel = 4,
};

enum BanListAction : std::uint16_t {
  kBanListServer = 0,
  kBanRemoveServer = 1,
  kBanAddServer = 2,
  kBanListChannel = 3,
  kBanRemoveChannel = 4,
  kBanAddChannel = 5,
};

enum EditorRefusal : std::uint16_t {
  kRefuseNotServerAdmin = 12,
  kRefuseBanRefused = 16,
  kRefuseUsersBan = 22,
  kRefuseAccountEditorHeld = 31,
  kRefuseRankEditorHeld = 33,
};

// The rank editor's answer for a requester without RankEdit.
inline constexpr std::uint16_t kRankNoRight = 4;

// One account record of the account editor: the block with its digest bytes
// zeroed (a digest is as good as the password), then the texts and lists.
// False when it does not fit the message.
bool AppendAccountRecord(Message& message, const UserAccount& account);
// One ban as a MSG_BAN_LIST entry with `action` and `channel`.
std::unique_ptr<Message> BuildBanEntry(std::uint16_t action, std::uint16_t channel,
                                       const BanEntry& entry);
// MSG_USER_LIST action 2 with the server's record; the comment only for
// clients with SeeServerComment.
std::unique_ptr<Message> BuildServerRecord(const std::string& comment);

class StoreEditors {
 public:
  StoreEditors(Protocol& protocol, RankStore& ranks, ServerProperties& properties,
               std::string propertiesPath);
  void Register();

  // The new rank of `subject`'s user: MSG_USER_LIST action 6 with its record
  // to every logged-in, non-phantom client that may see it, itself included.
  void AnnounceRankChange(Connection& subject);

 private:
  void Ranks(Connection& connection, Message& message, bool& disconnect);
  void Accounts(Connection& connection, Message& message, bool& disconnect);
  void ListAccounts(Connection& connection, const Message& request);
  void Properties(Connection& connection, Message& message, bool& disconnect);
  void CommitProperties(Connection& connection, Message& reply);
  void Bans(Connection& connection, Message& message, bool& disconnect);

  Protocol& protocol_;
  RankStore& ranks_;
  ServerProperties& properties_;
  std::string propertiesPath_;
};

}  // namespace kestrune
