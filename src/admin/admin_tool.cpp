#include "admin/admin_tool.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "admin/account_block.h"
#include "admin/admin_options.h"
#include "admin/admin_session.h"
#include "admin/password_input.h"
#include "admin/status_json.h"
#include "client/editor_requests.h"
#include "client/talk_requests.h"
#include "protocol/channel_messages.h"
#include "protocol/store_editors.h"
#include "protocol/text_messages.h"
#include "status/status_packet.h"
#include "store/password_digest.h"
#include "store/permission_block.h"
#include "util/text.h"

namespace kestrune {

namespace {

using P = PermissionBlock;
constexpr std::size_t kLongestChatLine = 255;
constexpr const char* kConsolePrefix = "/rcon ";

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "kestrune_admin: %s\n", line.c_str());
  return status;
}

bool HasControlByte(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 32; });
}

// The account editor's result codes in plain words.
std::string AccountResultText(std::uint16_t result) {
  static const std::map<std::uint16_t, const char*> texts = {
      {1, "no such account"},
      {2, "an account with that name exists, or the name begins with GUEST"},
      {3, "the request was incomplete"},
      {4, "a new account needs a password"},
      {6, "the Guest account cannot be deleted"},
      {7, "the name is reserved"},
      {8, "the name holds a character that is not allowed"},
      {9,
       "not permitted (needs AdminMode, UsersAdd or UsersDelete, or the account belongs to someone "
       "else)"},
      {11, "the new owner account does not exist"},
      {12, "the new owner account is Guest or lacks UsersAdd"},
      {13, "no free account id (50 accounts exist)"},
      {14, "the Guest account cannot be locked while no other account is unlocked"},
  };
  const auto it = texts.find(result);
  return "result " + std::to_string(result) + ": " + (it == texts.end() ? "refused" : it->second);
}

// ------------------------------------------------------------------ digest

int ReadNewPassword(const AdminOptions& options, std::string& password) {
  std::string error;
  bool given = false;
  if (FindPassword(options.newPasswordFile, "KESTRUNE_NEW_PASSWORD", password, given, error) != 0) {
    return Fail(kAdminUsage, error);
  }
  if (!given && ReadPasswordLine(STDIN_FILENO, "Password: ", password) != 0) {
    return Fail(kAdminUsage, "no password on standard input");
  }
  if (password.empty()) return Fail(kAdminUsage, "the password is empty");
  if (password.size() > PasswordDigest::kMaxPlainLength) {
    return Fail(kAdminUsage, "the password is longer than 31 bytes");
  }
  return kAdminOk;
}

int RunDigest() {
  std::string password;
  if (ReadPasswordLine(STDIN_FILENO, "Password: ", password) != 0) {
    return Fail(kAdminUsage, "no password on standard input");
  }
  PasswordDigest digest;
  if (password.empty()) return Fail(kAdminUsage, "the password is empty");
  if (digest.FromPlain(password) != 0) {
    return Fail(kAdminUsage, "the password is longer than 31 bytes");
  }
  std::printf("%s\n", digest.ToHex().c_str());
  return kAdminOk;
}

// ------------------------------------------------------------------ status

int RunStatus(const AdminOptions& options) {
  std::string host;
  std::uint16_t port = 0;
  ParseHostPort(options.words[0], host, port);
  const std::string where = host + ":" + std::to_string(port);
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
      return Fail(kAdminUnreachable, "cannot resolve '" + host + "'");
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return Fail(kAdminUnreachable, "cannot open a UDP socket");
  std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
  auto request =
      StatusPacket::Create(options.detail ? kStatusDetailRequest : kStatusGeneralRequest);
  if (!request || (request->DataShorterThan(kStatusRequestDataLength) &&
                   request->SetDataLength(kStatusRequestDataLength) != 0)) {
    close(fd);
    return Fail(kAdminUnreachable, "cannot build the status request");
  }
  // One attempt waits up to a second: as many as the time-out holds.
  const int attempts = std::max(1, options.timeoutMs / 1000);
  StatusExchangeOptions exchange;
  exchange.waitMs = std::min(1000, options.timeoutMs);
  auto answer =
      StatusSendAndWait(fd, ntohl(address.s_addr), port, std::move(request), attempts, exchange);
  close(fd);
  if (!answer) {
    return Fail(kAdminUnreachable, "no status reply from " + where + " within " +
                                       std::to_string(attempts * exchange.waitMs) + " ms");
  }
  if (answer->Type() != kStatusReply) {
    return Fail(kAdminUnreachable, "the answer from " + where + " is not a status reply");
  }
  const std::string_view data(reinterpret_cast<const char*>(answer->Data()), answer->DataLength());
  const std::string_view text = data.substr(0, data.find('\0'));
  if (options.json) {
    std::fputs(StatusReplyJson(text).c_str(), stdout);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return kAdminOk;
}

// ------------------------------------------------------------ who, channels

// The channels of the login, by id.
std::map<std::uint16_t, ChannelRecord> LoginChannels(const LoginResult& login) {
  std::map<std::uint16_t, ChannelRecord> channels;
  for (const auto& message : login.messages) {
    if (auto list = ReadChannelList(*message)) {
      for (const auto& record : *list) channels[record.id] = record;
    }
  }
  return channels;
}

std::string ChannelPath(const std::map<std::uint16_t, ChannelRecord>& channels, std::uint16_t id) {
  if (id == 0) return "(lobby)";
  std::string path;
  // The depth bound guards against a parent loop in what the server sent.
  for (int depth = 0; id != 0 && depth < 64; ++depth) {
    const auto it = channels.find(id);
    if (it == channels.end())
      return path.empty() ? "#" + std::to_string(id) : "#" + std::to_string(id) + "/" + path;
    path = path.empty() ? it->second.name : it->second.name + "/" + path;
    id = it->second.parent;
  }
  return path;
}

int RunWho(AdminSession& session) {
  if (!session.Has(P::kSeeGuests) && !session.Has(P::kSeeNonGuests)) {
    return Fail(kAdminRefused,
                "missing right: the account sees no clients (SeeGuests, SeeNonGuests)");
  }
  const auto channels = LoginChannels(session.Login());
  std::map<std::uint16_t, std::string> names;
  std::printf("%5s  %-32s  %s\n", "ID", "CHANNEL", "NAME");
  for (const auto& message : session.Login().messages) {
    auto list = ReadUserList(*message);
    if (!list || list->action != 4) continue;
    for (const auto& record : list->records) {
      // Neither the server's own record nor this tool's login is a client to report.
      if (record.flagA == 2 || record.flagA == 1) continue;
      names[record.id] = record.name;
      std::printf("%5u  %-32s  %s%s\n", record.id, ChannelPath(channels, record.channel).c_str(),
                  record.name.c_str(), (record.flagB & 4) != 0 ? " [guest]" : "");
    }
  }
  for (const auto& message : session.Login().messages) {
    if (message->Type() != MSG_PHANTOM || message->Length() < 20) continue;
    const std::uint16_t owner = message->GetU16(10);
    const auto owned = names.find(owner);
    std::printf("%5u  %-32s  %s [phantom of %u]\n", message->GetU16(12),
                ChannelPath(channels, message->GetU16(14)).c_str(),
                owned == names.end() ? "?" : owned->second.c_str(), owner);
  }
  if (!session.Has(P::kSeeGuests))
    std::fprintf(stderr, "kestrune_admin: note: guests are not shown (no SeeGuests)\n");
  if (!session.Has(P::kSeeNonGuests))
    std::fprintf(stderr,
                 "kestrune_admin: note: registered users are not shown (no SeeNonGuests)\n");
  return kAdminOk;
}

int RunChannels(AdminSession& session) {
  if (!session.Has(P::kSeeChan)) return Fail(kAdminRefused, "missing right: SeeChan");
  // The login sends the channels in tree order.
  const auto channels = LoginChannels(session.Login());
  std::printf("%5s  %5s  %s\n", "ID", "PARENT", "PATH");
  for (const auto& message : session.Login().messages) {
    auto list = ReadChannelList(*message);
    if (!list) continue;
    for (const auto& record : *list) {
      std::string extra;
      if ((record.flags & kChannelFlagPassword) != 0) extra += "  [password]";
      if (!record.comment.empty()) extra += "  -- " + record.comment;
      std::printf("%5u  %5u  %s%s\n", record.id, record.parent,
                  ChannelPath(channels, record.id).c_str(), extra.c_str());
    }
  }
  return kAdminOk;
}

// -------------------------------------------------------------- rcon, say

int RunRcon(AdminSession& session, const std::string& command) {
  const std::string line = kConsolePrefix + command;
  if (HasControlByte(command)) return Fail(kAdminUsage, "the command holds a control character");
  if (line.size() > kLongestChatLine) {
    return Fail(kAdminUsage, "the command is longer than " +
                                 std::to_string(kLongestChatLine - line.size() + command.size()) +
                                 " bytes");
  }
  if (!session.Has(P::kRcon)) return Fail(kAdminRefused, "missing right: Rcon");
  if (!session.Has(P::kChatGlobal))
    return Fail(kAdminRefused, "missing right: ChatGlobal (the console runs over chat)");
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildChat(kChatLine, line));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  std::vector<std::string> lines;
  bool echoed = false;
  for (const auto& message : received) {
    if (auto refusal = ReadRefusal(*message)) {
      for (const auto& text : lines) std::printf("%s\n", text.c_str());
      return Fail(kAdminRefused, "console " + RefusalText(*refusal));
    }
    auto chat = ReadChat(*message);
    if (!chat || chat->action != kChatConsole || chat->id != session.OwnId()) continue;
    // The console echoes the command first.
    if (!echoed && chat->text.rfind("/rcon", 0) == 0) {
      echoed = true;
      continue;
    }
    if (echoed) lines.push_back(chat->text);
  }
  for (const auto& text : lines) std::printf("%s\n", text.c_str());
  if (!echoed) {
    if (rc != kAdminOk) return Fail(rc, error);
    return Fail(kAdminRefused,
                "the server did not run the line: it was dropped as chat (muted, or over the "
                "SpamChat limit)");
  }
  // A command such as quit may end the connection once it ran.
  if (rc != kAdminOk) std::fprintf(stderr, "kestrune_admin: note: %s\n", error.c_str());
  return kAdminOk;
}

int RunSay(AdminSession& session, std::string text) {
  if (HasControlByte(text)) return Fail(kAdminUsage, "the text holds a control character");
  if (text.size() > kLongestChatLine) return Fail(kAdminUsage, "the text is longer than 255 bytes");
  if (text.find_first_not_of(' ') == std::string::npos)
    return Fail(kAdminUsage, "the text is empty");
  // The server trims a line before it looks for the console prefix.
  std::string trimmed = text;
  TrimBlanks(trimmed);
  std::string lowered = trimmed.substr(0, 5);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lowered == "/rcon" || lowered == "\\rcon") {
    return Fail(kAdminUsage, "a line starting with /rcon is a console command: use rcon");
  }
  if (!session.Has(P::kChatGlobal)) return Fail(kAdminRefused, "missing right: ChatGlobal");
  // Joining the chat lets the tool see its own line come back, which tells a
  // relayed line from one the server dropped.
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildChat(kChatJoin));
  requests.push_back(BuildChat(kChatLine, text));
  requests.push_back(BuildChat(kChatLeave));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  bool relayed = false;
  for (const auto& message : received) {
    if (auto refusal = ReadRefusal(*message))
      return Fail(kAdminRefused, "chat " + RefusalText(*refusal));
    auto chat = ReadChat(*message);
    if (!chat || chat->id != session.OwnId()) continue;
    if (chat->action == kChatJoinRefused) return Fail(kAdminRefused, "missing right: ChatGlobal");
    if (chat->action == kChatLine) relayed = true;
  }
  if (rc != kAdminOk) return Fail(rc, error);
  if (!relayed) {
    return Fail(kAdminRefused, "the server dropped the line (muted, or over the SpamChat limit)");
  }
  return kAdminOk;
}

// ---------------------------------------------------------------- accounts

// Opens the account editor and reads the whole listing.
int ListAccounts(AdminSession& session, std::vector<AccountData>& accounts) {
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildAccountList(0x41444D31));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  for (const auto& message : received) {
    if (auto refusal = ReadRefusal(*message)) {
      return Fail(kAdminRefused, "account editor " + RefusalText(*refusal));
    }
    auto reply = ReadAccountReply(*message);
    if (!reply || reply->action != 0) continue;
    if (reply->result != 0)
      return Fail(kAdminRefused, "account listing " + AccountResultText(reply->result));
    for (auto& record : reply->records) accounts.push_back(std::move(record));
  }
  if (rc != kAdminOk) return Fail(rc, error);
  return kAdminOk;
}

// Sends one editor request; its result, or -1 after reporting a failure in `status`.
int AccountEdit(AdminSession& session, std::unique_ptr<Message> request, std::uint16_t action,
                int& status, std::optional<AccountData>* stored = nullptr) {
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(std::move(request));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  for (const auto& message : received) {
    if (auto refusal = ReadRefusal(*message)) {
      status = Fail(kAdminRefused, "account editor " + RefusalText(*refusal));
      return -1;
    }
    auto reply = ReadAccountReply(*message);
    if (!reply || reply->action != action) continue;
    if (stored != nullptr && !reply->records.empty()) *stored = reply->records.front();
    return reply->result;
  }
  status = Fail(rc != kAdminOk ? rc : kAdminUnreachable,
                rc != kAdminOk ? error : "the account editor gave no result");
  return -1;
}

int RunAccounts(AdminSession& session, const AdminOptions& options) {
  const std::string& action = options.words[0];
  std::string newPassword;
  if (action == "add" || action == "passwd") {
    if (const int rc = ReadNewPassword(options, newPassword); rc != kAdminOk) return rc;
  }
  std::vector<AccountData> accounts;
  if (const int rc = ListAccounts(session, accounts); rc != kAdminOk) return rc;
  int status = kAdminOk;
  if (action == "list") {
    std::printf("%4s  %-31s  %-31s  %4s  %-6s  %s\n", "UID", "NAME", "OWNER", "RANK", "LOCKED",
                "ADMIN RIGHTS");
    for (const AccountData& account : accounts) {
      std::printf("%4u  %-31s  %-31s  %4u  %-6s  %s\n", account.Uid(), account.name.c_str(),
                  account.owner.c_str(), account.block[kBlockRankAt],
                  account.block[kBlockLockedAt] != 0 ? "yes" : "no",
                  AdminRightsText(account.block).c_str());
    }
  } else if (action == "add") {
    AccountData record;
    record.block = DefaultAccountBlock();
    for (const std::string& name : options.grants) record.block[FindAccountRight(name)->offset] = 1;
    for (const std::string& name : options.revokes)
      record.block[FindAccountRight(name)->offset] = 0;
    PasswordDigest digest;
    digest.FromPlain(newPassword);
    std::copy(digest.CopyBytes().begin(), digest.CopyBytes().end(),
              record.block.begin() + kBlockDigestAt);
    record.name = options.words[1];
    record.notes = options.notes;
    std::optional<AccountData> stored;
    const int result =
        AccountEdit(session, BuildAccountEdit(kAccountAdd, record), kAccountAdd, status, &stored);
    if (result > 0)
      status = Fail(kAdminRefused, "cannot add '" + record.name + "': " +
                                       AccountResultText(static_cast<std::uint16_t>(result)));
    if (result == 0) {
      std::printf("added account '%s' (UID %u)\n",
                  stored ? stored->name.c_str() : record.name.c_str(), stored ? stored->Uid() : 0);
    }
  } else {
    const std::string& name = options.words[1];
    auto found = std::find_if(accounts.begin(), accounts.end(), [&name](const AccountData& a) {
      return strcasecmp(a.name.c_str(), name.c_str()) == 0;
    });
    if (found == accounts.end()) {
      status = Fail(kAdminRefused, "no account named '" + name + "'");
    } else if (action == "delete") {
      const int result = AccountEdit(
          session, BuildAccountBlockRequest(kAccountDelete, found->Uid()), kAccountDelete, status);
      if (result > 0)
        status = Fail(kAdminRefused, "cannot delete '" + found->name + "': " +
                                         AccountResultText(static_cast<std::uint16_t>(result)));
      if (result == 0) std::printf("deleted account '%s'\n", found->name.c_str());
    } else {
      // A change sends the whole record back; its digest stays zero (the
      // stored password is kept) unless a new password is set.
      AccountData record = *found;
      std::fill(record.block.begin() + kBlockDigestAt, record.block.begin() + kBlockDigestAt + 32,
                0);
      std::string done;
      if (action == "passwd") {
        PasswordDigest digest;
        digest.FromPlain(newPassword);
        std::copy(digest.CopyBytes().begin(), digest.CopyBytes().end(),
                  record.block.begin() + kBlockDigestAt);
        done = "changed the password of";
      } else if (action == "lock") {
        record.block[kBlockLockedAt] = 1;
        record.lockedReason = options.reason;
        done = "locked";
      } else {
        record.block[kBlockLockedAt] = 0;
        record.lockedReason.clear();
        done = "unlocked";
      }
      const int result =
          AccountEdit(session, BuildAccountEdit(kAccountChange, record), kAccountChange, status);
      if (result > 0)
        status = Fail(kAdminRefused, "cannot change '" + found->name + "': " +
                                         AccountResultText(static_cast<std::uint16_t>(result)));
      if (result == 0) std::printf("%s account '%s'\n", done.c_str(), found->name.c_str());
    }
  }
  // Release the editor; the server also releases it when the connection goes.
  std::vector<std::unique_ptr<Message>> closing;
  closing.push_back(BuildAccountClose());
  std::vector<std::unique_ptr<Message>> ignored;
  std::string error;
  session.Exchange(closing, ignored, error);
  return status;
}

// -------------------------------------------------------------------- bans

int ListBans(AdminSession& session, std::vector<BanRequest>& entries) {
  BanRequest request;
  request.action = kBanListServer;
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildBanRequest(request));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  if (auto refusal = FirstRefusal(received))
    return Fail(kAdminRefused, "ban list " + RefusalText(*refusal));
  if (rc != kAdminOk) return Fail(rc, error);
  for (const auto& message : received) {
    auto entry = ReadBanEntry(*message);
    if (entry && entry->action == kBanListServer) entries.push_back(*entry);
  }
  return kAdminOk;
}

bool Listed(const std::vector<BanRequest>& entries, std::uint32_t address, std::uint16_t bits) {
  const std::uint16_t wanted = bits == 0 ? 32 : bits;
  return std::any_of(entries.begin(), entries.end(), [&](const BanRequest& entry) {
    return entry.address == address && (entry.bits == 0 ? 32 : entry.bits) == wanted;
  });
}

int RunBans(AdminSession& session, const AdminOptions& options) {
  const std::string& action = options.words[0];
  std::vector<BanRequest> entries;
  if (action == "list") {
    if (const int rc = ListBans(session, entries); rc != kAdminOk) return rc;
    for (const BanRequest& entry : entries) {
      std::printf("%s, %s, %s, %s\n", BanAddressText(entry.address, entry.bits).c_str(),
                  entry.name.c_str(), entry.text.c_str(), entry.reason.c_str());
    }
    return kAdminOk;
  }
  BanRequest request;
  ParseBanAddress(options.words[1], request.address, request.bits);
  const std::string shown = BanAddressText(request.address, request.bits);
  const bool adding = action == "add";
  if (adding) {
    if (HasControlByte(options.name) || options.name.size() > 31) {
      return Fail(kAdminUsage, "--name must be at most 31 bytes without control characters");
    }
    if (HasControlByte(options.reason) || options.reason.size() > 127) {
      return Fail(kAdminUsage, "--reason must be at most 127 bytes without control characters");
    }
  }
  request.action = adding ? kBanAddServer : kBanRemoveServer;
  request.name = options.name;
  request.reason = options.reason;
  std::vector<std::unique_ptr<Message>> requests;
  requests.push_back(BuildBanRequest(request));
  std::vector<std::unique_ptr<Message>> received;
  std::string error;
  const int rc = session.Exchange(requests, received, error);
  if (auto refusal = FirstRefusal(received)) {
    if (refusal->code == 16) {
      return Fail(kAdminRefused, adding
                                     ? "the server refused to ban " + shown +
                                           ": it is already covered by a ban, or the list is full"
                                     : "no ban of exactly " + shown + " to remove");
    }
    return Fail(kAdminRefused, "ban " + RefusalText(*refusal));
  }
  if (rc != kAdminOk) return Fail(rc, error);
  // Neither change carries a result: the listing tells.
  if (const int listed = ListBans(session, entries); listed != kAdminOk) return listed;
  const bool present = Listed(entries, request.address, request.bits);
  if (adding && !present)
    return Fail(kAdminRefused, "the ban of " + shown + " is not in the list after adding it");
  if (!adding && present)
    return Fail(kAdminRefused, "the ban of " + shown + " is still in the list");
  std::printf("%s %s\n", adding ? "banned" : "unbanned", shown.c_str());
  return kAdminOk;
}

// ------------------------------------------------------------------ online

int RunOnline(const AdminOptions& options) {
  for (const auto* list : {&options.grants, &options.revokes}) {
    for (const std::string& name : *list) {
      if (FindAccountRight(name) == nullptr)
        return Fail(kAdminUsage, "unknown right '" + name + "'");
    }
  }
  std::string password;
  std::string adminPassword;
  bool hasPassword = false;
  bool hasAdminPassword = false;
  std::string error;
  if (FindPassword(options.passwordFile, "KESTRUNE_PASSWORD", password, hasPassword, error) != 0 ||
      FindPassword(options.adminPasswordFile, "KESTRUNE_ADMIN_PASSWORD", adminPassword,
                   hasAdminPassword, error) != 0) {
    return Fail(kAdminUsage, error);
  }
  if (password.size() > PasswordDigest::kMaxPlainLength ||
      adminPassword.size() > PasswordDigest::kMaxPlainLength) {
    return Fail(kAdminUsage, "a password is longer than 31 bytes");
  }
  AdminSession session(options.timeoutMs);
  if (const int rc = session.Open(options.host, options.port, options.user, password, error);
      rc != kAdminOk) {
    return Fail(rc, error);
  }
  if (session.Guest()) {
    std::fprintf(stderr, "kestrune_admin: note: no account named '%s': logged in as a guest\n",
                 options.user.c_str());
  }
  if (hasAdminPassword && !adminPassword.empty()) {
    if (const int rc = session.EnterAdminMode(adminPassword, error); rc != kAdminOk) {
      return Fail(rc, error);
    }
  }
  const std::string& command = options.command;
  int status = kAdminOk;
  if (command == "who") {
    status = RunWho(session);
  } else if (command == "channels") {
    status = RunChannels(session);
  } else if (command == "rcon") {
    status = RunRcon(session, options.words[0]);
  } else if (command == "say") {
    status = RunSay(session, options.words[0]);
  } else if (command == "accounts") {
    status = RunAccounts(session, options);
  } else {
    status = RunBans(session, options);
  }
  session.Close();
  return status;
}

}  // namespace

int RunAdminTool(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  AdminOptions options;
  std::string error;
  if (ParseAdminOptions(arguments, options, error) != 0) {
    return Fail(kAdminUsage, error);
  }
  if (options.help) {
    std::fputs(AdminHelpText().c_str(), stdout);
    return kAdminOk;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (options.command == "digest") return RunDigest();
  if (options.command == "status") return RunStatus(options);
  return RunOnline(options);
}

}  // namespace kestrune
