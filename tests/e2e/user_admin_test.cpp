#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "client/talk_requests.h"
#include "e2e/support/joined_client.h"

namespace kestrune::e2e {
namespace {

// Boss: server administrator (AdminMode at login); Kicker may kick, Banner
// may ban; Cad administers the top-level channel A; Mute is muted globally
// at login; the others are plain.
std::string Accounts() {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + HexOf("pw") + "\n" + extra;
  };
  add("Boss", "ServerAdmin=1\n");
  add("Kicker", "UsersKick=1\n");
  add("Banner", "UsersBan=1\n");
  add("Cad", "ChanAdminCount=1\nChanAdmin0=A\n");
  add("Mute", "MuteGlobally=1\n");
  for (const char* name : {"Ann", "Bob", "Cat"}) add(name, "");
  text += "[Guest]\nUID=" + std::to_string(uid) + "\n";
  return text;
}

constexpr const char* kChannels =
    "[A]\nEncPassChan=\n"
    "[A/B]\nEncPassChan=\n"
    "[A/C]\nEncPassChan=\n"
    "[Room]\nEncPassChan=\n"
    "[Floor]\nEncPassChan=\nVoiceMode=1\n";

class UserAdminFlow : public ::testing::Test {
 protected:
  void Start() {
    server.WriteSettings("AdminPassword=secret\nLogonTimeout=0\n" +
                         std::string(ServerProcess::kBasicKeys));
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn", kChannels);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
  }

  JoinedClient Join(const std::string& name, const std::string& address) {
    return JoinAs(server, name, "pw", address);
  }
  static void Enter(JoinedClient& client, const std::string& channel) {
    ChannelRequest request;
    request.action = 3;
    request.clientId = client.id;
    request.channel = client.ChannelId(channel);
    request.withTexts = false;
    ASSERT_TRUE(client.Send(*BuildChannelRequest(request)));
  }
  static std::vector<RefusalInfo> Refusals(JoinedClient& client, int quietMs = 250) {
    std::vector<RefusalInfo> found;
    for (const auto& message : client.Drain(quietMs)) {
      if (auto refusal = ReadRefusal(*message)) found.push_back(*refusal);
    }
    return found;
  }
  static std::vector<UserSettingInfo> Settings(JoinedClient& client, int quietMs = 250) {
    std::vector<UserSettingInfo> found;
    for (const auto& message : client.Drain(quietMs)) {
      if (auto setting = ReadUserSetting(*message)) found.push_back(*setting);
    }
    return found;
  }
  static void Drain(std::initializer_list<JoinedClient*> clients) {
    for (JoinedClient* client : clients) client->Drain(150);
  }

  ServerProcess server;
  bool started_ = false;
};

std::optional<std::array<std::uint8_t, 104>> PermissionsIn(
    const std::vector<std::unique_ptr<Message>>& messages) {
  for (const auto& message : messages) {
    if (auto block = ReadPermissionRecord(*message)) return block;
  }
  return std::nullopt;
}

TEST_F(UserAdminFlow, AdminLoginEntersAdminModeOnceAndLogoutRestoresTheAccountsBlock) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  auto original = PermissionsIn(ann.login.messages);
  ASSERT_TRUE(original.has_value());
  EXPECT_EQ((*original)[90], 0);

  ASSERT_TRUE(ann.Send(*BuildAdminLogin(DigestOf("secret"))));
  auto messages = ann.Drain(300);
  ASSERT_GE(messages.size(), 2u);
  auto block = ReadPermissionRecord(*messages[0]);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ((*block)[90], 1);  // the AdminMode mirror
  EXPECT_EQ((*block)[59], 1);  // UsersBan among the rights
  auto text = ReadServerText(*messages[1]);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->flags, 2);
  EXPECT_EQ(text->text, "");

  ASSERT_TRUE(ann.Send(*BuildAdminLogin(DigestOf("secret"))));
  auto again = Refusals(ann);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].code, 25);
  EXPECT_FALSE(again[0].closes);

  ASSERT_TRUE(ann.Send(*BuildUserAdmin(kUserAdminLogout, 0)));
  messages = ann.Drain(300);
  EXPECT_EQ(PermissionsIn(messages), original);
  ASSERT_FALSE(messages.empty());
  auto logoutText = ReadServerText(*messages.back());
  ASSERT_TRUE(logoutText.has_value());
  EXPECT_EQ(logoutText->flags, 2);
  // Out of AdminMode a second logout does nothing.
  ASSERT_TRUE(ann.Send(*BuildUserAdmin(kUserAdminLogout, 0)));
  EXPECT_TRUE(ann.Drain(200).empty());
}

TEST_F(UserAdminFlow, FiveWrongAdminPasswordsFromOneAddressRefuseTheNextLogin) {
  Start();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    JoinedClient bob = Join("Bob", "127.0.0.5");
    ASSERT_TRUE(bob.Send(*BuildAdminLogin(DigestOf("guess"))));
    auto refusals = Refusals(bob);
    ASSERT_EQ(refusals.size(), 1u) << attempt;
    EXPECT_EQ(refusals[0].code, 45);
    EXPECT_TRUE(refusals[0].closes);
    bob.session->Close();
  }
  ClientSession refused;
  LoginRequest request;
  request.name = "Bob";
  request.digest = DigestOf("pw");
  request.flags = 1;
  LoginResult result =
      refused.Join("127.0.0.1", static_cast<std::uint16_t>(server.Port()), request, "127.0.0.5");
  EXPECT_FALSE(result.accepted);
  ASSERT_FALSE(result.messages.empty());
  auto refusal = ReadRefusal(*result.messages.back());
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 48);
  // Five minutes: 6 in the penalty's first second (the minute begun counts), then 5.
  EXPECT_TRUE(refusal->detail == 5 || refusal->detail == 6) << refusal->detail;
  // Another address is not affected.
  JoinedClient elsewhere = Join("Bob", "127.0.0.6");
  EXPECT_TRUE(elsewhere.login.accepted);
}

TEST_F(UserAdminFlow, KickAndBanNeedTheirRightsAndAnotherClient) {
  Start();
  JoinedClient kicker = Join("Kicker", "127.0.0.2");
  JoinedClient banner = Join("Banner", "127.0.0.3");
  JoinedClient ann = Join("Ann", "127.0.0.4");
  JoinedClient bob = Join("Bob", "127.0.0.5");
  JoinedClient cat = Join("Cat", "127.0.0.7");
  Drain({&kicker, &banner, &ann, &bob, &cat});

  struct Case {
    JoinedClient* from;
    std::uint16_t action;
    std::uint16_t target;
    std::uint16_t code;
  } cases[] = {
      {&kicker, kUserAdminKick, kicker.id, 1}, {&kicker, kUserAdminKick, 999, 2},
      {&ann, kUserAdminKick, bob.id, 23},      {&banner, kUserAdminBan, banner.id, 1},
      {&banner, kUserAdminBan, 999, 2},        {&ann, kUserAdminBan, bob.id, 22},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(k.from->Send(*BuildUserAdmin(k.action, k.target, "why")));
    auto refusals = Refusals(*k.from);
    ASSERT_EQ(refusals.size(), 1u) << k.action << " " << k.target;
    EXPECT_EQ(refusals[0].code, k.code);
    EXPECT_FALSE(refusals[0].closes);
  }

  // A phantom stands for its owner.
  const std::uint16_t room = bob.ChannelId("Room");
  ASSERT_TRUE(bob.Send(*BuildPhantom({0, 0, bob.id, 0, room})));
  std::uint16_t phantom = 0;
  for (const auto& message : bob.Drain(250)) {
    if (auto info = ReadPhantom(*message)) phantom = info->phantom;
  }
  ASSERT_NE(phantom, 0);
  ASSERT_TRUE(kicker.Send(*BuildUserAdmin(kUserAdminKick, phantom, "bye now")));
  auto kicked = Refusals(bob);
  ASSERT_EQ(kicked.size(), 1u);
  EXPECT_EQ(kicked[0].code, 37);
  EXPECT_TRUE(kicked[0].closes);
  EXPECT_EQ(kicked[0].text, "bye now");
  EXPECT_TRUE(server.WaitForLog("ADMIN: ID " + std::to_string(bob.id) +
                                    ", User 'Bob' was kicked by 'Kicker' because 'bye now'.",
                                3000));

  ASSERT_TRUE(banner.Send(*BuildUserAdmin(kUserAdminBan, cat.id, "go away")));
  auto banned = Refusals(cat);
  ASSERT_EQ(banned.size(), 1u);
  EXPECT_EQ(banned[0].code, 46);
  EXPECT_TRUE(banned[0].closes);
  EXPECT_EQ(banned[0].text, "go away");
  EXPECT_NE(server.ReadFile("kestrune_srv.ban").find("127.0.0.7,Cat,Banner,go away"),
            std::string::npos)
      << server.ReadFile("kestrune_srv.ban");
  cat.session->Close();
  ClientConnection again;
  ASSERT_EQ(again.Connect("127.0.0.1", static_cast<std::uint16_t>(server.Port()), "127.0.0.7"), 0);
  auto notice = again.Receive(2000);
  ASSERT_NE(notice, nullptr);
  auto refusal = ReadRefusal(*notice);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 49);
  EXPECT_TRUE(again.WaitClosed(2000));
  // Banning an address that is banned already is refused.
  JoinedClient ann2 = Join("Cat", "127.0.0.4");  // same address as Ann
  Drain({&banner});
  ASSERT_TRUE(banner.Send(*BuildUserAdmin(kUserAdminBan, ann.id, "one")));
  ann.Drain(250);
  ASSERT_TRUE(banner.Send(*BuildUserAdmin(kUserAdminBan, ann2.id, "two")));
  auto covered = Refusals(banner);
  ASSERT_EQ(covered.size(), 1u);
  EXPECT_EQ(covered[0].code, 16);
}

TEST_F(UserAdminFlow, ChannelBanIsStoredInTheTopChannelAndSendsTheTargetToTheLobby) {
  Start();
  JoinedClient cad = Join("Cad", "127.0.0.2");
  JoinedClient ann = Join("Ann", "127.0.0.3");
  JoinedClient bob = Join("Bob", "127.0.0.4");
  JoinedClient boss = Join("Boss", "127.0.0.5");
  Enter(cad, "A");
  Enter(ann, "B");
  Enter(bob, "Room");
  Enter(boss, "B");
  Drain({&cad, &ann, &bob, &boss});

  ASSERT_TRUE(cad.Send(*BuildUserAdmin(kUserAdminChannelBan, bob.id, "x")));
  auto refusals = Refusals(cad);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 12);  // Room is not Cad's
  ASSERT_TRUE(cad.Send(*BuildUserAdmin(kUserAdminChannelBan, cad.id, "x")));
  refusals = Refusals(cad);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 1);
  ASSERT_TRUE(cad.Send(*BuildUserAdmin(kUserAdminChannelBan, boss.id, "x")));
  EXPECT_TRUE(cad.Drain(250).empty());  // AdminMode is left alone

  ASSERT_TRUE(cad.Send(*BuildUserAdmin(kUserAdminChannelBan, ann.id, "no entry")));
  for (JoinedClient* client : {&ann, &bob, &cad}) {
    bool moved = false;
    for (const auto& message : client->Drain(250)) {
      auto move = ReadChannelMove(*message);
      if (move && message->Type() == MSG_CHANNEL_CHANGE && move->clientId == ann.id &&
          move->channel == 0)
        moved = true;
    }
    EXPECT_TRUE(moved) << client->id;
  }
  const std::string file = server.ReadFile("kestrune_srv.chn");
  const std::size_t top = file.find("[A]");
  const std::size_t item = file.find("BanItem0=127.0.0.3,Ann,Cad,no entry");
  ASSERT_NE(item, std::string::npos) << file;
  EXPECT_LT(top, item);
  EXPECT_LT(item, file.find("[A/B]")) << file;

  Enter(ann, "C");
  refusals = Refusals(ann);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 9);
}

TEST_F(UserAdminFlow, MalformedUserAdminRequestsClose) {
  Start();
  JoinedClient kicker = Join("Kicker", "127.0.0.2");
  JoinedClient victim = Join("Ann", "127.0.0.3");
  struct Case {
    const char* what;
    std::uint16_t action;
    std::string reason;
    int bodyChange;
  } cases[] = {
      {"action 2", 2, "", 0},       {"action 6", 6, "", 0},     {"control byte", 1, "a\tb", 0},
      {"short body", 1, "why", -1}, {"long body", 1, "why", 1},
  };
  for (const Case& k : cases) {
    JoinedClient client = Join("Kicker", "127.0.0.4");
    auto message = BuildUserAdmin(k.action, victim.id, k.reason);
    if (k.bodyChange != 0) {
      ASSERT_TRUE(message->SetLength(message->Length() + k.bodyChange));
    }
    ASSERT_TRUE(client.Send(*message));
    EXPECT_TRUE(client.session->WaitClosed(2000)) << k.what;
  }
  EXPECT_FALSE(victim.session->WaitClosed(300));
}

TEST_F(UserAdminFlow, MutesNeedTheirRightsAndReachTheOthers) {
  Start();
  JoinedClient mute = Join("Mute", "127.0.0.2");
  JoinedClient ann = Join("Ann", "127.0.0.3");
  // A muted client's mute is among what a later login receives.
  bool seen = false;
  for (const auto& message : ann.login.messages) {
    auto setting = ReadUserSetting(*message);
    if (setting && setting->id == mute.id && setting->setting == 4 && setting->value == 1)
      seen = true;
  }
  EXPECT_TRUE(seen);
  JoinedClient bob = Join("Bob", "127.0.0.4");
  JoinedClient boss = Join("Boss", "127.0.0.5");
  JoinedClient cad = Join("Cad", "127.0.0.6");
  Drain({&mute, &ann, &bob, &boss, &cad});

  // Without AdminMode nothing changes and nobody hears of it.
  ASSERT_TRUE(ann.Send(*BuildSetting(bob.id, 4, 1)));
  EXPECT_TRUE(ann.Drain(250).empty());
  EXPECT_TRUE(Settings(bob).empty());

  ASSERT_TRUE(boss.Send(*BuildSetting(bob.id, 4, 7)));
  for (JoinedClient* client : {&ann, &bob, &boss}) {
    auto settings = Settings(*client);
    ASSERT_EQ(settings.size(), 1u) << client->id;
    EXPECT_EQ(settings[0].id, bob.id);
    EXPECT_EQ(settings[0].setting, 4);
    EXPECT_EQ(settings[0].value, 1u);
  }
  // Muted: Bob's pages are ignored.
  ASSERT_TRUE(bob.Send(*BuildPage(ann.id, 1)));
  EXPECT_TRUE(bob.Drain(250).empty());
  Drain({&cad, &mute});

  // Setting 5 is for the administrators of the target's channel.
  Enter(ann, "B");
  Enter(bob, "Floor");
  Drain({&mute, &ann, &bob, &boss, &cad});
  ASSERT_TRUE(bob.Send(*BuildSetting(ann.id, 5, 1)));
  EXPECT_TRUE(Settings(ann).empty());
  ASSERT_TRUE(cad.Send(*BuildSetting(ann.id, 5, 1)));
  auto settings = Settings(ann);
  ASSERT_EQ(settings.size(), 1u);
  EXPECT_EQ(settings[0].setting, 5);
  EXPECT_EQ(settings[0].value, 1u);
  Drain({&mute, &bob, &boss, &cad});
  ASSERT_TRUE(boss.Send(*BuildSetting(bob.id, 5, 0)));
  auto refusals = Refusals(boss);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 13);
  EXPECT_TRUE(Settings(bob).empty());
}

}  // namespace
}  // namespace kestrune::e2e
