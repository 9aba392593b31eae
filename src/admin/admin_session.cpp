#include "admin/admin_session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <map>

#include "admin/admin_options.h"
#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "store/password_digest.h"

namespace kestrune {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint16_t kAdminLoginAccepted = 2;  // MSG_SERVER_TEXT flags of the answer
constexpr std::uint16_t kRefusedLoginFlags = 65;
constexpr std::uint16_t kServerFullFlags = 257;
constexpr std::uint16_t kRefuseAlreadyAdmin = 25;
constexpr std::size_t kMarkAt = 12;  // a free field of MSG_CHANNEL_AUTH, echoed back

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A dotted IPv4 address for `host`; names go through the resolver.
bool ResolveHost(const std::string& host, std::string& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    address = host;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  char text[INET_ADDRSTRLEN] = {};
  const auto* first = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &first->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  address = text;
  return true;
}

std::array<std::uint8_t, 32> DigestBytes(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

}  // namespace

std::string RefusalMeaning(std::uint16_t code) {
  static const std::map<std::uint16_t, const char*> meanings = {
      {1, "the request names the requester itself"},
      {2, "no such channel or client"},
      {4, "needs AdminMode"},
      {5, "needs admin rights on the channel"},
      {12, "needs AdminMode or admin rights on the channel"},
      {16, "the ban list refused the change"},
      {18, "the server requires a status name"},
      {19, "too many guests are logged in"},
      {20, "the connection's time limit ran out"},
      {22, "needs the UsersBan right"},
      {23, "needs the UsersKick right"},
      {24, "needs the UsersMove right"},
      {25, "already in AdminMode"},
      {26, "needs the Rcon right"},
      {31, "the account editor is in use by another connection"},
      {33, "needs the RankEdit right"},
      {34, "the account is locked"},
      {35, "the guest account is locked"},
      {37, "kicked by an administrator"},
      {38, "disconnected as a spammer"},
      {39, "replaced by a newer login of the same name"},
      {40, "another connection from this address is logged in"},
      {41, "too many connections from this address"},
      {44, "the account was deleted"},
      {45, "wrong administrator password"},
      {46, "banned by an administrator"},
      {47, "banned as a spammer"},
      {48, "the account is temporarily refused after wrong passwords"},
      {49, "this address is banned"},
  };
  const auto it = meanings.find(code);
  return it == meanings.end() ? "refusal" : it->second;
}

std::string RefusalText(const RefusalInfo& refusal) {
  std::string text =
      "refused (code " + std::to_string(refusal.code) + ": " + RefusalMeaning(refusal.code) + ")";
  if (refusal.code == 48) text += ", " + std::to_string(refusal.detail) + " minute(s) left";
  if (!refusal.text.empty()) text += ": " + refusal.text;
  return text;
}

std::optional<RefusalInfo> FirstRefusal(const std::vector<std::unique_ptr<Message>>& messages) {
  for (const auto& message : messages) {
    if (auto refusal = ReadRefusal(*message)) return refusal;
  }
  return std::nullopt;
}

int AdminSession::Open(const std::string& host, std::uint16_t port, const std::string& user,
                       const std::string& password, std::string& error) {
  const std::string where = host + ":" + std::to_string(port);
  std::string address;
  if (!ResolveHost(host, address)) {
    error = "cannot resolve '" + host + "'";
    return kAdminUnreachable;
  }
  ClientConnection& stream = session_.Stream();
  stream.AllowAnyAddress();
  if (stream.Connect(address, port, "", timeoutMs_) != 0) {
    error = "cannot connect to " + where;
    return kAdminUnreachable;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);
  // The handshake, read by hand: a banned address is answered with a refusal.
  if (!stream.Send(*BuildHandshakeRequest("3.0.0", "kestrune_admin", "admin"))) {
    error = "connection to " + where + " lost";
    return kAdminUnreachable;
  }
  auto first = stream.Receive(MsLeft(deadline));
  if (!first) {
    error = stream.PeerClosed() ? "the server at " + where + " closed the connection"
                                : "no handshake answer from " + where + " within " +
                                      std::to_string(timeoutMs_) + " ms";
    return kAdminUnreachable;
  }
  if (auto refusal = ReadRefusal(*first)) {
    error = "login " + RefusalText(*refusal);
    return kAdminLoginRefused;
  }
  auto reply = ReadServerText(*first);
  if (!reply || reply->flags != 4 || !stream.InstallHandshakeKeys(reply->text)) {
    error = "the server at " + where + " refused the handshake" +
            (reply && !reply->text.empty() ? ": " + reply->text : "");
    return kAdminLoginRefused;
  }

  LoginRequest request;
  request.name = user;
  request.phonetic = user;
  request.clientVersion = "kestrune_admin";
  request.flags = 1;  // no message of the day
  if (!password.empty()) request.digest = DigestBytes(password);
  login_ = session_.Login(request, MsLeft(deadline));
  for (const auto& message : login_.messages) Note(*message);
  if (login_.accepted) {
    for (const auto& message : login_.messages) {
      if (auto list = ReadUserList(*message)) {
        for (const auto& record : list->records) {
          if (record.flagA == 1) {
            ownId_ = record.id;
            guest_ = (record.flagB & 4) != 0;
          }
        }
      }
    }
    return kAdminOk;
  }
  if (login_.messages.empty()) {
    error = session_.Stream().PeerClosed()
                ? "the server closed the connection during the login"
                : "no login answer within " + std::to_string(timeoutMs_) + " ms";
    return kAdminUnreachable;
  }
  const Message& last = *login_.messages.back();
  if (auto refusal = ReadRefusal(last)) {
    error = "login " + RefusalText(*refusal);
    return kAdminLoginRefused;
  }
  if (auto text = ReadServerText(last)) {
    if (text->flags == kRefusedLoginFlags) {
      error = "login refused: wrong password for '" + user + "'";
    } else if (text->flags == kServerFullFlags) {
      error = "login refused: the server is full";
    } else {
      error = "login refused" + (text->text.empty() ? "" : ": " + text->text);
    }
    return kAdminLoginRefused;
  }
  error = session_.Stream().PeerClosed()
              ? "the server closed the connection during the login"
              : "no login answer within " + std::to_string(timeoutMs_) + " ms";
  return kAdminUnreachable;
}

int AdminSession::EnterAdminMode(const std::string& password, std::string& error) {
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildAdminLogin(DigestBytes(password)));
  std::vector<std::unique_ptr<Message>> received;
  const int rc = Exchange(requests, received, error);
  for (const auto& message : received) {
    if (auto text = ReadServerText(*message); text && text->flags == kAdminLoginAccepted) {
      return kAdminOk;
    }
    if (auto refusal = ReadRefusal(*message)) {
      if (refusal->code == kRefuseAlreadyAdmin) return kAdminOk;
      error = "AdminMode " + RefusalText(*refusal);
      return kAdminLoginRefused;
    }
  }
  if (rc != kAdminOk) return rc;
  error = "no answer to the AdminMode request";
  return kAdminUnreachable;
}

int AdminSession::Exchange(const std::vector<std::unique_ptr<Message>>& requests,
                           std::vector<std::unique_ptr<Message>>& received, std::string& error) {
  const std::uint32_t mark = nextMark_++;
  auto endMark = BuildChannelAuthRequest(0, {});
  endMark->SetU32(kMarkAt, mark);
  for (const auto& request : requests) {
    if (!session_.Send(*request)) {
      error = "connection lost while sending";
      return kAdminUnreachable;
    }
  }
  if (!session_.Send(*endMark)) {
    error = "connection lost while sending";
    return kAdminUnreachable;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs_);
  for (;;) {
    auto message = session_.Receive(MsLeft(deadline));
    if (!message) {
      error = session_.Stream().PeerClosed()
                  ? "the server closed the connection"
                  : "no answer within " + std::to_string(timeoutMs_) + " ms";
      return kAdminUnreachable;
    }
    if (message->Type() == MSG_CHANNEL_AUTH && message->Length() == 52 && message->GetU16(4) == 0 &&
        message->GetU32(kMarkAt) == mark) {
      return kAdminOk;
    }
    Note(*message);
    received.push_back(std::move(message));
  }
}

void AdminSession::Note(const Message& message) {
  if (auto block = ReadPermissionRecord(message)) permissions_ = *block;
}

}  // namespace kestrune
