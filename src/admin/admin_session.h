// One logged-in session of the tool: connect, handshake and log in, enter
// AdminMode, and exchange requests with a bounded wait. Requests that the
// server answers with nothing (or with nothing in some cases) are followed
// by a channel password check of channel 0, which the server always answers:
// the server serves one connection's messages in order, so once that answer
// is back every reply to the request has arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "admin/account_block.h"
#include "client/session.h"
#include "net/message.h"

namespace kestrune {

class AdminSession {
 public:
  explicit AdminSession(int timeoutMs) : timeoutMs_(timeoutMs) {}

  // Connects to `host` (a dotted IPv4 address or a name) and logs in. An
  // AdminExit code; `error` holds one line on failure.
  int Open(const std::string& host, std::uint16_t port, const std::string& user,
           const std::string& password, std::string& error);
  // Enters AdminMode with the administrator password; an AdminExit code.
  int EnterAdminMode(const std::string& password, std::string& error);

  const LoginResult& Login() const { return login_; }
  std::uint16_t OwnId() const { return ownId_; }
  bool Guest() const { return guest_; }
  // The connection's current permission block (resent by the server on
  // AdminMode changes and edits).
  const AccountBlock& Permissions() const { return permissions_; }
  bool Has(std::size_t offset) const { return permissions_[offset] != 0; }

  // Sends the requests, then the end mark, and collects everything that
  // arrives before its answer. kAdminOk, or kAdminUnreachable when the wait
  // runs out or the server closes the connection (`received` still holds
  // what came).
  int Exchange(const std::vector<std::unique_ptr<Message>>& requests,
               std::vector<std::unique_ptr<Message>>& received, std::string& error);
  void Close() { session_.Close(); }

 private:
  void Note(const Message& message);

  int timeoutMs_;
  ClientSession session_;
  LoginResult login_;
  AccountBlock permissions_{};
  std::uint16_t ownId_ = 0;
  bool guest_ = false;
  std::uint32_t nextMark_ = 1;
};

// What a refusal code means, in a few words.
std::string RefusalMeaning(std::uint16_t code);
// "refused (code N: meaning)" plus the refusal's text when it has one.
std::string RefusalText(const RefusalInfo& refusal);
// The first refusal among `messages`, if any.
std::optional<RefusalInfo> FirstRefusal(const std::vector<std::unique_ptr<Message>>& messages);

}  // namespace kestrune
