#include "server/listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net_test_peer.h"
#include "server/server.h"
#include "status/status_packet.h"
#include "support/temp_dir.h"

namespace kestrune {
namespace {

using testing::Peer;

// A client socket bound to a chosen loopback address, connected to `port`.
int ConnectFrom(const char* local, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, local, &from.sin_addr);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  return fd;
}

int BoundPort(int socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

bool Readable(int fd, int timeoutMs = 1000) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

class ListenerTest : public ::testing::Test {
 protected:
  ListenerTest() {
    server.log().SetDaemon(true);
    server.log().SetForwarder([this](const std::string& text) { lines.push_back(text); });
    server.files().SetPrefix(dir.File("srv"));
    listener.address = INADDR_LOOPBACK;
  }
  ~ListenerTest() override {
    for (int fd : clients) close(fd);
    server.CloseConnections();
    if (listener.socket >= 0) close(listener.socket);
  }

  // Opens the TCP listener on a free loopback port.
  void Listen() {
    ASSERT_EQ(ServerCreateStream(server.log(), listener, 0), kListenOk);
    port = BoundPort(listener.socket);
  }
  // Connects from `local` and lets the server accept.
  int Accept(const char* local, int& client) {
    client = ConnectFrom(local, port);
    clients.push_back(client);
    EXPECT_TRUE(Readable(listener.socket));
    return ServerConnAccept(server, listener);
  }
  bool Logged(const std::string& text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  bool LoggedPrefix(const std::string& prefix) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

  testing::TempDir dir;
  FakeClock clock{50000};
  Server server{clock};
  std::vector<std::string> lines;
  Listener listener;
  int port = 0;
  std::vector<int> clients;
};

TEST_F(ListenerTest, SocketsAreNonBlockingAndTheStatusSocketCannotBroadcast) {
  Listen();
  EXPECT_NE(fcntl(listener.socket, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(GetSocketOption(server.log(), listener.socket, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(GetSocketOption(server.log(), listener.socket, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(GetSocketOption(server.log(), listener.socket, IPPROTO_TCP, TCP_NODELAY), 1);

  Listener udp;
  udp.address = INADDR_LOOPBACK;
  ASSERT_EQ(ServerCreateUDP(server.log(), udp, 0), kListenOk);
  EXPECT_NE(fcntl(udp.socket, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(GetSocketOption(server.log(), udp.socket, SOL_SOCKET, SO_BROADCAST), 0);
  close(udp.socket);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ListenerTest, BindFailuresAreLoggedAndReturnMinusFive) {
  Listen();
  Listener tcp;
  tcp.address = INADDR_LOOPBACK;
  EXPECT_EQ(ServerCreateStream(server.log(), tcp, port), kListenBind);
  EXPECT_EQ(tcp.socket, -1);
  EXPECT_TRUE(Logged("ERROR: Unable to bind to TCP socket."));

  Listener first;
  first.address = INADDR_LOOPBACK;
  ASSERT_EQ(ServerCreateUDP(server.log(), first, 0), kListenOk);
  Listener second;
  second.address = INADDR_LOOPBACK;
  EXPECT_EQ(ServerCreateUDP(server.log(), second, BoundPort(first.socket)), kListenBind);
  EXPECT_TRUE(Logged("ERROR: Unable to bind to UDP socket."));
  close(first.socket);
}

TEST_F(ListenerTest, SocketOptionFailuresAreLoggedWithCodeAndOption) {
  EXPECT_EQ(SetSocketOption(server.log(), -1, SOL_SOCKET, SO_SNDBUF, 4096), -1);
  EXPECT_EQ(GetSocketOption(server.log(), -1, SOL_SOCKET, SO_RCVBUF), -1);
  const std::string code = std::to_string(EBADF);
  EXPECT_TRUE(Logged("ERROR: setsockopt failed with code " + code +
                     ". Option = " + std::to_string(SO_SNDBUF)));
  EXPECT_TRUE(Logged("ERROR: getsockopt failed with code " + code +
                     ". Option = " + std::to_string(SO_RCVBUF)));
  ServerNoBlock(server.log(), -1);
  EXPECT_TRUE(Logged("ServerNoBlock(): Failed to get fcntl(F_GETFL)."));
}

TEST_F(ListenerTest, ListenerTablesHaveTheirRoom) {
  CreateListenerRecords(server);
  EXPECT_EQ(server.listeners().tcp.Count(), 1u);
  EXPECT_EQ(server.listeners().udp.Count(), 1u);
  EXPECT_EQ(server.listeners().tcp.Add(std::make_unique<Listener>()), -1);
  EXPECT_EQ(server.listeners().udp.Add(std::make_unique<Listener>()), 0);
  EXPECT_EQ(server.listeners().udp.Add(std::make_unique<Listener>()), -1);
  CreateListenerRecords(server);  // not empty: nothing more is made
  EXPECT_EQ(server.listeners().tcp.Count(), 1u);
  CloseListeners(server);
  EXPECT_EQ(server.listeners().tcp.Count() + server.listeners().udp.Count(), 0u);

  // A table that goes away closes what it holds.
  int fd = -1;
  {
    ListenerTable table(1);
    auto udp = std::make_unique<Listener>();
    udp->address = INADDR_LOOPBACK;
    ASSERT_EQ(ServerCreateUDP(server.log(), *udp, 0), kListenOk);
    fd = udp->socket;
    ASSERT_EQ(table.Add(std::move(udp)), 0);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(ListenerTest, AcceptEntersTheClientWithItsLineAndTimeLimit) {
  server.settings().autoKick = 30;
  server.settings().sendBuffer = 65536;
  server.settings().recvBuffer = 0;  // left as the system made it
  Listen();
  // What the system gives an accepted socket before any change.
  const int probe = ConnectFrom("127.0.0.8", port);
  ASSERT_TRUE(Readable(listener.socket));
  const int plain = accept(listener.socket, nullptr, nullptr);
  ASSERT_GE(plain, 0);
  const std::int32_t sendDefault = GetSocketOption(server.log(), plain, SOL_SOCKET, SO_SNDBUF);
  const std::int32_t receiveDefault = GetSocketOption(server.log(), plain, SOL_SOCKET, SO_RCVBUF);
  close(plain);
  close(probe);

  int client = -1;
  ASSERT_EQ(Accept("127.0.0.9", client), kAcceptAdded);
  ASSERT_EQ(server.table().Count(), 1u);
  Connection& c = server.table().At(0);
  EXPECT_EQ(c.addressText, "127.0.0.9");
  EXPECT_EQ(c.listener, &listener.counters);
  EXPECT_EQ(listener.acceptCount, 1u);
  EXPECT_NE(fcntl(c.socket, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_TRUE(c.timeLimitTimer.Armed());
  EXPECT_EQ(c.timeLimitTimer.Interval(), 30u);
  // Send sizes before and after the change, then receive sizes (unchanged).
  const std::int32_t sendAfter = GetSocketOption(server.log(), c.socket, SOL_SOCKET, SO_SNDBUF);
  ASSERT_NE(sendAfter, sendDefault) << "the change must show";
  EXPECT_EQ(lines.back(), "MSG_CONN: ID " + std::to_string(c.id) + ", IP 127.0.0.9, Accepted. (" +
                              std::to_string(sendDefault) + "," + std::to_string(sendAfter) +
                              ") (" + std::to_string(receiveDefault) + "," +
                              std::to_string(receiveDefault) + ")");
}

TEST_F(ListenerTest, TenthConnectionMeetsThePhysicalLimit) {
  Listen();
  for (int i = 0; i < 9; ++i) {
    int client = -1;
    ASSERT_EQ(Accept("127.0.0.10", client), kAcceptAdded);
  }
  int tenth = -1;
  EXPECT_EQ(Accept("127.0.0.11", tenth), kAcceptTableFull);
  EXPECT_EQ(server.table().Count(), 9u);
  EXPECT_TRUE(Logged("MSG_CONN: ID 10, IP 127.0.0.11, Server is at physical limit 9."));
  Peer peer(dup(tenth));
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(ListenerTest, BannedAddressGetsItsNoticeOnlyWhenTheAttemptIsReported) {
  dir.Write("srv.ban", "127.0.0.12\n");
  server.LoadBans();
  Listen();
  auto attempt = [&](bool notice, const std::string& line) {
    int client = -1;
    ASSERT_EQ(Accept("127.0.0.12", client), kAcceptBanned);
    EXPECT_EQ(server.table().Count(), 0u);
    Peer peer(dup(client));
    auto message = peer.Next(500);
    if (notice) {
      ASSERT_NE(message, nullptr);
      EXPECT_EQ(message->Type(), MSG_REFUSAL);
      EXPECT_EQ(message->GetU16(4), kReasonBanned);
      EXPECT_EQ(message->GetU16(6), 0);
      EXPECT_EQ(message->GetU16(10), 1);
      EXPECT_EQ(lines.back(), line);
    } else {
      EXPECT_EQ(message, nullptr);
    }
    EXPECT_TRUE(peer.SeesClose());
  };
  attempt(true, "MSG_CONN: ID 1, IP 127.0.0.12, Banned address. Attempts=1");
  const std::size_t reported = lines.size();
  clock.AdvanceMs(9000);
  attempt(false, "");
  EXPECT_EQ(lines.size(), reported);
  clock.AdvanceMs(1001);
  attempt(true, "MSG_CONN: ID 3, IP 127.0.0.12, Banned address. Attempts=3");

  int other = -1;
  EXPECT_EQ(Accept("127.0.0.13", other), kAcceptAdded);
}

TEST_F(ListenerTest, TemporaryBanRefusesWithMinutesLeftAndAnExpiredOneLetsIn) {
  server.LoadBans();
  Listen();
  std::unique_ptr<Peer> unused;
  auto banned = testing::PairedConnection(1, unused);
  banned->addressText = "127.0.0.14";
  server.bans()->AutoBan(server.table(), *banned, 2, false);
  clock.AdvanceSeconds(59);  // 61 seconds left
  int client = -1;
  ASSERT_EQ(Accept("127.0.0.14", client), kAcceptBanned);
  Peer peer(dup(client));
  auto notice = peer.Next(500);
  ASSERT_NE(notice, nullptr);
  EXPECT_EQ(notice->GetU16(4), kReasonTemporarilyBanned);
  EXPECT_EQ(notice->GetU16(6), 2);

  clock.AdvanceSeconds(61);
  EXPECT_EQ(Accept("127.0.0.14", client), kAcceptAdded);
  EXPECT_EQ(server.bans()->List().Size(), 0u);
}

TEST_F(ListenerTest, DescriptorBeyondTheWaitSetsIsClosedAndLogged) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < FD_SETSIZE + 16) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, FD_SETSIZE + 16);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < FD_SETSIZE + 16) GTEST_SKIP() << "cannot open enough descriptors";
  Listen();
  // Take every descriptor below the limit of the sets, so accept gets one above.
  std::vector<int> filler;
  for (;;) {
    const int fd = dup(listener.socket);
    ASSERT_GE(fd, 0);
    if (fd >= FD_SETSIZE) {
      close(fd);
      break;
    }
    filler.push_back(fd);
  }
  int client = -1;
  const int result = Accept("127.0.0.15", client);
  for (int fd : filler) close(fd);
  EXPECT_EQ(result, kAcceptSocketTooHigh);
  EXPECT_EQ(server.table().Count(), 0u);
  ASSERT_FALSE(lines.empty());
  const std::string& line = lines.back();
  const int logged = std::atoi(line.c_str() + std::strlen("ERROR: Socket "));
  EXPECT_EQ(line,
            "ERROR: Socket " + std::to_string(logged) + " does not fit the wait sets; closed.");
  EXPECT_GE(logged, FD_SETSIZE);
  Peer peer(dup(client));
  EXPECT_TRUE(peer.SeesClose());
}

TEST_F(ListenerTest, DatagramsAreDecodedAsStatusRequests) {
  ASSERT_EQ(ServerCreateUDP(server.log(), listener, 0), kListenOk);
  const int udpPort = BoundPort(listener.socket);
  std::vector<StatusRequest> requests;
  server.hooks.statusRequest = [&](const StatusRequest& request, int socket) {
    EXPECT_EQ(socket, listener.socket);
    requests.push_back(request);
  };
  EXPECT_EQ(ReceiveDatagram(server, listener), -1) << "nothing waiting";

  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(udpPort));
  const std::string garbage = "not a status packet at all, just bytes";
  sendto(sender, garbage.data(), garbage.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(Readable(listener.socket));
  EXPECT_EQ(ReceiveDatagram(server, listener), -2);
  EXPECT_TRUE(requests.empty());
  EXPECT_TRUE(lines.empty());

  ASSERT_EQ(StatusSendOnce(sender, StatusPacket::Create(kStatusDetailRequest), 77, INADDR_LOOPBACK,
                           static_cast<std::uint16_t>(udpPort)),
            0);
  ASSERT_TRUE(Readable(listener.socket));
  EXPECT_EQ(ReceiveDatagram(server, listener), 0);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].type, kStatusDetailRequest);
  EXPECT_EQ(requests[0].requestId, 77);
  EXPECT_EQ(requests[0].address, INADDR_LOOPBACK);
  EXPECT_EQ(requests[0].port, BoundPort(sender));
  close(sender);
}

}  // namespace
}  // namespace kestrune
