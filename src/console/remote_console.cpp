#include "console/remote_console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "config/log.h"
#include "config/settings.h"
#include "net/connection.h"
#include "net/message.h"
#include "protocol/protocol.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/ini_file.h"
#include "store/penalty_tracker.h"
#include "store/permission_block.h"
#include "store/server_properties.h"
#include "util/text.h"

namespace kestrune {

using Argument = std::optional<std::string>;

struct RemoteConsole::Command {
  const char* name;
  void (RemoteConsole::*handler)(Connection*, const Argument&);
};

namespace {

// Time stamp "YYYYMMDD hh:mm:ss " in front of every log line.
constexpr std::size_t kStampWidth = 18;
constexpr std::size_t kLogReadSize = 1024;
constexpr std::size_t kNameWidth = 32;
// A text-to-speech line is one counted string of under 256 bytes.
constexpr std::size_t kMaxTtsText = 255;

// Splits at the first blank: the part before it, and what follows (none
// without a blank).
void SplitAtBlank(const std::string& text, std::string& head, Argument& rest) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string::npos) {
    head = text;
    rest.reset();
  } else {
    head = text.substr(0, blank);
    rest = text.substr(blank + 1);
  }
}

std::string Trimmed(const Argument& argument) {
  std::string text = argument.value_or("");
  TrimBlanks(text);
  return text;
}

}  // namespace

const std::vector<RemoteConsole::Command>& RemoteConsole::Commands() {
  static const std::vector<Command> commands = {
      {"auth", &RemoteConsole::Auth},
      {"banadd", &RemoteConsole::BanAdd},
      {"bandel", &RemoteConsole::BanDel},
      {"banlist", &RemoteConsole::BanList},
      {"clientkick", &RemoteConsole::ClientKick},
      {"clientstatus", &RemoteConsole::ClientStatus},
      {"diag", &RemoteConsole::Diag},
      {"help", &RemoteConsole::Help},
      {"kickall", &RemoteConsole::KickAll},
      {"loggrep", &RemoteConsole::LogGrep},
      {"maxclients", &RemoteConsole::MaxClients},
      {"monitor", &RemoteConsole::Monitor},
      {"name", &RemoteConsole::Name},
      {"password", &RemoteConsole::Password},
      {"pingrate", &RemoteConsole::PingRate},
      {"pingtrace", &RemoteConsole::PingTrace},
      {"quit", &RemoteConsole::Quit},
      {"serverstatus", &RemoteConsole::ServerStatus},
      {"status", &RemoteConsole::Status},
      {"timestamp", &RemoteConsole::TimeStamp},
      {"tts", &RemoteConsole::Tts},
      {"version", &RemoteConsole::Version},
  };
  return commands;
}

std::vector<std::string> RemoteConsole::CommandNames() {
  std::vector<std::string> names;
  for (const Command& command : Commands()) names.emplace_back(command.name);
  return names;
}

std::string RemoteConsole::NameOf(const Connection* issuer) {
  return issuer != nullptr ? issuer->name : "CONSOLE";
}

void RemoteConsole::Reply(Connection* issuer, const char* format, ...) {
  char text[Log::kMaxText + 1];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) text[0] = '\0';
  context_.protocol.Context().table.SendConsoleText(issuer, "%s", text);
}

void RemoteConsole::Refuse(Connection& issuer, std::uint16_t code) {
  context_.protocol.Context().table.SendRefusal(issuer, code, 0, false, false);
}

void RemoteConsole::Offence(Connection* issuer) {
  // The local console has no account to count against.
  if (issuer == nullptr) return;
  context_.protocol.ReportOffence(*issuer, context_.protocol.AccountOf(*issuer),
                                  kOffenceConsoleWithoutRcon);
}

bool RemoteConsole::NeedsAdmin(Connection* issuer) {
  if (issuer == nullptr || issuer->administrator) return true;
  Refuse(*issuer, kRefuseNotAdmin);
  return false;
}

bool RemoteConsole::NeedsRight(Connection* issuer, std::size_t permission, std::uint16_t refusal) {
  if (issuer == nullptr || issuer->administrator || issuer->HasPermission(permission)) return true;
  Refuse(*issuer, refusal);
  return false;
}

void RemoteConsole::Run(Connection* issuer, const std::string& line) {
  ProtocolContext& context = context_.protocol.Context();
  if (issuer != nullptr && !issuer->administrator &&
      !issuer->HasPermission(PermissionBlock::kRcon)) {
    Refuse(*issuer, kRefuseNoRcon);
    Offence(issuer);
    return;
  }
  if (issuer != nullptr) Reply(issuer, "/rcon %s", line.c_str());

  std::string word;
  Argument argument;
  SplitAtBlank(line, word, argument);
  if (!line.empty()) {
    // A new login password never reaches the log.
    const bool masked = EqualsIgnoreCase(word, "password");
    context.log.Write("RCON: ID %u, '%s' issued '%s'",
                      issuer != nullptr ? static_cast<unsigned>(issuer->id) : 0u,
                      NameOf(issuer).c_str(), masked ? "password ********" : line.c_str());
  }
  if (word.size() >= kMaxWord) {
    Offence(issuer);
    return;
  }
  for (const Command& command : Commands()) {
    if (EqualsIgnoreCase(word, command.name)) {
      (this->*command.handler)(issuer, argument);
      return;
    }
  }
  if (!word.empty()) Reply(issuer, "The command '%s' does not exist.", word.c_str());
}

std::optional<int> RemoteConsole::Numeric(Connection* issuer, const Argument& argument, int lo,
                                          int hi, const std::string& syntax) {
  const std::string text = Trimmed(argument);
  if (!text.empty()) {
    const int value = AtoiRule(text.c_str());
    if (value >= lo && value <= hi) return value;
  }
  Reply(issuer, "Syntax: %s", syntax.c_str());
  return std::nullopt;
}

void RemoteConsole::Auth(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  ServerSettings& settings = context_.settings;
  const auto value = Numeric(issuer, argument, 0, 2, "auth <0|1|2>");
  if (!value) {
    Reply(issuer, "Auth currently set to %d.", settings.auth);
    return;
  }
  context_.protocol.Context().log.Write("ADMIN: Auth mode changed by '%s' now set to '%d'.",
                                        NameOf(issuer).c_str(), *value);
  settings.auth = *value;
  Reply(issuer, "Auth mode has been changed to %d.", *value);
}

void RemoteConsole::BanAdd(Connection* issuer, const Argument& argument) {
  if (!NeedsRight(issuer, PermissionBlock::kUsersBan, kRefuseNoUsersBan)) return;
  std::string address;
  Argument reason;
  SplitAtBlank(argument.value_or(""), address, reason);
  TrimBlanks(address);
  const std::string because = Trimmed(reason);
  if (!argument || address.empty() || because.empty()) {
    Reply(issuer, "Syntax: banadd <ip[/bits]> <reason>");
    return;
  }
  const int result = context_.protocol.Context().bans.AddBan(address, "ipaddress_from_rcon",
                                                             NameOf(issuer), because);
  // Not appended to the file is still a ban in force; the ban list logged the failure.
  if (result == kBanOk || result == kBanNotAppended) {
    Reply(issuer, "Success.");
  } else {
    Reply(issuer, "Unable to add the specified IP and/or subnet to the ban list.");
  }
}

void RemoteConsole::BanDel(Connection* issuer, const Argument& argument) {
  if (!NeedsRight(issuer, PermissionBlock::kUsersBan, kRefuseNoUsersBan)) return;
  const std::string address = Trimmed(argument);
  if (address.empty()) {
    Reply(issuer, "Syntax: bandel <ip[/bits]>");
    return;
  }
  if (context_.protocol.Context().bans.RemoveBan(address, NameOf(issuer)) == 0) {
    Reply(issuer, "Success.");
  } else {
    Reply(issuer, "Unable to delete the specified IP and/or subnet from the ban list.");
  }
}

void RemoteConsole::BanList(Connection* issuer, const Argument&) {
  if (!NeedsRight(issuer, PermissionBlock::kUsersBan, kRefuseNoUsersBan)) return;
  kestrune::BanList& list = context_.protocol.Context().bans.List();
  if (list.Size() == 0) {
    Reply(issuer, "Ban table is empty.");
    return;
  }
  for (std::size_t i = 0; i < list.Size(); ++i) {
    const BanEntry& entry = list.At(i);
    Reply(issuer, "%s, %s, %s, %s", AddressText(entry).c_str(), entry.name.c_str(),
          entry.admin.c_str(), entry.reason.c_str());
  }
}

namespace {

// The connection with `id` that still has a socket (no phantom, not closed).
Connection* FindLive(ConnectionTable& table, int id) {
  if (id <= 0 || id > ConnectionTable::kMaxId) return nullptr;
  Connection* connection = table.FindById(static_cast<std::uint16_t>(id));
  if (connection == nullptr || connection->socket < 0) return nullptr;
  return connection;
}

}  // namespace

void RemoteConsole::ClientKick(Connection* issuer, const Argument& argument) {
  const int id = AtoiRule(argument.value_or("").c_str());
  if (id == 0) {
    Reply(issuer, "Invalid client ID.");
    return;
  }
  if (issuer != nullptr && id == issuer->id) {
    Reply(issuer, "Not allowed to kick your self.");
    return;
  }
  if (!NeedsRight(issuer, PermissionBlock::kUsersKick, kRefuseNoUsersKick)) return;
  ProtocolContext& context = context_.protocol.Context();
  Connection* target = FindLive(context.table, id);
  if (target == nullptr) {
    Reply(issuer, "Unable to find client ID %d.", id);
    return;
  }
  context.log.Write("ADMIN: ID %u, User '%s' was kicked by '%s'.",
                    static_cast<unsigned>(target->id), target->name.c_str(),
                    NameOf(issuer).c_str());
  // The reply names the user as it was before the notice.
  const std::string name = target->name;
  context.table.DisconnectWithNotice(*target, kReasonConsoleKick, 0);
  Reply(issuer, "Kicked ID %d '%s'.", id, name.c_str());
}

void RemoteConsole::ClientStatus(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  if (!argument || argument->empty()) {
    Reply(issuer, "Syntax: clientstatus <id>");
    return;
  }
  const int id = AtoiRule(argument->c_str());
  if (id == 0) {
    Reply(issuer, "Invalid client ID.");
    return;
  }
  ConnectionTable& table = context_.protocol.Context().table;
  Connection* target = FindLive(table, id);
  if (target == nullptr) {
    Reply(issuer, "Unable to find client ID %d.", id);
    return;
  }
  table.ClientStatusLines(issuer, *target);
}

void RemoteConsole::Diag(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  const auto value = Numeric(issuer, argument, 0, 1, "diag <0|1>");
  if (!value) {
    Reply(issuer, "Diag currently set to %d.", context_.settings.diag);
    return;
  }
  context_.protocol.Context().log.Write("ADMIN: Diag mode changed by '%s' now set to '%d'.",
                                        NameOf(issuer).c_str(), *value);
  context_.settings.diag = *value;
  if (context_.setDiag) context_.setDiag(*value);
  Reply(issuer, "Diag has been changed to %d.", *value);
}

void RemoteConsole::Help(Connection* issuer, const Argument&) {
  for (const Command& command : Commands()) Reply(issuer, "  %s", command.name);
}

void RemoteConsole::KickAll(Connection* issuer, const Argument&) {
  if (!NeedsAdmin(issuer)) return;
  ProtocolContext& context = context_.protocol.Context();
  context.log.Write("ADMIN: Kickall issued by '%s'.", NameOf(issuer).c_str());
  // Inside a chat line's handler: only close; the reap step removes them.
  context.table.CloseAllExcept(issuer);
  Reply(issuer, "All clients kicked.");
}

void RemoteConsole::LogGrep(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  std::string countText;
  Argument search;
  SplitAtBlank(argument.value_or(""), countText, search);
  TrimBlanks(countText);
  const std::string needle = Trimmed(search);
  if (!argument || countText.empty() || needle.empty()) {
    Reply(issuer, "Syntax: loggrep <lines> <search string>");
    return;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(context_.logPath.c_str(), "r"),
                                                       &std::fclose);
  if (!file) {
    Reply(issuer, "Unable to open log file.");
    return;
  }
  const int count = AtoiRule(countText.c_str());
  std::deque<std::string> kept;
  char buffer[kLogReadSize];
  while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
    const std::size_t length = std::strlen(buffer);
    if (std::strstr(buffer, needle.c_str()) == nullptr) continue;
    // The console's own lines and error lines are never shown.
    if (length > kStampWidth + 3 && std::strncmp(buffer + kStampWidth, "RCON:", 5) == 0) continue;
    if (length > kStampWidth + 4 && std::strncmp(buffer + kStampWidth, "ERROR:", 6) == 0) continue;
    std::string line(buffer, length);
    TrimBlanks(line);
    if (count > 0 && kept.size() >= static_cast<std::size_t>(count)) kept.pop_front();
    kept.push_back(std::move(line));
  }
  for (const std::string& line : kept) Reply(issuer, "%s", line.c_str());
}

void RemoteConsole::MaxClients(Connection* issuer, const Argument&) {
  Reply(issuer, "Maxclients = %d.", static_cast<int>(ConnectionTable::kCapacity));
}

void RemoteConsole::Monitor(Connection* issuer, const Argument& argument) {
  if (issuer == nullptr) {
    Reply(issuer, "The monitor command is used by remote consoles only.");
    return;
  }
  if (!NeedsAdmin(issuer)) return;
  const auto value = Numeric(issuer, argument, 0, 1, "monitor <0|1>");
  if (!value) {
    Reply(issuer, "Monitor currently set to %d.", issuer->logWatch ? 1 : 0);
    return;
  }
  issuer->logWatch = *value != 0;
}

void RemoteConsole::Name(Connection* issuer, const Argument&) {
  if (!NeedsAdmin(issuer)) return;
  const std::string& comment = context_.protocol.Context().properties.comment;
  std::string text = context_.settings.name;
  if (!comment.empty()) text += " (" + comment + ")";
  Reply(issuer, "%s", text.c_str());
}

void RemoteConsole::Password(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  const std::string password = Trimmed(argument);
  if (password.size() > kMaxPassword) {
    Reply(issuer, "The password is to long, %d characters max.", static_cast<int>(kMaxPassword));
    return;
  }
  if (password.empty()) {
    Reply(issuer, "Syntax: password <newpassword>");
    return;
  }
  context_.protocol.Context().log.Write("ADMIN: Password changed by '%s' now set to '********'.",
                                        NameOf(issuer).c_str());
  context_.settings.encPassLogin.FromPlain(password);
  Reply(issuer, "Login password has been changed.");
}

void RemoteConsole::PingRate(Connection* issuer, const Argument& argument) {
  const auto value = Numeric(issuer, argument, 1, 10, "pingrate <1..10>");
  if (!value) {
    Reply(issuer, "Pingrate currently set to %d.", context_.settings.pingRate);
    return;
  }
  context_.settings.pingRate = *value;
}

void RemoteConsole::PingTrace(Connection* issuer, const Argument& argument) {
  if (issuer == nullptr) {
    Reply(issuer, "The pingtrace command is used by remote consoles only.");
    return;
  }
  if (!NeedsAdmin(issuer)) return;
  char syntax[64];
  std::snprintf(syntax, sizeof syntax, "pingtrace <-2|-1|0|1..%u>",
                static_cast<unsigned>(kMaxTraceId));
  const auto value = Numeric(issuer, argument, -2, kMaxTraceId, syntax);
  if (!value) {
    Reply(issuer, "Pingtrace currently set to %d.", static_cast<int>(issuer->pingTraceTarget));
    return;
  }
  // -1 (every client) and -2 (the tracer's channel) keep their bits: 65535 and 65534.
  issuer->pingTraceTarget = static_cast<std::int16_t>(*value);
}

void RemoteConsole::Quit(Connection* issuer, const Argument&) {
  if (!NeedsAdmin(issuer)) return;
  if (issuer != nullptr && context_.settings.disableQuit != 0) {
    Reply(issuer, "Remote console 'quit' command has been disabled.");
    return;
  }
  context_.protocol.Context().log.Write("ADMIN: Quit command issued by '%s'",
                                        NameOf(issuer).c_str());
  if (context_.requestStop) context_.requestStop();
}

void RemoteConsole::ServerStatus(Connection* issuer, const Argument&) {
  const std::vector<InterfaceStats> interfaces =
      context_.interfaces ? context_.interfaces() : std::vector<InterfaceStats>{};
  InterfaceStats total;
  for (const InterfaceStats& stats : interfaces) {
    total.received += stats.received;
    total.sent += stats.sent;
    total.connections += stats.connections;
  }
  const std::uint32_t uptime = context_.uptimeSeconds ? context_.uptimeSeconds() : 0;
  Reply(issuer, "----------------------------------------");
  Reply(issuer, "Uptime                  = %s", FormatDuration(uptime).c_str());
  Reply(issuer, "Bytes sent to server    = %lld", static_cast<long long>(total.received));
  Reply(issuer, "Bytes sent from server  = %lld", static_cast<long long>(total.sent));
  Reply(issuer, "Total connections       = %u", static_cast<unsigned>(total.connections));
  Reply(issuer, "%s", "");
  if (interfaces.size() == 1) return;
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const InterfaceStats& stats = interfaces[i];
    if (i > 0) Reply(issuer, "%s", "");
    Reply(issuer, "  ** Intf %s **", stats.name.c_str());
    Reply(issuer, "  Bytes from        = %lld", static_cast<long long>(stats.received));
    Reply(issuer, "  Bytes to          = %lld", static_cast<long long>(stats.sent));
    Reply(issuer, "  Total connections = %u", static_cast<unsigned>(stats.connections));
  }
}

void RemoteConsole::Status(Connection* issuer, const Argument& argument) {
  const int mode = AtoiRule(argument.value_or("").c_str());
  const bool privileged = issuer == nullptr || issuer->administrator;
  ConnectionTable& table = context_.protocol.Context().table;
  Reply(issuer, "    UID   CID  PING");
  int rows = 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& row = table.At(i);
    const bool phantom = row.IsPhantom();
    if (!phantom && row.socket < 0) continue;
    std::string marker;
    if (privileged && row.administrator) marker += '*';
    if (phantom) marker += 'P';
    marker.resize(std::max<std::size_t>(marker.size(), 2), ' ');
    const char* extra = "";
    if (mode == 1) {
      extra = row.version.c_str();
    } else if (mode == 0 && privileged) {
      extra = row.addressText.c_str();
    }
    Reply(issuer, "%s%5u %5u %5d %-*.*s %s", marker.c_str(), static_cast<unsigned>(row.id),
          static_cast<unsigned>(row.channel), phantom ? 0 : static_cast<int>(row.pingTime),
          static_cast<int>(kNameWidth), static_cast<int>(kNameWidth), row.name.c_str(), extra);
    ++rows;
  }
  Reply(issuer, "%s", "");
  Reply(issuer, "Connections %d/%d", rows, static_cast<int>(ConnectionTable::kCapacity));
}

void RemoteConsole::TimeStamp(Connection* issuer, const Argument& argument) {
  if (!NeedsAdmin(issuer)) return;
  const auto value = Numeric(issuer, argument, 0, 1, "timestamp <0|1>");
  if (!value) {
    Reply(issuer, "Timestamp currently set to %d.", context_.settings.timeStamp);
    return;
  }
  context_.settings.timeStamp = *value;
  if (context_.setTimeStamp) context_.setTimeStamp(*value);
}

void RemoteConsole::Tts(Connection* issuer, const Argument& argument) {
  std::string text = Trimmed(argument);
  if (text.empty()) {
    Reply(issuer, "Syntax: tts <text>");
    return;
  }
  if (text.size() > kMaxTtsText) text.resize(kMaxTtsText);
  ProtocolContext& context = context_.protocol.Context();
  context.log.Write("ADMIN: Server TTS message sent by '%s' was '%s'.", NameOf(issuer).c_str(),
                    text.c_str());
  auto message = CreateMessage(MSG_TTS);
  WriteCountedString(*message, text);
  ConnectionTable& table = context.table;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& recipient = table.At(i);
    if (recipient.loggedOn && !recipient.IsPhantom()) table.SendCopy(recipient, *message);
  }
}

void RemoteConsole::Version(Connection* issuer, const Argument&) {
  Reply(issuer, "%s", context_.title.c_str());
  Reply(issuer, "Server version = %s", context_.protocol.Context().serverVersion.c_str());
}

}  // namespace kestrune
