#include "server/loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "net_test_peer.h"
#include "server/server.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using testing::PairedConnection;
using testing::Peer;

class LoopTest : public ::testing::Test {
 protected:
  LoopTest() {
    server.log().SetDaemon(true);
    server.log().SetForwarder([this](const std::string& text) { lines.push_back(text); });
    server.files().SetPrefix(dir.File("srv"));
  }

  // A connection accepted now from 127.0.0.5, entered into the table; both
  // directions have keys so any number of messages can pass.
  Connection& Add(std::uint16_t id, std::unique_ptr<Peer>& peer, bool loggedOn) {
    auto c = PairedConnection(id, peer, nullptr, true);
    c->addressText = "127.0.0.5";
    c->name = loggedOn ? "user" + std::to_string(id) : c->addressText;
    c->connectTime = clock.NowSeconds();
    c->loggedOn = loggedOn;
    Connection* raw = c.get();
    EXPECT_EQ(server.table().Add(std::move(c), false), 0);
    return *raw;
  }
  Connection& AddPhantom(std::uint16_t id, std::uint16_t owner) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->phantomOwner = owner;
    c->loggedOn = true;
    Connection* raw = c.get();
    EXPECT_EQ(server.table().Add(std::move(c), true), 0);
    return *raw;
  }

  bool Logged(const std::string& text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  std::size_t LoggedCount(const std::string& prefix) const {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

  testing::TempDir dir;
  FakeClock clock{50000};
  Server server{clock};
  std::vector<std::string> lines;
};

TEST_F(LoopTest, LogonTimeoutClosesAfterWholeSecondsAndReapLogsTheAbort) {
  server.settings().logonTimeout = 3;
  std::unique_ptr<Peer> peer;
  Connection& c = Add(7, peer, false);
  clock.AdvanceSeconds(2);
  ConnectionHousekeeping(server);
  ASSERT_GE(c.socket, 0);
  clock.AdvanceSeconds(1);
  ConnectionHousekeeping(server);
  EXPECT_LT(c.socket, 0);
  EXPECT_TRUE(Logged("AUTO: ID 7, IP 127.0.0.5, Did not logon before timeout."));
  EXPECT_TRUE(peer->SeesClose());

  ReapConnections(server);
  EXPECT_EQ(server.table().Count(), 0u);
  EXPECT_TRUE(Logged("MSG_ABORT: ID 7, 127.0.0.5 aborted."));
}

TEST_F(LoopTest, LogonTimeoutLineIsWrittenOncePerSecondPerAddress) {
  server.settings().logonTimeout = 2;
  std::unique_ptr<Peer> peers[4];
  Connection& a = Add(1, peers[0], false);
  Connection& b = Add(2, peers[1], false);
  Connection& other = Add(3, peers[2], false);
  a.peerAddress = b.peerAddress = 0x0500007F;
  other.peerAddress = 0x0600007F;
  clock.AdvanceSeconds(2);
  ConnectionHousekeeping(server);
  EXPECT_LT(b.socket, 0) << "the line is dropped, the close is not";
  EXPECT_EQ(LoggedCount("AUTO: ID 1,"), 1u);
  EXPECT_EQ(LoggedCount("AUTO: ID 2,"), 0u);
  EXPECT_EQ(LoggedCount("AUTO: ID 3,"), 1u) << "another address has its own limit";

  Connection& later = Add(4, peers[3], false);
  later.peerAddress = 0x0500007F;
  clock.AdvanceSeconds(2);
  ConnectionHousekeeping(server);
  EXPECT_EQ(LoggedCount("AUTO: ID 4,"), 1u) << "a second later the address is logged again";
}

TEST_F(LoopTest, LogonTimeoutZeroNeverTimesOut) {
  server.settings().logonTimeout = 0;
  std::unique_ptr<Peer> peer;
  Connection& c = Add(3, peer, false);
  clock.AdvanceSeconds(3600);
  ConnectionHousekeeping(server);
  EXPECT_GE(c.socket, 0);
  EXPECT_TRUE(lines.empty());
}

// A closing notice gives any client 5 seconds, logged in or not, also when
// nothing else would ever close it.
TEST_F(LoopTest, ClientIgnoringAClosingNoticeIsClosedAfterFiveSeconds) {
  server.settings().logonTimeout = 0;
  for (bool loggedOn : {false, true}) {
    SCOPED_TRACE(loggedOn ? "logged on" : "not logged on");
    std::unique_ptr<Peer> peer;
    Connection& c = Add(loggedOn ? 2 : 1, peer, loggedOn);
    server.table().DisconnectWithNotice(c, kReasonKicked, 0);
    auto notice = peer->Next();
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->Type(), MSG_REFUSAL);

    clock.AdvanceMs(5000);
    ConnectionHousekeeping(server);
    ASSERT_GE(c.socket, 0);
    clock.AdvanceMs(1);
    ConnectionHousekeeping(server);
    EXPECT_LT(c.socket, 0);
    EXPECT_TRUE(peer->SeesClose());
    const std::string id = loggedOn ? "2" : "1";
    EXPECT_TRUE(
        Logged("AUTO: ID " + id + ", IP 127.0.0.5, Client did not disconect after being kicked."));
    ReapConnections(server);
  }
}

TEST_F(LoopTest, ConnectionTimeLimitSendsReasonTwentyExceptToAdministrators) {
  struct Case {
    int autoKick;
    int guestAutoKick;
    bool administrator;
    bool notice;
  } cases[] = {
      {10, 0, false, true},
      {0, 5, false, true},  // the guest time limit of the server properties
      {10, 0, true, false},
      {0, 0, false, false},  // neither limit on: an armed timer does nothing
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message()
                 << k.autoKick << "/" << k.guestAutoKick << "/" << k.administrator);
    server.settings().autoKick = k.autoKick;
    server.properties().guestAutoKick = k.guestAutoKick;
    std::unique_ptr<Peer> peer;
    Connection& c = Add(4, peer, true);
    c.lastPing = clock.NowMs();
    c.pingOutstanding = true;  // no pings in the way
    c.administrator = k.administrator;
    c.timeLimitTimer.Arm(clock.NowSeconds(), 10);
    clock.AdvanceSeconds(9);
    ConnectionHousekeeping(server);
    EXPECT_EQ(peer->Next(50), nullptr);
    clock.AdvanceSeconds(1);
    ConnectionHousekeeping(server);
    auto notice = peer->Next(50);
    if (k.notice) {
      ASSERT_NE(notice, nullptr);
      EXPECT_EQ(notice->Type(), MSG_REFUSAL);
      EXPECT_EQ(notice->GetU16(4), kReasonTimeLimit);
      EXPECT_EQ(notice->GetU16(10), 1);  // the disconnect mark
      EXPECT_FALSE(c.timeLimitTimer.Armed());
      EXPECT_TRUE(c.Kicked());
    } else {
      EXPECT_EQ(notice, nullptr);
    }
    c.Close();
    ReapConnections(server);
  }
}

TEST_F(LoopTest, PingEveryPingRateSecondsWhileNoneIsOutstanding) {
  server.settings().pingRate = 2;
  std::unique_ptr<Peer> peer;
  Connection& c = Add(9, peer, true);

  ConnectionHousekeeping(server);  // the first pass only starts the clock
  EXPECT_EQ(peer->Next(50), nullptr);
  clock.AdvanceMs(2000);
  ConnectionHousekeeping(server);
  EXPECT_EQ(peer->Next(50), nullptr);
  clock.AdvanceMs(1);
  ConnectionHousekeeping(server);
  auto ping = peer->Next(50);
  ASSERT_NE(ping, nullptr);
  EXPECT_EQ(ping->Type(), MSG_PING);
  EXPECT_EQ(ping->Length(), 12);
  EXPECT_EQ(ping->GetU16(4), 9);
  EXPECT_EQ(ping->GetU16(6), c.pingCookie);
  EXPECT_EQ(ping->GetU16(8), 0xFFFF);  // no time measured yet
  EXPECT_EQ(ping->GetU16(10), 0);
  EXPECT_TRUE(c.pingOutstanding);

  clock.AdvanceSeconds(30);
  ConnectionHousekeeping(server);
  EXPECT_EQ(peer->Next(50), nullptr) << "an unanswered ping is never repeated";

  // The answer clears the mark and stores the time.
  c.pingOutstanding = false;
  c.pingTime = 42;
  clock.AdvanceMs(2001);
  ConnectionHousekeeping(server);
  ping = peer->Next(50);
  ASSERT_NE(ping, nullptr);
  EXPECT_EQ(ping->GetU16(8), 42);
}

TEST_F(LoopTest, NoPingsBeforeLoginOrAfterAKick) {
  server.settings().pingRate = 1;
  server.settings().logonTimeout = 0;
  std::unique_ptr<Peer> waiting;
  std::unique_ptr<Peer> kicked;
  Add(1, waiting, false);
  Connection& k = Add(2, kicked, true);
  server.table().DisconnectWithNotice(k, kReasonKicked, 0);
  ASSERT_NE(kicked->Next(), nullptr);
  for (int i = 0; i < 4; ++i) {
    clock.AdvanceMs(1001);
    ConnectionHousekeeping(server);
  }
  EXPECT_EQ(waiting->Next(50), nullptr);
  EXPECT_EQ(kicked->Next(50), nullptr);
}

TEST_F(LoopTest, FloorCheckRunsForLoggedOnClientsThatAreNotKicked) {
  std::set<std::uint16_t> checked;
  server.hooks.floorCheck = [&](Connection& c) { checked.insert(c.id); };
  std::unique_ptr<Peer> a, b, d;
  Add(1, a, true);
  Add(2, b, false);
  Connection& kicked = Add(3, d, true);
  server.table().DisconnectWithNotice(kicked, kReasonKicked, 0);
  AddPhantom(4, 1);
  ConnectionHousekeeping(server);
  EXPECT_EQ(checked, std::set<std::uint16_t>{1});
}

TEST_F(LoopTest, ReapDoesTheDepartureWorkAndForgetsTheClientEverywhere) {
  dir.Write("srv.chn", "[A]\nProtMode=1\n");
  server.channels().SetFile(dir.File("srv.chn"));
  ASSERT_EQ(server.channels().LoadChannels(), 0);
  Channel& channel = server.channels().At(0);
  server.LoadRanks();
  server.LoadAccounts();
  std::unique_ptr<Peer> pa, pb;
  Connection& leaving = Add(5, pa, true);
  leaving.name = "alice";
  Connection& staying = Add(6, pb, true);
  AddPhantom(8, 5);
  AddPhantom(9, 6);
  staying.clientFlags[5] = 1;
  server.loggedOnUsers = 2;
  ASSERT_EQ(server.ranks()->AcquireRankEditor(5, "alice"), 0);
  for (std::uint16_t id : {5, 6, 8}) {
    channel.SetAccess(id, kAccessPassword);
    channel.admins.push_back(id);
  }
  std::vector<std::uint16_t> phantomsGone;
  server.hooks.phantomGone = [&](Connection& c) { phantomsGone.push_back(c.id); };

  clock.AdvanceSeconds(7);
  leaving.bytesReceived = 1234;
  leaving.bytesSent = 56789;
  leaving.Close();
  ReapConnections(server);

  EXPECT_TRUE(Logged("MSG_DISC: ID 5, From=1234, To=56789, Sec=7, Name=alice"));
  EXPECT_EQ(server.loggedOnUsers, 1);
  // The client and its phantom leave no access state or administrator entry.
  EXPECT_EQ(phantomsGone, std::vector<std::uint16_t>{8});
  EXPECT_EQ(channel.admins, std::vector<std::uint16_t>{6});
  EXPECT_EQ(channel.AccessOf(5), kAccessNone);
  EXPECT_EQ(channel.AccessOf(8), kAccessNone);
  EXPECT_EQ(channel.AccessOf(6), kAccessPassword);
  EXPECT_TRUE(server.ranks()->RankEditorHolder().empty());
  EXPECT_EQ(staying.clientFlags[5], 0);
  ASSERT_EQ(server.table().Count(), 2u);  // the other client and its phantom
  EXPECT_EQ(server.table().FindById(5), nullptr);
  EXPECT_EQ(server.table().FindById(8), nullptr);
  EXPECT_NE(server.table().FindById(9), nullptr);
}

TEST_F(LoopTest, ReapLinesFollowTheConnectionsState) {
  std::vector<std::uint16_t> departed;
  server.hooks.departure = [&](Connection& c) { departed.push_back(c.id); };
  std::unique_ptr<Peer> p1, p2, p3, p4;
  Add(1, p1, false).Close();
  Add(2, p2, true).Close();
  Connection& silent = Add(3, p3, true);
  silent.silentRemoval = true;
  silent.Close();
  Add(4, p4, true);  // still open: stays
  ReapConnections(server);

  EXPECT_EQ(lines, std::vector<std::string>{"MSG_ABORT: ID 1, 127.0.0.5 aborted."});
  EXPECT_EQ(departed, std::vector<std::uint16_t>{2});
  ASSERT_EQ(server.table().Count(), 1u);
  EXPECT_EQ(server.table().At(0).id, 4);
}

TEST_F(LoopTest, LoggedOnCountNeverGoesBelowZero) {
  std::unique_ptr<Peer> peer;
  Add(1, peer, true).Close();
  server.loggedOnUsers = 0;
  ReapConnections(server);
  EXPECT_EQ(server.loggedOnUsers, 0);
  EXPECT_EQ(LoggedCount("MSG_DISC: ID 1,"), 1u);
}

TEST_F(LoopTest, DepartingGuestIsBannedForTheGuestBanMinutes) {
  server.LoadBans();
  server.properties().guestAutoBan = 5;
  std::unique_ptr<Peer> pg, pu;
  Connection& guest = Add(1, pg, true);
  guest.guest = true;
  guest.Close();
  Connection& user = Add(2, pu, true);
  user.addressText = "127.0.0.6";
  user.Close();
  ReapConnections(server);

  BanList& list = server.bans()->List();
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(AddressText(list.At(0)), "127.0.0.5");
  EXPECT_TRUE(list.At(0).temporary);
  EXPECT_EQ(list.At(0).expirySeconds, 300u);
}

TEST_F(LoopTest, StatusIdOffsetIsDrawnFirstAndInSecondsThatAreMultiplesOfSixty) {
  std::srand(1);
  clock.SetWall(1700000001);  // not a multiple of 60
  UpdateStatusIdOffset(server);
  const int first = server.statusIdOffset;
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 1023);
  UpdateStatusIdOffset(server);
  EXPECT_EQ(server.statusIdOffset, first);

  clock.SetWall(1700000040);  // a multiple of 60: every pass draws again
  std::set<int> seen;
  for (int i = 0; i < 50; ++i) {
    UpdateStatusIdOffset(server);
    EXPECT_GE(server.statusIdOffset, 1);
    EXPECT_LE(server.statusIdOffset, 1023);
    seen.insert(server.statusIdOffset);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST_F(LoopTest, ConsoleInputIsSplitAtLineFeeds) {
  std::vector<std::string> commands;
  server.hooks.consoleLine = [&](const std::string& line) { commands.push_back(line); };
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ConsoleInput input;
  auto type = [&](const std::string& text) {
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ReadConsoleInput(server, fds[0], input);
  };

  ::testing::internal::CaptureStdout();
  ReadConsoleInput(server, fds[0], input);  // nothing typed: returns at once
  type("status\nhel");
  EXPECT_EQ(commands, std::vector<std::string>{"status"});
  type("p\n\nversion\n");
  EXPECT_EQ(commands, (std::vector<std::string>{"status", "help", "", "version"}));
  type(std::string(300, 'x'));  // longer than any line: taken in pieces
  EXPECT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands.back(), std::string(kMaxConsoleLine, 'x'));
  const std::string out = ::testing::internal::GetCapturedStdout();
  std::string dashes;
  for (int i = 0; i < 5; ++i) dashes += "----------\n";
  EXPECT_EQ(out, dashes);
  EXPECT_FALSE(input.ended);
  close(fds[1]);
  for (int i = 0; i < 3 && !input.ended; ++i) ReadConsoleInput(server, fds[0], input);
  EXPECT_TRUE(input.ended);  // end of file: not polled again
  close(fds[0]);
}

TEST_F(LoopTest, LogLinesReachAdministratorsWatchingTheLog) {
  Server watched{clock};
  watched.log().SetDaemon(true);
  std::unique_ptr<Peer> pw, pa, pn;
  auto add = [&](std::uint16_t id, std::unique_ptr<Peer>& peer, bool admin, bool watch) {
    auto c = PairedConnection(id, peer, nullptr, true);
    c->loggedOn = true;
    c->administrator = admin;
    c->logWatch = watch;
    watched.table().Add(std::move(c), false);
  };
  add(1, pw, true, true);
  add(2, pa, true, false);
  add(3, pn, false, true);
  watched.log().Write("ADMIN: %s", "something happened");

  auto text = pw->Next();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Type(), MSG_CHAT);
  EXPECT_EQ(text->GetU16(6), 3);  // console text
  std::size_t cursor = Message::kHeaderSize + FixedBodySize(MSG_CHAT);
  std::string body;
  ASSERT_TRUE(ReadCountedString(*text, cursor, 4096, body));
  EXPECT_EQ(body, "ADMIN: something happened");
  EXPECT_EQ(pa->Next(50), nullptr);
  EXPECT_EQ(pn->Next(50), nullptr);
}

// The loop ends on a second failed select with no select that reported
// ready descriptors in between; a time-out in between does not count.
TEST_F(LoopTest, SecondSelectFailureWithoutASuccessEndsTheLoop) {
  server.daemon = true;  // no console reading from the test's standard input
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(write(ready[1], "x", 1), 1);  // always readable
  const int closed = socket(AF_INET, SOCK_DGRAM, 0);
  close(closed);  // its number now makes select fail (nothing opens another here)

  struct Case {
    const char* plan;  // per iteration: f fails, t times out, r reports ready
    int iterations;    // iterations run before the loop ends
  } cases[] = {{"ff", 2}, {"ftf", 3}, {"frff", 4}, {"frfrff", 6}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.plan);
    const std::string plan = k.plan;
    int iteration = 0;
    server.hooks.updateTick = [&] {
      ++iteration;
      if (iteration > static_cast<int>(plan.size())) stopReserved = 1;  // a runaway loop
    };
    server.hooks.updateSocket = [&] {
      const char step = iteration <= static_cast<int>(plan.size()) ? plan[iteration - 1] : 't';
      return step == 'f' ? closed : step == 'r' ? ready[0] : -1;
    };
    EXPECT_EQ(ServerLoop(server), 0);
    EXPECT_EQ(stopReserved, 0);
    stopReserved = 0;
    EXPECT_EQ(iteration, k.iterations);
  }
  close(ready[0]);
  close(ready[1]);
}

// One iteration: the stop check first; housekeeping and the status id offset
// before the update tick; the reap after it; serving after the wait.
TEST_F(LoopTest, OneIterationRunsItsStepsInOrder) {
  server.daemon = true;  // no console reading from the test's standard input
  server.settings().logonTimeout = 1;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(write(ready[1], "x", 1), 1);
  std::vector<std::string> steps;
  server.hooks.updateSocket = [&] { return ready[0]; };
  server.hooks.updateReceive = [&] { steps.push_back("receive"); };
  server.hooks.updateTick = [&] { steps.push_back("tick"); };

  stopInterrupt = 1;
  EXPECT_EQ(ServerLoop(server), 0);
  stopInterrupt = 0;
  EXPECT_TRUE(steps.empty()) << "a stop flag is seen before anything else runs";

  std::unique_ptr<Peer> peer;
  Connection& c = Add(7, peer, false);
  clock.AdvanceSeconds(1);
  server.hooks.updateTick = [&] {
    steps.push_back("tick");
    EXPECT_LT(c.socket, 0) << "housekeeping ran first";
    EXPECT_EQ(server.table().Count(), 1u) << "the reap comes after the tick";
    EXPECT_NE(server.statusIdOffset, 0);
    stopTerminate = 1;  // this iteration runs to its end
  };
  EXPECT_EQ(ServerLoop(server), 0);
  stopTerminate = 0;
  EXPECT_EQ(steps, (std::vector<std::string>{"tick", "receive"}));
  EXPECT_EQ(server.table().Count(), 0u);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"AUTO: ID 7, IP 127.0.0.5, Did not logon before timeout.",
                                      "MSG_ABORT: ID 7, 127.0.0.5 aborted."}));
  close(ready[0]);
  close(ready[1]);
}

// Output the socket could not take at once waits in the queue; serving
// flushes it whenever the socket becomes writable, until nothing is left.
TEST_F(LoopTest, QueuedOutputIsFlushedWhenTheSocketIsWritable) {
  server.daemon = true;
  std::unique_ptr<Peer> peer;
  Connection& c = Add(5, peer, true);
  const int small = 4096;
  setsockopt(c.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  int sent = 0;
  while (!c.HasQueuedOutput() && sent < 1000) {
    auto message = CreateMessage(MSG_CHAT);
    ASSERT_TRUE(WriteCountedString(*message, std::string(1000, 'x')));
    server.table().SendToClient(c, std::move(message));
    ++sent;
  }
  ASSERT_TRUE(c.HasQueuedOutput());

  int received = 0;
  for (int round = 0; round < 500 && received < sent; ++round) {
    WaitSets sets;
    BuildSelectSets(server, sets);
    timeval wait{0, 10 * 1000};
    if (select(sets.highest + 1, &sets.read, &sets.write, &sets.except, &wait) > 0) {
      ServeReady(server, sets);
    }
    while (peer->Next(5) != nullptr) ++received;
  }
  EXPECT_EQ(received, sent);
  EXPECT_FALSE(c.HasQueuedOutput());
  EXPECT_GE(c.socket, 0);
}

// Serving over real TCP: input reaches the dispatcher, a peer that goes is
// closed and reaped, urgent data is a socket exception.
class ServeTest : public LoopTest {
 protected:
  void SetUp() override {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = address.sin_port;
  }
  void TearDown() override {
    close(listener);
    for (int fd : clients) close(fd);
  }
  // A client socket and its accepted connection in the table.
  int Connect(std::uint16_t id) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = port;
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    clients.push_back(fd);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    auto c = std::make_unique<Connection>(nullptr, id);
    c->Attach(accepted, peer, clock.NowSeconds());
    server.table().Add(std::move(c), false);
    return fd;
  }
  // Builds the sets, waits a little and serves what is ready.
  void ServeOnce() {
    WaitSets sets;
    BuildSelectSets(server, sets);
    timeval wait{0, 200 * 1000};
    ASSERT_GT(select(sets.highest + 1, &sets.read, &sets.write, &sets.except, &wait), 0);
    ServeReady(server, sets);
  }

  int listener = -1;
  in_port_t port = 0;
  std::vector<int> clients;
};

TEST_F(ServeTest, InputReachesTheDispatcherAndAClosedPeerIsReaped) {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> dispatched;
  server.hooks.dispatch = [&](Connection& c, Message& m) {
    dispatched.emplace_back(c.id, m.Type());
  };
  const int a = Connect(11);
  const int b = Connect(12);
  auto message = CreateMessage(MSG_HANDSHAKE);
  StreamCipher cipher;
  std::vector<std::uint8_t> frame;
  ASSERT_TRUE(BuildFrame(*message, cipher, frame));
  ASSERT_EQ(write(b, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  ServeOnce();
  EXPECT_EQ(dispatched, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{12, 0}}));

  close(a);
  clients.erase(clients.begin());
  ServeOnce();
  EXPECT_LT(server.table().FindById(11)->socket, 0);
  ReapConnections(server);
  EXPECT_EQ(server.table().FindById(11), nullptr);
  EXPECT_TRUE(Logged("MSG_ABORT: ID 11, 127.0.0.1 aborted."));
}

TEST_F(ServeTest, UrgentDataIsASocketException) {
  const int fd = Connect(21);
  server.table().At(0).name = "bob";
  const char byte = '!';
  ASSERT_EQ(send(fd, &byte, 1, MSG_OOB), 1);
  ServeOnce();
  EXPECT_TRUE(Logged("EXCEPT: ID 21, bob, detected sock exception."));
  EXPECT_LT(server.table().At(0).socket, 0);
}

}  // namespace
}  // namespace kestrune
