#include "admin/admin_options.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <map>

namespace kestrune {

namespace {

constexpr int kLargestTimeoutMs = 600000;

// Options that take a value, and the field each one fills.
std::string* ValueField(const std::string& option, AdminOptions& options) {
  const std::map<std::string, std::string AdminOptions::*> fields = {
      {"--user", &AdminOptions::user},
      {"--password-file", &AdminOptions::passwordFile},
      {"--admin-password-file", &AdminOptions::adminPasswordFile},
      {"--new-password-file", &AdminOptions::newPasswordFile},
      {"--name", &AdminOptions::name},
      {"--reason", &AdminOptions::reason},
      {"--notes", &AdminOptions::notes},
  };
  auto it = fields.find(option);
  return it == fields.end() ? nullptr : &(options.*(it->second));
}

// Splits "a,b,c" into its non-empty pieces.
void AppendList(const std::string& text, std::vector<std::string>& list) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) list.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

bool ParseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtol(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

}  // namespace

int ParseAdminOptions(const std::vector<std::string>& arguments, AdminOptions& options,
                      std::string& error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (argument == "--help" || argument == "-h" || argument == "-?") {
      options.help = true;
      continue;
    }
    if (argument == "--detail") {
      options.detail = true;
      continue;
    }
    if (argument == "--json") {
      options.json = true;
      continue;
    }
    if (argument == "--") {
      // Everything after "--" is a word, so a console command may start with '-'.
      for (++i; i < arguments.size(); ++i) {
        if (options.command.empty()) {
          options.command = arguments[i];
        } else {
          options.words.push_back(arguments[i]);
        }
      }
      break;
    }
    if (argument.size() > 1 && argument[0] == '-') {
      std::string value;
      bool inlineValue = false;
      if (const std::size_t equals = argument.find('=');
          argument.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = argument.substr(equals + 1);
        argument = argument.substr(0, equals);
        inlineValue = true;
      }
      const bool known = argument == "--server" || argument == "--timeout" ||
                         argument == "--grant" || argument == "--revoke" ||
                         ValueField(argument, options) != nullptr;
      if (argument == "--password" || argument == "--admin-password" ||
          argument == "--new-password") {
        error = "passwords are not taken from the command line; use " + argument +
                "-file or the environment (see --help)";
        return kAdminUsage;
      }
      if (!known) {
        error = "unknown option '" + arguments[i] + "'";
        return kAdminUsage;
      }
      if (!inlineValue) {
        if (i + 1 >= arguments.size()) {
          error = "option " + argument + " needs a value";
          return kAdminUsage;
        }
        value = arguments[++i];
      }
      if (argument == "--server") {
        if (!ParseHostPort(value, options.host, options.port)) {
          error = "bad --server '" + value + "' (host[:port], port 1..65535)";
          return kAdminUsage;
        }
        options.hasServer = true;
      } else if (argument == "--timeout") {
        long ms = 0;
        if (!ParseNumber(value, 1, kLargestTimeoutMs, ms)) {
          error = "bad --timeout '" + value + "' (milliseconds, 1.." +
                  std::to_string(kLargestTimeoutMs) + ")";
          return kAdminUsage;
        }
        options.timeoutMs = static_cast<int>(ms);
      } else if (argument == "--grant") {
        AppendList(value, options.grants);
      } else if (argument == "--revoke") {
        AppendList(value, options.revokes);
      } else {
        *ValueField(argument, options) = value;
      }
      continue;
    }
    if (options.command.empty()) {
      options.command = argument;
    } else {
      options.words.push_back(argument);
    }
  }
  if (options.help) return 0;
  if (options.command.empty()) {
    error = "no sub-command given (see --help)";
    return kAdminUsage;
  }
  return CheckAdminWords(options, error);
}

int CheckAdminWords(const AdminOptions& options, std::string& error) {
  const std::string& command = options.command;
  const std::vector<std::string>& words = options.words;
  auto fail = [&error](const std::string& text) {
    error = text;
    return kAdminUsage;
  };
  if (command == "digest") {
    if (!words.empty())
      return fail("digest takes no arguments: the password comes on standard input");
    return 0;
  }
  if (command == "status") {
    if (words.size() != 1) return fail("usage: status host[:port] [--detail] [--json]");
    std::string host;
    std::uint16_t port = 0;
    if (!ParseHostPort(words[0], host, port)) return fail("bad address '" + words[0] + "'");
    return 0;
  }
  const bool online = command == "who" || command == "channels" || command == "rcon" ||
                      command == "accounts" || command == "bans" || command == "say";
  if (!online) return fail("unknown sub-command '" + command + "' (see --help)");
  if (!options.hasServer) return fail(command + " needs --server host[:port]");
  if (options.user.empty()) return fail(command + " needs --user NAME");
  if (command == "who" || command == "channels") {
    if (!words.empty()) return fail(command + " takes no arguments");
    return 0;
  }
  if (command == "rcon" || command == "say") {
    if (words.size() != 1 || words[0].empty()) {
      return fail("usage: " + command + " \"<" + (command == "rcon" ? "command" : "text") + ">\"");
    }
    return 0;
  }
  if (words.empty())
    return fail("usage: " + command +
                (command == "accounts" ? " list|add|passwd|lock|unlock|delete ..."
                                       : " list|add|remove ..."));
  const std::string& action = words[0];
  if (command == "accounts") {
    if (action == "list") {
      if (words.size() != 1) return fail("accounts list takes no further arguments");
      return 0;
    }
    if (action == "add" || action == "passwd" || action == "lock" || action == "unlock" ||
        action == "delete") {
      if (words.size() != 2 || words[1].empty()) return fail("usage: accounts " + action + " NAME");
      return 0;
    }
    return fail("unknown accounts action '" + action + "'");
  }
  // bans
  if (action == "list") {
    if (words.size() != 1) return fail("bans list takes no further arguments");
    return 0;
  }
  if (action == "add" || action == "remove") {
    if (words.size() != 2) return fail("usage: bans " + action + " a.b.c.d[/bits]");
    std::uint32_t address = 0;
    std::uint16_t bits = 0;
    if (!ParseBanAddress(words[1], address, bits)) {
      return fail("bad ban address '" + words[1] + "' (a.b.c.d or a.b.c.d/bits, bits 1..32)");
    }
    return 0;
  }
  return fail("unknown bans action '" + action + "'");
}

bool ParseHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  host = text.substr(0, colon);
  port = kAdminDefaultPort;
  if (host.empty()) return false;
  if (colon != std::string::npos) {
    long value = 0;
    if (!ParseNumber(text.substr(colon + 1), 1, 65535, value)) return false;
    port = static_cast<std::uint16_t>(value);
  }
  return true;
}

bool ParseBanAddress(const std::string& text, std::uint32_t& address, std::uint16_t& bits) {
  const std::size_t slash = text.find('/');
  in_addr parsed{};
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  bits = 0;
  if (slash == std::string::npos) return true;
  long value = 0;
  // A prefix of 0 would read as one address on the server: refuse it rather
  // than ban something other than what was typed.
  if (!ParseNumber(text.substr(slash + 1), 1, 32, value)) return false;
  bits = value == 32 ? 0 : static_cast<std::uint16_t>(value);
  return true;
}

std::string BanAddressText(std::uint32_t address, std::uint16_t bits) {
  std::string text = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) +
                     "." + std::to_string((address >> 8) & 0xFF) + "." +
                     std::to_string(address & 0xFF);
  if (bits != 0 && bits != 32) text += "/" + std::to_string(bits);
  return text;
}

std::string AdminHelpText() {
  return R"(Usage: kestrune_admin SUB-COMMAND [ARGUMENTS] [OPTIONS]

Administration of a running Kestrune server, for scripts and operators.

Offline:
  digest                    Reads a password from standard input (no echo on a
                            terminal) and prints the 64 upper-case hexadecimal
                            digits that EncPassLogin, EncPassAdmin, EncPass and
                            EncPassChan take.
  status host[:port] [--detail] [--json]
                            One status request over UDP; prints the server's
                            text, or with --json one JSON object with "server",
                            "channels" and "clients" (texts decoded).

Online (log in to the server, do one thing, log out):
  who                       The logged-in clients and their channels.
  channels                  The channel tree.
  rcon "<command>"          Runs one console command over chat and prints its
                            reply lines. Needs the account's Rcon and ChatGlobal
                            rights, and the line counts against the server's
                            SpamChat rule like any chat line. Console commands
                            reply with chat lines and no end mark; the tool
                            ends the wait when the server has answered a
                            request sent right after the command.
  say "<text>"              One chat line (needs ChatGlobal; SpamChat applies).
  accounts list             The accounts (needs AdminMode, UsersAdd or UsersDelete).
  accounts add NAME [--notes TEXT] [--grant R1,R2] [--revoke R1,R2]
                            A new account; its password is read as for digest
                            (or from --new-password-file / KESTRUNE_NEW_PASSWORD).
                            Rights are named as in the accounts file (Rcon,
                            UsersBan, ChatGlobal, ...); the others keep the
                            accounts file's defaults.
  accounts passwd NAME      A new password for NAME, read as for add.
  accounts lock NAME [--reason TEXT] | accounts unlock NAME | accounts delete NAME
  bans list                 The server ban list (needs UsersBan).
  bans add a.b.c.d[/bits] [--name NAME] [--reason TEXT]
  bans remove a.b.c.d[/bits]
                            The server answers neither with a result; the tool
                            lists the bans again to confirm.

Options of the online sub-commands:
  --server host[:port]      The server (port 3784 by default).
  --user NAME               The account to log in with. With Duplicates=0 in the
                            server's settings, this login replaces any other
                            session of the same name: use an account of its own.
  --password-file FILE      The account password (first line of FILE); else the
                            environment variable KESTRUNE_PASSWORD; else none.
  --admin-password-file FILE
                            The server administrator password, to enter
                            AdminMode after the login; else the environment
                            variable KESTRUNE_ADMIN_PASSWORD; else no AdminMode.
  --timeout MS              Bound of every wait, in milliseconds (default 5000).

Passwords are never taken from the command line.

Exit status:
  0  success
  1  usage error, or a password file that cannot be read
  2  server unreachable, a time-out, or the connection lost
  3  login refused (wrong password, locked account, banned address, full server)
  4  a missing right, or a request the server refused
)";
}

}  // namespace kestrune
