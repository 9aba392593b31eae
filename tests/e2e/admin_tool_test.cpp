// Runs the built kestrune_admin against the built server on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/channel_requests.h"
#include "client/talk_requests.h"
#include "e2e/support/joined_client.h"
#include "e2e/support/tool_process.h"
#include "unit/support/json_reader.h"
#include "util/text.h"

namespace kestrune::e2e {
namespace {

using test::Json;
using test::JsonReader;
using test::RunProgram;
using test::ToolInput;
using test::ToolRun;

// Boss holds ServerAdmin; Op may use the console and ban; Ann is plain and
// has no chat; Cat is plain.
std::string Accounts() {
  return "[Boss]\nUID=1\nEncPass=" + HexOf("pw") + "\nServerAdmin=1\n" +
         "[Op]\nUID=2\nEncPass=" + HexOf("pw") + "\nRcon=1\nUsersBan=1\n" +
         "[Ann]\nUID=3\nEncPass=" + HexOf("pw") + "\nChatGlobal=0\n" +
         "[Cat]\nUID=4\nEncPass=" + HexOf("pw") + "\n[Guest]\nUID=5\n";
}

std::string Decoded(std::string value) {
  UnescapeText(value);
  return value;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return lines;
}

class AdminTool : public ::testing::Test {
 protected:
  void SetUp() override {
    server.WriteSettings("AdminPassword=root\nPingRate=10\n" +
                         std::string(ServerProcess::kBasicKeys));
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn",
                     "[Room]\nEncPassChan=\n[Room/Sub]\nEncPassChan=\n[Other]\nEncPassChan=\n");
    server.WriteFile("kestrune_srv.prop", "[SrvProp]\nComment=Ops, here\n");
    server.WriteFile("pw.txt", "pw\n");
    server.WriteFile("root.txt", "root\n");
    ASSERT_TRUE(server.StartReady());
  }
  void TearDown() override {
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  std::string Where() const { return "127.0.0.1:" + std::to_string(server.Port()); }

  // The tool logged in as `user` (password "pw" from a file).
  ToolRun Admin(const std::string& user, std::vector<std::string> arguments,
                const ToolInput& input = {}) {
    arguments.insert(arguments.end(), {"--server", Where(), "--user", user, "--password-file",
                                       server.PathOf("pw.txt"), "--timeout", "3000"});
    return RunProgram(kestrune_admin_PATH, arguments, input);
  }

  static void ExpectOneErrorLine(const ToolRun& run, int status, const std::string& part) {
    EXPECT_EQ(run.exitCode, status) << run.out << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
  }

  ServerProcess server;
};

TEST(AdminToolOffline, DigestGivesTheKnownAnswersAndRefusesBadPasswords) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"abc", "9B07975AA2275034DCBB9CAEC62D9924E1E4782F5276114F0F80C8606DE391FE"},
      {"password", "C0E74653014ED6E782B46E791DFC106FAA60D7F26E0BFA43FD7B8FD8E5B25762"},
      {"g", "3A67F229270C91811D60FEDA282E2FDCBE11D049D69511C8ECD4013E77C4913D"},
      {"A", "B293DD689F63988B6703609CED29E97B6DCF7C722C7F4772061E05ADA01160B5"},
      {std::string(31, 'a'), "9B63E677D90558E9652D17D0682B821316A666228BDE63583734436DF96B5DE4"},
  };
  for (const auto& [password, digest] : vectors) {
    // With and without a line end; a Windows line end too.
    for (const char* end : {"\n", "", "\r\n"}) {
      const ToolRun run = RunProgram(kestrune_admin_PATH, {"digest"}, {password + end, {}});
      EXPECT_EQ(run.exitCode, 0) << password;
      EXPECT_EQ(run.out, digest + "\n") << password;
      EXPECT_EQ(run.err, "") << password;
    }
  }
  for (const std::string& bad : {std::string(""), std::string("\n"), std::string(32, 'a') + "\n"}) {
    const ToolRun run = RunProgram(kestrune_admin_PATH, {"digest"}, {bad, {}});
    EXPECT_EQ(run.exitCode, 1) << bad;
    EXPECT_EQ(run.out, "") << bad;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  }
  const ToolRun help = RunProgram(kestrune_admin_PATH, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("SpamChat"), std::string::npos);
  const ToolRun usage = RunProgram(kestrune_admin_PATH, {"who", "--password", "x"});
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_EQ(usage.out, "");
}

// Everything `fd` gives until `text` shows up, within `ms`.
bool ReadUntil(int fd, std::string& got, const std::string& text, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

TEST(AdminToolOffline, DigestOnATerminalHidesThePasswordAndRestoresTheEcho) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slavePath = ptsname(master);
  int outPipe[2];
  int errPipe[2];
  ASSERT_EQ(pipe(outPipe), 0);
  ASSERT_EQ(pipe(errPipe), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int slave = open(slavePath.c_str(), O_RDWR);
    dup2(slave, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    execl(kestrune_admin_PATH, kestrune_admin_PATH, "digest", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  std::string prompt;
  // Type only once the prompt shows: the echo is off by then.
  EXPECT_TRUE(ReadUntil(errPipe[0], prompt, "Password: ", 5000)) << prompt;
  ASSERT_EQ(write(master, "abc\n", 4), 4);
  std::string out;
  EXPECT_TRUE(ReadUntil(outPipe[0], out, "\n", 5000));
  int status = 0;
  for (int i = 0; i < 250 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, "9B07975AA2275034DCBB9CAEC62D9924E1E4782F5276114F0F80C8606DE391FE\n");
  std::string echoed;
  ReadUntil(master, echoed, "never", 200);
  EXPECT_EQ(echoed.find("abc"), std::string::npos) << echoed;
  termios after{};
  ASSERT_EQ(tcgetattr(master, &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u) << "the echo is back on";
  close(outPipe[0]);
  close(errPipe[0]);
  close(master);
}

TEST(AdminToolOffline, UnreachableAndSilentServersEndInTime) {
  // A port nobody listens on.
  const int closedPort = ServerProcess::PickFreePort();
  const std::string closed = "127.0.0.1:" + std::to_string(closedPort);
  ToolRun run = RunProgram(kestrune_admin_PATH, {"who", "--server", closed, "--user", "Op"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("cannot connect"), std::string::npos) << run.err;
  run = RunProgram(kestrune_admin_PATH, {"status", closed, "--timeout", "1000"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("no status reply"), std::string::npos) << run.err;
  EXPECT_LT(run.seconds, 3.0);

  // A listener that accepts into its backlog and never answers.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string silent = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  run = RunProgram(kestrune_admin_PATH,
                   {"who", "--server", silent, "--user", "Op", "--timeout", "800"});
  close(fd);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("within 800 ms"), std::string::npos) << run.err;
  EXPECT_GE(run.seconds, 0.7);
  EXPECT_LT(run.seconds, 3.0);
}

TEST_F(AdminTool, RefusedLoginsAndMissingRightsPrintOneLine) {
  ToolInput wrong{"", {"KESTRUNE_PASSWORD=nope"}};
  ToolRun run =
      RunProgram(kestrune_admin_PATH,
                 {"who", "--server", Where(), "--user", "Op", "--timeout", "3000"}, wrong);
  ExpectOneErrorLine(run, 3, "wrong password for 'Op'");
  EXPECT_EQ(run.out, "");

  server.WriteFile("wrong-root.txt", "toor\n");
  run = Admin("Op", {"who", "--admin-password-file", server.PathOf("wrong-root.txt")});
  ExpectOneErrorLine(run, 3, "code 45");
  run = RunProgram(kestrune_admin_PATH, {"who", "--server", Where(), "--user", "Op",
                                         "--password-file", server.PathOf("missing.txt")});
  ExpectOneErrorLine(run, 1, "cannot read password file");

  const struct {
    std::vector<std::string> arguments;
    const char* part;
  } missing[] = {
      {{"bans", "list"}, "code 22"},
      {{"accounts", "list"}, "result 9"},
      {{"rcon", "version"}, "missing right: Rcon"},
      {{"say", "hello"}, "missing right: ChatGlobal"},
  };
  for (const auto& c : missing) {
    run = Admin("Ann", c.arguments);
    ExpectOneErrorLine(run, 4, c.part);
  }
  // The console's own refusal: auth needs AdminMode.
  run = Admin("Op", {"rcon", "auth 1"});
  ExpectOneErrorLine(run, 4, "code 4");
}

TEST_F(AdminTool, WhoChannelsAndStatusShowTheServer) {
  JoinedClient cat = JoinAs(server, "Cat", "pw", "127.0.0.2");
  ChannelRequest enter;
  enter.action = 3;
  enter.clientId = cat.id;
  enter.channel = cat.ChannelId("Sub");
  enter.withTexts = false;
  ASSERT_TRUE(cat.Send(*BuildChannelRequest(enter)));
  cat.Drain(200);

  ToolRun run = Admin("Op", {"who"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;  // the header and Cat; not the tool itself
  EXPECT_NE(lines[1].find("Room/Sub"), std::string::npos) << run.out;
  EXPECT_NE(lines[1].find("Cat"), std::string::npos) << run.out;
  EXPECT_NE(lines[1].find(std::to_string(cat.id)), std::string::npos) << run.out;

  run = Admin("Op", {"channels"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_NE(run.out.find("  Room\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  Room/Sub\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  Other\n"), std::string::npos) << run.out;

  // The same server as text and as JSON, requests more than 150 ms apart.
  const ToolRun text = RunProgram(kestrune_admin_PATH, {"status", Where(), "--detail"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const ToolRun json = RunProgram(kestrune_admin_PATH, {"status", Where(), "--detail", "--json"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_NE(text.out.find("NAME: Test Server\n"), std::string::npos) << text.out;
  const auto parsed = JsonReader::Parse(json.out);
  ASSERT_TRUE(parsed) << json.out;

  // Compare field by field; channel ids carry an offset that may change
  // between the two replies, so ids are compared through the channel names.
  std::map<std::string, std::string> textServer;
  std::vector<std::map<std::string, std::string>> textChannels;
  std::vector<std::map<std::string, std::string>> textClients;
  for (const std::string& line : Lines(text.out)) {
    if (line.empty()) continue;
    const std::string key = line.substr(0, line.find(": "));
    const std::string value = line.substr(line.find(": ") + 2);
    if (key != "CHANNEL" && key != "CLIENT") {
      textServer[key] = value;
      continue;
    }
    std::map<std::string, std::string> record;
    for (const std::string& field : Lines(std::string(value))) {
      std::size_t at = 0;
      while (at <= field.size()) {
        std::size_t comma = field.find(',', at);
        if (comma == std::string::npos) comma = field.size();
        const std::string piece = field.substr(at, comma - at);
        record[piece.substr(0, piece.find('='))] = Decoded(piece.substr(piece.find('=') + 1));
        at = comma + 1;
      }
    }
    (key == "CHANNEL" ? textChannels : textClients).push_back(record);
  }
  auto nameOf = [](const std::vector<std::map<std::string, std::string>>& channels,
                   const std::string& id) -> std::string {
    if (id == "0") return "(lobby)";
    for (const auto& channel : channels) {
      if (channel.at("CID") == id) return channel.at("NAME");
    }
    return "?" + id;
  };
  const Json& server = *parsed->Get("server");
  for (const auto& [key, value] : textServer) {
    if (key == "UPTIME" || key == "CHANNELFIELDS" || key == "CLIENTFIELDS") continue;
    ASSERT_NE(server.Get(key), nullptr) << key;
    EXPECT_EQ(server.Get(key)->text, Decoded(value)) << key;
  }
  EXPECT_EQ(server.members.size(), textServer.size() - 2);  // the two field lists are apart
  const Json& channels = *parsed->Get("channels");
  const Json& clients = *parsed->Get("clients");
  ASSERT_EQ(channels.items.size(), textChannels.size());
  ASSERT_EQ(clients.items.size(), textClients.size());
  std::vector<std::map<std::string, std::string>> jsonChannels;
  for (const Json& channel : channels.items) {
    std::map<std::string, std::string> record;
    for (const auto& [key, value] : channel.members) record[key] = value.text;
    jsonChannels.push_back(record);
  }
  for (std::size_t i = 0; i < textChannels.size(); ++i) {
    EXPECT_EQ(jsonChannels[i].at("NAME"), textChannels[i].at("NAME"));
    EXPECT_EQ(jsonChannels[i].at("PROT"), textChannels[i].at("PROT"));
    EXPECT_EQ(nameOf(jsonChannels, jsonChannels[i].at("PID")),
              nameOf(textChannels, textChannels[i].at("PID")));
  }
  ASSERT_EQ(textClients.size(), 1u);  // Cat; the tool's own logins have gone
  for (std::size_t i = 0; i < textClients.size(); ++i) {
    for (const auto& [key, value] : textClients[i]) {
      const Json* field = clients.items[i].Get(key);
      ASSERT_NE(field, nullptr) << key;
      if (key == "SEC") continue;
      if (key == "CID") {
        EXPECT_EQ(nameOf(jsonChannels, field->text), nameOf(textChannels, value));
      } else {
        EXPECT_EQ(field->text, value) << key;
      }
    }
  }
  EXPECT_EQ(nameOf(textChannels, textClients[0].at("CID")), "Sub");
  EXPECT_EQ(server.Get("COMMENT")->text, "Ops, here");
}

TEST_F(AdminTool, ConsoleCommandsAndChatLines) {
  ToolRun run = Admin("Op", {"rcon", "version"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "Kestrune Server - Public\nServer version = 3.0.2\n");
  EXPECT_EQ(run.err, "");

  // A command that answers nothing on success, and an unknown one (a reply, not a refusal).
  run = Admin("Op", {"rcon", "pingrate 10"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");
  run = Admin("Op", {"rcon", "nosuch"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "The command 'nosuch' does not exist.\n");

  // AdminMode through the administrator password opens the rest.
  run = Admin("Op", {"rcon", "auth", "--admin-password-file", server.PathOf("root.txt")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "Syntax: auth <0|1|2>\nAuth currently set to 0.\n");

  JoinedClient cat = JoinAs(server, "Cat", "pw", "127.0.0.2");
  ASSERT_TRUE(cat.Send(*BuildChat(0)));
  cat.Drain(200);
  run = Admin("Op", {"say", "hello, room"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  bool heard = false;
  for (const auto& message : cat.Drain(300)) {
    if (auto chat = ReadChat(*message); chat && chat->action == 2) {
      EXPECT_EQ(chat->text, "hello, room");
      heard = true;
    }
  }
  EXPECT_TRUE(heard);

  // The server trims a line before it looks for the console prefix.
  run = Admin("Op", {"say", "  /rcon quit"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_TRUE(ServerProcess::ProcessAlive(server.Pid()));
}

TEST_F(AdminTool, AccountsAddedWithTheToolLogIn) {
  ToolRun run = Admin("Boss", {"accounts", "add", "Kid", "--grant", "Rcon", "--notes", "from ops"},
                      {"kidpw\n", {}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("added account 'Kid'"), std::string::npos) << run.out;
  { JoinedClient kid = JoinAs(server, "Kid", "kidpw", "127.0.0.3"); }

  // The new account can use what it was granted.
  server.WriteFile("kid.txt", "kidpw\n");
  run = RunProgram(kestrune_admin_PATH, {"rcon", "version", "--server", Where(), "--user", "Kid",
                                         "--password-file", server.PathOf("kid.txt")});
  EXPECT_EQ(run.exitCode, 0) << run.err;

  run = Admin("Boss", {"accounts", "list"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  bool listed = false;
  for (const std::string& line : Lines(run.out)) {
    if (line.find(" Kid ") != std::string::npos) {
      listed = true;
      EXPECT_NE(line.find("Boss"), std::string::npos) << line;  // the owner
      EXPECT_NE(line.find("Rcon"), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(listed) << run.out;

  run = Admin("Boss", {"accounts", "add", "Kid"}, {"x\n", {}});
  ExpectOneErrorLine(run, 4, "result 2");
  run = Admin("Boss", {"accounts", "passwd", "kid"}, {"", {"KESTRUNE_NEW_PASSWORD=fresh"}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  { JoinedClient kid = JoinAs(server, "Kid", "fresh", "127.0.0.3"); }

  run = Admin("Boss", {"accounts", "lock", "Kid", "--reason", "on leave"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  server.WriteFile("kid.txt", "fresh\n");
  run = RunProgram(kestrune_admin_PATH, {"who", "--server", Where(), "--user", "Kid",
                                         "--password-file", server.PathOf("kid.txt")});
  ExpectOneErrorLine(run, 3, "on leave");
  run = Admin("Boss", {"accounts", "unlock", "Kid"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  { JoinedClient kid = JoinAs(server, "Kid", "fresh", "127.0.0.3"); }

  run = Admin("Boss", {"accounts", "delete", "Kid"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  run = Admin("Boss", {"accounts", "delete", "Kid"});
  ExpectOneErrorLine(run, 4, "no account named 'Kid'");
  run = Admin("Boss", {"accounts", "delete", "Guest"});
  ExpectOneErrorLine(run, 4, "result 6");
}

TEST_F(AdminTool, BansAreConfirmedByListingAgain) {
  ToolRun run = Admin("Op", {"bans", "list"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");
  run = Admin("Op", {"bans", "add", "127.0.0.77", "--name", "Mal", "--reason", "spam, flood"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "banned 127.0.0.77\n");
  run = Admin("Op", {"bans", "add", "10.0.0.0/8"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  run = Admin("Op", {"bans", "list"});
  EXPECT_EQ(run.out, "127.0.0.77, Mal, Op, spam, flood\n10.0.0.0/8, , Op, \n");

  run = Admin("Op", {"bans", "add", "10.9.9.9"});
  ExpectOneErrorLine(run, 4, "already covered");
  run = Admin("Op", {"bans", "remove", "10.9.9.9"});
  ExpectOneErrorLine(run, 4, "no ban of exactly 10.9.9.9");
  run = Admin("Op", {"bans", "remove", "10.0.0.0/8"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "unbanned 10.0.0.0/8\n");
  EXPECT_EQ(server.ReadFile("kestrune_srv.ban"), "127.0.0.77,Mal,Op,spam, flood\n");
}

}  // namespace
}  // namespace kestrune::e2e
