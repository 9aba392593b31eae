// The smaller services against the real server: inactivity on the ping
// answer, message-of-the-day uploads and delivery, complaints, and a login
// that replaces a dropped session from the same address.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/channel_requests.h"
#include "client/motd_requests.h"
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

// Every account's password is "pw". Idle: spared by IgnoreInactivity; Safe:
// starts in the exempt channel; Ed: edits both messages of the day; Rex, Rea:
// receive complaints; Dup: one connection per address.
std::string Accounts() {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + Hex("pw") + "\n" + extra;
  };
  add("Ann", "");
  add("Bob", "");
  add("Idle", "IgnoreInactivity=1\n");
  add("Safe", "DefChan=Safe\n");
  add("Ed", "MotdEditNormal=1\nMotdEditGuest=1\n");
  add("Rex", "ComplaintsRecv=1\n");
  add("Rea", "ComplaintsRecv=1\n");
  add("Dup", "DuplicatesIPs=1\n");
  text += "[Guest]\nUID=" + std::to_string(uid) + "\n";
  return text;
}

constexpr const char* kChannels =
    "[Away]\nEncPassChan=\n[Safe]\nEncPassChan=\nExemptFromInactivity=1\n";

struct Client {
  std::unique_ptr<ClientSession> session = std::make_unique<ClientSession>();
  LoginResult login;
  std::uint16_t id = 0;
  bool Send(const Message& message) { return session->Send(message); }
};

class SmallServicesFlow : public ::testing::Test {
 protected:
  void Start(const std::string& keys, const std::string& properties = "") {
    server.WriteSettings(keys + ServerProcess::kBasicKeys);
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn", kChannels);
    if (!properties.empty()) server.WriteFile("kestrune_srv.prop", "[SrvProp]\n" + properties);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  // `quiet` sets login flag bit 0: no message of the day.
  Client Join(const std::string& name, const std::string& address, bool quiet = true) {
    Client client;
    LoginRequest request;
    request.name = name;
    request.flags = quiet ? 1 : 0;
    PasswordDigest digest;
    digest.FromPlain("pw");
    request.digest = digest.CopyBytes();
    client.login =
        client.session->Join(kHost, static_cast<std::uint16_t>(server.Port()), request, address);
    EXPECT_TRUE(client.login.accepted) << name;
    for (const auto& message : client.login.messages) {
      if (auto list = ReadUserList(*message)) {
        for (const auto& record : list->records) {
          if (record.flagA == 1) client.id = record.id;
        }
      }
    }
    return client;
  }

  std::uint16_t ChannelId(const Client& client, const std::string& name) {
    for (const auto& message : client.login.messages) {
      if (auto list = ReadChannelList(*message)) {
        for (const auto& record : *list) {
          if (record.name == name) return record.id;
        }
      }
    }
    ADD_FAILURE() << "no channel " << name;
    return 0;
  }

  // Waits for the server's ping and answers it with `idle` seconds. Returns
  // what arrived before the next ping (or the close): that ping shows the
  // answer was served and the client kept.
  std::vector<std::unique_ptr<Message>> AnswerPing(Client& client, std::uint16_t idle,
                                                   bool& nextPing) {
    std::vector<std::unique_ptr<Message>> got;
    nextPing = false;
    auto ping = client.session->WaitFor(MSG_PING, 4000);
    if (!ping) {
      ADD_FAILURE() << "no ping";
      return got;
    }
    EXPECT_TRUE(client.Send(*BuildPingAnswer(ping->GetU16(6), idle)));
    while (auto message = client.session->Receive(3000)) {
      if (message->Type() == MSG_PING) {
        nextPing = true;
        break;
      }
      got.push_back(std::move(message));
    }
    return got;
  }

  static std::optional<RefusalInfo> RefusalIn(const std::vector<std::unique_ptr<Message>>& got) {
    for (const auto& message : got) {
      if (auto refusal = ReadRefusal(*message)) return refusal;
    }
    return std::nullopt;
  }

  static std::vector<MotdPartInfo> MotdIn(const LoginResult& login, std::uint16_t kind) {
    std::vector<MotdPartInfo> parts;
    for (const auto& message : login.messages) {
      auto part = ReadMotdPart(*message);
      if (part && part->kind == kind) parts.push_back(*part);
    }
    return parts;
  }

  ServerProcess server;
  bool started_ = false;
};

TEST_F(SmallServicesFlow, IdleClientsPastTheTimeoutAreDisconnectedUnlessSpared) {
  Start("PingRate=1\n", "InactivityTimeout=1\nInactivityAction=0\n");
  Client kicked = Join("Ann", "127.0.0.2");
  Client sixty = Join("Bob", "127.0.0.3");
  Client ignored = Join("Idle", "127.0.0.4");
  Client exempt = Join("Safe", "127.0.0.5");
  ASSERT_NE(exempt.id, 0);

  bool nextPing = false;
  auto got = AnswerPing(kicked, 61, nextPing);
  auto refusal = RefusalIn(got);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 42);
  EXPECT_TRUE(refusal->closes);

  struct Spared {
    const char* what;
    Client* client;
    std::uint16_t idle;
  };
  for (const Spared& s :
       {Spared{"60 seconds", &sixty, 60}, Spared{"IgnoreInactivity", &ignored, 61},
        Spared{"ExemptFromInactivity", &exempt, 65535}}) {
    SCOPED_TRACE(s.what);
    got = AnswerPing(*s.client, s.idle, nextPing);
    EXPECT_TRUE(nextPing);
    EXPECT_FALSE(RefusalIn(got));
  }
}

TEST_F(SmallServicesFlow, IdleClientIsMovedToTheInactivityChannel) {
  Start("PingRate=1\n", "InactivityTimeout=1\nInactivityAction=1\nInactivityChannel=away\n");
  Client idle = Join("Ann", "127.0.0.2");
  Client watcher = Join("Bob", "127.0.0.3");
  const std::uint16_t away = ChannelId(idle, "Away");

  bool nextPing = false;
  auto got = AnswerPing(idle, 61, nextPing);
  EXPECT_TRUE(nextPing) << "moved, not disconnected";
  EXPECT_FALSE(RefusalIn(got));
  auto change = watcher.session->WaitFor(MSG_CHANNEL_CHANGE, 3000);
  ASSERT_TRUE(change);
  auto move = ReadChannelMove(*change);
  ASSERT_TRUE(move);
  EXPECT_EQ(move->clientId, idle.id);
  EXPECT_EQ(move->channel, away);
}

TEST_F(SmallServicesFlow, NegativeTimeoutInThePropertiesFileKicksNobody) {
  Start("PingRate=1\n", "InactivityTimeout=-1\nInactivityAction=0\n");
  Client client = Join("Ann", "127.0.0.2");
  bool nextPing = false;
  auto got = AnswerPing(client, 65535, nextPing);
  EXPECT_TRUE(nextPing);
  EXPECT_FALSE(RefusalIn(got));
}

TEST_F(SmallServicesFlow, UploadsRewriteAppendDeleteAndReachTheNextLogin) {
  Start("");
  Client ed = Join("Ed", "127.0.0.2");
  const std::string normal = std::string(256, 'n') + std::string(256, 'o') + "p";  // 513 bytes
  const std::string guest = std::string(256, 'g') + std::string(256, 'h');         // 512 bytes
  // An older text that part 0 must replace, not extend.
  ASSERT_TRUE(ed.Send(*BuildMotdUpload(0, 1, 0, "stale")));
  for (std::uint16_t i = 0; i < 3; ++i)
    ASSERT_TRUE(ed.Send(*BuildMotdUpload(0, 3, i, normal.substr(i * 256u, 256))));
  for (std::uint16_t i = 0; i < 2; ++i)
    ASSERT_TRUE(ed.Send(*BuildMotdUpload(1, 2, i, guest.substr(i * 256u, 256))));
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] { return server.ReadFile("kestrune_srv.gmotd").size() == 512; }, 3000));
  EXPECT_EQ(server.ReadFile("kestrune_srv.motd"), normal);
  struct stat info {};
  ASSERT_EQ(stat(server.PathOf("kestrune_srv.motd").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  Client reader = Join("Ann", "127.0.0.3", false);
  auto guestParts = MotdIn(reader.login, 1);
  ASSERT_EQ(guestParts.size(), 2u) << "512 bytes are two parts";
  EXPECT_EQ(guestParts[0].bytes + guestParts[1].bytes, guest);
  auto normalParts = MotdIn(reader.login, 0);
  ASSERT_EQ(normalParts.size(), 3u) << "513 bytes are three";
  EXPECT_EQ(normalParts[2].total, 3);
  EXPECT_EQ(normalParts[2].index, 2);
  EXPECT_EQ(normalParts[2].bytes, "p");

  // Total 0 of the guest kind deletes the guest file alone.
  ASSERT_TRUE(ed.Send(*BuildMotdUpload(1, 0, 0, "")));
  ASSERT_TRUE(ServerProcess::WaitUntil([&] { return !server.Exists("kestrune_srv.gmotd"); }, 3000));
  EXPECT_EQ(server.ReadFile("kestrune_srv.motd"), normal);
  Client later = Join("Bob", "127.0.0.4", false);
  EXPECT_TRUE(MotdIn(later.login, 1).empty());
  EXPECT_EQ(MotdIn(later.login, 0).size(), 3u);
}

TEST_F(SmallServicesFlow, UploadsNeedTheirRightsAndStopAtTheSizeBound) {
  Start("");
  Client ann = Join("Ann", "127.0.0.2");
  for (std::uint16_t kind : {0, 1}) {
    ASSERT_TRUE(ann.Send(*BuildMotdUpload(kind, 1, 0, "mine")));
    auto refusal = ReadRefusal(*ann.session->WaitFor(MSG_REFUSAL, 3000));
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->code, kind == 0 ? 27 : 28);
    EXPECT_FALSE(refusal->closes);
  }
  EXPECT_FALSE(server.Exists("kestrune_srv.motd"));
  EXPECT_FALSE(server.Exists("kestrune_srv.gmotd"));

  // 32 full parts fill the file to 8,192 bytes; a repeated last part would
  // pass it and is skipped.
  Client ed = Join("Ed", "127.0.0.3");
  const std::string part(256, 'x');
  for (std::uint16_t i = 0; i < 32; ++i) ASSERT_TRUE(ed.Send(*BuildMotdUpload(0, 32, i, part)));
  ASSERT_TRUE(ed.Send(*BuildMotdUpload(0, 32, 31, "y")));
  ASSERT_TRUE(ed.Send(*BuildMotdUpload(1, 1, 0, "done")));  // a marker behind them
  ASSERT_TRUE(ServerProcess::WaitUntil([&] { return server.Exists("kestrune_srv.gmotd"); }, 3000));
  EXPECT_EQ(server.ReadFile("kestrune_srv.motd"), std::string(32 * 256, 'x'));
  EXPECT_FALSE(ed.session->Stream().PeerClosed());
}

TEST_F(SmallServicesFlow, ComplaintsReachReceiversAndNeedTheirRights) {
  Start("");
  Client ann = Join("Ann", "127.0.0.2");
  Client bob = Join("Bob", "127.0.0.3");
  Client rex = Join("Rex", "127.0.0.4");
  Client rea = Join("Rea", "127.0.0.5");
  for (int i = 1; i <= 101; ++i)
    ASSERT_TRUE(ann.Send(*BuildComplaintSubmit(bob.id, "c" + std::to_string(i))));
  for (Client* receiver : {&rex, &rea}) {
    int seen = 0;
    std::optional<ComplaintEntryInfo> last;
    while (seen < 101) {
      auto message = receiver->session->WaitFor(MSG_COMPLAINT, 3000);
      if (!message) break;
      last = ReadComplaintEntry(*message);
      ++seen;
    }
    EXPECT_EQ(seen, 101);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->target, "Bob");
    EXPECT_EQ(last->complainer, "Ann");
    EXPECT_EQ(last->text, "c101");
  }

  ASSERT_TRUE(rex.Send(*BuildComplaintRequest(0)));
  std::vector<std::string> listed;
  while (listed.size() < 100) {
    auto message = rex.session->WaitFor(MSG_COMPLAINT, 3000);
    if (!message) break;
    listed.push_back(ReadComplaintEntry(*message)->text);
  }
  ASSERT_EQ(listed.size(), 100u);
  EXPECT_EQ(listed.front(), "c2") << "the 101st removed the first";
  EXPECT_EQ(listed.back(), "c101");

  ASSERT_TRUE(ann.Send(*BuildComplaintRequest(0)));
  auto refusal = ReadRefusal(*ann.session->WaitFor(MSG_REFUSAL, 3000));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 29);
  EXPECT_FALSE(ann.session->WaitFor(MSG_COMPLAINT, 300)) << "Ann received none";

  ASSERT_TRUE(rex.Send(*BuildComplaintRequest(2)));
  EXPECT_TRUE(rex.session->WaitClosed(3000)) << "clear without AdminMode closes";
}

TEST_F(SmallServicesFlow, SecondLoginFromTheSameAddressReplacesTheDroppedSession) {
  Start("Duplicates=0\n");
  Client old = Join("Dup", "127.0.0.7");
  Client again = Join("dup", "127.0.0.7");
  EXPECT_TRUE(again.login.accepted) << "not refused with 40";
  auto refusal = ReadRefusal(*old.session->WaitFor(MSG_REFUSAL, 3000));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 39);
  EXPECT_TRUE(refusal->closes);

  // Another user at an address still counts against the one connection.
  Client ann = Join("Ann", "127.0.0.8");
  ClientSession late;
  LoginRequest request;
  request.name = "Dup";
  request.flags = 1;
  PasswordDigest digest;
  digest.FromPlain("pw");
  request.digest = digest.CopyBytes();
  auto login = late.Join(kHost, static_cast<std::uint16_t>(server.Port()), request, "127.0.0.8");
  EXPECT_FALSE(login.accepted);
  ASSERT_FALSE(login.messages.empty());
  refusal = ReadRefusal(*login.messages.back());
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->code, 40);
}

}  // namespace
}  // namespace kestrune::e2e
