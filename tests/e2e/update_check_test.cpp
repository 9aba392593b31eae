// The built server against stand-in update services. The first report goes
// out 30 s after the start, so the servers of every case run side by side in
// one test and share that wait.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/admin_requests.h"
#include "client/session.h"
#include "e2e/support/fake_update_service.h"
#include "e2e/support/server_process.h"
#include "store/password_digest.h"

namespace kestrune::e2e {
namespace {

using test::FakeUpdateService;

constexpr const char* kHost = "127.0.0.1";

std::string Hex(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

// Boss and Chief administer the server; Ann does not.
std::string Accounts() {
  return "[Boss]\nUID=1\nEncPass=" + Hex("boss") +
         "\nServerAdmin=1\n[Chief]\nUID=2\nEncPass=" + Hex("chief") +
         "\nServerAdmin=1\n[Ann]\nUID=3\nEncPass=" + Hex("ann") + "\n[Guest]\nUID=4\n";
}

struct UpdatedServer {
  UpdatedServer(const std::string& name, std::optional<std::string> answer)
      : service(std::move(answer)) {
    server.WriteSettings("Name=" + name + "\nAuth=0\nEncPassAdmin=" + Hex("admin") +
                         "\nUpdateServer=" + service.Address() + "\n");
    server.WriteFile("kestrune_srv.usr", Accounts());
  }
  FakeUpdateService service;
  ServerProcess server;
};

// The new-version notices among what a login received.
std::vector<std::string> Notices(const LoginResult& result) {
  std::vector<std::string> notices;
  for (const auto& message : result.messages) {
    const std::optional<ServerTextInfo> text = ReadServerText(*message);
    if (text && text->code == 0 && text->flags == 0 && text->text.rfind("A new ", 0) == 0) {
      notices.push_back(text->text);
    }
  }
  return notices;
}

LoginResult LogIn(ClientSession& session, const UpdatedServer& target, const std::string& name,
                  std::uint32_t flags, const std::string& localAddress) {
  LoginRequest request;
  request.name = name;
  std::string password = name;
  for (char& c : password) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  PasswordDigest digest;
  digest.FromPlain(password);
  request.digest = digest.CopyBytes();
  request.flags = flags;
  return session.Join(kHost, static_cast<std::uint16_t>(target.server.Port()), request,
                      localAddress);
}

const char kNoticeHead[] = "A new Kestrune server (version 3.1.0) is now available.";
const char kNoticeClient[] =
    "\n\nThis update requires the clients that connect to\n"
    "this server be running version 3.0.5 or higher.";
const char kNoticeLink[] = "\n\nYou can download the new server from this link\n";

TEST(UpdateCheck, ReportsThirtySecondsAfterStartAndAnAnswerReachesAdministrators) {
  UpdatedServer full("Update, Full", std::string("NEWVER: 3.1.0\nURL: http://get.example/k%2Cnew\n"
                                                 "REQCLIENT: 3.0.5\n") +
                                         '\0');
  UpdatedServer noClient("Update Short",
                         std::string("NEWVER: 3.1.0\nURL: http://get.example/k\n") + '\0');
  UpdatedServer silent("Update Silent", std::nullopt);
  for (UpdatedServer* s : {&full, &noClient, &silent}) ASSERT_TRUE(s->server.StartReady());

  for (UpdatedServer* s : {&full, &noClient, &silent}) {
    ASSERT_TRUE(s->service.WaitForReports(1, 45000));
  }
  // Nobody reported before the 30 s were over, and the first report is ~30 s.
  const std::string report = full.service.Reports().at(0);
  std::smatch uptime;
  ASSERT_TRUE(std::regex_match(
      report, uptime,
      std::regex("PROD: Kestrune\nCOMP: Server\nPLAT: NetBSD-i386\nVER: 3\\.0\\.2\nMAXCL: 8\n"
                 "CLCNT: 0\nPORT: " +
                 std::to_string(full.server.Port()) + "\nUPTIME: ([0-9]+)\nNAME: Update, Full\n")))
      << report;
  EXPECT_GE(std::stoi(uptime[1]), 30);
  EXPECT_LE(std::stoi(uptime[1]), 33);

  // Logins: a ServerAdmin account gets the notice, unless it asks for a quiet
  // login (flag bit 0); nobody else gets it, and a silent service leaves none.
  ClientSession boss, chief, ann, shortBoss, silentBoss;
  // The service answers right after recording the report; give the server a
  // moment to read it.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const LoginResult bossLogin = LogIn(boss, full, "Boss", 0, "127.0.0.31");
  ASSERT_TRUE(bossLogin.accepted);
  EXPECT_EQ(Notices(bossLogin), std::vector<std::string>{std::string(kNoticeHead) + kNoticeClient +
                                                         kNoticeLink + "http://get.example/k,new"});
  const LoginResult quiet = LogIn(chief, full, "Chief", 1, "127.0.0.32");
  ASSERT_TRUE(quiet.accepted);
  EXPECT_TRUE(Notices(quiet).empty());
  const LoginResult plain = LogIn(ann, full, "Ann", 0, "127.0.0.33");
  ASSERT_TRUE(plain.accepted);
  EXPECT_TRUE(Notices(plain).empty());
  // The administrator password's login hears of it after the flags-2 text.
  PasswordDigest admin;
  admin.FromPlain("admin");
  ASSERT_TRUE(ann.Send(*BuildAdminLogin(admin.CopyBytes())));
  LoginResult adminLogin;
  bool flagsTwoFirst = false;
  while (auto message = ann.Receive(500)) {
    const std::optional<ServerTextInfo> text = ReadServerText(*message);
    if (text && text->flags == 2 && Notices(adminLogin).empty()) flagsTwoFirst = true;
    adminLogin.messages.push_back(std::move(message));
  }
  EXPECT_TRUE(flagsTwoFirst);
  EXPECT_EQ(Notices(adminLogin),
            std::vector<std::string>{std::string(kNoticeHead) + kNoticeClient + kNoticeLink +
                                     "http://get.example/k,new"});

  const LoginResult shortLogin = LogIn(shortBoss, noClient, "Boss", 0, "127.0.0.34");
  ASSERT_TRUE(shortLogin.accepted);
  EXPECT_EQ(Notices(shortLogin), std::vector<std::string>{std::string(kNoticeHead) + kNoticeLink +
                                                          "http://get.example/k"});
  const LoginResult silentLogin = LogIn(silentBoss, silent, "Boss", 0, "127.0.0.35");
  ASSERT_TRUE(silentLogin.accepted);
  EXPECT_TRUE(Notices(silentLogin).empty());

  for (UpdatedServer* s : {&full, &noClient, &silent}) {
    EXPECT_EQ(s->service.Reports().size(), 1u);
    EXPECT_EQ(s->server.Stop(), std::optional<int>(0));
    EXPECT_EQ(s->server.Stderr().find("Sanitizer"), std::string::npos) << s->server.Stderr();
    EXPECT_EQ(s->server.Stderr().find("runtime error"), std::string::npos) << s->server.Stderr();
  }
}

}  // namespace
}  // namespace kestrune::e2e
