#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "client/motd_requests.h"
#include "client/talk_requests.h"
#include "e2e/support/joined_client.h"

namespace kestrune::e2e {
namespace {

// Boss holds ServerAdmin (AdminMode at login), Op may use the console only,
// Ann and Cat are plain users.
std::string Accounts() {
  return "[Boss]\nUID=1\nEncPass=" + HexOf("pw") + "\nServerAdmin=1\n" +
         "[Op]\nUID=2\nEncPass=" + HexOf("pw") + "\nRcon=1\n" +
         "[Ann]\nUID=3\nEncPass=" + HexOf("pw") + "\n" + "[Cat]\nUID=4\nEncPass=" + HexOf("pw") +
         "\n" + "[Guest]\nUID=5\n";
}

constexpr const char* kChannels = "[Room]\nEncPassChan=\n[Other]\nEncPassChan=\n";

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& line : lines) {
    if (line == text) return true;
  }
  return false;
}

bool AnyContains(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class ConsoleFlow : public ::testing::Test {
 protected:
  void Start(const std::string& keys = "") {
    server.WriteSettings(keys + "PingRate=10\n" + ServerProcess::kBasicKeys);
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn", kChannels);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    CheckStderr();
  }
  void CheckStderr() {
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  JoinedClient Join(const std::string& name, const std::string& address) {
    return JoinAs(server, name, "pw", address);
  }

  // Console texts that arrive until the client has been quiet for a while.
  static std::vector<std::string> ConsoleTexts(JoinedClient& client, int quietMs = 300) {
    std::vector<std::string> texts;
    for (const auto& message : client.Drain(quietMs)) {
      auto chat = ReadChat(*message);
      if (chat && chat->action == 3) texts.push_back(chat->text);
    }
    return texts;
  }

  // Runs `line` over chat; the replies without the echo.
  std::vector<std::string> Rcon(JoinedClient& client, const std::string& line) {
    EXPECT_TRUE(client.Send(*BuildChat(2, "/rcon " + line)));
    auto texts = ConsoleTexts(client);
    EXPECT_FALSE(texts.empty()) << line;
    if (texts.empty()) return texts;
    EXPECT_EQ(texts.front(), "/rcon " + line);
    texts.erase(texts.begin());
    return texts;
  }

  // Types `line` on the server's standard input; what it printed up to the
  // dashes that end the command (log echo lines included).
  std::vector<std::string> Local(const std::string& line) {
    server.WriteStdin(line + "\n");
    std::size_t end = std::string::npos;
    EXPECT_TRUE(ServerProcess::WaitUntil(
        [&] {
          end = server.Stdout().find("----------\n", consumed_);
          return end != std::string::npos;
        },
        5000))
        << line;
    if (end == std::string::npos) return {};
    const std::string out = server.Stdout().substr(consumed_, end - consumed_);
    consumed_ = end + 11;
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t nl = out.find('\n', at);
      lines.push_back(out.substr(at, nl - at));
      at = nl + 1;
    }
    return lines;
  }
  void SkipStdout() { consumed_ = server.Stdout().size(); }

  std::vector<std::uint16_t> Refusals(JoinedClient& client) {
    std::vector<std::uint16_t> codes;
    for (const auto& message : client.Drain()) {
      if (auto refusal = ReadRefusal(*message)) codes.push_back(refusal->code);
    }
    return codes;
  }

  void Enter(JoinedClient& client, const std::string& channel) {
    ChannelRequest request;
    request.action = 3;
    request.clientId = client.id;
    request.channel = client.ChannelId(channel);
    request.withTexts = false;
    ASSERT_NE(request.channel, 0);
    ASSERT_TRUE(client.Send(*BuildChannelRequest(request)));
    client.Drain(200);
  }

  ServerProcess server;
  bool started_ = false;
  std::size_t consumed_ = 0;
};

TEST_F(ConsoleFlow, LocalConsoleRunsEveryCommandAndQuitStopsTheServer) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  SkipStdout();
  char row[128];
  std::snprintf(row, sizeof row, "  %5u     0 %5d %-32s %s", static_cast<unsigned>(ann.id), -1,
                "Ann", "127.0.0.2");
  for (const char* word : {"STATUS", "Status"}) {
    const auto lines = Local(word);
    EXPECT_TRUE(Has(lines, "RCON: ID 0, 'CONSOLE' issued '" + std::string(word) + "'")) << word;
    EXPECT_TRUE(Has(lines, "    UID   CID  PING")) << word;
    EXPECT_TRUE(Has(lines, row)) << word;
    EXPECT_TRUE(Has(lines, "Connections 1/8")) << word;
  }
  EXPECT_TRUE(Has(Local("abcdefghijklm"), "The command 'abcdefghijklm' does not exist."));
  EXPECT_EQ(Local("abcdefghijklmn"),
            std::vector<std::string>{"RCON: ID 0, 'CONSOLE' issued 'abcdefghijklmn'"});
  auto version = Local("version");
  EXPECT_TRUE(Has(version, "Kestrune Server - Public"));
  EXPECT_TRUE(Has(version, "Server version = 3.0.2"));
  EXPECT_TRUE(Has(Local("maxclients"), "Maxclients = 8."));
  EXPECT_TRUE(Has(Local("name"), "Test Server"));
  auto help = Local("help");
  EXPECT_TRUE(Has(help, "  auth"));
  EXPECT_TRUE(Has(help, "  version"));
  EXPECT_TRUE(Has(Local("monitor 1"), "The monitor command is used by remote consoles only."));

  // Time stamps reach the log's console echo and the fatal-signal lines.
  Local("timestamp 1");
  const auto stamped = Local("diag 1");
  const std::regex stamp(
      R"(\d{8} \d\d:\d\d:\d\d ADMIN: Diag mode changed by 'CONSOLE' now set to '1'\.)");
  bool found = false;
  for (const auto& line : stamped) found = found || std::regex_match(line, stamp);
  EXPECT_TRUE(found);
  EXPECT_TRUE(Has(stamped, "Diag has been changed to 1."));

  // DisableQuit (on by default) binds remote consoles only.
  Local("quit");
  EXPECT_EQ(server.WaitExit(), std::optional<int>(0));
  started_ = false;
  CheckStderr();
  EXPECT_NE(server.Log().find("ADMIN: Quit command issued by 'CONSOLE'"), std::string::npos);
}

TEST_F(ConsoleFlow, FatalSignalLinesFollowTheTimeStampSetting) {
  Start();
  Local("timestamp 1");
  SkipStdout();
  ASSERT_TRUE(server.Signal(SIGALRM));
  EXPECT_EQ(server.WaitExit(), std::optional<int>(1));
  started_ = false;
  EXPECT_TRUE(std::regex_search(server.Stdout().substr(consumed_),
                                std::regex(R"(\d{8} \d\d:\d\d:\d\d SIGNAL: ALRM\.)")))
      << server.Stdout();
}

TEST_F(ConsoleFlow, RemoteIssuersNeedTheirRights) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient op = Join("Op", "127.0.0.3");
  JoinedClient boss = Join("Boss", "127.0.0.4");
  ASSERT_TRUE(ann.Send(*BuildChat(2, "/rcon version")));
  EXPECT_EQ(Refusals(ann), std::vector<std::uint16_t>{26});
  for (const auto& [line, code] : std::vector<std::pair<std::string, std::uint16_t>>{
           {"auth", 4},
           {"banadd 127.0.0.9 x", 22},
           {"clientkick " + std::to_string(boss.id), 23}}) {
    ASSERT_TRUE(op.Send(*BuildChat(2, "/rcon " + line)));
    EXPECT_EQ(Refusals(op), std::vector<std::uint16_t>{code}) << line;
  }
  EXPECT_EQ(Rcon(op, "clientkick " + std::to_string(op.id)),
            std::vector<std::string>{"Not allowed to kick your self."});
  for (const char* word : {"STATUS", "Status"}) {
    const auto lines = Rcon(op, word);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "    UID   CID  PING");
    EXPECT_EQ(lines.back(), "Connections 3/8");
  }
  EXPECT_EQ(Rcon(op, "abcdefghijklm"),
            std::vector<std::string>{"The command 'abcdefghijklm' does not exist."});
  EXPECT_EQ(Rcon(op, "abcdefghijklmn"), std::vector<std::string>{});
  // Console lines are never chat: nobody else saw any of them.
  EXPECT_EQ(ConsoleTexts(boss), std::vector<std::string>{});
}

TEST_F(ConsoleFlow, AuthAndPasswordApplyToTheNextLogin) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.4");
  EXPECT_EQ(Rcon(boss, "auth"),
            (std::vector<std::string>{"Syntax: auth <0|1|2>", "Auth currently set to 0."}));
  EXPECT_EQ(Rcon(boss, "auth 5"),
            (std::vector<std::string>{"Syntax: auth <0|1|2>", "Auth currently set to 0."}));
  EXPECT_EQ(Rcon(boss, "pingrate 11"), (std::vector<std::string>{"Syntax: pingrate <1..10>",
                                                                 "Pingrate currently set to 10."}));
  EXPECT_EQ(Rcon(boss, "pingrate 10"), std::vector<std::string>{});
  EXPECT_EQ(Rcon(boss, "auth 2"), std::vector<std::string>{"Auth mode has been changed to 2."});

  auto guestLogin = [&](const std::string& password, const std::string& address) {
    ClientSession session;
    LoginRequest request;
    request.name = "Visitor";
    request.flags = 1;
    if (!password.empty()) request.digest = DigestOf(password);
    return session.Join("127.0.0.1", static_cast<std::uint16_t>(server.Port()), request, address)
        .accepted;
  };
  EXPECT_FALSE(guestLogin("", "127.0.0.5"));
  EXPECT_EQ(Rcon(boss, "auth x"), std::vector<std::string>{"Auth mode has been changed to 0."});
  EXPECT_TRUE(guestLogin("", "127.0.0.6"));

  EXPECT_EQ(Rcon(boss, "password door"),
            std::vector<std::string>{"Login password has been changed."});
  EXPECT_EQ(Rcon(boss, "auth 1"), std::vector<std::string>{"Auth mode has been changed to 1."});
  EXPECT_FALSE(guestLogin("", "127.0.0.7"));
  EXPECT_TRUE(guestLogin("door", "127.0.0.8"));

  const std::string log = server.Log();
  EXPECT_NE(log.find("ADMIN: Password changed by 'Boss' now set to '********'."),
            std::string::npos);
  EXPECT_NE(log.find("RCON: ID " + std::to_string(boss.id) + ", 'Boss' issued 'password ********'"),
            std::string::npos);
  EXPECT_EQ(log.find("door"), std::string::npos);
}

TEST_F(ConsoleFlow, StatusLinesAndCountersForEachViewer) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.4");
  JoinedClient op = Join("Op", "127.0.0.3");
  auto row = [](const char* marker, std::uint16_t id, const char* name, const char* extra) {
    char text[128];
    std::snprintf(text, sizeof text, "%s%5u     0 %5d %-32s %s", marker, static_cast<unsigned>(id),
                  -1, name, extra);
    return std::string(text);
  };
  EXPECT_EQ(
      Rcon(boss, "status"),
      (std::vector<std::string>{"    UID   CID  PING", row("* ", boss.id, "Boss", "127.0.0.4"),
                                row("  ", op.id, "Op", "127.0.0.3"), "", "Connections 2/8"}));
  EXPECT_EQ(Rcon(op, "status"),
            (std::vector<std::string>{"    UID   CID  PING", row("  ", boss.id, "Boss", ""),
                                      row("  ", op.id, "Op", ""), "", "Connections 2/8"}));
  EXPECT_EQ(Rcon(op, "status 1")[2], row("  ", op.id, "Op", "test client 1.0"));

  // A phantom has its own row: marker P, its channel, ping 0, its owner's name.
  const std::uint16_t room = op.ChannelId("Room");
  ASSERT_TRUE(op.Send(*BuildPhantom({kPhantomAdd, 0, op.id, 0, room})));
  std::uint16_t phantom = 0;
  for (const auto& message : op.Drain(300)) {
    if (auto info = ReadPhantom(*message); info && info->result == 0) phantom = info->phantom;
  }
  ASSERT_NE(phantom, 0);
  boss.Drain(100);
  char phantomRow[128];
  std::snprintf(phantomRow, sizeof phantomRow, "P %5u %5u %5d %-32s %s",
                static_cast<unsigned>(phantom), static_cast<unsigned>(room), 0, "Op", "127.0.0.3");
  const auto withPhantom = Rcon(boss, "status");
  EXPECT_TRUE(Has(withPhantom, phantomRow)) << phantomRow;
  EXPECT_EQ(withPhantom.back(), "Connections 3/8");
  ASSERT_TRUE(op.Send(*BuildPhantom({kPhantomRemove, 0, op.id, phantom, room})));
  op.Drain(200);
  boss.Drain(100);
  SkipStdout();
  const auto local = Local("status");
  EXPECT_TRUE(Has(local, row("* ", boss.id, "Boss", "127.0.0.4")));

  const auto lines = Rcon(boss, "clientstatus " + std::to_string(op.id));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "Name          = Op");
  EXPECT_EQ(lines[1].rfind("IP            = 127.0.0.3 (", 0), 0u) << lines[1];
  EXPECT_EQ(lines[3], "Platform      = Linux");
  EXPECT_EQ(lines[4], "Version       = test client 1.0");

  auto counter = [](const std::vector<std::string>& lines, const std::string& label) {
    for (const auto& line : lines) {
      if (line.rfind(label, 0) == 0) return std::stoll(line.substr(label.size()));
    }
    return -1LL;
  };
  const auto before = Rcon(op, "serverstatus");
  ASSERT_GE(before.size(), 6u);
  EXPECT_EQ(before[0], "----------------------------------------");
  EXPECT_EQ(before[1].rfind("Uptime                  = 0 00:00:", 0), 0u) << before[1];
  EXPECT_EQ(before.back(), "");
  EXPECT_EQ(counter(before, "Total connections       = "), 2);
  JoinedClient ann = Join("Ann", "127.0.0.2");
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(ann.Send(*BuildChat(2, "some traffic " + std::to_string(i))));
  ann.Drain(200);
  const auto after = Rcon(op, "serverstatus");
  EXPECT_GT(counter(after, "Bytes sent to server    = "),
            counter(before, "Bytes sent to server    = "));
  EXPECT_GT(counter(after, "Bytes sent from server  = "),
            counter(before, "Bytes sent from server  = "));
  EXPECT_EQ(counter(after, "Total connections       = "), 3);
}

TEST_F(ConsoleFlow, BansKicksAndQuit) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.4");
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient cat = Join("Cat", "127.0.0.3");
  EXPECT_EQ(Rcon(boss, "banlist"), std::vector<std::string>{"Ban table is empty."});
  EXPECT_EQ(Rcon(boss, "banadd 127.0.0.9 flooding us"), std::vector<std::string>{"Success."});
  EXPECT_EQ(Rcon(boss, "banlist"),
            std::vector<std::string>{"127.0.0.9, ipaddress_from_rcon, Boss, flooding us"});
  EXPECT_NE(
      server.ReadFile("kestrune_srv.ban").find("127.0.0.9,ipaddress_from_rcon,Boss,flooding us"),
      std::string::npos);
  {
    ClientSession banned;
    LoginRequest request;
    request.name = "Visitor";
    EXPECT_FALSE(
        banned.Join("127.0.0.1", static_cast<std::uint16_t>(server.Port()), request, "127.0.0.9")
            .accepted);
  }
  EXPECT_EQ(Rcon(boss, "bandel 127.0.0.9"), std::vector<std::string>{"Success."});
  EXPECT_EQ(server.ReadFile("kestrune_srv.ban").find("127.0.0.9"), std::string::npos);
  EXPECT_EQ(Rcon(boss, "banlist"), std::vector<std::string>{"Ban table is empty."});

  EXPECT_EQ(Rcon(boss, "clientkick " + std::to_string(ann.id)),
            std::vector<std::string>{"Kicked ID " + std::to_string(ann.id) + " 'Ann'."});
  auto notice = ann.session->WaitFor(MSG_REFUSAL, 2000);
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(ReadRefusal(*notice)->code, 43);
  EXPECT_EQ(Rcon(boss, "clientkick 999"),
            std::vector<std::string>{"Unable to find client ID 999."});

  EXPECT_EQ(Rcon(boss, "quit"),
            std::vector<std::string>{"Remote console 'quit' command has been disabled."});
  EXPECT_EQ(Rcon(boss, "kickall"), std::vector<std::string>{"All clients kicked."});
  EXPECT_TRUE(cat.session->WaitClosed(3000));
  // The issuer stays; the others are gone after the next reap.
  std::vector<std::string> status;
  EXPECT_TRUE(ServerProcess::WaitUntil(
      [&] {
        status = Rcon(boss, "status");
        return !status.empty() && status.back() == "Connections 1/8";
      },
      5000));
  EXPECT_TRUE(server.WaitForLog("MSG_DISC: ID " + std::to_string(cat.id)));
}

TEST_F(ConsoleFlow, RemoteQuitStopsTheServerWhenAllowed) {
  Start("DisableQuit=0\n");
  JoinedClient boss = Join("Boss", "127.0.0.4");
  ASSERT_TRUE(boss.Send(*BuildChat(2, "/rcon quit")));
  EXPECT_EQ(server.WaitExit(), std::optional<int>(0));
  started_ = false;
  CheckStderr();
}

TEST_F(ConsoleFlow, MonitorLogGrepAndTextToSpeech) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.4");
  JoinedClient op = Join("Op", "127.0.0.3");
  EXPECT_EQ(Rcon(boss, "monitor 1"), std::vector<std::string>{});
  EXPECT_EQ(Rcon(op, "version").size(), 2u);
  EXPECT_TRUE(
      Has(ConsoleTexts(boss), "RCON: ID " + std::to_string(op.id) + ", 'Op' issued 'version'"));
  // Its own lines come back too.
  EXPECT_TRUE(Has(Rcon(boss, "auth 0"), "ADMIN: Auth mode changed by 'Boss' now set to '0'."));
  // Logged before it takes effect.
  EXPECT_EQ(Rcon(boss, "monitor 0"),
            std::vector<std::string>{"RCON: ID " + std::to_string(boss.id) +
                                     ", 'Boss' issued 'monitor 0'"});
  EXPECT_EQ(Rcon(op, "version").size(), 2u);
  EXPECT_EQ(ConsoleTexts(boss), std::vector<std::string>{});

  for (int i = 1; i <= 7; ++i)
    EXPECT_EQ(Rcon(op, "tts hit " + std::to_string(i)), std::vector<std::string>{});
  int heard = 0;
  for (const auto& message : boss.Drain()) {
    if (auto bind = ReadBind(*message); bind && message->Type() == MSG_TTS) {
      EXPECT_EQ(bind->text, "hit " + std::to_string(++heard));
    }
  }
  EXPECT_EQ(heard, 7);
  const auto found = Rcon(boss, "loggrep 5 hit");
  ASSERT_EQ(found.size(), 5u);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_NE(found[i].find(" ADMIN: Server TTS message sent by 'Op' was 'hit " +
                            std::to_string(i + 3) + "'."),
              std::string::npos)
        << found[i];
  }
  EXPECT_EQ(Rcon(boss, "loggrep 0 hit").size(), 7u);
}

TEST_F(ConsoleFlow, PingTraceReportsTheChosenClients) {
  Start("PingRate=1\n");
  JoinedClient boss = Join("Boss", "127.0.0.4");
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient cat = Join("Cat", "127.0.0.3");
  Enter(boss, "Room");
  Enter(ann, "Room");
  Enter(cat, "Other");
  boss.Drain(100);
  // Everyone answers pings for a while; what the tracer was told.
  auto traced = [&](int ms) -> std::vector<std::string> {
    std::vector<std::string> lines;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      for (JoinedClient* client : {&boss, &ann, &cat}) {
        while (auto message = client->session->Receive(10)) {
          if (message->Type() == MSG_PING) {
            EXPECT_TRUE(client->Send(*BuildPingAnswer(message->GetU16(6), 0)));
          } else if (auto chat = ReadChat(*message); chat && chat->action == 3 && client == &boss) {
            lines.push_back(chat->text);
          }
        }
      }
    }
    return lines;
  };
  auto tracesOf = [](const std::vector<std::string>& lines, std::uint16_t id) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "PingTrace: ID %4u, Ping ", static_cast<unsigned>(id));
    return AnyContains(lines, prefix);
  };
  traced(2500);  // the first ping of each client only starts its clock
  ASSERT_TRUE(boss.Send(*BuildChat(2, "/rcon pingtrace -2")));
  auto lines = traced(2500);
  EXPECT_TRUE(tracesOf(lines, ann.id));
  EXPECT_FALSE(tracesOf(lines, cat.id));
  ASSERT_TRUE(boss.Send(*BuildChat(2, "/rcon pingtrace -1")));
  traced(300);
  lines = traced(2500);
  EXPECT_TRUE(tracesOf(lines, ann.id));
  EXPECT_TRUE(tracesOf(lines, cat.id));
  ASSERT_TRUE(boss.Send(*BuildChat(2, "/rcon pingtrace " + std::to_string(cat.id))));
  traced(300);
  lines = traced(2500);
  EXPECT_FALSE(tracesOf(lines, ann.id));
  EXPECT_TRUE(tracesOf(lines, cat.id));
  EXPECT_EQ(
      Rcon(boss, "pingtrace"),
      (std::vector<std::string>{"Syntax: pingtrace <-2|-1|0|1..1023>",
                                "Pingtrace currently set to " + std::to_string(cat.id) + "."}));
}

}  // namespace
}  // namespace kestrune::e2e
