// The command line of kestrune_admin: a sub-command, its words and the
// options, in any order. Passwords are never taken from the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune {

// Exit statuses of the tool (also listed by --help).
enum AdminExit : int {
  kAdminOk = 0,
  kAdminUsage = 1,        // bad command line, unreadable password file
  kAdminUnreachable = 2,  // no connection, a time-out, or the connection lost
  kAdminLoginRefused = 3,
  kAdminRefused = 4,  // a missing right or a request the server refused
};

constexpr int kAdminDefaultTimeoutMs = 5000;
constexpr std::uint16_t kAdminDefaultPort = 3784;

struct AdminOptions {
  std::string command;             // "digest", "who", ..., empty with --help
  std::vector<std::string> words;  // what follows the sub-command
  std::string host;
  std::uint16_t port = kAdminDefaultPort;
  bool hasServer = false;
  std::string user;
  std::string passwordFile;
  std::string adminPasswordFile;
  std::string newPasswordFile;
  int timeoutMs = kAdminDefaultTimeoutMs;
  bool detail = false;
  bool json = false;
  bool help = false;
  std::string name;                  // bans add: the banned user's name
  std::string reason;                // bans add, accounts lock
  std::string notes;                 // accounts add
  std::vector<std::string> grants;   // accounts add: rights to set
  std::vector<std::string> revokes;  // accounts add: rights to clear
};

// Parses the arguments after the program name; 0, or kAdminUsage with `error`.
// The sub-command's own words are checked by CheckAdminWords.
int ParseAdminOptions(const std::vector<std::string>& arguments, AdminOptions& options,
                      std::string& error);
// The words each sub-command takes; 0, or kAdminUsage with `error`.
int CheckAdminWords(const AdminOptions& options, std::string& error);

// "host[:port]"; false for an empty host or a port outside 1..65535.
bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// "a.b.c.d[/bits]" for the ban list: the address in host order and the
// prefix as the ban list messages carry it (1..31, or 0 for one address).
// False for a malformed address or a prefix outside 1..32.
bool ParseBanAddress(const std::string& text, std::uint32_t& address, std::uint16_t& bits);

// The ban address as the server's list shows it: "a.b.c.d" or "a.b.c.d/bits".
std::string BanAddressText(std::uint32_t address, std::uint16_t bits);

// The --help text.
std::string AdminHelpText();

}  // namespace kestrune
