#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/channel_requests.h"
#include "client/talk_requests.h"
#include "e2e/support/joined_client.h"

namespace kestrune::e2e {
namespace {

// Plain accounts Ann to Eve; Mute is globally muted at login; Nott may not
// send text-to-speech; Ranker holds rank 1 (level 60), Low rank 2 (level 40);
// Nop may not page.
std::string Accounts() {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + HexOf("pw") + "\n" + extra;
  };
  for (const char* name : {"Ann", "Bob", "Cat", "Dan", "Eve"}) add(name, "");
  add("Mute", "MuteGlobally=1\n");
  add("Nott", "SendTTS=0\n");
  add("Ranker", "Rank=1\n");
  add("Low", "Rank=2\n");
  add("Nop", "SendPages=0\n");
  text += "[Guest]\nUID=" + std::to_string(uid) + "\n";
  return text;
}

constexpr const char* kRanks =
    "[1]\nLevel=60\nAbbrev=H\nDescr=High\n"
    "[2]\nLevel=40\nAbbrev=L\nDescr=Low\n";

constexpr const char* kChannels =
    "[Room]\nEncPassChan=\n"
    "[Room/Sub]\nEncPassChan=\n"
    "[Other]\nEncPassChan=\n"
    "[NoXmit]\nEncPassChan=\nAllowCrossChannelXmit=0\n"
    "[Members]\nEncPassChan=\nRestrictToUsr=1\n"
    "[Locked]\nPassChan=door\n"
    "[Barred]\nEncPassChan=\nBanItem0=127.0.0.9,x,y,z\n"
    "[Floor]\nEncPassChan=\nVoiceMode=1\nTimeLimit=1\n"
    "[Ranked]\nEncPassChan=\nVoiceMode=2\nRankLevel=50\nTimeLimit=1\n"
    "[Quiet]\nEncPassChan=\nAllowTtsBinds=0\nAllowWaveBinds=0\nAllowPaging=0\nAllowU2U=0\n";

class VoiceFlow : public ::testing::Test {
 protected:
  void Start(const std::string& keys = "", const std::string& properties = "") {
    server.WriteSettings(keys + "PingRate=10\n" + ServerProcess::kBasicKeys);
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.rank", kRanks);
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

  JoinedClient Join(const std::string& name, const std::string& address) {
    return JoinAs(server, name, name == "Visitor" ? "" : "pw", address);
  }
  void Enter(JoinedClient& client, const std::string& channel, const std::string& password = "") {
    ChannelRequest request;
    request.action = 3;
    request.clientId = client.id;
    request.channel = client.ChannelId(channel);
    request.withTexts = false;
    if (!password.empty()) request.digest = DigestOf(password);
    ASSERT_TRUE(client.Send(*BuildChannelRequest(request)));
  }
  static VoicePacket Packet(std::uint16_t action, std::vector<std::uint16_t> types,
                            std::vector<std::uint16_t> ids, std::string data = "") {
    VoicePacket packet;
    packet.action = action;
    packet.types = std::move(types);
    packet.ids = std::move(ids);
    packet.data = std::move(data);
    if (action == 1) packet.mark = 7;
    return packet;
  }
  // Voice packets of `action` among what arrives.
  static std::vector<VoicePacket> Voices(JoinedClient& client, std::uint16_t action,
                                         int quietMs = 200) {
    std::vector<VoicePacket> found;
    for (const auto& message : client.Drain(quietMs)) {
      auto voice = ReadVoice(*message);
      if (voice && voice->action == action) found.push_back(*voice);
    }
    return found;
  }
  static void Drain(std::initializer_list<JoinedClient*> clients) {
    for (JoinedClient* client : clients) client->Drain(150);
  }
  void Talk(JoinedClient& client, std::vector<std::uint16_t> types = {1},
            std::vector<std::uint16_t> ids = {0}) {
    ASSERT_TRUE(client.Send(*BuildVoice(Packet(0, types, ids))));
  }
  bool Data(JoinedClient& client, std::vector<std::uint16_t> types, std::vector<std::uint16_t> ids,
            const std::string& data = std::string(100, 'v')) {
    return client.Send(*BuildVoice(Packet(1, std::move(types), std::move(ids), data)));
  }
  static std::vector<UserSettingInfo> Settings(JoinedClient& client) {
    std::vector<UserSettingInfo> found;
    for (const auto& message : client.Drain(200)) {
      if (auto setting = ReadUserSetting(*message)) found.push_back(*setting);
    }
    return found;
  }

  ServerProcess server;
  bool started_ = false;
};

TEST_F(VoiceFlow, StartStopReachEveryoneAndDataReachesTheChannelUnchanged) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient cat = Join("Cat", "127.0.0.4");
  Enter(ann, "Room");
  Enter(bob, "Room");
  Enter(cat, "Other");
  Drain({&ann, &bob, &cat});

  VoicePacket start = Packet(0, {1}, {0});
  start.flags = 3;  // bit 0 needs MuteOthersPTT
  ASSERT_TRUE(ann.Send(*BuildVoice(start)));
  for (JoinedClient* listener : {&bob, &cat}) {
    auto starts = Voices(*listener, 0);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].sender, ann.id);
    EXPECT_EQ(starts[0].flags, 2);
  }
  EXPECT_TRUE(Voices(ann, 0).empty());

  VoicePacket data = Packet(1, {1}, {0}, std::string(300, 'x'));
  data.flags = 0x30;
  data.data[0] = '\0';
  ASSERT_TRUE(ann.Send(*BuildVoice(data)));
  auto heard = Voices(bob, 1);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].sender, ann.id);
  EXPECT_EQ(heard[0].targetType, 1);
  EXPECT_EQ(heard[0].flags, 0x30);
  EXPECT_EQ(heard[0].count, std::optional<std::uint32_t>(300));
  EXPECT_EQ(heard[0].mark, 7u);
  EXPECT_TRUE(heard[0].types.empty());
  EXPECT_TRUE(heard[0].ids.empty());
  EXPECT_EQ(heard[0].data, data.data);
  EXPECT_TRUE(Voices(cat, 1).empty());
  EXPECT_TRUE(Voices(ann, 1).empty());

  ASSERT_TRUE(ann.Send(*BuildVoice(Packet(2, {1}, {0}))));
  EXPECT_EQ(Voices(bob, 2).size(), 1u);
  EXPECT_EQ(Voices(cat, 2).size(), 1u);
}

TEST_F(VoiceFlow, PacketChecksDropOrClose) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient mute = Join("Mute", "127.0.0.4");
  Drain({&ann, &bob, &mute});
  ASSERT_TRUE(Data(ann, {1}, {0}));  // not talking: dropped
  EXPECT_TRUE(Voices(bob, 1).empty());
  Talk(ann);
  Talk(mute);
  Drain({&bob});
  ASSERT_TRUE(Data(mute, {1}, {0}));  // globally muted: dropped
  EXPECT_TRUE(Voices(bob, 1).empty());
  ASSERT_TRUE(Data(ann, {1}, {0}, std::string(304, 'a')));
  EXPECT_EQ(Voices(bob, 1).size(), 1u);
  ASSERT_TRUE(Data(ann, {1}, {0}, std::string(305, 'a')));
  EXPECT_TRUE(Voices(bob, 1).empty());
  VoicePacket wrongCodec = Packet(1, {1}, {0}, "abc");
  wrongCodec.codec = 1;
  ASSERT_TRUE(ann.Send(*BuildVoice(wrongCodec)));
  EXPECT_TRUE(Voices(bob, 1).empty());
  EXPECT_FALSE(ann.session->WaitClosed(200));

  // Bob is admitted by the first target; the seventh type still closes.
  ASSERT_TRUE(Data(ann, {1, 7}, {0, 0}));
  EXPECT_TRUE(ann.session->WaitClosed());
  Talk(bob);
  VoicePacket huge = Packet(1, {1}, {0}, "abc");
  huge.count = 4076;
  ASSERT_TRUE(bob.Send(*BuildVoice(huge)));
  EXPECT_TRUE(bob.session->WaitClosed());
}

TEST_F(VoiceFlow, TargetTypesAdmitByTheChannelRules) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");       // the talker, in Room
  JoinedClient sub = Join("Bob", "127.0.0.3");       // Room/Sub
  JoinedClient other = Join("Cat", "127.0.0.4");     // Other
  JoinedClient noXmit = Join("Dan", "127.0.0.5");    // NoXmit
  JoinedClient locked = Join("Eve", "127.0.0.6");    // Locked
  JoinedClient members = Join("Nott", "127.0.0.7");  // Members (RestrictToUsr)
  JoinedClient guest = Join("Visitor", "127.0.0.8");
  Enter(ann, "Room");
  Enter(sub, "Sub");
  Enter(other, "Other");
  Enter(noXmit, "NoXmit");
  Enter(locked, "Locked", "door");
  Enter(members, "Members");
  std::vector<JoinedClient*> listeners = {&sub, &other, &noXmit, &locked, &members};
  Drain({&ann, &sub, &other, &noXmit, &locked, &members, &guest});
  Talk(ann);
  Talk(guest);
  Drain({&sub, &other, &noXmit, &locked, &members, &guest});

  auto heardBy = [&](JoinedClient& talker, std::vector<std::uint16_t> types,
                     std::vector<std::uint16_t> ids) {
    EXPECT_TRUE(Data(talker, types, ids));
    std::vector<std::pair<std::uint16_t, std::uint16_t>> heard;  // (listener, type)
    for (JoinedClient* listener : listeners) {
      for (const VoicePacket& packet : Voices(*listener, 1, 150))
        heard.push_back({listener->id, packet.targetType});
    }
    return heard;
  };
  using Heard = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
  const std::uint16_t room = ann.ChannelId("Room");
  // 3: one channel; 4: the channel and below; both name Room and Sub once each.
  EXPECT_EQ(heardBy(ann, {3}, {sub.ChannelId("Sub")}), (Heard{{sub.id, 3}}));
  EXPECT_EQ(heardBy(ann, {4, 3}, {room, sub.ChannelId("Sub")}), (Heard{{sub.id, 4}}));
  EXPECT_EQ(heardBy(ann, {3}, {ann.ChannelId("NoXmit")}), Heard{});
  // The talker has not given Locked's password; Eve has.
  EXPECT_EQ(heardBy(ann, {3}, {ann.ChannelId("Locked")}), Heard{});
  Enter(ann, "Locked", "door");
  Enter(ann, "Room");
  Drain({&ann, &locked});
  EXPECT_EQ(heardBy(ann, {3}, {ann.ChannelId("Locked")}), (Heard{{locked.id, 3}}));
  EXPECT_EQ(heardBy(guest, {3}, {ann.ChannelId("Members")}), Heard{});
  EXPECT_EQ(heardBy(ann, {3}, {ann.ChannelId("Members")}), (Heard{{members.id, 3}}));
  // 5: only a client that accepts private voice; 6: nobody.
  EXPECT_EQ(heardBy(ann, {5}, {other.id}), Heard{});
  ASSERT_TRUE(other.Send(*BuildSetting(0, 1, 1)));
  Drain({&ann, &sub, &other, &noXmit, &locked, &members});
  EXPECT_EQ(heardBy(ann, {5, 5}, {other.id, other.id}), (Heard{{other.id, 5}}));
  EXPECT_EQ(heardBy(ann, {6}, {0}), Heard{});

  // A client that heard the talker and is no longer reached hears it stop.
  EXPECT_EQ(heardBy(ann, {4}, {room}), (Heard{{sub.id, 4}}));
  Enter(sub, "Other");
  Drain({&sub});
  ASSERT_TRUE(Data(ann, {4}, {room}));
  auto stopped = Voices(sub, 3);
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].sender, ann.id);
  EXPECT_EQ(stopped[0].codec, 65535);
  ASSERT_TRUE(Data(ann, {4}, {room}));
  EXPECT_TRUE(Voices(sub, 3).empty());  // once only
}

TEST_F(VoiceFlow, FloorAndRankRulesMuteAndTimeOut) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient low = Join("Low", "127.0.0.4");
  JoinedClient ranker = Join("Ranker", "127.0.0.5");
  Enter(ann, "Floor");
  Enter(bob, "Floor");
  auto annMuted = Settings(bob);
  Drain({&ann});
  // Both entered muted (voice mode 1); Bob saw Ann's mute.
  bool sawAnn = false;
  for (const auto& s : annMuted) sawAnn |= s.id == ann.id && s.setting == 5 && s.value == 1;
  EXPECT_TRUE(sawAnn);

  // Everyone is muted: the floor is granted, then it runs out after a second.
  Talk(ann);
  auto granted = Voices(ann, 5, 300);
  ASSERT_EQ(granted.size(), 1u);
  EXPECT_EQ(granted[0].sender, ann.id);
  auto unmuted = Settings(bob);
  ASSERT_FALSE(unmuted.empty());
  EXPECT_EQ(unmuted[0].value, 0u);
  Talk(bob);
  EXPECT_EQ(Voices(bob, 6, 300).size(), 1u);  // Ann holds the floor
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] {
        for (const auto& s : Settings(low))
          if (s.id == ann.id && s.setting == 5 && s.value == 1) return true;
        return false;
      },
      4000));

  // Voice mode 2 by rank: Ranker (60) speaks, Low (40) is muted.
  Enter(low, "Ranked");
  Enter(ranker, "Ranked");
  Drain({&ann, &bob, &low, &ranker});
  Talk(low);
  Talk(ranker);  // its one-second time limit starts now
  ASSERT_TRUE(Data(ranker, {1}, {0}));
  EXPECT_EQ(Voices(low, 1).size(), 1u);
  ASSERT_TRUE(Data(low, {1}, {0}));
  EXPECT_TRUE(Voices(ranker, 1).empty());
  // Ranker's time limit of one second runs out: muted, and told.
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] {
        for (const auto& s : Settings(ann))
          if (s.id == ranker.id && s.setting == 5 && s.value == 1) return true;
        return false;
      },
      4000));
  ASSERT_TRUE(Data(ranker, {1}, {0}));
  EXPECT_TRUE(Voices(low, 1).empty());

  // Ann's time ran out, so everyone in Floor is muted again: Bob gets the
  // floor, and stopping mutes him again.
  Drain({&ann, &bob});
  Talk(bob);
  EXPECT_EQ(Voices(bob, 5, 300).size(), 1u);
  Drain({&ann});
  ASSERT_TRUE(bob.Send(*BuildVoice(Packet(2, {1}, {0}))));
  bool remuted = false;
  for (const auto& s : Settings(ann)) remuted |= s.id == bob.id && s.setting == 5 && s.value == 1;
  EXPECT_TRUE(remuted);
}

TEST_F(VoiceFlow, ChatJoinLinesFiltersAndSpam) {
  Start("", "SpamChat=1,1000,2\n");
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient cat = Join("Cat", "127.0.0.4");
  Enter(ann, "Room");
  Enter(bob, "Room");
  Enter(cat, "Other");
  ASSERT_TRUE(bob.Send(*BuildChat(0)));
  ASSERT_TRUE(cat.Send(*BuildChat(0)));
  Drain({&ann, &bob, &cat});
  ASSERT_TRUE(ann.Send(*BuildChat(0)));
  std::vector<std::uint16_t> joined;
  for (const auto& message : ann.Drain(200)) {
    if (auto chat = ReadChat(*message); chat && chat->action == 0) joined.push_back(chat->id);
  }
  EXPECT_EQ(joined.size(), 3u);  // Bob, Cat, and its own announcement
  Drain({&bob, &cat});

  auto linesOf = [](JoinedClient& client) {
    std::vector<std::string> lines;
    for (const auto& message : client.Drain(200)) {
      if (auto chat = ReadChat(*message); chat && chat->action == 2) {
        EXPECT_EQ(chat->flags, 0);
        lines.push_back(chat->text);
      }
    }
    return lines;
  };
  ASSERT_TRUE(ann.Send(*BuildChat(2, "hello all")));
  EXPECT_EQ(linesOf(cat), std::vector<std::string>{"hello all"});
  EXPECT_EQ(linesOf(ann), std::vector<std::string>{"hello all"});
  bob.Drain(100);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(ann.Send(*BuildChat(2, "room only", 1)));
  EXPECT_EQ(linesOf(bob), std::vector<std::string>{"room only"});
  EXPECT_TRUE(linesOf(cat).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(ann.Send(*BuildChat(2, "bad\x01")));
  ASSERT_TRUE(ann.Send(*BuildChat(2, "   ")));
  EXPECT_TRUE(linesOf(bob).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(ann.Send(*BuildChat(2, "/rcon ")));
  ASSERT_TRUE(ann.Send(*BuildChat(2, "\\RCON status")));
  EXPECT_TRUE(linesOf(bob).empty());
  EXPECT_EQ(server.Log().find("RCON"), std::string::npos);

  // The third quick line takes the spam action (1: disconnect).
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(bob.Send(*BuildChat(2, "flood")));
  std::optional<RefusalInfo> refusal;
  for (const auto& message : bob.Drain(300)) {
    if (auto r = ReadRefusal(*message)) refusal = r;
  }
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 38);
  EXPECT_TRUE(refusal->closes);
}

TEST_F(VoiceFlow, BindsStayInTheSendersChannelAndFollowTheRules) {
  Start("SilentLobby=1\n");
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient cat = Join("Cat", "127.0.0.4");
  JoinedClient nott = Join("Nott", "127.0.0.5");
  JoinedClient mute = Join("Mute", "127.0.0.6");
  for (JoinedClient* c : {&ann, &bob, &nott, &mute}) Enter(*c, "Room");
  Enter(cat, "Other");
  Drain({&ann, &bob, &cat, &nott, &mute});
  auto bindsOf = [](JoinedClient& client) {
    std::vector<std::string> lines;
    for (const auto& message : client.Drain(200)) {
      if (auto bind = ReadBind(*message)) lines.push_back(bind->text);
    }
    return lines;
  };
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_TTS, " hello ")));
  EXPECT_EQ(bindsOf(bob), std::vector<std::string>{" hello "});
  EXPECT_EQ(bindsOf(ann), std::vector<std::string>{" hello "});
  EXPECT_TRUE(bindsOf(cat).empty());
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_WAVE, "ding")));
  EXPECT_EQ(bindsOf(bob), std::vector<std::string>{"ding"});
  ASSERT_TRUE(nott.Send(*BuildBind(MSG_TTS, "no right")));
  ASSERT_TRUE(mute.Send(*BuildBind(MSG_TTS, "muted")));
  ASSERT_TRUE(mute.Send(*BuildBind(MSG_WAVE, "muted")));
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_TTS, "  ")));
  EXPECT_TRUE(bindsOf(bob).empty());
  Enter(ann, "Quiet");
  Enter(bob, "Quiet");
  Drain({&ann, &bob});
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_TTS, "quiet")));
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_WAVE, "quiet")));
  EXPECT_TRUE(bindsOf(bob).empty());
  // SilentLobby: nothing from the lobby.
  JoinedClient dan = Join("Dan", "127.0.0.7");
  JoinedClient eve = Join("Eve", "127.0.0.8");
  Drain({&dan});
  ASSERT_TRUE(dan.Send(*BuildBind(MSG_TTS, "lobby")));
  EXPECT_TRUE(bindsOf(eve).empty());
}

TEST_F(VoiceFlow, BindFiltersDropEverything) {
  Start("", "FilterTTS=1\nFilterWave=1\n");
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  Drain({&ann});
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_TTS, "hi")));
  ASSERT_TRUE(ann.Send(*BuildBind(MSG_WAVE, "hi")));
  for (const auto& message : bob.Drain(300)) EXPECT_FALSE(ReadBind(*message).has_value());
}

TEST_F(VoiceFlow, PagesAnswerTheSenderOrReachTheTarget) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient cat = Join("Cat", "127.0.0.4");
  ASSERT_TRUE(cat.Send(*BuildSetting(0, 0, 1)));
  Enter(cat, "Quiet");
  ASSERT_TRUE(bob.Send(*BuildSetting(0, 0, 1)));
  Drain({&ann, &bob, &cat});
  auto pageResult = [&](std::uint16_t target) -> std::optional<PageInfo> {
    EXPECT_TRUE(ann.Send(*BuildPage(target, 42)));
    auto reply = ann.session->WaitFor(MSG_PAGE, 300);
    return reply ? ReadPage(*reply) : std::nullopt;
  };
  EXPECT_EQ(pageResult(999)->result, 1);
  EXPECT_EQ(pageResult(cat.id)->result, 3);
  ASSERT_TRUE(bob.Send(*BuildSetting(0, 0, 0)));
  Drain({&ann});
  EXPECT_EQ(pageResult(bob.id)->result, 2);
  ASSERT_TRUE(bob.Send(*BuildSetting(0, 0, 1)));
  Drain({&ann, &bob});
  EXPECT_FALSE(pageResult(bob.id).has_value());  // result 0 goes to the target only
  auto page = bob.session->WaitFor(MSG_PAGE, 300);
  ASSERT_NE(page, nullptr);
  auto info = ReadPage(*page);
  EXPECT_EQ(info->sender, ann.id);
  EXPECT_EQ(info->result, 0);
  EXPECT_EQ(info->value, 42);
}

TEST_F(VoiceFlow, PagesWithoutTheRightAnswerFour) {
  Start();
  JoinedClient nop = Join("Nop", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  ASSERT_TRUE(bob.Send(*BuildSetting(0, 0, 1)));
  Drain({&nop, &bob});
  ASSERT_TRUE(nop.Send(*BuildPage(bob.id, 1)));
  auto reply = nop.session->WaitFor(MSG_PAGE, 500);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(ReadPage(*reply)->result, 4);
  EXPECT_EQ(bob.session->WaitFor(MSG_PAGE, 300), nullptr);
}

TEST_F(VoiceFlow, NewcomerLearnsWhoTalksChatsAndTheirSettings) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  Enter(bob, "Floor");  // channel-muted there
  Talk(ann);
  ASSERT_TRUE(ann.Send(*BuildChat(0)));
  ASSERT_TRUE(ann.Send(*BuildSetting(0, 1, 1)));
  ASSERT_TRUE(ann.Send(*BuildSetting(0, 3, 5)));  // stored as 1
  Drain({&ann, &bob});
  JoinedClient cat = Join("Cat", "127.0.0.4");
  bool talking = false, chatting = false, privateVoice = false, flag3 = false, bobMuted = false;
  for (const auto& message : cat.login.messages) {
    if (auto voice = ReadVoice(*message)) talking |= voice->action == 4 && voice->sender == ann.id;
    if (auto chat = ReadChat(*message)) chatting |= chat->action == 0 && chat->id == ann.id;
    if (auto setting = ReadUserSetting(*message)) {
      privateVoice |= setting->id == ann.id && setting->setting == 1 && setting->value == 1;
      flag3 |= setting->id == ann.id && setting->setting == 3 && setting->value == 1;
      bobMuted |= setting->id == bob.id && setting->setting == 5 && setting->value == 1;
    }
  }
  EXPECT_TRUE(talking);
  EXPECT_TRUE(chatting);
  EXPECT_TRUE(privateVoice);
  EXPECT_TRUE(flag3);
  EXPECT_TRUE(bobMuted);
}

}  // namespace
}  // namespace kestrune::e2e
