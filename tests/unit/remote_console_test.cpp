#include "console/remote_console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/talk_requests.h"
#include "protocol/text_messages.h"
#include "protocol_fixture.h"
#include "store/permission_block.h"

namespace kestrune::testing {
namespace {

using P = PermissionBlock;

class RemoteConsoleTest : public ProtocolFixture {
 protected:
  void SetUp() override {
    ProtocolFixture::SetUp();
    settings.disableQuit = 1;
    settings.pingRate = 10;
    console = std::make_unique<RemoteConsole>(ConsoleContext{
        *protocol, settings, dir.File("t.log"), "Kestrune Server - Public",
        [this](int value) { diagCopy = value; }, [this](int value) { stampCopy = value; },
        [this] { ++stops; }, [this] { return interfaces; }, [] { return 90061u; }});
    admin = &LoggedIn("Sam", "sam", "127.0.0.3");
    ASSERT_TRUE(admin->c->administrator);
    user = &LoggedIn("Ann", "ann", "127.0.0.2");
    user->c->permissions[P::kRcon] = 1;
  }

  // The console texts that reached `client`, in order.
  std::vector<std::string> Replies(TestClient& client) {
    std::vector<std::string> texts;
    for (const auto& message : Drain(client)) {
      auto chat = ReadChat(*message);
      if (chat && chat->action == kChatConsole) texts.push_back(chat->text);
    }
    return texts;
  }
  // Runs `line` as `client` and returns its replies without the echo.
  std::vector<std::string> Run(TestClient& client, const std::string& line) {
    console->Run(client.c, line);
    auto texts = Replies(client);
    EXPECT_FALSE(texts.empty()) << line;
    if (!texts.empty()) {
      EXPECT_EQ(texts.front(), "/rcon " + line);
      texts.erase(texts.begin());
    }
    return texts;
  }
  std::vector<std::uint16_t> Refusals(TestClient& client) {
    std::vector<std::uint16_t> codes;
    for (const auto& message : Drain(client)) {
      if (auto refusal = ReadRefusal(*message)) codes.push_back(refusal->code);
    }
    return codes;
  }
  std::uint32_t ConsoleOffences(const std::string& account, const TestClient& client) {
    const PenaltyEntry* entry =
        accounts->FindByName(account)->penalties.Peek(PenaltyAddress(*client.c));
    return entry != nullptr ? entry->counters[kOffenceConsoleWithoutRcon] : 0;
  }
  // What the local console prints for `line`.
  std::string RunLocal(const std::string& line) {
    ::testing::internal::CaptureStdout();
    console->Run(nullptr, line);
    return ::testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<RemoteConsole> console;
  TestClient* admin = nullptr;
  TestClient* user = nullptr;
  std::vector<InterfaceStats> interfaces{{"", 100, 200, 3}};
  int diagCopy = -1;
  int stampCopy = -1;
  int stops = 0;
};

TEST_F(RemoteConsoleTest, CommandWordsAreLookedUpWithoutCaseAndLongWordsAreAnOffence) {
  for (const char* line : {"STATUS", "Status", "status 1"}) {
    const auto replies = Run(*admin, line);
    ASSERT_FALSE(replies.empty()) << line;
    EXPECT_EQ(replies.front(), "    UID   CID  PING") << line;
  }
  EXPECT_EQ(Run(*admin, "abcdefghijklm"),
            std::vector<std::string>{"The command 'abcdefghijklm' does not exist."});
  EXPECT_EQ(Run(*admin, "abcdefghijklmn extra"), std::vector<std::string>{});
  EXPECT_EQ(ConsoleOffences("Sam", *admin), 1u);
  // The line is logged whatever the word.
  EXPECT_TRUE(log.Has("RCON: ID " + std::to_string(admin->c->id) +
                      ", 'Sam' issued 'abcdefghijklmn extra'"));
  EXPECT_TRUE(admin->c->socket >= 0);
}

TEST_F(RemoteConsoleTest, WithoutRconNothingRunsAndTheAttemptIsCounted) {
  user->c->permissions[P::kRcon] = 0;
  console->Run(user->c, "version");
  EXPECT_EQ(Refusals(*user), std::vector<std::uint16_t>{kRefuseNoRcon});
  EXPECT_EQ(ConsoleOffences("Ann", *user), 1u);
  for (const auto& line : log.lines) EXPECT_EQ(line.find("RCON:"), std::string::npos) << line;
}

TEST_F(RemoteConsoleTest, HandlersCheckTheirRight) {
  struct Case {
    const char* line;
    std::uint16_t refusal;
  } cases[] = {
      {"auth 1", kRefuseNotAdmin},
      {"kickall", kRefuseNotAdmin},
      {"quit", kRefuseNotAdmin},
      {"monitor 1", kRefuseNotAdmin},
      {"banadd 10.0.0.1 x", kRefuseNoUsersBan},
      {"banlist", kRefuseNoUsersBan},
      {"clientkick 1000", kRefuseNoUsersKick},
  };
  for (const Case& c : cases) {
    console->Run(user->c, c.line);
    EXPECT_EQ(Refusals(*user), std::vector<std::uint16_t>{c.refusal}) << c.line;
  }
  EXPECT_EQ(settings.auth, 0);
  EXPECT_EQ(stops, 0);
  EXPECT_EQ(bans->List().Size(), 0u);
  EXPECT_TRUE(admin->c->socket >= 0);
  // Oneself is never kicked, whatever the rights.
  EXPECT_EQ(Run(*user, "clientkick " + std::to_string(user->c->id)),
            std::vector<std::string>{"Not allowed to kick your self."});
  // Rights of its own pass without AdminMode.
  user->c->permissions[P::kUsersBan] = 1;
  EXPECT_EQ(Run(*user, "banlist"), std::vector<std::string>{"Ban table is empty."});
}

TEST_F(RemoteConsoleTest, NumericSettingsTakeOnlyValuesInRange) {
  struct Case {
    const char* line;
    std::vector<std::string> replies;
  } cases[] = {
      {"auth", {"Syntax: auth <0|1|2>", "Auth currently set to 0."}},
      {"auth 2", {"Auth mode has been changed to 2."}},
      {"auth 5", {"Syntax: auth <0|1|2>", "Auth currently set to 2."}},
      {"auth x", {"Auth mode has been changed to 0."}},
      {"pingrate 11", {"Syntax: pingrate <1..10>", "Pingrate currently set to 10."}},
      {"pingrate  3 ", {}},
      {"pingrate", {"Syntax: pingrate <1..10>", "Pingrate currently set to 3."}},
      {"diag 1", {"Diag has been changed to 1."}},
      {"timestamp 1", {}},
      {"timestamp 2", {"Syntax: timestamp <0|1>", "Timestamp currently set to 1."}},
      {"pingtrace -3", {"Syntax: pingtrace <-2|-1|0|1..1023>", "Pingtrace currently set to 0."}},
      {"pingtrace -1", {}},
      {"pingtrace", {"Syntax: pingtrace <-2|-1|0|1..1023>", "Pingtrace currently set to -1."}},
      {"monitor 1", {}},
      {"monitor", {"Syntax: monitor <0|1>", "Monitor currently set to 1."}},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(*admin, c.line), c.replies) << c.line;
  EXPECT_EQ(settings.pingRate, 3);
  EXPECT_EQ(settings.diag, 1);
  EXPECT_EQ(diagCopy, 1);
  EXPECT_EQ(settings.timeStamp, 1);
  EXPECT_EQ(stampCopy, 1);
  EXPECT_EQ(static_cast<std::uint16_t>(admin->c->pingTraceTarget), 65535);
  EXPECT_TRUE(admin->c->logWatch);
  EXPECT_TRUE(log.Has("ADMIN: Auth mode changed by 'Sam' now set to '2'."));
  Run(*admin, "pingtrace -2");
  EXPECT_EQ(static_cast<std::uint16_t>(admin->c->pingTraceTarget), 65534);
}

TEST_F(RemoteConsoleTest, StatusShowsRowsMarkersAndTheExtraColumnByViewer) {
  std::uint16_t id = 0;
  ASSERT_EQ(table.AllocateId(id), 0);
  auto phantom = std::make_unique<Connection>(nullptr, id);
  phantom->phantomOwner = admin->c->id;
  phantom->name = "Ghost";
  phantom->channel = 7;
  phantom->pingTime = 55;
  ASSERT_EQ(table.Add(std::move(phantom), true), 0);
  admin->c->version = "3.0.0";
  admin->c->pingTime = 12;
  auto row = [](const std::string& marker, unsigned uid, unsigned cid, int ping,
                const std::string& name, const std::string& extra) {
    char text[256];
    std::snprintf(text, sizeof text, "%s%5u %5u %5d %-32s %s", marker.c_str(), uid, cid, ping,
                  name.c_str(), extra.c_str());
    return std::string(text);
  };
  const unsigned sam = admin->c->id;
  const unsigned ann = user->c->id;
  EXPECT_EQ(
      Run(*admin, "status"),
      (std::vector<std::string>{"    UID   CID  PING", row("* ", sam, 0, 12, "Sam", "127.0.0.3"),
                                row("  ", ann, 0, -1, "Ann", "127.0.0.2"),
                                row("P ", id, 7, 0, "Ghost", ""), "", "Connections 3/8"}));
  // No AdminMode: no administrator marker, no addresses; versions on request.
  EXPECT_EQ(Run(*user, "status"),
            (std::vector<std::string>{"    UID   CID  PING", row("  ", sam, 0, 12, "Sam", ""),
                                      row("  ", ann, 0, -1, "Ann", ""),
                                      row("P ", id, 7, 0, "Ghost", ""), "", "Connections 3/8"}));
  EXPECT_EQ(Run(*user, "status 1")[1], row("  ", sam, 0, 12, "Sam", "3.0.0"));
  // A closed connection waiting for the reap step is no row.
  user->c->Close();
  EXPECT_EQ(Run(*admin, "status").back(), "Connections 2/8");
}

TEST_F(RemoteConsoleTest, StatusCutsLongNames) {
  user->c->name = std::string(40, 'n');
  const auto rows = Run(*admin, "status 2");
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[2].substr(20), std::string(32, 'n') + " ");
}

TEST_F(RemoteConsoleTest, ClientCommandsFindOnlyLiveConnections) {
  const std::string ann = std::to_string(user->c->id);
  EXPECT_EQ(Run(*admin, "clientstatus"), std::vector<std::string>{"Syntax: clientstatus <id>"});
  EXPECT_EQ(Run(*admin, "clientstatus x"), std::vector<std::string>{"Invalid client ID."});
  EXPECT_EQ(Run(*admin, "clientstatus 999"),
            std::vector<std::string>{"Unable to find client ID 999."});
  const auto lines = Run(*admin, "clientstatus " + ann);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "Name          = Ann");
  EXPECT_EQ(Run(*admin, "clientkick"), std::vector<std::string>{"Invalid client ID."});
  EXPECT_EQ(Run(*admin, "clientkick " + ann),
            std::vector<std::string>{"Kicked ID " + ann + " 'Ann'."});
  EXPECT_TRUE(log.Has("ADMIN: ID " + ann + ", User 'Ann' was kicked by 'Sam'."));
  bool noticed = false;
  for (const auto& message : Drain(*user)) {
    if (auto refusal = ReadRefusal(*message)) noticed = refusal->code == kReasonConsoleKick;
  }
  EXPECT_TRUE(noticed);
  EXPECT_TRUE(user->c->closing);
}

TEST_F(RemoteConsoleTest, KickAllClosesEveryoneButTheIssuer) {
  TestClient& other = LoggedIn("Rex", "rex", "127.0.0.4");
  EXPECT_EQ(Run(*admin, "kickall"), std::vector<std::string>{"All clients kicked."});
  EXPECT_TRUE(admin->c->socket >= 0);
  EXPECT_EQ(user->c->socket, -1);
  EXPECT_EQ(other.c->socket, -1);
  // Closed, not removed: the reap step does that.
  EXPECT_EQ(table.Count(), 3u);
  EXPECT_TRUE(log.Has("ADMIN: Kickall issued by 'Sam'."));
}

TEST_F(RemoteConsoleTest, PasswordIsNeverLogged) {
  const PasswordDigest before = settings.encPassLogin;
  EXPECT_EQ(Run(*admin, "password " + std::string(32, 'p')),
            std::vector<std::string>{"The password is to long, 31 characters max."});
  EXPECT_TRUE(settings.encPassLogin.Equals(before));
  EXPECT_EQ(Run(*admin, "password   "), std::vector<std::string>{"Syntax: password <newpassword>"});
  EXPECT_EQ(Run(*admin, "password secret"),
            std::vector<std::string>{"Login password has been changed."});
  PasswordDigest expected;
  expected.FromPlain("secret");
  EXPECT_TRUE(settings.encPassLogin.Equals(expected));
  EXPECT_TRUE(log.Has("ADMIN: Password changed by 'Sam' now set to '********'."));
  EXPECT_TRUE(
      log.Has("RCON: ID " + std::to_string(admin->c->id) + ", 'Sam' issued 'password ********'"));
  for (const auto& line : log.lines) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
}

TEST_F(RemoteConsoleTest, LogGrepKeepsTheLastMatchesWithoutConsoleAndErrorLines) {
  EXPECT_EQ(Run(*admin, "loggrep 5"),
            std::vector<std::string>{"Syntax: loggrep <lines> <search string>"});
  EXPECT_EQ(Run(*admin, "loggrep 5 x"), std::vector<std::string>{"Unable to open log file."});
  std::string text;
  std::vector<std::string> matches;
  for (int i = 1; i <= 7; ++i) {
    const std::string line =
        "20240131 23:59:0" + std::to_string(i) + " AUTO: hit " + std::to_string(i);
    text += line + "  \n";
    matches.push_back(line);
  }
  text += "20240131 23:59:08 RCON: ID 1, 'Sam' issued 'loggrep 5 hit'\n";
  text += "20240131 23:59:09 ERROR: hit\n";
  text += "20240131 23:59:09 AUTO: Hit, other case\n";
  dir.Write("t.log", text);
  EXPECT_EQ(Run(*admin, "loggrep 5 hit"),
            std::vector<std::string>(matches.begin() + 2, matches.end()));
  EXPECT_EQ(Run(*admin, "loggrep 0 hit"), matches);
  EXPECT_EQ(Run(*admin, "loggrep x  hit 7"), std::vector<std::string>{matches.back()});
}

TEST_F(RemoteConsoleTest, BanCommandsChangeTheBanList) {
  EXPECT_EQ(Run(*admin, "banadd 10.0.0.0/8"),
            std::vector<std::string>{"Syntax: banadd <ip[/bits]> <reason>"});
  EXPECT_EQ(Run(*admin, "banadd 10.0.0.0/8 too many  words"), std::vector<std::string>{"Success."});
  EXPECT_EQ(
      Run(*admin, "banadd 10.1.1.1 again"),
      std::vector<std::string>{"Unable to add the specified IP and/or subnet to the ban list."});
  EXPECT_EQ(Run(*admin, "banlist"),
            std::vector<std::string>{"10.0.0.0/8, ipaddress_from_rcon, Sam, too many  words"});
  EXPECT_EQ(Run(*admin, "bandel"), std::vector<std::string>{"Syntax: bandel <ip[/bits]>"});
  EXPECT_EQ(Run(*admin, "bandel 10.0.0.1"),
            std::vector<std::string>{
                "Unable to delete the specified IP and/or subnet from the ban list."});
  EXPECT_EQ(Run(*admin, "bandel 10.0.0.0/8"), std::vector<std::string>{"Success."});
  EXPECT_EQ(bans->List().Size(), 0u);
}

TEST_F(RemoteConsoleTest, InformationCommands) {
  properties.comment = "100% fun";
  settings.name = "Unit %s";
  EXPECT_EQ(Run(*admin, "name"), std::vector<std::string>{"Unit %s (100% fun)"});
  EXPECT_EQ(Run(*admin, "version"),
            (std::vector<std::string>{"Kestrune Server - Public", "Server version = 3.0.2"}));
  EXPECT_EQ(Run(*user, "maxclients"), std::vector<std::string>{"Maxclients = 8."});
  const auto help = Run(*user, "help");
  ASSERT_EQ(help.size(), 22u);
  EXPECT_EQ(help.front(), "  auth");
  EXPECT_EQ(help.back(), "  version");
  const std::vector<std::string> head = {"----------------------------------------",
                                         "Uptime                  = 1 01:01:01",
                                         "Bytes sent to server    = 100",
                                         "Bytes sent from server  = 200",
                                         "Total connections       = 3",
                                         ""};
  EXPECT_EQ(Run(*user, "serverstatus"), head);
  interfaces.push_back({"eth1", 5, 6, 1});
  auto lines = head;
  lines[2] = "Bytes sent to server    = 105";
  lines[3] = "Bytes sent from server  = 206";
  lines[4] = "Total connections       = 4";
  for (const char* line :
       {"  ** Intf  **", "  Bytes from        = 100", "  Bytes to          = 200",
        "  Total connections = 3", "", "  ** Intf eth1 **", "  Bytes from        = 5",
        "  Bytes to          = 6", "  Total connections = 1"})
    lines.push_back(line);
  EXPECT_EQ(Run(*user, "serverstatus"), lines);
}

TEST_F(RemoteConsoleTest, TtsReachesEveryClient) {
  EXPECT_EQ(Run(*user, "tts"), std::vector<std::string>{"Syntax: tts <text>"});
  console->Run(user->c, "tts  hello all ");
  for (TestClient* client : {admin, user}) {
    bool heard = false;
    for (const auto& message : Drain(*client)) {
      if (auto bind = ReadBind(*message); bind && message->Type() == MSG_TTS) {
        heard = bind->sender == 0 && bind->text == "hello all";
      }
    }
    EXPECT_TRUE(heard);
  }
  EXPECT_TRUE(log.Has("ADMIN: Server TTS message sent by 'Ann' was 'hello all'."));
}

TEST_F(RemoteConsoleTest, TheLocalConsoleHasEveryRightButNoRemoteCommands) {
  EXPECT_EQ(RunLocal("monitor 1"), "The monitor command is used by remote consoles only.\n");
  EXPECT_EQ(RunLocal("pingtrace 1"), "The pingtrace command is used by remote consoles only.\n");
  EXPECT_EQ(RunLocal("clientkick 0"), "Invalid client ID.\n");
  EXPECT_EQ(RunLocal(""), "");
  EXPECT_TRUE(log.Has("RCON: ID 0, 'CONSOLE' issued 'monitor 1'"));
  // Quit is refused remotely while DisableQuit is set, never locally.
  EXPECT_EQ(Run(*admin, "quit"),
            std::vector<std::string>{"Remote console 'quit' command has been disabled."});
  EXPECT_EQ(stops, 0);
  EXPECT_EQ(RunLocal("quit"), "");
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(log.Has("ADMIN: Quit command issued by 'CONSOLE'"));
  settings.disableQuit = 0;
  Run(*admin, "quit");
  EXPECT_EQ(stops, 2);
  EXPECT_EQ(RunLocal("kickall"), "All clients kicked.\n");
  EXPECT_EQ(admin->c->socket, -1);
  EXPECT_EQ(user->c->socket, -1);
}

TEST_F(RemoteConsoleTest, LongConsoleTextsArriveCut) {
  // Forwarded log lines may be far longer than one counted string.
  table.SendConsoleText(admin->c, "%s", std::string(2000, 'x').c_str());
  EXPECT_EQ(Replies(*admin),
            std::vector<std::string>{std::string(Message::kMaxCountedString, 'x')});
}

}  // namespace
}  // namespace kestrune::testing
