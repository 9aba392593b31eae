#include "client/client_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "net/connection.h"
#include "net_test_peer.h"

namespace kestrune {
namespace {

using testing::CapturedLog;

// A listener on 127.0.0.1 with a kernel-chosen port.
struct Listener {
  int fd = -1;
  std::uint16_t port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(fd, 4);
    socklen_t size = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    port = ntohs(at.sin_port);
  }
  ~Listener() { close(fd); }
  std::unique_ptr<Connection> Accept(std::uint32_t nowSeconds) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    int s = accept(fd, reinterpret_cast<sockaddr*>(&peer), &size);
    if (s < 0) return nullptr;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    auto c = std::make_unique<Connection>(nullptr, 1);
    c->Attach(s, peer, nowSeconds);
    return c;
  }
};

TEST(ClientConnection, TalksToTheServerSideWithMirroredKeys) {
  CapturedLog log;
  ConnectionTable table(log.clock, log.log);
  Listener listener;
  ClientConnection client;
  ASSERT_EQ(client.Connect("127.0.0.1", listener.port, "127.0.0.3"), 0);
  auto server = listener.Accept(log.clock.NowSeconds());
  ASSERT_TRUE(server);
  EXPECT_EQ(server->addressText, "127.0.0.3");
  EXPECT_EQ(server->peerPort, client.LocalPort());

  // Handshake reply text is "B|A": the server sends with A and receives with B.
  const std::string a = "AAAAkey", b = "BBkey";
  server->InstallSendKey(reinterpret_cast<const std::uint8_t*>(a.data()), a.size());
  server->InstallReceiveKey(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  server->maySend = true;
  server->loggedOn = true;
  ASSERT_TRUE(client.InstallHandshakeKeys(b + "|" + a));

  for (std::uint16_t round = 0; round < 3; ++round) {
    auto up = CreateMessage(MSG_CHAT);
    up->SetU16(4, round);
    WriteCountedString(*up, "up the stream");
    ASSERT_TRUE(client.Send(*up));
    std::unique_ptr<Message> got;
    for (int i = 0; i < 50 && !got; ++i) {
      got = table.Receive(*server);
      if (!got) usleep(2000);
    }
    ASSERT_TRUE(got) << round;
    EXPECT_EQ(std::memcmp(got->Data(), up->Data(), up->Length()), 0);

    auto down = CreateMessage(MSG_PING);
    down->SetU16(6, static_cast<std::uint16_t>(round + 40));
    table.SendToClient(*server, std::move(down));
    auto back = client.Receive(1000);
    ASSERT_TRUE(back) << round;
    EXPECT_EQ(back->Type(), MSG_PING);
    EXPECT_EQ(back->GetU16(6), round + 40);
  }

  EXPECT_FALSE(client.WaitClosed(50));
  server->Close();
  EXPECT_TRUE(client.WaitClosed(1000));
  EXPECT_TRUE(client.PeerClosed());
  EXPECT_EQ(client.Receive(10), nullptr);
}

TEST(ClientConnection, RefusesAddressesOffLoopbackAndBadKeyTexts) {
  ClientConnection client;
  EXPECT_EQ(client.Connect("10.0.0.1", 9, ""), -1);
  EXPECT_EQ(client.Connect("127.0.0.1", 9, "10.0.0.1"), -1);
  EXPECT_EQ(client.Connect("not-an-address", 9, ""), -1);
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.InstallHandshakeKeys("nobar"));
  EXPECT_FALSE(client.InstallHandshakeKeys("|A"));
  EXPECT_FALSE(client.InstallHandshakeKeys("B|"));
}

TEST(ClientConnection, ConnectToAClosedPortFails) {
  int port;
  {
    Listener gone;
    port = gone.port;
  }
  ClientConnection client;
  EXPECT_EQ(client.Connect("127.0.0.1", static_cast<std::uint16_t>(port), "", 500), -1);
}

}  // namespace
}  // namespace kestrune
