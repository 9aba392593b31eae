// The built server's status replies, asked for with the built kestrune_status
// and with hand-made datagrams from loopback addresses of their own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/session.h"
#include "e2e/support/server_process.h"
#include "e2e/support/tool_process.h"
#include "status/status_packet.h"

namespace kestrune::e2e {
namespace {

using test::RunTool;
using test::ToolRun;

constexpr const char* kHost = "127.0.0.1";

// A UDP socket on one loopback address that sends raw request datagrams to
// the server and collects the replies.
class Asker {
 public:
  explicit Asker(const std::string& address) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  }
  ~Asker() { close(fd_); }
  Asker(const Asker&) = delete;
  Asker& operator=(const Asker&) = delete;
  int Fd() const { return fd_; }

  // The datagrams of a packet of `type` with `dataLength` data bytes.
  static std::vector<std::vector<std::uint8_t>> Datagrams(int type, std::size_t dataLength,
                                                          std::uint16_t requestId) {
    std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
    EXPECT_EQ(packet->SetDataLength(dataLength), 0);
    std::vector<std::vector<std::uint8_t>> out;
    BuildStatusDatagrams(*packet, requestId, DefaultStatusRandom,
                         [&](const std::uint8_t* bytes, std::size_t length) {
                           out.emplace_back(bytes, bytes + length);
                           return true;
                         });
    return out;
  }
  void Send(const std::vector<std::uint8_t>& datagram, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
              static_cast<ssize_t>(datagram.size()));
  }
  // The request ids of the complete replies that arrive before `quietMs`
  // pass without a datagram.
  std::vector<std::uint16_t> ReplyIds(int quietMs = 400) {
    std::map<std::uint16_t, std::unique_ptr<StatusPacket>> pending;
    std::vector<std::uint16_t> ids;
    pollfd wait{fd_, POLLIN, 0};
    while (poll(&wait, 1, quietMs) > 0) {
      std::uint8_t buffer[kStatusMaxDatagram];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n < 20) continue;
      StatusHeader header;
      std::uint8_t head[kStatusHeaderSize];
      std::memcpy(head, buffer, sizeof head);
      if (!DescrambleStatusHeader(head, header)) continue;
      auto& packet = pending[header.requestId];
      if (!packet) packet = StatusPacket::CreateReceiving();
      if (packet->Decode(buffer, static_cast<std::size_t>(n), header.requestId) ==
              kStatusComplete &&
          packet->Type() == kStatusReply) {
        ids.push_back(header.requestId);
      }
    }
    return ids;
  }

 private:
  int fd_ = -1;
};

// Uptimes and connection ages vary with timing: "<n>" in the expectation
// stands for any decimal number.
void ExpectShape(const std::string& actual, const std::string& shape) {
  std::string pattern;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape.compare(i, 3, "<n>") == 0) {
      pattern += "[0-9]+";
      i += 2;
    } else if (std::string("\\^$.|?*+()[]{}").find(shape[i]) != std::string::npos) {
      pattern += '\\';
      pattern += shape[i];
    } else {
      pattern += shape[i];
    }
  }
  EXPECT_TRUE(std::regex_match(actual, std::regex(pattern))) << "actual:\n"
                                                             << actual << "\nshape:\n"
                                                             << shape;
}

class StatusService : public ::testing::Test {
 protected:
  void Start(const std::string& properties) {
    server.WriteSettings("Name=Test, Server\nAuth=0\nLogonTimeout=0\nPingRate=10\n");
    server.WriteFile("kestrune_srv.usr", "[Guest]\nUID=1\n");
    server.WriteFile("kestrune_srv.prop", "[SrvProp]\nComment=Hello, world\n" + properties);
    ASSERT_TRUE(server.StartReady());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    EXPECT_EQ(server.Stop(), std::optional<int>(0));
    EXPECT_EQ(server.Stderr().find("Sanitizer"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("runtime error"), std::string::npos) << server.Stderr();
  }
  // Two guests: one whose name may be listed ("=" is allowed in a name), one
  // whose login asks to stay unlisted.
  void JoinGuests() {
    LoginRequest listed;
    listed.name = "Eq=Guest";
    ASSERT_TRUE(listedGuest.Join(kHost, Port(), listed, "127.0.0.20").accepted);
    LoginRequest shy;
    shy.name = "Shy";
    shy.statusName = 0;
    ASSERT_TRUE(shyGuest.Join(kHost, Port(), shy, "127.0.0.21").accepted);
  }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(server.Port()); }
  std::string Tool(const std::string& command, const std::string& localAddress) {
    const ToolRun run =
        RunTool({command, "-t127.0.0.1:" + std::to_string(server.Port()), "-i" + localAddress});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    return run.out;
  }

  ServerProcess server;
  ClientSession listedGuest;
  ClientSession shyGuest;
  bool started_ = false;
};

const char kHeadShape[] =
    "NAME: Test%2C Server\n"
    "PHONETIC: \n"
    "COMMENT: Hello%2C world\n"
    "AUTH: 0\n"
    "MAXCLIENTS: 8\n"
    "VOICECODEC: 0,GSM 6.10\n"
    "VOICEFORMAT: 0,8 KHz%2C 16 bit\n"
    "UPTIME: <n>\n"
    "PLATFORM: NetBSD-i386\n"
    "VERSION: 3.0.2\n";

TEST_F(StatusService, ToolAndCompactRequestGetTheRepliesOfTheRunningServer) {
  Start("");
  JoinGuests();
  ExpectShape(Tool("-c1", "127.0.0.2"), std::string(kHeadShape) + "CLIENTCOUNT: 2\n");
  ExpectShape(Tool("-c2", "127.0.0.3"),
              std::string(kHeadShape) +
                  "CHANNELCOUNT: 0\n"
                  "CLIENTCOUNT: 2\n"
                  "CLIENTFIELDS: ADMIN,CID,PHAN,PING,SEC,NAME,COMM\n"
                  "CLIENT: ADMIN=0,CID=0,PHAN=0,PING=-1,SEC=<n>,NAME=Eq%3DGuest,COMM=\n"
                  "CLIENT: ADMIN=0,CID=0,PHAN=0,PING=-1,SEC=<n>,NAME=XXXXXXXX\n");

  Asker asker("127.0.0.4");
  std::unique_ptr<StatusPacket> compact = StatusSendAndWait(
      asker.Fd(), 0x7F000001, Port(), StatusPacket::Create(kStatusCompactRequest), 3);
  ASSERT_NE(compact, nullptr);
  EXPECT_EQ(compact->Type(), kStatusReply);
  const std::string text(reinterpret_cast<const char*>(compact->Data()), compact->DataLength());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\0');
  ExpectShape(text.substr(0, text.size() - 1),
              "00Test%2C Server\n01\n02Hello%2C world\n030\n048\n050,GSM 6.10\n"
              "060,8 KHz%2C 16 bit\n07<n>\n08NetBSD-i386\n093.0.2\n100\n122\n"
              "13010,020,030,04-1,05<n>,06Eq%3DGuest,07\n"
              "13010,020,030,04-1,05<n>,06XXXXXXXX\n");
}

// Channel ids are 1 and 2 (the first two the allocator gives); the reply adds
// one offset to every non-zero id, so the lines must agree with each other.
TEST_F(StatusService, DetailRequestListsTheChannelsWithTheStatusIdOffset) {
  server.WriteFile("kestrune_srv.chn",
                   "[A]\nEncPassChan=\nComment=a, b=c\n[A/B]\nEncPassChan=\nProtMode=1\n");
  Start("");
  const std::string reply = Tool("-c2", "127.0.0.6");
  std::smatch lines;
  ASSERT_TRUE(std::regex_search(
      reply, lines,
      std::regex("CHANNELCOUNT: 2\nCHANNELFIELDS: CID,PID,PROT,NAME,COMM\n"
                 "CHANNEL: CID=([0-9]+),PID=0,PROT=0,NAME=A,COMM=a%2C b%3Dc\n"
                 "CHANNEL: CID=([0-9]+),PID=([0-9]+),PROT=1,NAME=B,COMM=\n")))
      << reply;
  const int a = std::stoi(lines[1]);
  EXPECT_GT(a, 1);  // the offset is at least 1
  EXPECT_EQ(std::stoi(lines[2]), a + 1);
  EXPECT_EQ(std::stoi(lines[3]), a);
}

TEST_F(StatusService, StatusPropertiesHideWhatTheyName) {
  Start(
      "StatusServerComment=0\nStatusChanNames=0\nStatusChanComments=0\nStatusUserNames=0\n"
      "StatusUserComments=0\n");
  JoinGuests();
  std::string head = kHeadShape;
  head.erase(head.find("COMMENT: "), std::string("COMMENT: Hello%2C world\n").size());
  ExpectShape(Tool("-c2", "127.0.0.5"), head +
                                            "CLIENTCOUNT: 2\n"
                                            "CLIENTFIELDS: ADMIN,CID,PHAN,PING,SEC,NAME\n"
                                            "CLIENT: ADMIN=0,CID=0,PHAN=0,PING=-1,SEC=<n>,NAME="
                                            "XXXXXXXX\n"
                                            "CLIENT: ADMIN=0,CID=0,PHAN=0,PING=-1,SEC=<n>,NAME="
                                            "XXXXXXXX\n");
}

TEST_F(StatusService, OneAddressIsAnsweredOncePerHundredMillisecondsAndBadRequestsNever) {
  Start("");
  const int port = server.Port();
  Asker asker("127.0.0.6");
  const auto first = std::chrono::steady_clock::now();
  asker.Send(Asker::Datagrams(kStatusGeneralRequest, 16, 101)[0], port);
  asker.Send(Asker::Datagrams(kStatusGeneralRequest, 16, 102)[0], port);
  EXPECT_EQ(asker.ReplyIds(), std::vector<std::uint16_t>{101});
  std::this_thread::sleep_until(first + std::chrono::milliseconds(500));
  asker.Send(Asker::Datagrams(kStatusDetailRequest, 16, 103)[0], port);
  EXPECT_EQ(asker.ReplyIds(), std::vector<std::uint16_t>{103});

  // Too short, or in two fragments: each from an address of its own, so no
  // rate entry stands in the way.
  Asker shortAsker("127.0.0.7");
  shortAsker.Send(Asker::Datagrams(kStatusGeneralRequest, 15, 104)[0], port);
  EXPECT_TRUE(shortAsker.ReplyIds().empty());
  Asker splitAsker("127.0.0.8");
  const auto two = Asker::Datagrams(kStatusDetailRequest, 600, 105);
  ASSERT_EQ(two.size(), 2u);
  splitAsker.Send(two[0], port);
  splitAsker.Send(two[1], port);
  EXPECT_TRUE(splitAsker.ReplyIds().empty());
  // The server still answers both addresses.
  shortAsker.Send(Asker::Datagrams(kStatusGeneralRequest, 16, 106)[0], port);
  splitAsker.Send(Asker::Datagrams(kStatusGeneralRequest, 16, 107)[0], port);
  EXPECT_EQ(shortAsker.ReplyIds(), std::vector<std::uint16_t>{106});
  EXPECT_EQ(splitAsker.ReplyIds(), std::vector<std::uint16_t>{107});
}

}  // namespace
}  // namespace kestrune::e2e
