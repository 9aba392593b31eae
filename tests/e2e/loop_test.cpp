// The loop and the listeners of the running server: time-outs, the
// connection limit, banned addresses, broken clients and stray datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/client_connection.h"
#include "client/session.h"
#include "e2e/support/server_process.h"
#include "net/connection.h"
#include "net/message.h"

namespace kestrune::e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::uint16_t PortOf(const ServerProcess& server) {
  return static_cast<std::uint16_t>(server.Port());
}

TEST(LoopProcess, SilentClientIsClosedByTheLogonTimeout) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=2\n");
  ASSERT_TRUE(server.StartReady());
  ClientConnection client;
  ASSERT_EQ(client.Connect("127.0.0.1", PortOf(server), "127.0.0.21"), 0);
  const auto start = SteadyClock::now();
  ASSERT_TRUE(client.WaitClosed(5000));
  const double seconds = SecondsSince(start);
  // The connect time is kept in whole seconds.
  EXPECT_GE(seconds, 1.0);
  EXPECT_LE(seconds, 3.0);
  ASSERT_TRUE(server.WaitForLog("MSG_ABORT: ID 1, 127.0.0.21 aborted."));
  const std::string log = server.Log();
  EXPECT_NE(log.find("MSG_CONN: ID 1, IP 127.0.0.21, Accepted. ("), std::string::npos);
  EXPECT_NE(log.find("AUTO: ID 1, IP 127.0.0.21, Did not logon before timeout."),
            std::string::npos);
  EXPECT_LT(log.find("Did not logon before timeout."), log.find("MSG_ABORT:"));
  EXPECT_EQ(server.Stop(), 0);
}

// A closing notice starts a 5-second clock even when nothing else would
// ever close the client (LogonTimeout 0).
TEST(LoopProcess, ClientIgnoringAClosingNoticeIsClosedFiveSecondsLater) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=0\n");
  ASSERT_TRUE(server.StartReady());
  ClientSession client;
  ASSERT_EQ(client.Connect("127.0.0.1", PortOf(server), "127.0.0.28"), 0);
  auto handshake = client.Handshake("2.0.0");  // a version the server refuses
  ASSERT_TRUE(handshake);
  ASSERT_EQ(handshake->reply.flags & 1, 1) << "a closing notice";
  const auto start = SteadyClock::now();
  ASSERT_TRUE(client.WaitClosed(8000));
  const double seconds = SecondsSince(start);
  EXPECT_GE(seconds, 4.5);
  EXPECT_LE(seconds, 6.5);
  EXPECT_TRUE(
      server.WaitForLog("AUTO: ID 1, IP 127.0.0.28, Client did not disconect after being kicked."));
  EXPECT_TRUE(server.WaitForLog("MSG_ABORT: ID 1, 127.0.0.28 aborted."));
  EXPECT_EQ(server.Stop(), 0);
}

// A flood of attempts from one address against a full server writes the
// physical-limit line at most once a second; every attempt is still refused.
// KESTRUNE_FLOOD_SECONDS makes the flood longer than the default 3 seconds.
TEST(LoopProcess, PhysicalLimitLinesAreRateLimitedPerAddress) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=0\nTimeStamp=1\n");
  ASSERT_TRUE(server.StartReady());
  std::vector<std::unique_ptr<ClientConnection>> holders;
  for (int i = 1; i <= 9; ++i) {
    holders.push_back(std::make_unique<ClientConnection>());
    ASSERT_EQ(holders.back()->Connect("127.0.0.1", PortOf(server), "127.0.0.24"), 0);
  }
  ASSERT_TRUE(ServerProcess::WaitUntil(
      [&] { return CountOf(server.Log(), "IP 127.0.0.24, Accepted.") == 9; }, 5000));

  const char* configured = std::getenv("KESTRUNE_FLOOD_SECONDS");
  const double floodSeconds = configured != nullptr ? std::atof(configured) : 3.0;
  constexpr std::size_t kInFlight = 4;
  std::vector<std::unique_ptr<ClientConnection>> flight;
  std::size_t attempts = 0;
  const auto start = SteadyClock::now();
  while (SecondsSince(start) < floodSeconds) {
    // Refused attempts are closed by the server; make room for new ones.
    for (auto& client : flight) {
      char byte;
      const ssize_t n = recv(client->Fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) client.reset();
    }
    std::erase(flight, nullptr);
    while (flight.size() < kInFlight) {
      auto client = std::make_unique<ClientConnection>();
      ASSERT_EQ(client->Connect("127.0.0.1", PortOf(server), "127.0.0.25"), 0);
      flight.push_back(std::move(client));
      ++attempts;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& client : flight) EXPECT_TRUE(client->WaitClosed(3000));
  const double seconds = SecondsSince(start);

  // Time-stamped lines: no two in one second, and no more than the seconds.
  std::vector<std::string> stamps;
  const std::string log = server.Log();
  const std::string marker = "IP 127.0.0.25, Server is at physical limit 9.";
  for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    const std::size_t lineStart = log.rfind('\n', at) + 1;
    stamps.push_back(log.substr(lineStart, 17));
  }
  EXPECT_GT(attempts, 4 * seconds) << "the flood kept attempts in flight";
  EXPECT_GE(stamps.size(), 1u);
  EXPECT_LE(stamps.size(), static_cast<std::size_t>(seconds) + 1) << attempts << " attempts";
  for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_NE(stamps[i], stamps[i - 1]);
  std::printf("flood: %zu attempts in %.1f s, %zu physical-limit lines\n", attempts, seconds,
              stamps.size());
  EXPECT_EQ(server.Stop(), 0);
}

TEST(LoopProcess, TenthConnectionMeetsThePhysicalLimit) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=0\n");
  ASSERT_TRUE(server.StartReady());
  std::vector<std::unique_ptr<ClientConnection>> clients;
  for (int i = 1; i <= 9; ++i) {
    clients.push_back(std::make_unique<ClientConnection>());
    ASSERT_EQ(clients.back()->Connect("127.0.0.1", PortOf(server), "127.0.0.22"), 0);
    ASSERT_TRUE(
        server.WaitForLog("MSG_CONN: ID " + std::to_string(i) + ", IP 127.0.0.22, Accepted."));
  }
  ClientConnection tenth;
  ASSERT_EQ(tenth.Connect("127.0.0.1", PortOf(server), "127.0.0.23"), 0);
  EXPECT_TRUE(tenth.WaitClosed(3000));
  EXPECT_TRUE(server.WaitForLog("MSG_CONN: ID 10, IP 127.0.0.23, Server is at physical limit 9."));
  for (auto& client : clients) {
    EXPECT_EQ(client->Receive(50), nullptr);
    EXPECT_FALSE(client->PeerClosed());
  }

  // A slot freed is a slot to be had again.
  clients.front()->Close();
  ASSERT_TRUE(server.WaitForLog("MSG_ABORT: ID 1, 127.0.0.22 aborted."));
  ClientConnection again;
  ASSERT_EQ(again.Connect("127.0.0.1", PortOf(server), "127.0.0.23"), 0);
  EXPECT_TRUE(server.WaitForLog("MSG_CONN: ID 11, IP 127.0.0.23, Accepted."));
  EXPECT_EQ(server.Stop(), 0);
}

// A banned address gets reason 49 when its attempt is reported (the first,
// then at most once per 10 seconds), and is closed every time.
TEST(LoopProcess, BannedAddressIsRefusedAndReportedAtMostEveryTenSeconds) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=0\n");
  server.WriteFile("kestrune_srv.ban", "127.0.0.24\n");
  ASSERT_TRUE(server.StartReady());
  auto attempt = [&](bool notice) {
    ClientConnection client;
    ASSERT_EQ(client.Connect("127.0.0.1", PortOf(server), "127.0.0.24"), 0);
    auto message = client.Receive(2000);
    if (notice) {
      ASSERT_NE(message, nullptr);
      EXPECT_EQ(message->Type(), MSG_REFUSAL);
      EXPECT_EQ(message->GetU16(4), kReasonBanned);
      EXPECT_EQ(message->GetU16(6), 0);
      EXPECT_EQ(message->GetU16(10), 1);
    } else {
      EXPECT_EQ(message, nullptr);
    }
    EXPECT_TRUE(client.WaitClosed(2000));
  };
  const auto start = SteadyClock::now();
  attempt(true);
  ASSERT_TRUE(server.WaitForLog("MSG_CONN: ID 1, IP 127.0.0.24, Banned address. Attempts=1"));
  attempt(false);
  attempt(false);
  EXPECT_EQ(CountOf(server.Log(), "Banned address."), 1u);
  ASSERT_LT(SecondsSince(start), 9.0);

  std::this_thread::sleep_for(
      std::chrono::milliseconds(static_cast<int>((10.3 - SecondsSince(start)) * 1000)));
  attempt(true);
  EXPECT_TRUE(server.WaitForLog("MSG_CONN: ID 4, IP 127.0.0.24, Banned address. Attempts=4"));
  EXPECT_EQ(CountOf(server.Log(), "Banned address."), 2u);
  EXPECT_EQ(CountOf(server.Log(), "Accepted."), 0u);

  // Another address is let in.
  ClientConnection other;
  ASSERT_EQ(other.Connect("127.0.0.1", PortOf(server), "127.0.0.25"), 0);
  EXPECT_TRUE(server.WaitForLog("MSG_CONN: ID 5, IP 127.0.0.25, Accepted."));
  EXPECT_EQ(server.Stop(), 0);
}

// Clients that drop at random points inside a frame never disturb the
// server: a logged-in client keeps exchanging pings, new clients are accepted,
// and the server stops cleanly with nothing on standard error (under the
// sanitizers: no report, no leak).
TEST(LoopProcess, ThousandClientsDroppingInsideAFrameLeaveTheServerServing) {
  ServerProcess server;
  server.WriteSettings(std::string(ServerProcess::kBasicKeys) + "LogonTimeout=0\nPingRate=1\n");
  ASSERT_TRUE(server.StartReady());
  // The steady client logs in and answers every ping it gets.
  ClientSession steady;
  LoginRequest guest;
  guest.name = "Steady";
  ASSERT_TRUE(steady.Join("127.0.0.1", PortOf(server), guest, "127.0.0.30").accepted);
  int pings = 0;
  auto answerPings = [&] {
    while (auto message = steady.Receive(0)) {
      if (message->Type() != MSG_PING) continue;
      auto answer = CreateMessage(MSG_PING);
      answer->SetU16(6, message->GetU16(6));
      ASSERT_TRUE(steady.Send(*answer));
      ++pings;
    }
  };

  std::mt19937 random(20241210);
  const char* addresses[] = {"127.0.0.31", "127.0.0.32", "127.0.0.33", "127.0.0.34"};
  constexpr int kClients = 1000;
  constexpr int kAtOnce = 4;  // with the steady client, well below the 9 slots
  int made = 0;
  while (made < kClients) {
    std::vector<std::unique_ptr<ClientConnection>> batch;
    for (int k = 0; k < kAtOnce && made < kClients; ++k, ++made) {
      auto client = std::make_unique<ClientConnection>();
      ASSERT_EQ(client->Connect("127.0.0.1", PortOf(server), addresses[made % 4]), 0);
      // A frame cut short: a length, then fewer bytes than it announces;
      // now and then only part of the length, or an impossible length.
      std::vector<std::uint8_t> bytes;
      const int kind = static_cast<int>(random() % 8);
      const std::uint16_t length = kind == 0   ? 0
                                   : kind == 1 ? 4097 + random() % 1000
                                               : 1 + random() % 4096;
      bytes.push_back(static_cast<std::uint8_t>(length >> 8));
      bytes.push_back(static_cast<std::uint8_t>(length & 0xFF));
      const std::size_t body = (kind == 0 || kind == 2) ? 0 : random() % length;
      for (std::size_t i = 0; i < body; ++i) bytes.push_back(static_cast<std::uint8_t>(random()));
      if (kind == 3) bytes.resize(1);
      ASSERT_TRUE(client->SendRaw(bytes));
      if (random() % 2 == 0) {
        // A reset instead of an orderly close.
        linger reset{1, 0};
        setsockopt(client->Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      batch.push_back(std::move(client));
    }
    // Let the server take the batch in before the next one comes.
    const std::string accepted = "Accepted.";
    ASSERT_TRUE(ServerProcess::WaitUntil(
        [&] { return CountOf(server.Log(), accepted) >= static_cast<std::size_t>(made + 1); },
        10000))
        << "after " << made << " clients";
    for (auto& client : batch) client->Close();
    answerPings();
  }

  ClientConnection probe;
  ASSERT_EQ(probe.Connect("127.0.0.1", PortOf(server), "127.0.0.35"), 0);
  EXPECT_TRUE(server.WaitForLog("IP 127.0.0.35, Accepted."));
  ServerProcess::WaitUntil(
      [&] {
        answerPings();
        return pings >= 2;
      },
      3000);
  EXPECT_GE(pings, 2) << "the steady client is pinged, answers, and is pinged again";
  EXPECT_FALSE(steady.Stream().PeerClosed());
  EXPECT_TRUE(ServerProcess::ProcessAlive(server.Pid()));

  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.Stderr(), "");
  EXPECT_EQ(CountOf(server.Log(), "Server is at physical limit"), 0u);
}

TEST(LoopProcess, GarbageDatagramIsDroppedAndTheServerGoesOn) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_TRUE(server.StartReady());
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(PortOf(server));
  for (std::size_t size : {1u, 20u, 512u, 1400u}) {
    const std::string garbage(size, '\x5a');
    EXPECT_EQ(
        sendto(udp, garbage.data(), garbage.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(size));
  }
  close(udp);
  ClientConnection client;
  ASSERT_EQ(client.Connect("127.0.0.1", PortOf(server), "127.0.0.26"), 0);
  EXPECT_TRUE(server.WaitForLog("IP 127.0.0.26, Accepted."));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.Stderr(), "");
}

TEST(LoopProcess, ConsoleLinesEndWithALineOfDashes) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_TRUE(server.StartReady());
  server.WriteStdin("version\nhel");
  EXPECT_TRUE(ServerProcess::WaitUntil(
      [&] { return CountOf(server.Stdout(), "----------\n") == 1; }, 5000));
  server.WriteStdin("p\n");
  EXPECT_TRUE(ServerProcess::WaitUntil(
      [&] { return CountOf(server.Stdout(), "----------\n") == 2; }, 5000));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(LoopProcess, InterruptStopsTheLoopWithTheFullShutdown) {
  ServerProcess server;
  server.WriteSettings();
  ASSERT_TRUE(server.StartReady());
  ClientConnection client;
  ASSERT_EQ(client.Connect("127.0.0.1", PortOf(server), "127.0.0.27"), 0);
  ASSERT_TRUE(server.WaitForLog("IP 127.0.0.27, Accepted."));
  const auto start = SteadyClock::now();
  ASSERT_TRUE(server.Signal(SIGINT));
  EXPECT_EQ(server.WaitExit(5000), 0);
  EXPECT_LT(SecondsSince(start), 2.5);
  EXPECT_TRUE(client.WaitClosed(1000));
  EXPECT_NE(server.Log().find("END: Shutdown complete."), std::string::npos);
  EXPECT_FALSE(server.Exists("kestrune_srv.pid"));
}

}  // namespace
}  // namespace kestrune::e2e
