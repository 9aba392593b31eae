#include "net/connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <set>
#include <string>

#include "net_test_peer.h"

namespace kestrune {
namespace {

using testing::CapturedLog;
using testing::PairedConnection;
using testing::Peer;

class FakeChannels : public ChannelIdSource {
 public:
  bool HoldsId(std::uint16_t id) const override { return held.count(id) != 0 || all; }
  std::set<std::uint16_t> held;
  bool all = false;
};

class TableTest : public ::testing::Test {
 protected:
  // A logged-on connection with its peer, entered into the table.
  Connection& AddClient(std::uint16_t id, std::unique_ptr<Peer>& peer, bool loggedOn = true) {
    auto c = PairedConnection(id, peer, nullptr, true);
    c->loggedOn = loggedOn;
    c->permissions[kPermSeeGuests] = 1;
    c->permissions[kPermSeeNonGuests] = 1;
    Connection* raw = c.get();
    EXPECT_EQ(table.Add(std::move(c), false), 0);
    return *raw;
  }
  Connection& AddPhantom(std::uint16_t id, std::uint16_t owner) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->phantomOwner = owner;
    c->loggedOn = true;
    Connection* raw = c.get();
    EXPECT_EQ(table.Add(std::move(c), true), 0);
    return *raw;
  }

  CapturedLog log;
  ConnectionTable table{log.clock, log.log};
};

TEST_F(TableTest, AllocateIdWrapsAndSkipsHeldIds) {
  FakeChannels channels;
  table.SetChannelIds(&channels);
  std::uint16_t id = 0;
  table.SetLastId(1022);
  ASSERT_EQ(table.AllocateId(id), 0);
  EXPECT_EQ(id, 1023);
  ASSERT_EQ(table.AllocateId(id), 0);
  EXPECT_EQ(id, 1);

  channels.held = {2, 3};
  std::unique_ptr<Peer> peer;
  AddClient(4, peer);
  ASSERT_EQ(table.AllocateId(id), 0);
  EXPECT_EQ(id, 5);

  channels.all = true;
  EXPECT_EQ(table.AllocateId(id), -1);
}

TEST_F(TableTest, PhantomAndRealLimits) {
  std::unique_ptr<Peer> peers[9];
  for (std::uint16_t i = 0; i < 8; ++i) AddClient(i + 1, peers[i]);
  // 8 in use: a phantom is refused, a real connection is not.
  EXPECT_EQ(table.Add(std::make_unique<Connection>(nullptr, 50), true), -2);
  AddClient(9, peers[8]);
  EXPECT_EQ(table.Count(), 9u);
  // 9 in use: both are refused.
  EXPECT_EQ(table.Add(std::make_unique<Connection>(nullptr, 51), true), -2);
  EXPECT_EQ(table.Add(std::make_unique<Connection>(nullptr, 52), false), -1);
  EXPECT_EQ(table.Count(), 9u);
}

TEST_F(TableTest, RemoveShiftsAndPhantomsGoWithTheirOwner) {
  std::unique_ptr<Peer> p1, p2, p3;
  Connection& first = AddClient(1, p1);
  AddClient(2, p2);
  AddPhantom(20, 2);
  AddClient(3, p3);
  AddPhantom(21, 2);
  EXPECT_EQ(table.ResolveOwner(*table.FindById(21)), table.FindById(2));
  EXPECT_EQ(table.ResolveOwner(first), &first);

  table.RemovePhantomsOf(2);
  ASSERT_EQ(table.Count(), 3u);
  EXPECT_EQ(table.At(0).id, 1);
  EXPECT_EQ(table.At(1).id, 2);
  EXPECT_EQ(table.At(2).id, 3);

  EXPECT_EQ(table.Remove(&first), 0);
  EXPECT_EQ(table.At(0).id, 2);
  EXPECT_EQ(table.Count(), 2u);
  EXPECT_TRUE(p1->SeesClose());
  Connection outsider(nullptr, 99);
  EXPECT_EQ(table.Remove(&outsider), -1);
}

TEST_F(TableTest, DestroyingATraceTargetTellsTheAdministrator) {
  std::unique_ptr<Peer> adminPeer, targetPeer;
  Connection& admin = AddClient(1, adminPeer);
  Connection& target = AddClient(7, targetPeer);
  admin.pingTraceTarget = 7;
  table.Remove(&target);
  EXPECT_EQ(admin.pingTraceTarget, 0);
  auto m = adminPeer->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Type(), MSG_CHAT);
  EXPECT_EQ(m->GetU16(4), 1);
  EXPECT_EQ(m->GetU16(6), 3);
  std::size_t cursor = 12;
  std::string text;
  ASSERT_TRUE(ReadCountedString(*m, cursor, 2048, text));
  EXPECT_EQ(text, "PingTrace: ID    7, Stopped. User has disconnected.");
}

TEST_F(TableTest, ClearClientFlagClearsEveryConnection) {
  std::unique_ptr<Peer> p1, p2;
  Connection& a = AddClient(1, p1);
  Connection& b = AddClient(2, p2);
  a.clientFlags[9] = 3;
  b.clientFlags[9] = 1;
  b.clientFlags[10] = 1;
  table.ClearClientFlag(9);
  EXPECT_EQ(a.clientFlags[9], 0);
  EXPECT_EQ(b.clientFlags[9], 0);
  EXPECT_EQ(b.clientFlags[10], 1);
}

std::unique_ptr<Message> NextRefusal(Peer& peer) {
  auto m = peer.Next();
  if (m && m->Type() != MSG_REFUSAL) return nullptr;
  return m;
}

TEST_F(TableTest, DisconnectWithNoticeReachesOwnerBeforeHandshakeAndStartsKickClock) {
  std::unique_ptr<Peer> peer;
  Connection& owner = AddClient(3, peer, false);
  owner.maySend = false;  // handshake not answered yet
  Connection& phantom = AddPhantom(30, 3);
  log.clock.SetMs(12345);
  table.DisconnectWithNotice(phantom, kReasonTemporarilyBanned, 2, "bye");

  auto m = NextRefusal(*peer);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->GetU16(4), 48);
  EXPECT_EQ(m->GetU16(6), 2);
  EXPECT_EQ(m->GetU16(8), 0);
  EXPECT_EQ(m->GetU16(10), 1);
  std::size_t cursor = 20;
  std::string text;
  ASSERT_TRUE(ReadCountedString(*m, cursor, 256, text));
  EXPECT_EQ(text, "bye");
  EXPECT_TRUE(SizeEnd(*m, cursor));

  EXPECT_TRUE(owner.closing);
  EXPECT_GE(owner.socket, 0) << "the notice must be able to drain";
  EXPECT_EQ(owner.kickedAt, 12345u);
  EXPECT_FALSE(phantom.Kicked());
  EXPECT_FALSE(owner.KickedForMoreThan(12345 + 5000, 5000));
  EXPECT_TRUE(owner.KickedForMoreThan(12345 + 5001, 5000));

  // A phantom whose owner is gone: nothing happens.
  Connection& orphan = AddPhantom(31, 77);
  table.DisconnectWithNotice(orphan, kReasonKicked, 0);
  EXPECT_FALSE(orphan.Kicked());
}

TEST_F(TableTest, KickSpamVerdictsAndDeletedAccounts) {
  std::unique_ptr<Peer> p1, p2, p3, p4;
  Connection& a = AddClient(1, p1);
  Connection& b = AddClient(2, p2);
  Connection& c = AddClient(3, p3);
  Connection& d = AddClient(4, p4);
  b.name = "Alice";
  c.name = "aLiCe";
  Connection* banned = nullptr;
  table.SetSpamBan([&](Connection& who) { banned = &who; });

  table.Kick(a, true, "go away");
  table.SpamVerdict(d, 0);
  EXPECT_FALSE(d.Kicked());
  table.SpamVerdict(d, 2);
  EXPECT_EQ(banned, &d);
  table.DisconnectByName("ALICE");

  struct Expect {
    Peer* peer;
    int reason;
    const char* text;
  };
  for (Expect e : {Expect{p1.get(), 46, "go away"}, Expect{p2.get(), 44, ""},
                   Expect{p3.get(), 44, ""}, Expect{p4.get(), 47, ""}}) {
    auto m = NextRefusal(*e.peer);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetU16(4), e.reason);
    std::size_t cursor = 20;
    std::string text;
    ASSERT_TRUE(ReadCountedString(*m, cursor, 256, text));
    EXPECT_EQ(text, e.text);
  }
  std::unique_ptr<Peer> p5;
  Connection& e = AddClient(5, p5);
  table.Kick(e, false, "");
  table.SpamVerdict(e, 1);
  auto kicked = NextRefusal(*p5);
  ASSERT_TRUE(kicked);
  EXPECT_EQ(kicked->GetU16(4), 37);
}

TEST_F(TableTest, ServerTextWithBitZeroClosesLater) {
  std::unique_ptr<Peer> peer;
  Connection& c = AddClient(1, peer, false);
  c.maySend = false;
  table.SendServerText(&c, "Server is full", 0, 257);
  auto m = peer->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Type(), MSG_SERVER_TEXT);
  EXPECT_EQ(m->GetU16(8), 257);
  EXPECT_TRUE(c.closing);
  EXPECT_TRUE(c.Kicked());
  EXPECT_GE(c.socket, 0);

  std::unique_ptr<Peer> other;
  Connection& d = AddClient(2, other);
  table.SendServerText(&d, "New version", 0, 0);
  EXPECT_FALSE(d.closing);
  EXPECT_FALSE(d.Kicked());
}

TEST_F(TableTest, ServerTextToEveryoneSkipsClientsNotLoggedOn) {
  std::unique_ptr<Peer> p1, p2;
  AddClient(1, p1);
  AddClient(2, p2, false);
  table.SendServerText(nullptr, "hi all", 0, 0);
  EXPECT_TRUE(p1->Next());
  EXPECT_FALSE(p2->Next(50));
}

TEST_F(TableTest, BroadcastVisibilityAndChannels) {
  std::unique_ptr<Peer> ps, pSees, pBlind, pOther, pNotIn;
  Connection& sender = AddClient(1, ps);
  sender.guest = true;
  sender.channel = 10;
  sender.permissions[kPermSeeGuests] = 0;  // a client always sees itself
  Connection& sees = AddClient(2, pSees);
  sees.channel = 10;
  Connection& blind = AddClient(3, pBlind);
  blind.channel = 10;
  blind.permissions[kPermSeeGuests] = 0;
  Connection& other = AddClient(4, pOther);
  other.channel = 11;
  AddClient(5, pNotIn, false);
  AddPhantom(6, 2);

  auto message = CreateMessage(MSG_TTS);
  table.Broadcast(&sender, *message, false, false);
  EXPECT_TRUE(ps->Next());
  EXPECT_TRUE(pSees->Next());
  EXPECT_FALSE(pBlind->Next(30));
  EXPECT_FALSE(pOther->Next(30));
  EXPECT_FALSE(pNotIn->Next(30));

  table.Broadcast(&sender, *message, true, true);
  EXPECT_FALSE(ps->Next(30));
  EXPECT_TRUE(pSees->Next());
  EXPECT_TRUE(pOther->Next());
  EXPECT_FALSE(pBlind->Next(30));

  // A registered sender needs SeeNonGuests.
  sender.guest = false;
  other.permissions[kPermSeeNonGuests] = 0;
  table.Broadcast(&sender, *message, true, true);
  EXPECT_TRUE(pBlind->Next());
  EXPECT_FALSE(pOther->Next(30));
  // The caller keeps its message.
  EXPECT_EQ(message->Type(), MSG_TTS);
}

// All recipients write into one stream, each with its own one-byte send key,
// so the first scrambled byte of each frame names the recipient in send order.
TEST_F(TableTest, BroadcastStartRotatesOverAllNineSlots) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  for (std::uint16_t id = 1; id <= 3; ++id) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->socket = dup(fds[0]);
    c->accepted = c->maySend = c->loggedOn = true;
    const std::uint8_t key = static_cast<std::uint8_t>(id * 16);
    c->InstallSendKey(&key, 1);
    std::uint8_t first = 0;
    c->sendCipher.Scramble(&first, &first, 1);  // past the fixed-key first message
    ASSERT_EQ(table.Add(std::move(c), false), 0);
  }
  close(fds[0]);                          // each connection holds its own copy
  auto message = CreateMessage(MSG_TTS);  // 8 bytes, type byte 58
  std::vector<std::vector<int>> orders;
  for (int round = 0; round < 4; ++round) {
    table.Broadcast(nullptr, *message, false, true);
    std::uint8_t wire[30];
    std::size_t got = 0;
    while (got < sizeof wire) {
      pollfd p{fds[1], POLLIN, 0};
      ASSERT_EQ(poll(&p, 1, 200), 1);
      ssize_t n = read(fds[1], wire + got, sizeof wire - got);
      ASSERT_GT(n, 0);
      got += static_cast<std::size_t>(n);
    }
    std::vector<int> order;
    for (std::size_t frame = 0; frame < 3; ++frame)
      order.push_back((wire[frame * 10 + 2] - 58) / 16);
    orders.push_back(order);
  }
  close(fds[1]);
  // Slots 0..2 hold ids 1..3; the start moves one slot per broadcast, modulo 9.
  const std::vector<std::vector<int>> expected = {{2, 3, 1}, {3, 1, 2}, {1, 2, 3}, {1, 2, 3}};
  EXPECT_EQ(orders, expected);
}

TEST_F(TableTest, CloseAllExceptOnlyClosesAndLeavesTheRemovalToTheReap) {
  std::unique_ptr<Peer> p1, p2, p3;
  Connection& keep = AddClient(1, p1);
  Connection& gone = AddClient(2, p2);
  Connection& silent = AddClient(3, p3);
  Connection& kept = AddPhantom(4, 1);
  keep.administrator = true;
  gone.administrator = true;
  gone.logWatch = true;
  silent.silentRemoval = true;
  table.CloseAllExcept(&keep);
  ASSERT_EQ(table.Count(), 4u);
  EXPECT_GE(keep.socket, 0);
  EXPECT_TRUE(keep.administrator);
  EXPECT_LT(gone.socket, 0);
  EXPECT_FALSE(gone.administrator);
  EXPECT_FALSE(gone.logWatch);
  EXPECT_LT(silent.socket, 0);
  EXPECT_TRUE(p3->SeesClose());
  EXPECT_FALSE(kept.closing);  // the kept client's phantom stays with it
}

TEST_F(TableTest, PhantomsOfAnOwnerLeaveThroughTheRemovalPath) {
  std::unique_ptr<Peer> p1;
  AddClient(1, p1);
  AddPhantom(4, 1);
  AddPhantom(5, 1);
  std::vector<std::uint16_t> removed;
  table.SetRemovalPath([&](Connection& c) {
    removed.push_back(c.id);
    table.Remove(&c);
  });
  table.RemovePhantomsOf(1);
  EXPECT_EQ(removed, (std::vector<std::uint16_t>{4, 5}));
  EXPECT_EQ(table.Count(), 1u);
}

TEST_F(TableTest, SelectSetsWatchServedSockets) {
  std::unique_ptr<Peer> p1, p2, p3;
  Connection& a = AddClient(1, p1);
  Connection& silent = AddClient(2, p2);
  silent.silentRemoval = true;
  Connection& closed = AddClient(3, p3);
  closed.Close();
  AddPhantom(4, 1);
  fd_set r, w, e;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&e);
  int highest = table.AddToSelectSets(r, w, e, -1);
  EXPECT_EQ(highest, a.socket);
  EXPECT_TRUE(FD_ISSET(a.socket, &r));
  EXPECT_TRUE(FD_ISSET(a.socket, &e));
  EXPECT_FALSE(FD_ISSET(a.socket, &w));
  EXPECT_FALSE(FD_ISSET(silent.socket, &r));
}

// The peer port shown in the status lines is the client's own source port.
TEST_F(TableTest, AttachAndStatusLinesOverLoopback) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t size = sizeof at;
  getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);

  int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr("127.0.0.2");
  ASSERT_EQ(bind(client, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  size = sizeof local;
  getsockname(client, reinterpret_cast<sockaddr*>(&local), &size);

  sockaddr_in peer{};
  size = sizeof peer;
  int fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &size);
  ASSERT_GE(fd, 0);
  close(listener);
  auto target = std::make_unique<Connection>(nullptr, 12);
  log.clock.SetWall(1700000000);
  target->Attach(fd, peer, log.clock.NowSeconds());
  EXPECT_TRUE(target->accepted);
  EXPECT_EQ(target->addressText, "127.0.0.2");
  EXPECT_EQ(target->name, "127.0.0.2");
  EXPECT_EQ(target->peerAddress, inet_addr("127.0.0.2"));
  EXPECT_EQ(target->peerPort, ntohs(local.sin_port));
  target->pingTime = 42;
  target->channel = 5;
  target->bytesReceived = 5000000000LL;
  Connection* raw = target.get();
  ASSERT_EQ(table.Add(std::move(target), false), 0);

  std::unique_ptr<Peer> adminPeer;
  Connection& admin = AddClient(1, adminPeer);
  log.clock.SetWall(1700000000 + 90061);
  table.ClientStatusLines(&admin, *raw);
  std::vector<std::string> lines;
  while (auto m = adminPeer->Next(50)) {
    std::size_t cursor = 12;
    std::string text;
    ASSERT_TRUE(ReadCountedString(*m, cursor, 2048, text));
    lines.push_back(text);
  }
  const std::vector<std::string> expected = {
      "Name          = 127.0.0.2",
      "IP            = 127.0.0.2 (" + std::to_string(ntohs(local.sin_port)) + ")",
      "Comment       = ",
      "Platform      = ",
      "Version       = ",
      "Channel       = 5",
      "Ping          = 42",
      "Connect dur   = 1 01:01:01",
      "Bytes from    = 5000000000",
      "Bytes to      = 0"};
  EXPECT_EQ(lines, expected);
  close(client);
}

}  // namespace
}  // namespace kestrune
