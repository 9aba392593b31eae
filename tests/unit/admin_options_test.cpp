#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/admin_options.h"

namespace kestrune {
namespace {

struct Parsed {
  int rc;
  AdminOptions options;
  std::string error;
};

Parsed Parse(const std::vector<std::string>& arguments) {
  Parsed parsed;
  parsed.rc = ParseAdminOptions(arguments, parsed.options, parsed.error);
  return parsed;
}

TEST(AdminOptions, OptionsAndWordsMixInAnyOrder) {
  const Parsed p = Parse({"--user", "Op", "bans", "--server=10.0.0.5:4000", "add", "10.1.0.0/16",
                          "--reason", "flood, again", "--timeout", "750"});
  ASSERT_EQ(p.rc, 0) << p.error;
  EXPECT_EQ(p.options.command, "bans");
  EXPECT_EQ(p.options.words, (std::vector<std::string>{"add", "10.1.0.0/16"}));
  EXPECT_EQ(p.options.host, "10.0.0.5");
  EXPECT_EQ(p.options.port, 4000);
  EXPECT_EQ(p.options.user, "Op");
  EXPECT_EQ(p.options.reason, "flood, again");
  EXPECT_EQ(p.options.timeoutMs, 750);

  // After "--" a console command may begin with '-'; the port defaults.
  const Parsed rcon = Parse({"rcon", "--server", "127.0.0.1", "--user", "Op", "--", "-x"});
  ASSERT_EQ(rcon.rc, 0) << rcon.error;
  EXPECT_EQ(rcon.options.words, std::vector<std::string>{"-x"});
  EXPECT_EQ(rcon.options.port, 3784);
  EXPECT_EQ(rcon.options.timeoutMs, kAdminDefaultTimeoutMs);

  const Parsed grants = Parse({"accounts", "add", "Kid", "--server", "127.0.0.1", "--user", "Op",
                               "--grant", "Rcon,UsersBan", "--grant=ChatGlobal", "--revoke", "SeeChan"});
  ASSERT_EQ(grants.rc, 0) << grants.error;
  EXPECT_EQ(grants.options.grants, (std::vector<std::string>{"Rcon", "UsersBan", "ChatGlobal"}));
  EXPECT_EQ(grants.options.revokes, std::vector<std::string>{"SeeChan"});
}

TEST(AdminOptions, BadCommandLinesAreUsageErrors) {
  const std::vector<std::string> online = {"--server", "127.0.0.1", "--user", "Op"};
  auto with = [&online](std::vector<std::string> words) {
    words.insert(words.end(), online.begin(), online.end());
    return words;
  };
  struct Case {
    std::vector<std::string> arguments;
    std::string errorPart;
  };
  const std::vector<Case> cases = {
      {{}, "no sub-command"},
      {{"frobnicate"}, "unknown sub-command"},
      {with({"who", "--password", "secret"}), "not taken from the command line"},
      {with({"who", "--admin-password=secret"}), "not taken from the command line"},
      {with({"who", "--bogus"}), "unknown option"},
      {{"who", "--user", "Op"}, "needs --server"},
      {{"who", "--server", "127.0.0.1"}, "needs --user"},
      {with({"who", "extra"}), "takes no arguments"},
      {with({"rcon"}), "usage: rcon"},
      {with({"rcon", "a", "b"}), "usage: rcon"},
      {with({"accounts"}), "usage: accounts"},
      {with({"accounts", "passwd"}), "usage: accounts passwd NAME"},
      {with({"accounts", "rename", "x"}), "unknown accounts action"},
      {with({"bans", "add", "10.0.0.0/0"}), "bad ban address"},
      {with({"bans", "add", "10.0.0.256"}), "bad ban address"},
      {with({"bans", "remove"}), "usage: bans remove"},
      {{"status"}, "usage: status"},
      {{"status", "127.0.0.1:0"}, "bad address"},
      {{"digest", "abc"}, "standard input"},
      {with({"who", "--server", "127.0.0.1:70000"}), "bad --server"},
      {with({"who", "--timeout", "0"}), "bad --timeout"},
      {with({"who", "--timeout", "5s"}), "bad --timeout"},
      {{"who", "--server", "127.0.0.1", "--user"}, "needs a value"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.arguments);
    std::string line;
    for (const auto& a : c.arguments) line += a + " ";
    EXPECT_EQ(p.rc, kAdminUsage) << line;
    EXPECT_NE(p.error.find(c.errorPart), std::string::npos) << line << "-> " << p.error;
  }
  // Help needs nothing else.
  const Parsed help = Parse({"who", "--help"});
  EXPECT_EQ(help.rc, 0);
  EXPECT_TRUE(help.options.help);
}

TEST(AdminOptions, BanAddressesMapToTheListsPrefixes) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t address;
    std::uint16_t bits;
    const char* shown;
  };
  const Case cases[] = {
      {"10.1.2.3", true, 0x0A010203, 0, "10.1.2.3"},
      {"10.1.2.3/32", true, 0x0A010203, 0, "10.1.2.3"},  // one address goes as 0
      {"10.0.0.0/8", true, 0x0A000000, 8, "10.0.0.0/8"},
      {"192.168.0.0/31", true, 0xC0A80000, 31, "192.168.0.0/31"},
      {"10.0.0.0/0", false, 0, 0, ""},
      {"10.0.0.0/33", false, 0, 0, ""},
      {"10.0.0.0/", false, 0, 0, ""},
      {"10.0.0/8", false, 0, 0, ""},
      {"host.example/8", false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    std::uint32_t address = 0;
    std::uint16_t bits = 99;
    ASSERT_EQ(ParseBanAddress(c.text, address, bits), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address, c.address) << c.text;
    EXPECT_EQ(bits, c.bits) << c.text;
    EXPECT_EQ(BanAddressText(address, bits), c.shown) << c.text;
  }
  // The list reports one address with 32 bits.
  EXPECT_EQ(BanAddressText(0x7F000032, 32), "127.0.0.50");
}

TEST(AdminOptions, HelpNamesTheExitStatusesAndTheChatLimits) {
  const std::string help = AdminHelpText();
  for (const char* part : {"digest", "status host[:port]", "rcon", "ChatGlobal", "SpamChat",
                           "KESTRUNE_PASSWORD", "KESTRUNE_ADMIN_PASSWORD", "--timeout",
                           "Exit status", "0  success", "2  server unreachable",
                           "3  login refused", "4  a missing right"}) {
    EXPECT_NE(help.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace kestrune
