// The console command interpreter. One interpreter serves the local console
// (lines typed on standard input, every right) and remote issuers (chat lines
// with the console prefix, checked against their permissions). Replies go to
// the issuer as console text; every command is logged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

class Connection;
class Protocol;
struct ServerSettings;

// Byte and connection counts of one listening interface.
struct InterfaceStats {
  std::string name;
  std::uint64_t received = 0;
  std::uint64_t sent = 0;
  std::uint32_t connections = 0;
};

// What the console reaches above its layer; the server supplies it.
struct ConsoleContext {
  Protocol& protocol;
  // The running settings: auth, pingrate and password change them here, and
  // the login reads them from the same object.
  ServerSettings& settings;
  std::string logPath;
  std::string title;  // first line of the version reply
  // Set the setting and every copy of it (the log's stamp flag, the
  // fatal-signal handler's values). Unset: only the setting changes.
  std::function<void(int)> setDiag;
  std::function<void(int)> setTimeStamp;
  // Raises the console stop flag.
  std::function<void()> requestStop;
  std::function<std::vector<InterfaceStats>()> interfaces;
  std::function<std::uint32_t()> uptimeSeconds;
};

// Reason code of a console kick.
inline constexpr int kReasonConsoleKick = 43;

// Refusal codes of the right checks.
enum ConsoleRefusal : std::uint16_t {
  kRefuseNotAdmin = 4,
  kRefuseNoUsersBan = 22,
  kRefuseNoUsersKick = 23,
  kRefuseNoRcon = 26,
};

class RemoteConsole {
 public:
  // Command words this long or longer are an offence.
  static constexpr std::size_t kMaxWord = 14;
  static constexpr std::size_t kMaxPassword = 31;
  static constexpr int kMaxTraceId = 1023;

  explicit RemoteConsole(ConsoleContext context) : context_(std::move(context)) {}

  // Runs one command line; `issuer` is null for the local console.
  void Run(Connection* issuer, const std::string& line);

  // The command names in table order.
  static std::vector<std::string> CommandNames();

 private:
  struct Command;
  static const std::vector<Command>& Commands();

  void Reply(Connection* issuer, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Refuse(Connection& issuer, std::uint16_t code);
  // False (refusal sent) when a remote issuer lacks AdminMode or the right.
  bool NeedsAdmin(Connection* issuer);
  bool NeedsRight(Connection* issuer, std::size_t permission, std::uint16_t refusal);
  void Offence(Connection* issuer);
  std::optional<int> Numeric(Connection* issuer, const std::optional<std::string>& argument, int lo,
                             int hi, const std::string& syntax);
  static std::string NameOf(const Connection* issuer);

  void Auth(Connection* issuer, const std::optional<std::string>& argument);
  void BanAdd(Connection* issuer, const std::optional<std::string>& argument);
  void BanDel(Connection* issuer, const std::optional<std::string>& argument);
  void BanList(Connection* issuer, const std::optional<std::string>& argument);
  void ClientKick(Connection* issuer, const std::optional<std::string>& argument);
  void ClientStatus(Connection* issuer, const std::optional<std::string>& argument);
  void Diag(Connection* issuer, const std::optional<std::string>& argument);
  void Help(Connection* issuer, const std::optional<std::string>& argument);
  void KickAll(Connection* issuer, const std::optional<std::string>& argument);
  void LogGrep(Connection* issuer, const std::optional<std::string>& argument);
  void MaxClients(Connection* issuer, const std::optional<std::string>& argument);
  void Monitor(Connection* issuer, const std::optional<std::string>& argument);
  void Name(Connection* issuer, const std::optional<std::string>& argument);
  void Password(Connection* issuer, const std::optional<std::string>& argument);
  void PingRate(Connection* issuer, const std::optional<std::string>& argument);
  void PingTrace(Connection* issuer, const std::optional<std::string>& argument);
  void Quit(Connection* issuer, const std::optional<std::string>& argument);
  void ServerStatus(Connection* issuer, const std::optional<std::string>& argument);
  void Status(Connection* issuer, const std::optional<std::string>& argument);
  void TimeStamp(Connection* issuer, const std::optional<std::string>& argument);
  void Tts(Connection* issuer, const std::optional<std::string>& argument);
  void Version(Connection* issuer, const std::optional<std::string>& argument);

  ConsoleContext context_;
};

}  // namespace kestrune
