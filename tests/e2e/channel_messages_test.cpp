#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/channel_requests.h"
#include "client/session.h"
#include "e2e/support/server_process.h"
#include "store/password_digest.h"

namespace kestrune::e2e {
namespace {

constexpr const char* kHost = "127.0.0.1";

std::array<std::uint8_t, 32> Digest(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.CopyBytes();
}

std::string Hex(const std::string& password) {
  PasswordDigest digest;
  digest.FromPlain(password);
  return digest.ToHex();
}

// Boss: server administrator (AdminMode at login); Ann, Bob: plain; Nos: no
// SeeChan; Noc: no SeeChanComments; Cad: administrator of Top; Ath: may
// enter Priv; Zed: plain. Any other name logs in as a guest.
std::string Accounts() {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + Hex("pw") + "\n" + extra;
  };
  add("Boss", "ServerAdmin=1\n");
  add("Ann", "");
  add("Bob", "");
  add("Nos", "SeeChan=0\n");
  add("Noc", "SeeChanComments=0\n");
  add("Cad", "ChanAdminCount=1\nChanAdmin0=Top\n");
  add("Ath", "ChanAuthCount=1\nChanAuth0=Priv\n");
  add("Zed", "");
  text += "[Guest]\nUID=" + std::to_string(uid) + "\n";
  return text;
}

constexpr const char* kChannels =
    "[Top]\nEncPassChan=\nComment=top comment\n"
    "[Top/Mid]\nEncPassChan=\n"
    "[Top/Mid/Low]\nEncPassChan=\n"
    "[Locked]\nPassChan=door\n"
    "[Priv]\nEncPassChan=\nProtMode=2\n"
    "[Small]\nEncPassChan=\nMaxClients=1\n"
    "[Members]\nEncPassChan=\nAllowGuestToJoin=0\n"
    "[Quiet]\nEncPassChan=\nVoiceMode=1\n"
    "[Barred]\nEncPassChan=\nBanItem0=127.0.0.9,x,y,z\n"
    "[Barred/Inner]\nEncPassChan=\n";

struct Client {
  std::unique_ptr<ClientSession> session = std::make_unique<ClientSession>();
  LoginResult login;
  std::uint16_t id = 0;
  std::vector<std::unique_ptr<Message>> Drain(int waitMs = 300) {
    std::vector<std::unique_ptr<Message>> messages;
    while (auto message = session->Receive(waitMs)) messages.push_back(std::move(message));
    return messages;
  }
  bool Send(const Message& message) { return session->Send(message); }
};

class ChannelMessagesFlow : public ::testing::Test {
 protected:
  void Start(const std::string& keys = "", const std::string& channels = kChannels) {
    server.WriteSettings(keys + ServerProcess::kBasicKeys);
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn", channels);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  Client Join(const std::string& name, const std::string& address = "127.0.0.1") {
    Client client;
    LoginRequest request;
    request.name = name;
    request.phonetic = name;
    request.flags = 1;
    if (name != "Visitor") request.digest = Digest("pw");
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
    client.Drain(100);
    return client;
  }

  // Channel ids as the login's channel list gives them, by name.
  std::uint16_t IdOf(const Client& client, const std::string& name) {
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

  static ChannelRequest Request(std::uint16_t action, const std::string& name = "",
                                std::uint16_t parent = 0) {
    ChannelRequest request;
    request.action = action;
    request.name = name;
    request.parent = parent;
    return request;
  }
  static std::optional<RefusalInfo> RefusalIn(const std::vector<std::unique_ptr<Message>>& got) {
    for (const auto& message : got) {
      if (auto refusal = ReadRefusal(*message)) return refusal;
    }
    return std::nullopt;
  }
  static std::vector<ChannelNotice> NoticesIn(const std::vector<std::unique_ptr<Message>>& got) {
    std::vector<ChannelNotice> notices;
    for (const auto& message : got) {
      if (auto notice = ReadChannelNotice(*message)) notices.push_back(*notice);
    }
    return notices;
  }
  bool Enter(Client& client, std::uint16_t channel, const std::string& password = "",
             std::uint32_t flags = 0) {
    ChannelRequest request = Request(3);
    request.clientId = client.id;
    request.channel = channel;
    request.flags = flags;
    request.withTexts = false;
    if (!password.empty()) request.digest = Digest(password);
    return client.Send(*BuildChannelRequest(request));
  }

  ServerProcess server;
  bool started_ = false;
};

TEST_F(ChannelMessagesFlow, LoginListsTheChannelsSixteenAMessageInTreeOrder) {
  std::string file;
  for (int i = 0; i < 17; ++i) file += "[c" + std::to_string(i) + "]\nEncPassChan=\n";
  file += "[c0/sub]\nEncPassChan=\n";
  Start("", file);
  Client ann = Join("Ann");
  std::vector<std::vector<ChannelRecord>> lists;
  for (const auto& message : ann.login.messages) {
    if (auto list = ReadChannelList(*message)) lists.push_back(*list);
  }
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[0].size(), 16u);
  EXPECT_EQ(lists[1].size(), 2u);
  EXPECT_TRUE(lists[2].empty());
  EXPECT_EQ(lists[0][0].name, "c0");
  EXPECT_EQ(lists[1][0].name, "c16");
  EXPECT_EQ(lists[1][1].name, "sub");
  EXPECT_EQ(lists[1][1].parent, lists[0][0].id);

  Client nos = Join("Nos");
  EXPECT_EQ(nos.login.Find(MSG_CHANNEL_LIST), nullptr);
}

TEST_F(ChannelMessagesFlow, CreateEditAndDeleteAreAnnouncedSavedAndRefused) {
  Start("ChanDepth=2\n");
  Client boss = Join("Boss");
  Client noc = Join("Noc");
  Client nos = Join("Nos");
  Client ann = Join("Ann");
  const std::uint16_t top = IdOf(boss, "Top");
  const std::uint16_t mid = IdOf(boss, "Mid");

  ChannelRequest create = Request(1, "Side", top);
  create.comment = "side comment";
  ASSERT_TRUE(boss.Send(*BuildChannelRequest(create)));
  auto notices = NoticesIn(boss.Drain());
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].action, 1);
  EXPECT_EQ(notices[0].name, "Side");
  EXPECT_EQ(notices[0].parent, top);
  EXPECT_EQ(notices[0].comment, "side comment");
  EXPECT_NE(notices[0].flags & 0x8, 0u);  // the creator's copy
  const std::uint16_t side = notices[0].channel;
  auto nocNotices = NoticesIn(noc.Drain());
  ASSERT_EQ(nocNotices.size(), 1u);
  EXPECT_EQ(nocNotices[0].comment, "");
  EXPECT_EQ(nocNotices[0].flags & 0x8, 0u);
  EXPECT_TRUE(NoticesIn(nos.Drain()).empty());
  EXPECT_NE(server.ReadFile("kestrune_srv.chn")
                .find("[Top/Side]\n\nPhonetic=\nEncPassChan=\n"
                      "Comment=side comment\n"),
            std::string::npos);

  struct Case {
    Client* who;
    ChannelRequest request;
    std::uint16_t code;
  } cases[] = {
      {&boss, Request(1, "Deeper", mid), 15}, {&boss, Request(1, "mid", top), 8},
      {&ann, Request(1, "NewTop", 0), 4},     {&boss, Request(1, "a/b", top), 6},
      {&ann, Request(1, "Sub", top), 5},
  };
  for (Case& c : cases) {
    ASSERT_TRUE(c.who->Send(*BuildChannelRequest(c.request)));
    auto refusal = RefusalIn(c.who->Drain());
    ASSERT_TRUE(refusal.has_value()) << c.request.name;
    EXPECT_EQ(refusal->code, c.code) << c.request.name;
  }

  ChannelRequest edit = Request(5, "Aside", top);
  edit.channel = side;
  edit.comment = "new words";
  edit.properties[8] = 1;  // VoiceMode
  ASSERT_TRUE(boss.Send(*BuildChannelRequest(edit)));
  notices = NoticesIn(ann.Drain());
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].action, 5);
  EXPECT_EQ(notices[0].name, "Aside");
  EXPECT_EQ(notices[0].properties[8], 1);
  EXPECT_NE(server.ReadFile("kestrune_srv.chn").find("[Top/Aside]\n"), std::string::npos);

  // Deleting Top takes Mid/Low first; the client inside Low goes to the lobby.
  const std::uint16_t low = IdOf(boss, "Low");
  ASSERT_TRUE(Enter(ann, low));
  ann.Drain();
  boss.Drain();
  ChannelRequest drop = Request(2);
  drop.channel = top;
  drop.withTexts = false;
  ASSERT_TRUE(boss.Send(*BuildChannelRequest(drop)));
  std::vector<std::uint16_t> removed;
  bool annToLobby = false;
  for (const auto& message : boss.Drain()) {
    if (auto notice = ReadChannelNotice(*message)) removed.push_back(notice->channel);
    if (auto move = ReadChannelMove(*message)) {
      if (message->Type() == MSG_MOVE_USER && move->clientId == ann.id && move->channel == 0)
        annToLobby = true;
    }
  }
  EXPECT_EQ(removed, (std::vector<std::uint16_t>{low, mid, side, top}));
  EXPECT_TRUE(annToLobby);
  const std::string file = server.ReadFile("kestrune_srv.chn");
  EXPECT_EQ(file.find("[Top"), std::string::npos) << file;
  EXPECT_NE(server.Log().find("CHANNEL: Deleteing [Top/Mid/Low]."), std::string::npos);
}

TEST_F(ChannelMessagesFlow, EnteringFollowsTheChannelRules) {
  Start();
  Client ann = Join("Ann", "127.0.0.2");
  Client bob = Join("Bob", "127.0.0.3");
  Client ath = Join("Ath", "127.0.0.4");
  Client guest = Join("Visitor", "127.0.0.5");
  Client barred = Join("Zed", "127.0.0.9");
  ann.Drain();
  bob.Drain();

  ASSERT_TRUE(Enter(ann, IdOf(ann, "Top")));
  bool told = false;
  for (const auto& message : bob.Drain()) {
    auto move = ReadChannelMove(*message);
    if (move && message->Type() == MSG_CHANNEL_CHANGE && move->clientId == ann.id &&
        move->channel == IdOf(ann, "Top"))
      told = true;
  }
  EXPECT_TRUE(told);
  EXPECT_FALSE(ann.Drain().empty());  // its own copy
  ASSERT_TRUE(Enter(ann, IdOf(ann, "Top")));
  EXPECT_TRUE(ann.Drain().empty());

  auto refusalOf = [&](Client& client, std::uint16_t channel, std::uint32_t flags = 0) {
    EXPECT_TRUE(Enter(client, channel, "", flags));
    auto refusal = RefusalIn(client.Drain());
    return refusal ? refusal->code : 0;
  };
  EXPECT_EQ(refusalOf(bob, IdOf(bob, "Priv")), 32);
  ASSERT_TRUE(Enter(ath, IdOf(ath, "Priv")));
  EXPECT_FALSE(RefusalIn(ath.Drain()).has_value());
  ASSERT_TRUE(Enter(bob, IdOf(bob, "Small")));
  bob.Drain();
  ASSERT_TRUE(Enter(ann, IdOf(ann, "Small"), "", 4));
  auto full = RefusalIn(ann.Drain());
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->code, 10);
  EXPECT_TRUE(full->detailFlag);
  EXPECT_EQ(refusalOf(guest, IdOf(guest, "Members")), 50);
  EXPECT_EQ(refusalOf(barred, IdOf(barred, "Inner")), 9);

  // Voice mode 1 mutes whoever enters, and everyone hears of it.
  ASSERT_TRUE(Enter(ann, IdOf(ann, "Quiet")));
  bool muted = false;
  for (const auto& message : bob.Drain()) {
    auto setting = ReadUserSetting(*message);
    if (setting && setting->id == ann.id && setting->setting == 5 && setting->value == 1)
      muted = true;
  }
  EXPECT_TRUE(muted);

  // A wrong password gets action 7; the fifth from one address starts a penalty.
  const std::uint16_t locked = IdOf(bob, "Locked");
  for (int attempt = 1; attempt <= 5; ++attempt) {
    ASSERT_TRUE(Enter(bob, locked, "wrong", 0x4));
    bool asked = false;
    for (const auto& message : bob.Drain()) {
      auto notice = ReadChannelNotice(*message);
      if (notice && notice->action == 7 && notice->channel == locked && notice->flags == 0x4 &&
          notice->clientId == bob.id)
        asked = true;
    }
    EXPECT_TRUE(asked) << attempt;
  }
  EXPECT_TRUE(bob.session->WaitClosed());
  ClientSession again;
  LoginRequest request;
  request.name = "Bob";
  request.digest = Digest("pw");
  auto refused = again.Join(kHost, static_cast<std::uint16_t>(server.Port()), request, "127.0.0.3");
  EXPECT_FALSE(refused.accepted);
  const Message* last = refused.messages.empty() ? nullptr : refused.messages.back().get();
  ASSERT_NE(last, nullptr);
  auto refusal = ReadRefusal(*last);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 48);

  ASSERT_TRUE(Enter(ann, locked, "door"));
  EXPECT_FALSE(RefusalIn(ann.Drain()).has_value());
}

TEST_F(ChannelMessagesFlow, SendToLobbyAndPasswordChecks) {
  Start();
  Client cad = Join("Cad", "127.0.0.2");
  Client ann = Join("Ann", "127.0.0.3");
  Client bob = Join("Bob", "127.0.0.4");
  const std::uint16_t top = IdOf(cad, "Top");
  ASSERT_TRUE(Enter(ann, IdOf(ann, "Mid")));
  ASSERT_TRUE(Enter(bob, IdOf(bob, "Quiet")));
  ann.Drain();
  cad.Drain();

  ChannelRequest away = Request(9);
  away.withTexts = false;
  away.channel = top;
  away.clientId = bob.id;  // not below Top
  ASSERT_TRUE(cad.Send(*BuildChannelRequest(away)));
  auto refusal = RefusalIn(cad.Drain());
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 5);
  away.clientId = ann.id;
  ASSERT_TRUE(cad.Send(*BuildChannelRequest(away)));
  bool moved = false;
  for (const auto& message : ann.Drain()) {
    auto move = ReadChannelMove(*message);
    if (move && move->clientId == ann.id && move->channel == 0) moved = true;
  }
  EXPECT_TRUE(moved);

  Client nos = Join("Nos", "127.0.0.5");
  struct Case {
    Client* who;
    std::uint16_t channel;
    std::string password;
    std::uint16_t result;
  } cases[] = {
      {&ann, 0, "door", 3},
      {&nos, IdOf(ann, "Locked"), "door", 1},
      {&ann, 999, "door", 1},
      {&ann, IdOf(ann, "Locked"), "wrong", 2},
      {&ann, IdOf(ann, "Priv"), "", 2},
      {&ann, IdOf(ann, "Locked"), "door", 0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(c.who->Send(*BuildChannelAuthRequest(c.channel, Digest(c.password))));
    auto reply = c.who->session->WaitFor(MSG_CHANNEL_AUTH);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(ReadChannelAuthResult(*reply), std::optional<std::uint16_t>(c.result)) << c.channel;
  }
}

TEST_F(ChannelMessagesFlow, OwnTextsReachThoseWhoSeeComments) {
  Start();
  Client ann = Join("Ann");
  Client bob = Join("Bob");
  ann.Drain();
  ASSERT_TRUE(ann.Send(*BuildOwnTexts(ann.id, "hello", "http://x", "")));
  for (Client* client : {&ann, &bob}) {
    auto message = client->session->WaitFor(MSG_USER_LIST);
    ASSERT_NE(message, nullptr);
    auto list = ReadUserList(*message);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->action, 2);
    ASSERT_EQ(list->records.size(), 1u);
    EXPECT_EQ(list->records[0].id, ann.id);
    EXPECT_EQ(list->records[0].name, "");
    EXPECT_EQ(list->records[0].comment, "hello");
    EXPECT_EQ(list->records[0].url, "http://x");
  }
  ASSERT_TRUE(ann.Send(*BuildOwnTexts(ann.id, "hello", "http://x", "")));
  EXPECT_EQ(bob.session->WaitFor(MSG_USER_LIST, 500), nullptr);
  ASSERT_TRUE(ann.Send(*BuildOwnTexts(ann.id, "bad\x01", "", "")));
  EXPECT_TRUE(ann.session->WaitClosed());
}

TEST_F(ChannelMessagesFlow, CreateLeavesNineIdsFree) {
  // 1,010 channels and one client hold 1,011 ids: 12 are free.
  std::string file;
  for (int i = 0; i < 1010; ++i) file += "[c" + std::to_string(i) + "]\nEncPassChan=\n";
  Start("", file);
  Client boss = Join("Boss");
  int created = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(boss.Send(*BuildChannelRequest(Request(1, "n" + std::to_string(i)))));
    auto got = boss.Drain(300);
    if (auto refusal = RefusalIn(got)) {
      EXPECT_EQ(refusal->code, 7);
      break;
    }
    ++created;
  }
  // 1023 - 1011 = 12 free: three creates leave 9, the fourth is refused.
  EXPECT_EQ(created, 3);
}

}  // namespace
}  // namespace kestrune::e2e
