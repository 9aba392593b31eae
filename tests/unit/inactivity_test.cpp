#include "protocol/inactivity.h"

#include <gtest/gtest.h>

#include "client/channel_requests.h"
#include "client/motd_requests.h"
#include "protocol_fixture.h"

namespace kestrune {
namespace {

using testing::ProtocolFixture;
using testing::TestClient;
using P = PermissionBlock;

constexpr std::uint16_t kToken = 0x5A5A;

class InactivityTest : public ProtocolFixture {
 protected:
  void SetUp() override {
    ProtocolFixture::SetUp();
    tree.SetFile(dir.File("t.chn"));
    dir.Write("t.chn",
              "[Idle]\nEncPassChan=\n[Safe]\nEncPassChan=\nExemptFromInactivity=1\n"
              "[Busy]\nEncPassChan=\n");
    ASSERT_EQ(tree.LoadChannels(), 0);
    properties.inactivityChannel = "idle";
  }
  std::uint16_t Id(const char* path) { return tree.FindChannelByPath(path)->id; }

  // The client answers an outstanding ping, reporting `idle` seconds.
  std::vector<std::unique_ptr<Message>> Answer(TestClient& client, std::uint16_t idle) {
    client.c->pingOutstanding = true;
    client.c->pingCookie = kToken;
    Dispatch(client, BuildPingAnswer(kToken, idle));
    return Drain(client);
  }
  static std::optional<RefusalInfo> RefusalIn(const std::vector<std::unique_ptr<Message>>& got) {
    for (const auto& m : got) {
      if (auto refusal = ReadRefusal(*m)) return refusal;
    }
    return std::nullopt;
  }
};

TEST(InactivityLimit, MinutesBecomeSecondsWithoutWrapping) {
  EXPECT_EQ(InactivityLimitSeconds(0), 0u);
  EXPECT_EQ(InactivityLimitSeconds(-1), 0u) << "below zero is off";
  EXPECT_EQ(InactivityLimitSeconds(1), 60u);
  // 71582789 x 60 is 2^32 + 44: 44 seconds in 32 bits.
  EXPECT_EQ(InactivityLimitSeconds(71582789), 4294967340ull);
}

TEST_F(InactivityTest, DisconnectAppliesOnlyPastTheLimitAndOutsideTheExemptions) {
  struct Case {
    const char* what;
    int timeout;
    std::uint16_t idle;
    bool ignore;
    const char* channel;  // nullptr: the lobby
    bool kicked;
  };
  const Case cases[] = {
      {"61 s at 1 minute", 1, 61, false, nullptr, true},
      {"60 s is spared", 1, 60, false, nullptr, false},
      {"in a plain channel", 1, 61, false, "Busy", true},
      {"rule off", 0, 65535, false, nullptr, false},
      {"negative minutes are off", -1, 65535, false, nullptr, false},
      {"would wrap to 44 s in 32 bits", 71582789, 61, false, nullptr, false},
      {"IgnoreInactivity", 1, 61, true, nullptr, false},
      {"ExemptFromInactivity channel", 1, 61, false, "Safe", false},
  };
  int host = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    properties.inactivityTimeout = c.timeout;
    properties.inactivityAction = kInactivityDisconnect;
    TestClient& client = LoggedIn("Ann", "ann", "127.0.0." + std::to_string(host++));
    if (c.ignore) client.c->permissions[P::kIgnoreInactivity] = 1;
    if (c.channel != nullptr) protocol->Presence().MoveTo(*client.c, Id(c.channel));
    Drain(client);
    auto refusal = RefusalIn(Answer(client, c.idle));
    EXPECT_EQ(refusal.has_value(), c.kicked);
    EXPECT_EQ(client.c->closing, c.kicked);
    if (refusal) {
      EXPECT_EQ(refusal->code, kRefuseInactive);
      EXPECT_TRUE(refusal->closes);
    }
    EXPECT_FALSE(client.c->pingOutstanding) << "the answer itself was taken";
    Drop(client);
  }
}

TEST_F(InactivityTest, MoveGoesToTheChannelNamedByPathAndTellsEveryone) {
  properties.inactivityTimeout = 1;
  properties.inactivityAction = kInactivityMove;
  // A stale resolved id must not be used: the path decides.
  properties.inactivityChannelId = Id("Busy");
  TestClient& idle = LoggedIn("Ann", "ann", "127.0.0.2");
  TestClient& watcher = LoggedIn("Rex", "rex", "127.0.0.3");
  Drain(idle);

  auto got = Answer(idle, 61);
  EXPECT_FALSE(idle.c->closing);
  EXPECT_EQ(idle.c->channel, Id("Idle"));
  bool told = false;
  for (const auto& m : Drain(watcher)) {
    auto move = ReadChannelMove(*m);
    if (move && m->Type() == MSG_CHANNEL_CHANGE && move->clientId == idle.c->id &&
        move->channel == Id("Idle"))
      told = true;
  }
  EXPECT_TRUE(told);

  // Already there: nothing more goes out.
  Answer(idle, 61);
  EXPECT_TRUE(Drain(watcher).empty());

  // A path that names no channel leaves the client where it is.
  protocol->Presence().MoveTo(*idle.c, Id("Busy"));
  Drain(watcher);
  properties.inactivityChannel = "Gone";
  Answer(idle, 61);
  EXPECT_EQ(idle.c->channel, Id("Busy"));
  EXPECT_TRUE(Drain(watcher).empty());

  // An action other than 0 or 1 does nothing.
  properties.inactivityChannel = "Idle";
  properties.inactivityAction = 2;
  Answer(idle, 61);
  EXPECT_EQ(idle.c->channel, Id("Busy"));
  EXPECT_FALSE(idle.c->closing);
}

}  // namespace
}  // namespace kestrune
