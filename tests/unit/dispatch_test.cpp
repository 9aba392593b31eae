#include <gtest/gtest.h>

#include "protocol/client_records.h"
#include "protocol_fixture.h"
#include "store/penalty_tracker.h"

namespace kestrune {
namespace {

using testing::ProtocolFixture;
using testing::TestClient;

// A message of any type with `body` bytes after the header.
std::unique_ptr<Message> Raw(std::uint16_t type, std::size_t body) {
  auto message = std::make_unique<Message>(4 + body);
  message->SetU16(0, type);
  return message;
}

class DispatchTest : public ProtocolFixture {};

TEST_F(DispatchTest, Type84IsIgnoredWithAnyLengthBeforeAndAfterLogin) {
  TestClient& fresh = Connect();
  for (std::size_t body : {0u, 12u, 500u}) Dispatch(fresh, Raw(84, body));
  EXPECT_FALSE(fresh.c->closing);
  TestClient& ann = LoggedIn("Ann", "ann");
  for (std::size_t body : {0u, 12u, 13u}) Dispatch(ann, Raw(84, body));
  EXPECT_FALSE(ann.c->closing);
  EXPECT_TRUE(Drain(ann).empty());
}

TEST_F(DispatchTest, Type75NeedsLoginAndAnEightByteBody) {
  TestClient& ann = LoggedIn("Ann", "ann");
  Dispatch(ann, Raw(75, 8));
  EXPECT_FALSE(ann.c->closing);

  struct Case {
    bool login;
    std::size_t body;
  } cases[] = {{false, 8}, {true, 7}, {true, 9}};
  for (const Case& k : cases) {
    TestClient& client = k.login ? LoggedIn("Ann", "ann") : Connect();
    Dispatch(client, Raw(75, k.body));
    EXPECT_TRUE(client.c->closing) << k.login << " " << k.body;
    EXPECT_LT(client.c->socket, 0) << "closed at once, not by notice";
    Drop(client);
  }
}

TEST_F(DispatchTest, UnknownTypesCloseAndCountAnOffenceOnceThereIsAnAccount) {
  // Types outside the table, and server-to-client types nobody handles.
  for (std::uint16_t type : {1, 6, 53, 87, 89, 90, 100, 255, 1000, 65535}) {
    TestClient& before = Connect("127.0.0.9");
    Dispatch(before, Raw(type, 8));
    EXPECT_LT(before.c->socket, 0) << type;
    Drop(before);
  }
  const std::uint32_t address = ntohl(inet_addr("127.0.0.9"));
  EXPECT_EQ(accounts->GuestAccount()->penalties.Peek(address), nullptr);

  TestClient& ann = LoggedIn("Ann", "ann", "127.0.0.4");
  Dispatch(ann, Raw(53, 12));
  EXPECT_LT(ann.c->socket, 0);
  const PenaltyEntry* entry =
      accounts->FindByName("Ann")->penalties.Peek(ntohl(ann.c->peerAddress));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->counters[kOffenceUnknownMessage], 1u);
}

TEST_F(DispatchTest, TypesWithoutHandlerAreCheckedForLoginAndSizeThenIgnored) {
  struct Case {
    std::uint16_t type;
    std::size_t body;
    bool loggedIn;
    bool closes;
  } cases[] = {
      {MSG_CHANNEL_AUTH, 48, true, false},
      {MSG_CHANNEL_AUTH, 47, true, true},
      {MSG_CHANNEL_AUTH, 49, true, true},
      {MSG_CHANNEL_AUTH, 48, false, true},
      {MSG_CHANNEL, 84, true, false},
      {MSG_CHANNEL, 200, true, false},
      {MSG_CHANNEL, 83, true, true},
      {MSG_USER_ADMIN, 136, true, false},
      {MSG_USER_ADMIN, 137, true, true},
      {MSG_USER_LIST, 21, true, true},
      {MSG_VOICE, 20, false, true},
      {MSG_SERVER_PROPS, 8, false, false},
      {MSG_SERVER_PROPS, 7, true, true},
      // Well-sized requests that need a login close without one.
      {MSG_CHANNEL, 84, false, true},
      {MSG_USER_ADMIN, 136, false, true},
  };
  for (const Case& k : cases) {
    TestClient& client = k.loggedIn ? LoggedIn("Ann", "ann") : Connect();
    Dispatch(client, Raw(k.type, k.body));
    EXPECT_EQ(client.c->closing, k.closes) << k.type << " body " << k.body;
    if (!k.closes) {
      EXPECT_TRUE(Drain(client).empty()) << k.type;
    }
    Drop(client);
  }
}

TEST_F(DispatchTest, RegisteredHandlerRunsAndItsErrorTextIsLogged) {
  int calls = 0;
  protocol->SetHandler(MSG_PAGE, [&](Connection&, Message&, std::string& error, bool& disconnect) {
    ++calls;
    error = "WARNING: page went nowhere.";
    disconnect = calls == 2;
  });
  TestClient& ann = LoggedIn("Ann", "ann");
  Dispatch(ann, Raw(MSG_PAGE, 3));  // the handler checks sizes itself
  EXPECT_FALSE(ann.c->closing);
  Dispatch(ann, Raw(MSG_PAGE, 8));
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(ann.c->closing);
  EXPECT_TRUE(log.Has("WARNING: page went nowhere."));
}

TEST_F(DispatchTest, PingAnswerWithTheTokenMeasuresTheRoundTrip) {
  TestClient& ann = LoggedIn("Ann", "ann");
  TestClient& tracer = LoggedIn("Rex", "rex");
  tracer.c->pingTraceTarget = static_cast<std::int16_t>(ann.c->id);
  ann.c->pingOutstanding = true;
  ann.c->pingCookie = 0x1234;
  ann.c->lastPing = log.clock.NowMs();
  log.clock.AdvanceMs(42);
  auto answer = CreateMessage(MSG_PING);
  answer->SetU16(6, 0x1234);
  Dispatch(ann, std::move(answer));
  EXPECT_FALSE(ann.c->closing);
  EXPECT_FALSE(ann.c->pingOutstanding);
  EXPECT_EQ(ann.c->pingTime, 42);
  auto traced = Drain(tracer);
  ASSERT_EQ(traced.size(), 1u);
  std::size_t cursor = 12;
  std::string text;
  ASSERT_TRUE(ReadCountedString(*traced[0], cursor, 2048, text));
  EXPECT_EQ(text, "PingTrace: ID " + std::string(4 - std::to_string(ann.c->id).size(), ' ') +
                      std::to_string(ann.c->id) + ", Ping 42");

  // A second answer (nothing outstanding) and a wrong token both close.
  auto again = CreateMessage(MSG_PING);
  Dispatch(ann, std::move(again));
  EXPECT_TRUE(ann.c->closing);
  TestClient& sam = LoggedIn("Sam", "sam");
  sam.c->pingOutstanding = true;
  sam.c->pingCookie = 7;
  auto wrong = CreateMessage(MSG_PING);
  wrong->SetU16(6, 8);
  Dispatch(sam, std::move(wrong));
  EXPECT_TRUE(sam.c->closing);
}

class DepartTest : public ProtocolFixture {};

TEST_F(DepartTest, TellsTheOthersLogsTheLineAndLowersTheCount) {
  TestClient& watcher = LoggedIn("Ann", "ann");
  TestClient& blind = LoggedIn("Rex", "rex");
  blind.c->permissions[PermissionBlock::kSeeNonGuests] = 0;
  TestClient& leaver = LoggedIn("Sam", "sam");
  Drain(watcher);
  Drain(blind);
  EXPECT_EQ(loggedOn, 3);
  EXPECT_EQ(peak, 3);
  leaver.c->bytesReceived = 300;
  leaver.c->bytesSent = 4000;
  leaver.c->connectTime = log.clock.NowSeconds();
  log.clock.AdvanceSeconds(75);
  leaver.c->Close();
  protocol->Depart(*leaver.c);

  EXPECT_TRUE(log.Has("MSG_DISC: ID " + std::to_string(leaver.c->id) +
                      ", From=300, To=4000, Sec=75, Name=Sam"));
  EXPECT_EQ(loggedOn, 2);
  EXPECT_EQ(peak, 3);
  auto seen = Drain(watcher);
  ASSERT_EQ(seen.size(), 1u);
  auto list = ReadUserList(*seen[0]);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->action, kUserListRemoved);
  ASSERT_EQ(list->records.size(), 1u);
  EXPECT_EQ(list->records[0].id, leaver.c->id);
  EXPECT_EQ(list->records[0].flagB, 0);
  EXPECT_TRUE(Drain(blind).empty()) << "without SeeNonGuests Sam was never seen";

  // A connection that never logged in is not the protocol's to report.
  TestClient& stranger = Connect();
  stranger.c->Close();
  protocol->Depart(*stranger.c);
  EXPECT_EQ(loggedOn, 2);
}

TEST_F(DepartTest, GuestAutoBanSparesRegisteredReplacedAndBumpedGuests) {
  properties.guestAutoBan = 30;
  struct Case {
    const char* address;
    bool guest;
    bool spared;
    bool banned;
  } cases[] = {{"127.0.0.11", true, false, true},
               {"127.0.0.12", false, false, false},
               {"127.0.0.13", true, true, false}};
  for (const Case& k : cases) {
    TestClient& client =
        k.guest ? LoggedIn("Visitor", "", k.address) : LoggedIn("Ann", "ann", k.address);
    if (k.spared) protocol->Sessions().Of(client.c->id).spareGuestBan = true;
    client.c->Close();
    protocol->Depart(*client.c);
    BanEntry* entry = bans->List().FindCovering(ntohl(inet_addr(k.address)));
    EXPECT_EQ(entry != nullptr, k.banned) << k.address;
    if (entry != nullptr) {
      EXPECT_TRUE(entry->temporary);
      EXPECT_EQ(entry->expirySeconds, 30u * 60u);
    }
  }
}

}  // namespace
}  // namespace kestrune
