#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/session.h"
#include "e2e/support/server_process.h"
#include "store/password_digest.h"

namespace kestrune::e2e {
namespace {

constexpr const char* kHost = "127.0.0.1";

std::string Hex(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

std::array<std::uint8_t, 32> Digest(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

// Ann: plain; Rex: Reserved; Lou: locked; Dee: three logins per address;
// Ivy: one login per address.
std::string Accounts() {
  return "[Ann]\nUID=1\nEncPass=" + Hex("ann") + "\n[Rex]\nUID=2\nEncPass=" + Hex("rex") +
         "\nReserved=1\n[Lou]\nUID=3\nEncPass=" + Hex("lou") +
         "\nLocked=1\nLockedReason=On holiday\n[Dee]\nUID=4\nEncPass=" + Hex("dee") +
         "\nDuplicatesIPs=3\n[Ivy]\nUID=5\nEncPass=" + Hex("ivy") +
         "\nDuplicatesIPs=1\n[Guest]\nUID=6\n";
}

LoginRequest Request(const std::string& name, const std::string& password = "") {
  LoginRequest request;
  request.name = name;
  request.phonetic = name;
  if (!password.empty()) request.digest = Digest(password);
  return request;
}

std::vector<std::uint16_t> Types(const LoginResult& result) {
  return result.Types();
}

class LoginFlow : public ::testing::Test {
 protected:
  // Starts the server with `keys` before the basic ones (the first match wins).
  void Start(const std::string& keys = "", const std::string& properties = "") {
    server.WriteSettings(keys + "LogonTimeout=10\nPingRate=10\n" + ServerProcess::kBasicKeys);
    server.WriteFile("kestrune_srv.usr", Accounts());
    if (!properties.empty()) server.WriteFile("kestrune_srv.prop", "[SrvProp]\n" + properties);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }

  // A clean stop: exit status 0 (under the sanitizers also no leak) and no report.
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  // A session that has finished its handshake from `address`.
  std::unique_ptr<ClientSession> Shake(const std::string& address) {
    auto session = std::make_unique<ClientSession>();
    EXPECT_EQ(session->Connect(kHost, static_cast<std::uint16_t>(server.Port()), address), 0);
    auto handshake = session->Handshake();
    EXPECT_TRUE(handshake && handshake->reply.flags == 4) << address;
    return session;
  }

  struct Joined {
    std::unique_ptr<ClientSession> session;
    LoginResult result;
  };
  Joined Join(const std::string& name, const std::string& password, const std::string& address) {
    Joined joined;
    joined.session = Shake(address);
    joined.result = joined.session->Login(Request(name, password));
    return joined;
  }

  std::size_t Count(const std::string& text) const {
    const std::string log = server.Log();
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  ServerProcess server;
  bool started_ = false;
};

TEST_F(LoginFlow, HandshakeChecksTheVersion) {
  Start();
  auto good = std::make_unique<ClientSession>();
  ASSERT_EQ(good->Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.2"), 0);
  auto accepted = good->Handshake("3.0.0");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->reply.flags, 4);
  ASSERT_TRUE(accepted->info);
  EXPECT_EQ(accepted->info->port, server.Port());
  EXPECT_EQ(accepted->info->capacity, 8);
  EXPECT_EQ(accepted->info->loggedIn, 0);
  EXPECT_EQ(accepted->info->name, "Test Server");
  EXPECT_EQ(accepted->info->version, "3.0.2");

  const std::string refusal = "Incompatible version. Server is running version 3.0.2";
  ClientSession old;
  ASSERT_EQ(old.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.3"), 0);
  auto mismatch = old.Handshake("3.0.1");
  ASSERT_TRUE(mismatch);
  EXPECT_EQ(mismatch->reply.flags, 1);
  EXPECT_EQ(mismatch->reply.text, refusal);
  EXPECT_FALSE(mismatch->info) << "no server description after the notice";
  EXPECT_TRUE(server.WaitForLog(refusal, 3000));

  ClientSession tooShort;
  ASSERT_EQ(tooShort.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.4"), 0);
  ASSERT_TRUE(tooShort.Send(*BuildHandshakeRequest("30")));
  EXPECT_EQ(tooShort.Receive(2000), nullptr) << "closed without a text";
  EXPECT_TRUE(tooShort.Stream().PeerClosed());
}

TEST_F(LoginFlow, HandshakeKeysHaveTheirLengthsAndAlphabet) {
  Start();
  const std::string excluded = ",#'`-+._|/=:\"\\";
  auto allowed = [&](const std::string& key) {
    for (char c : key) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 33 || byte > 127 || excluded.find(c) != std::string::npos) return false;
    }
    return true;
  };
  for (int round = 0; round < 100; ++round) {
    ClientSession session;
    ASSERT_EQ(session.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.5"), 0);
    auto handshake = session.Handshake();
    ASSERT_TRUE(handshake) << round;
    ASSERT_EQ(handshake->reply.flags, 4);
    EXPECT_EQ(handshake->reply.text.find('|'), handshake->keyB.size()) << "one bar only";
    EXPECT_GE(handshake->keyA.size(), 75u);
    EXPECT_LE(handshake->keyA.size(), 126u);
    EXPECT_GE(handshake->keyB.size(), 56u);
    EXPECT_LE(handshake->keyB.size(), 126u);
    EXPECT_TRUE(allowed(handshake->keyA)) << handshake->keyA;
    EXPECT_TRUE(allowed(handshake->keyB)) << handshake->keyB;
    ASSERT_TRUE(handshake->info) << "the server description decodes with key A";
    session.Close();
    // Leave room in the table: the closed one is reaped on the next round.
    if (round % 8 == 7) {
      ASSERT_TRUE(ServerProcess::WaitUntil(
          [&] { return Count("127.0.0.5 aborted.") >= static_cast<std::size_t>(round - 1); },
          3000));
    }
  }
}

TEST_F(LoginFlow, GuestAndAccountReceiveThePictureInOrder) {
  Start("VoiceCodec=3\nVoiceFormat=7\n");
  server.WriteFile("kestrune_srv.gmotd", "Welcome, everyone.");
  server.WriteFile("kestrune_srv.motd", std::string(300, 'm'));

  Joined guest = Join("Visitor", "", "127.0.0.10");
  ASSERT_TRUE(guest.result.accepted);
  const std::vector<std::uint16_t> guestOrder = {
      MSG_SERVER_PROPS, MSG_SERVER_PROPS, MSG_SERVER_PROPS, MSG_ACCOUNT_ADMIN, MSG_RANK_ADMIN,
      MSG_USER_LIST,    MSG_SESSION_INFO, MSG_MOTD,         MSG_LOGIN_ACCEPTED};
  EXPECT_EQ(Types(guest.result), guestOrder);
  auto session = ReadSessionInfo(*guest.result.Find(MSG_SESSION_INFO));
  ASSERT_TRUE(session);
  EXPECT_EQ(session->codec, 3);
  EXPECT_EQ(session->format, 7);
  auto motd = ReadMotdPart(*guest.result.Find(MSG_MOTD));
  ASSERT_TRUE(motd);
  EXPECT_EQ(motd->kind, 1);
  EXPECT_EQ(motd->bytes, "Welcome, everyone.");

  Joined ann = Join("Ann", "ann", "127.0.0.11");
  ASSERT_TRUE(ann.result.accepted);
  const std::vector<std::uint16_t> accountOrder = {
      MSG_SERVER_PROPS, MSG_SERVER_PROPS, MSG_SERVER_PROPS,  MSG_ACCOUNT_ADMIN,
      MSG_RANK_ADMIN,   MSG_USER_LIST,    MSG_SESSION_INFO,  MSG_MOTD,
      MSG_MOTD,         MSG_MOTD,         MSG_LOGIN_ACCEPTED};
  EXPECT_EQ(Types(ann.result), accountOrder) << "guest part, then the two parts of 300 bytes";
  std::vector<std::uint16_t> propertyIds;
  for (const auto& message : ann.result.messages) {
    if (auto property = ReadProperty(*message)) {
      propertyIds.push_back(property->id);
      EXPECT_EQ(property->value, "0");
    }
  }
  EXPECT_EQ(propertyIds, (std::vector<std::uint16_t>{2, 3, 5}));
  auto permissions = ReadPermissionRecord(*ann.result.Find(MSG_ACCOUNT_ADMIN));
  ASSERT_TRUE(permissions);
  EXPECT_EQ((*permissions)[0], 1) << "UID of Ann";
  auto list = ReadUserList(*ann.result.Find(MSG_USER_LIST));
  ASSERT_TRUE(list);
  EXPECT_EQ(list->action, 4);
  ASSERT_EQ(list->records.size(), 3u);
  EXPECT_EQ(list->records[0].name, "Test Server");
  EXPECT_EQ(list->records[0].flagA, 2);
  EXPECT_EQ(list->records[1].name, "Ann");
  EXPECT_EQ(list->records[1].flagA, 1);
  EXPECT_EQ(list->records[2].name, "Visitor");
  EXPECT_EQ(list->records[2].flagB, 4) << "a guest";

  // The guest learns of the newcomer.
  auto announcement = guest.session->WaitFor(MSG_USER_LIST);
  ASSERT_TRUE(announcement);
  auto added = ReadUserList(*announcement);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->action, 1);
  ASSERT_EQ(added->records.size(), 1u);
  EXPECT_EQ(added->records[0].name, "Ann");
  EXPECT_EQ(added->records[0].id, list->records[1].id);
}

TEST_F(LoginFlow, AccountRefusals) {
  Start();
  Joined wrong = Join("Ann", "nope", "127.0.0.12");
  ASSERT_EQ(wrong.result.messages.size(), 1u);
  auto notice = ReadServerText(*wrong.result.messages[0]);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->flags, 65);
  EXPECT_EQ(notice->text, "");
  // Marked closing: a second try is discarded, not answered.
  auto again = wrong.session->Login(Request("Ann", "ann"), 500);
  EXPECT_TRUE(again.messages.empty());

  Joined locked = Join("lou", "lou", "127.0.0.13");
  ASSERT_EQ(locked.result.messages.size(), 1u);
  auto refusal = ReadRefusal(*locked.result.messages[0]);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 34);
  EXPECT_TRUE(refusal->closes);
  EXPECT_EQ(refusal->text, "On holiday");
}

TEST_F(LoginFlow, Auth2RefusesEveryGuest) {
  Start("Auth=2\n");
  Joined guest = Join("Visitor", "", "127.0.0.14");
  ASSERT_EQ(guest.result.messages.size(), 1u);
  auto notice = ReadServerText(*guest.result.messages[0]);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->flags, 65);
  EXPECT_TRUE(Join("Ann", "ann", "127.0.0.15").result.accepted) << "accounts still log in";
}

TEST_F(LoginFlow, Auth1AdmitsAGuestOnlyWithTheServerPassword) {
  Start("Auth=1\nPassword=open sesame\n");
  Joined without = Join("Visitor", "", "127.0.0.16");
  ASSERT_EQ(without.result.messages.size(), 1u);
  auto notice = ReadServerText(*without.result.messages[0]);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->flags, 65);
  EXPECT_TRUE(Join("Visitor", "open sesame", "127.0.0.17").result.accepted);
}

TEST_F(LoginFlow, SameNameReplacesTheOlderClientOnlyWhenTheLoginSucceeds) {
  Start("Duplicates=0\n");
  Joined first = Join("Ann", "ann", "127.0.0.20");
  ASSERT_TRUE(first.result.accepted);
  Joined second = Join("aNN", "ann", "127.0.0.21");
  ASSERT_TRUE(second.result.accepted);
  auto replaced = first.session->WaitFor(MSG_REFUSAL);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(ReadRefusal(*replaced)->code, 39);
  EXPECT_TRUE(ReadRefusal(*replaced)->closes);

  // Ivy may log in once per address, and Rex holds the other connection
  // there (the Ivy it would replace does not count): the refused second
  // login evicts nobody.
  Joined ivy = Join("Ivy", "ivy", "127.0.0.22");
  ASSERT_TRUE(ivy.result.accepted);
  Joined rex = Join("Rex", "rex", "127.0.0.22");
  ASSERT_TRUE(rex.result.accepted);
  ASSERT_TRUE(ivy.session->WaitFor(MSG_USER_LIST)) << "Rex's arrival";
  Joined again = Join("IVY", "ivy", "127.0.0.22");
  ASSERT_EQ(again.result.messages.size(), 1u);
  EXPECT_EQ(ReadRefusal(*again.result.messages[0])->code, 40);
  // Ivy still gets what logged-in clients get: the next arrival.
  Joined guest = Join("Visitor", "", "127.0.0.23");
  ASSERT_TRUE(guest.result.accepted);
  auto seen = ivy.session->Receive(2000);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->Type(), MSG_USER_LIST) << "not a refusal";
}

TEST_F(LoginFlow, LoginBeforeTheHandshakeCloses) {
  Start();
  ClientSession session;
  ASSERT_EQ(session.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.24"), 0);
  ASSERT_TRUE(session.Send(*BuildLoginRequest(Request("Ann", "ann"))));
  EXPECT_TRUE(session.WaitClosed(3000));
}

TEST_F(LoginFlow, AddressLimitAdmitsThreeAndRefusesTheFourth) {
  Start("Duplicates=1\n");
  std::vector<Joined> dees;
  for (int i = 0; i < 3; ++i) {
    dees.push_back(Join("Dee", "dee", "127.0.0.30"));
    ASSERT_TRUE(dees.back().result.accepted) << i;
  }
  Joined fourth = Join("Dee", "dee", "127.0.0.30");
  ASSERT_EQ(fourth.result.messages.size(), 1u);
  auto refusal = ReadRefusal(*fourth.result.messages[0]);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 41);
  EXPECT_TRUE(refusal->closes);
}

TEST_F(LoginFlow, FullServerBumpsAGuestForAReservedAccountOnly) {
  Start();
  std::vector<Joined> guests;
  for (int i = 0; i < 8; ++i) {
    guests.push_back(
        Join("Guest" + std::to_string(i) + "x", "", "127.0.0." + std::to_string(40 + i)));
    ASSERT_TRUE(guests.back().result.accepted) << i;
  }
  Joined turnedAway = Join("Ann", "ann", "127.0.0.50");
  ASSERT_EQ(turnedAway.result.messages.size(), 1u);
  auto full = ReadServerText(*turnedAway.result.messages[0]);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->flags, 257);
  turnedAway.session->Close();
  ASSERT_TRUE(server.WaitForLog("127.0.0.50 aborted.", 3000)) << "its slot is free again";

  Joined rex = Join("Rex", "rex", "127.0.0.51");
  ASSERT_TRUE(rex.result.accepted);
  auto bumped = guests[0].session->WaitFor(MSG_SERVER_TEXT);
  ASSERT_TRUE(bumped) << "the first guest in slot order";
  EXPECT_EQ(ReadServerText(*bumped)->flags, 1025);
}

TEST_F(LoginFlow, StatusNameAndGuestLimitRefusals) {
  Start("", "StatusRequireName=1\nGuestMaxLogin=1\n");
  ClientSession nameless;
  ASSERT_EQ(nameless.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.60"), 0);
  ASSERT_TRUE(nameless.Handshake());
  LoginRequest request = Request("Ann", "ann");
  request.statusName = 0;
  auto refused = nameless.Login(request);
  ASSERT_EQ(refused.messages.size(), 1u);
  EXPECT_EQ(ReadRefusal(*refused.messages[0])->code, 18);

  Joined first = Join("Visitor", "", "127.0.0.61");
  ASSERT_TRUE(first.result.accepted);
  Joined second = Join("Wanderer", "", "127.0.0.62");
  ASSERT_EQ(second.result.messages.size(), 1u);
  auto limit = ReadRefusal(*second.result.messages[0]);
  ASSERT_TRUE(limit);
  EXPECT_EQ(limit->code, 19);
  EXPECT_TRUE(limit->closes);
}

// A message of any type with `body` bytes after the header.
std::unique_ptr<Message> Raw(std::uint16_t type, std::size_t body) {
  auto message = std::make_unique<Message>(4 + body);
  message->SetU16(0, type);
  return message;
}

TEST_F(LoginFlow, DispatcherClosesUnknownAndMalformedTypes) {
  Start();
  struct Case {
    std::uint16_t type;
    std::size_t body;
    bool loggedIn;
  } closing[] = {{1, 8, false},  {53, 12, false}, {100, 4, false}, {100, 4, true},
                 {300, 0, true}, {75, 8, false},  {75, 7, true},   {75, 9, true}};
  int host = 70;
  for (const Case& k : closing) {
    const std::string address = "127.0.0." + std::to_string(host++);
    std::unique_ptr<ClientSession> session;
    if (k.loggedIn) {
      Joined joined = Join("Ann", "ann", address);
      ASSERT_TRUE(joined.result.accepted);
      session = std::move(joined.session);
    } else {
      session = Shake(address);
    }
    ASSERT_TRUE(session->Send(*Raw(k.type, k.body)));
    EXPECT_TRUE(session->WaitClosed(3000)) << k.type << " body " << k.body;
  }
}

TEST_F(LoginFlow, IgnoredTypesLeaveTheConnectionOpen) {
  Start();
  auto session = Shake("127.0.0.80");
  ASSERT_TRUE(session->Send(*Raw(84, 12)));
  ASSERT_TRUE(session->Send(*Raw(84, 3)));
  auto login = session->Login(Request("Ann", "ann"));
  ASSERT_TRUE(login.accepted) << "type 84 before login changed nothing";
  ASSERT_TRUE(session->Send(*Raw(84, 40)));
  ASSERT_TRUE(session->Send(*Raw(75, 8)));
  Joined rex = Join("Rex", "rex", "127.0.0.81");
  ASSERT_TRUE(rex.result.accepted);
  auto announcement = session->Receive(2000);
  ASSERT_TRUE(announcement) << "still open after types 84 and 75";
  EXPECT_EQ(announcement->Type(), MSG_USER_LIST);
}

TEST_F(LoginFlow, ClientThatAnswersPingsStays) {
  Start("PingRate=1\n");
  Joined ann = Join("Ann", "ann", "127.0.0.82");
  ASSERT_TRUE(ann.result.accepted);
  int answered = 0;
  // A ping is due each second, and the loop sees it at its next pass (up to
  // another second when idle).
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(4500);
  while (std::chrono::steady_clock::now() < end) {
    auto ping = ann.session->WaitFor(MSG_PING, 2500);
    if (!ping) break;
    auto answer = CreateMessage(MSG_PING);
    answer->SetU16(6, ping->GetU16(6));
    ASSERT_TRUE(ann.session->Send(*answer));
    ++answered;
  }
  EXPECT_GE(answered, 2) << "each answer lets the next ping come";
  EXPECT_FALSE(ann.session->Stream().PeerClosed());
}

TEST_F(LoginFlow, DepartureIsLoggedOnceAndAnnounced) {
  Start();
  Joined watcher = Join("Ann", "ann", "127.0.0.90");
  ASSERT_TRUE(watcher.result.accepted);
  Joined leaver = Join("Rex", "rex", "127.0.0.91");
  ASSERT_TRUE(leaver.result.accepted);
  auto arrival = ReadUserList(*watcher.session->WaitFor(MSG_USER_LIST));
  ASSERT_TRUE(arrival);
  const std::uint16_t id = arrival->records.at(0).id;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  leaver.session->Close();

  auto departure = watcher.session->WaitFor(MSG_USER_LIST);
  ASSERT_TRUE(departure);
  auto removed = ReadUserList(*departure);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->action, 0);
  ASSERT_EQ(removed->records.size(), 1u);
  EXPECT_EQ(removed->records[0].id, id);

  const std::string prefix = "MSG_DISC: ID " + std::to_string(id) + ", From=";
  ASSERT_TRUE(server.WaitForLog(prefix, 3000));
  EXPECT_EQ(Count(prefix), 1u);
  const std::string log = server.Log();
  const std::string line =
      log.substr(log.find(prefix), log.find('\n', log.find(prefix)) - log.find(prefix));
  EXPECT_TRUE(line.find(", Sec=1, Name=Rex") != std::string::npos ||
              line.find(", Sec=2, Name=Rex") != std::string::npos)
      << line;
}

TEST_F(LoginFlow, GuestAutoBanRefusesTheAddressNextTime) {
  Start("", "GuestAutoBan=5\n");
  Joined witness = Join("Ann", "ann", "127.0.0.100");
  ASSERT_TRUE(witness.result.accepted);
  Joined guest = Join("Visitor", "", "127.0.0.101");
  ASSERT_TRUE(guest.result.accepted);
  guest.session->Close();
  ASSERT_TRUE(server.WaitForLog("Name=Visitor", 3000));

  ClientSession back;
  ASSERT_EQ(back.Connect(kHost, static_cast<std::uint16_t>(server.Port()), "127.0.0.101"), 0);
  auto notice = back.Receive(2000);
  ASSERT_TRUE(notice);
  auto refusal = ReadRefusal(*notice);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 48);
  // 300 seconds left give 300 / 60 + 1 = 6 minutes; once the wall clock has
  // passed a second since the ban, 299 seconds give 5.
  EXPECT_TRUE(refusal->detail == 6 || refusal->detail == 5) << refusal->detail;
  EXPECT_TRUE(Join("Rex", "rex", "127.0.0.102").result.accepted) << "other addresses are free";
}

}  // namespace
}  // namespace kestrune::e2e
