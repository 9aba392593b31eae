#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client/admin_requests.h"
#include "client/channel_requests.h"
#include "client/talk_requests.h"
#include "e2e/support/joined_client.h"

namespace kestrune::e2e {
namespace {

// Boss: server administrator (AdminMode at login); Mover may move users and
// administers Hub; Noper administers Hub but may not move users; Stuck may
// not switch channels; NoPh may not add phantoms; the others are plain. Any
// other name logs in as a guest.
std::string Accounts() {
  std::string text;
  int uid = 1;
  auto add = [&](const std::string& name, const std::string& extra) {
    text +=
        "[" + name + "]\nUID=" + std::to_string(uid++) + "\nEncPass=" + HexOf("pw") + "\n" + extra;
  };
  add("Boss", "ServerAdmin=1\n");
  add("Mover", "UsersMove=1\nChanAdminCount=1\nChanAdmin0=Hub\n");
  add("Noper", "ChanAdminCount=1\nChanAdmin0=Hub\n");
  add("Stuck", "ChanSwitch=0\n");
  add("NoPh", "PhantomsAdd=0\n");
  for (const char* name : {"Ann", "Bob", "Cat", "Dan"}) add(name, "");
  text += "[Guest]\nUID=" + std::to_string(uid) + "\n";
  return text;
}

constexpr const char* kChannels =
    "[Hub]\nEncPassChan=\n"
    "[Hub/One]\nEncPassChan=\n"
    "[Hub/Two]\nEncPassChan=\n"
    "[Hub/Three]\nEncPassChan=\n"
    "[Room]\nEncPassChan=\n"
    "[Other]\nEncPassChan=\n"
    "[Full]\nEncPassChan=\nMaxClients=1\n"
    "[NoPhantoms]\nEncPassChan=\nPhantomMode=0\n"
    "[ShutPass]\nPassChan=door\nPhantomMode=0\n"
    "[Pass]\nPassChan=door\n"
    "[NoGuest]\nEncPassChan=\nAllowGuestToJoin=0\n"
    "[Barred]\nEncPassChan=\nBanItem0=127.0.0.9,x,y,z\n"
    "[BarredFull]\nEncPassChan=\nMaxClients=1\nBanItem0=127.0.0.9,x,y,z\n"
    "[Floor]\nEncPassChan=\nVoiceMode=1\n";

class MovesAndPhantoms : public ::testing::Test {
 protected:
  void Start(const std::string& properties = "", const std::string& channels = kChannels) {
    server.WriteSettings("LogonTimeout=0\n" + std::string(ServerProcess::kBasicKeys));
    server.WriteFile("kestrune_srv.usr", Accounts());
    server.WriteFile("kestrune_srv.chn", channels);
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
    JoinedClient client = JoinAs(server, name, name == "Visitor" ? "" : "pw", address);
    if (channels_.empty()) {
      for (const auto& message : client.login.messages) {
        if (auto list = ReadChannelList(*message)) {
          for (const auto& record : *list) channels_.push_back(record);
        }
      }
    }
    return client;
  }
  std::uint16_t Id(const std::string& name) const {
    for (const auto& record : channels_) {
      if (record.name == name) return record.id;
    }
    return 0;
  }
  void Enter(JoinedClient& client, const std::string& channel, const std::string& password = "") {
    ChannelRequest request;
    request.action = 3;
    request.clientId = client.id;
    request.channel = channel.empty() ? 0 : Id(channel);
    request.withTexts = false;
    if (!password.empty()) request.digest = DigestOf(password);
    ASSERT_TRUE(client.Send(*BuildChannelRequest(request)));
  }
  static void Drain(std::initializer_list<JoinedClient*> clients) {
    for (JoinedClient* client : clients) client->Drain(150);
  }
  // The moves `client` is told of: at least `expected` of them when they come
  // within 5 s (a loaded machine can take longer than the quiet period), then
  // whatever follows before 250 ms pass quietly.
  static std::vector<ChannelMove> Moves(JoinedClient& client, std::size_t expected = 1) {
    std::vector<ChannelMove> found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
      for (const auto& message : client.Drain(250)) {
        if (message->Type() != MSG_MOVE_USER) continue;
        if (auto move = ReadChannelMove(*message)) found.push_back(*move);
      }
    } while (found.size() < expected && std::chrono::steady_clock::now() < deadline);
    return found;
  }
  static std::vector<PhantomInfo> PhantomNotices(const std::vector<std::unique_ptr<Message>>& all) {
    std::vector<PhantomInfo> found;
    for (const auto& message : all) {
      if (auto info = ReadPhantom(*message)) found.push_back(*info);
    }
    return found;
  }
  static std::vector<PhantomInfo> PhantomNotices(JoinedClient& client, int quietMs = 250) {
    return PhantomNotices(client.Drain(quietMs));
  }
  // Asks for a phantom of `owner` in `channel`: the phantom's id, or 0 with
  // the result of the reply in `result`.
  std::uint16_t AddPhantom(JoinedClient& owner, std::uint16_t channel, std::uint16_t* result) {
    EXPECT_TRUE(owner.Send(*BuildPhantom({kPhantomAdd, 0, owner.id, 0, channel})));
    for (const PhantomInfo& info : PhantomNotices(owner)) {
      if (info.action != kPhantomAdd || info.owner != owner.id) continue;
      *result = info.result;
      if (info.result == 0) return info.phantom;
    }
    return 0;
  }
  std::uint16_t AddPhantom(JoinedClient& owner, const std::string& channel) {
    std::uint16_t result = 99;
    const std::uint16_t phantom = AddPhantom(owner, Id(channel), &result);
    EXPECT_EQ(result, 0) << channel;
    return phantom;
  }

  ServerProcess server;
  std::vector<ChannelRecord> channels_;
  bool started_ = false;
};

TEST_F(MovesAndPhantoms, MovesAnswerEveryResultAndBroadcastWhatMoved) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.2");
  JoinedClient mover = Join("Mover", "127.0.0.3");
  JoinedClient noper = Join("Noper", "127.0.0.4");
  JoinedClient stuck = Join("Stuck", "127.0.0.5");
  JoinedClient ann = Join("Ann", "127.0.0.6");
  JoinedClient bob = Join("Bob", "127.0.0.7");
  JoinedClient cat = Join("Cat", "127.0.0.8");
  Enter(bob, "Two");
  Enter(cat, "Full");
  Drain({&boss, &mover, &noper, &stuck, &ann, &bob, &cat});

  struct Case {
    JoinedClient* from;
    std::uint16_t id;
    std::uint16_t destination;
    std::uint16_t result;
  } cases[] = {
      {&mover, 0, Id("One"), 2},           {&mover, ann.id, 999, 3},
      {&stuck, ann.id, Id("One"), 1},      {&mover, 998, Id("One"), 2},
      {&mover, ann.id, Id("One"), 1},       // Ann is in the lobby
      {&mover, Id("Three"), Id("One"), 4},  // ordering is off
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(k.from->Send(*BuildMoveUser(k.id, k.destination)));
    auto moves = Moves(*k.from);
    ASSERT_EQ(moves.size(), 1u) << k.id << " to " << k.destination;
    EXPECT_EQ(moves[0].clientId, k.id);
    EXPECT_EQ(moves[0].channel, k.destination);
    EXPECT_EQ(moves[0].result, k.result);
  }
  EXPECT_TRUE(Moves(ann, 0).empty());
  ASSERT_TRUE(noper.Send(*BuildMoveUser(ann.id, Id("One"))));
  auto refusal = noper.session->WaitFor(MSG_REFUSAL, 1000);
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(ReadRefusal(*refusal)->code, 24);

  // A move is told to everyone; the requester gets no reply besides.
  ASSERT_TRUE(boss.Send(*BuildMoveUser(ann.id, Id("One"))));
  for (JoinedClient* client : {&boss, &ann, &bob, &stuck}) {
    auto moves = Moves(*client);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0].clientId, ann.id);
    EXPECT_EQ(moves[0].channel, Id("One"));
    EXPECT_EQ(moves[0].result, 0);
  }
  // A client as the destination stands for its channel.
  ASSERT_TRUE(mover.Send(*BuildMoveUser(ann.id, bob.id)));
  auto moves = Moves(bob);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].channel, Id("Two"));
  Drain({&boss, &mover, &ann, &stuck});
  struct After {
    JoinedClient* from;
    std::uint16_t destination;
    std::uint16_t result;
  } after[] = {
      {&mover, bob.id, 3},      // already there
      {&mover, Id("Room"), 1},  // not Mover's
      {&boss, Id("Full"), 5},
  };
  for (const After& k : after) {
    ASSERT_TRUE(k.from->Send(*BuildMoveUser(ann.id, k.destination)));
    auto replies = Moves(*k.from);
    ASSERT_EQ(replies.size(), 1u) << k.destination;
    EXPECT_EQ(replies[0].result, k.result) << k.destination;
  }

  // Into a floor channel: the move notice, then the channel mute for all.
  Drain({&bob});
  ASSERT_TRUE(boss.Send(*BuildMoveUser(ann.id, Id("Floor"))));
  auto seen = bob.Drain(300);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0]->Type(), MSG_MOVE_USER);
  auto mute = ReadUserSetting(*seen[1]);
  ASSERT_TRUE(mute.has_value());
  EXPECT_EQ(mute->id, ann.id);
  EXPECT_EQ(mute->setting, 5);
  EXPECT_EQ(mute->value, 1u);
}

TEST_F(MovesAndPhantoms, PhantomMovesFollowTheirRules) {
  Start();
  JoinedClient boss = Join("Boss", "127.0.0.2");
  JoinedClient ann = Join("Ann", "127.0.0.3");
  const std::uint16_t phantom = AddPhantom(ann, "Room");
  ASSERT_NE(AddPhantom(ann, "Other"), 0);
  Drain({&boss});
  struct Case {
    std::uint16_t destination;
    std::uint16_t result;
  } cases[] = {{0, 3}, {Id("NoPhantoms"), 6}, {Id("Other"), 3}};
  for (const Case& k : cases) {
    ASSERT_TRUE(boss.Send(*BuildMoveUser(phantom, k.destination)));
    auto replies = Moves(boss);
    ASSERT_EQ(replies.size(), 1u) << k.destination;
    EXPECT_EQ(replies[0].result, k.result) << k.destination;
  }
  ASSERT_TRUE(boss.Send(*BuildMoveUser(phantom, Id("Three"))));
  auto moves = Moves(ann);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].clientId, phantom);
  EXPECT_EQ(moves[0].channel, Id("Three"));
  EXPECT_EQ(moves[0].result, 0);
}

TEST_F(MovesAndPhantoms, ChannelOrderingPutsAChannelBeforeItsSiblingAndSurvivesARestart) {
  Start("ChannelOrdering=1\n");
  JoinedClient mover = Join("Mover", "127.0.0.2");
  JoinedClient ann = Join("Ann", "127.0.0.3");
  ASSERT_TRUE(mover.Send(*BuildMoveUser(Id("Three"), Id("One"))));
  for (JoinedClient* client : {&ann, &mover}) {
    auto moves = Moves(*client, client == &mover ? 2 : 1);
    ASSERT_GE(moves.size(), 1u);
    EXPECT_EQ(moves[0].clientId, Id("Three"));
    EXPECT_EQ(moves[0].channel, Id("One"));
    EXPECT_EQ(moves[0].result, 0);
    if (client == &mover) {
      ASSERT_EQ(moves.size(), 2u);
      EXPECT_EQ(moves[1].result, 4);
    }
  }
  struct Case {
    std::uint16_t first;
    std::uint16_t second;
    std::uint16_t result;
  } cases[] = {
      {Id("Hub"), Id("Room"), 1},  // the lobby is nobody's but AdminMode's
      {Id("One"), Id("Room"), 3},  // no common parent
      {Id("One"), ann.id, 3},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(mover.Send(*BuildMoveUser(k.first, k.second)));
    auto replies = Moves(mover);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, k.result);
  }
  EXPECT_TRUE(Moves(ann, 0).empty());

  ASSERT_EQ(server.Stop(), std::optional<int>(0));
  server.WriteFile("kestrune_srv.log", "");  // so that READY: is the new server's
  ASSERT_TRUE(server.StartReady());
  channels_.clear();
  JoinedClient again = Join("Ann", "127.0.0.3");
  std::vector<std::string> names;
  for (const auto& record : channels_) names.push_back(record.name);
  auto at = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), name) - names.begin();
  };
  EXPECT_LT(at("Hub"), at("Three"));
  EXPECT_LT(at("Three"), at("One"));
  EXPECT_LT(at("One"), at("Two"));
}

TEST_F(MovesAndPhantoms, PhantomAddAnswersEveryResultInOrderAndRemovalIsAnnouncedOnce) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient noph = Join("NoPh", "127.0.0.3");
  JoinedClient visitor = Join("Visitor", "127.0.0.4");
  JoinedClient bob = Join("Bob", "127.0.0.9");
  JoinedClient cat = Join("Cat", "127.0.0.5");
  JoinedClient dan = Join("Dan", "127.0.0.6");
  Enter(cat, "BarredFull");
  Enter(dan, "Full");
  Drain({&ann, &noph, &visitor, &bob, &cat, &dan});

  struct Case {
    JoinedClient* who;
    std::uint16_t channel;
    std::uint16_t result;
  } cases[] = {
      {&noph, 0, 4},
      {&noph, 999, 4},
      {&noph, Id("Room"), 11},
      {&ann, Id("ShutPass"), 1},  // PhantomMode before the password
      {&ann, Id("Pass"), 6},
      {&visitor, Id("NoGuest"), 6},
      {&bob, Id("Barred"), 10},
      {&bob, Id("BarredFull"), 10},  // the ban before the limit
      {&ann, Id("Full"), 8},
  };
  for (const Case& k : cases) {
    std::uint16_t result = 99;
    EXPECT_EQ(AddPhantom(*k.who, k.channel, &result), 0);
    EXPECT_EQ(result, k.result) << k.channel;
  }

  ASSERT_TRUE(ann.Send(*BuildPhantom({kPhantomAdd, 0, ann.id, 0, Id("Room")})));
  std::uint16_t phantom = 0;
  for (JoinedClient* client : {&ann, &noph, &visitor, &bob, &cat, &dan}) {
    auto notices = PhantomNotices(*client);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].action, kPhantomAdd);
    EXPECT_EQ(notices[0].result, 0);
    EXPECT_EQ(notices[0].owner, ann.id);
    EXPECT_EQ(notices[0].channel, Id("Room"));
    EXPECT_NE(notices[0].phantom, 0);
    phantom = notices[0].phantom;
  }
  std::uint16_t result = 99;
  EXPECT_EQ(AddPhantom(ann, Id("Room"), &result), 0);
  EXPECT_EQ(result, 3);
  // A password given once admits a phantom without a digest.
  Enter(ann, "Pass", "door");
  Enter(ann, "");
  Drain({&ann});
  const std::uint16_t second = AddPhantom(ann, "Pass");
  EXPECT_NE(second, 0);
  // Six clients and two phantoms fill the table.
  EXPECT_EQ(AddPhantom(ann, Id("Other"), &result), 0);
  EXPECT_EQ(result, 7);
  Drain({&noph, &visitor, &bob, &cat, &dan});

  ASSERT_TRUE(bob.Send(*BuildPhantom({kPhantomRemove, 0, bob.id, phantom, Id("Room")})));
  auto notYours = PhantomNotices(bob);
  ASSERT_EQ(notYours.size(), 1u);
  EXPECT_EQ(notYours[0].result, 5);
  EXPECT_TRUE(PhantomNotices(ann).empty());

  ASSERT_TRUE(ann.Send(*BuildPhantom({kPhantomRemove, 0, ann.id, phantom, Id("Room")})));
  for (JoinedClient* client : {&ann, &bob, &cat}) {
    auto notices = PhantomNotices(*client, 400);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].action, kPhantomRemove);
    EXPECT_EQ(notices[0].result, 0);
    EXPECT_EQ(notices[0].owner, ann.id);
    EXPECT_EQ(notices[0].phantom, phantom);
    EXPECT_EQ(notices[0].channel, Id("Room"));
  }

  // Malformed requests close.
  auto notOwn = BuildPhantom({kPhantomAdd, 0, ann.id, 0, Id("Room")});
  ASSERT_TRUE(noph.Send(*notOwn));
  EXPECT_TRUE(noph.session->WaitClosed(2000));
  ASSERT_TRUE(visitor.Send(*BuildPhantom({2, 0, visitor.id, 0, Id("Room")})));
  EXPECT_TRUE(visitor.session->WaitClosed(2000));
  auto shortBody = BuildPhantom({kPhantomAdd, 0, dan.id, 0, Id("Room")});
  ASSERT_TRUE(shortBody->SetLength(shortBody->Length() - 1));
  ASSERT_TRUE(dan.Send(*shortBody));
  EXPECT_TRUE(dan.session->WaitClosed(2000));
}

TEST_F(MovesAndPhantoms, PhantomAddWithoutAFreeIdAnswersNine) {
  // 1,022 channels and the owner hold every id from 1 to 1023.
  std::string file;
  for (int i = 0; i < 1022; ++i) file += "[c" + std::to_string(i) + "]\nEncPassChan=\n";
  Start("", file);
  JoinedClient ann = Join("Ann", "127.0.0.2");
  std::uint16_t result = 99;
  EXPECT_EQ(AddPhantom(ann, Id("c0"), &result), 0);
  EXPECT_EQ(result, 9);
}

TEST_F(MovesAndPhantoms, PhantomsAtLoginInTheRelayAndOnTheWayOut) {
  Start();
  JoinedClient ann = Join("Ann", "127.0.0.2");
  JoinedClient bob = Join("Bob", "127.0.0.3");
  JoinedClient boss = Join("Boss", "127.0.0.4");
  JoinedClient dan = Join("Dan", "127.0.0.5");
  Enter(ann, "Room");
  Enter(bob, "Other");
  const std::uint16_t inOther = AddPhantom(ann, "Other");
  const std::uint16_t inHub = AddPhantom(ann, "Hub");
  const std::uint16_t inFloor = AddPhantom(ann, "Floor");
  ASSERT_NE(inOther * inHub * inFloor, 0);

  JoinedClient cat = Join("Cat", "127.0.0.6");
  std::vector<std::uint16_t> known;
  for (const PhantomInfo& info : PhantomNotices(cat.login.messages)) {
    EXPECT_EQ(info.action, kPhantomAdd);
    EXPECT_EQ(info.owner, ann.id);
    known.push_back(info.phantom);
  }
  std::sort(known.begin(), known.end());
  std::vector<std::uint16_t> all{inOther, inHub, inFloor};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(known, all);
  Drain({&ann, &bob, &boss, &dan, &cat});

  // The phantom listens for its owner, once per packet however it is reached.
  VoicePacket start;
  start.types = {1};
  start.ids = {0};
  ASSERT_TRUE(bob.Send(*BuildVoice(start)));
  Drain({&ann, &cat});
  auto heard = [](JoinedClient& client) {
    int data = 0;
    for (const auto& message : client.Drain(250)) {
      auto voice = ReadVoice(*message);
      if (voice && voice->action == 1) ++data;
    }
    return data;
  };
  const std::vector<std::vector<std::uint16_t>> targets[] = {
      {{1}, {0}}, {{1, 3}, {0, Id("Room")}}, {{3, 3}, {Id("Other"), Id("Hub")}}};
  for (const auto& target : targets) {
    VoicePacket data;
    data.action = 1;
    data.mark = 7;
    data.types = target[0];
    data.ids = target[1];
    data.data = std::string(100, 'v');
    ASSERT_TRUE(bob.Send(*BuildVoice(data)));
    EXPECT_EQ(heard(ann), 1) << target[0].size();
    EXPECT_EQ(heard(cat), 0);
  }
  // A speaker never hears itself through its own phantom.
  ASSERT_TRUE(ann.Send(*BuildVoice(start)));
  Drain({&bob});
  VoicePacket own;
  own.action = 1;
  own.mark = 7;
  own.types = {3};
  own.ids = {Id("Other")};
  own.data = std::string(100, 'a');
  ASSERT_TRUE(ann.Send(*BuildVoice(own)));
  EXPECT_EQ(heard(bob), 1);
  EXPECT_EQ(heard(ann), 0);

  // A phantom in a floor channel never holds the floor.
  Enter(dan, "Floor");
  Drain({&dan});
  VoicePacket ask;
  ask.types = {1};
  ask.ids = {0};
  ASSERT_TRUE(dan.Send(*BuildVoice(ask)));
  auto floor = dan.session->WaitFor(MSG_VOICE, 1000);
  ASSERT_NE(floor, nullptr);
  EXPECT_EQ(ReadVoice(*floor)->action, 5);
  Drain({&ann, &bob, &boss, &dan, &cat});

  // A phantom goes with its channel, and the rest with their owner.
  ChannelRequest remove;
  remove.action = 2;
  remove.channel = Id("Hub");
  remove.clientId = boss.id;
  remove.withTexts = false;
  ASSERT_TRUE(boss.Send(*BuildChannelRequest(remove)));
  auto gone = PhantomNotices(bob, 400);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].action, kPhantomRemove);
  EXPECT_EQ(gone[0].phantom, inHub);
  Drain({&cat});
  ann.session->Close();
  std::vector<std::uint16_t> left;
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] {
        for (const PhantomInfo& info : PhantomNotices(cat, 100)) {
          if (info.action == kPhantomRemove) left.push_back(info.phantom);
        }
        return left.size() >= 2;
      },
      3000));
  std::sort(left.begin(), left.end());
  std::vector<std::uint16_t> expected{inOther, inFloor};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

}  // namespace
}  // namespace kestrune::e2e
