#include "status/update_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "config/log.h"
#include "config/settings.h"
#include "server/loop.h"
#include "server/server.h"
#include "status/status_responder.h"
#include "util/clock.h"

namespace kestrune {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

// A UDP socket on a loopback address, closed with the object.
class UdpEnd {
 public:
  explicit UdpEnd(std::uint32_t address = kLoopback) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~UdpEnd() { close(fd_); }
  UdpEnd(const UdpEnd&) = delete;
  UdpEnd& operator=(const UdpEnd&) = delete;
  int Fd() const { return fd_; }
  std::uint16_t Port() const { return port_; }

  // One complete status packet within a second, and the port it came from.
  std::unique_ptr<StatusPacket> Receive(std::uint16_t* fromPort = nullptr, int waitMs = 1000) {
    std::unique_ptr<StatusPacket> packet = StatusPacket::CreateReceiving();
    pollfd wait{fd_, POLLIN, 0};
    while (poll(&wait, 1, waitMs) > 0) {
      std::uint8_t buffer[kStatusMaxDatagram];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      if (fromPort != nullptr) *fromPort = ntohs(from.sin_port);
      if (packet->Decode(buffer, static_cast<std::size_t>(n), 0) == kStatusComplete) return packet;
    }
    return nullptr;
  }
  // Sends `data` exactly (no NUL added) as a packet of `type`.
  void Send(int type, std::uint16_t requestId, const std::string& data, std::uint16_t port) {
    std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
    ASSERT_EQ(packet->SetDataLength(data.size()), 0);
    std::memcpy(packet->Data(), data.data(), data.size());
    ASSERT_EQ(StatusSendOnce(fd_, std::move(packet), requestId, kLoopback, port), 0);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

bool Readable(int fd, int waitMs = 1000) {
  pollfd wait{fd, POLLIN, 0};
  return poll(&wait, 1, waitMs) > 0;
}

std::string TextOf(const StatusPacket& packet) {
  return std::string(reinterpret_cast<const char*>(packet.Data()), packet.DataLength());
}

const char kFullAnswer[] = "NEWVER: 3.1.0\nURL: http://get.example/k%2Cs\nREQCLIENT: 3.0.5\n";

class UpdateCheckTest : public ::testing::Test {
 protected:
  UpdateCheckTest() {
    log.SetDaemon(true);
    settings.name = "Name, with=signs";
    settings.port = 4711;
    check.Prepare(kLoopback, service.Port());
  }

  // Ticks at `ms` after the check was made.
  void TickAt(std::uint32_t ms) {
    clock.AdvanceMs(created + ms - clock.NowMs());
    check.Tick();
  }
  // The report the service got, with the check's port.
  std::unique_ptr<StatusPacket> Report() { return service.Receive(&checkPort); }
  // Lets the check read what arrived on its socket, a datagram at a time.
  void Deliver() {
    ASSERT_TRUE(Readable(check.Socket()));
    while (check.Socket() != -1 && Readable(check.Socket(), 200)) check.Receive();
  }
  void Answer(const std::string& text, std::uint16_t requestId) {
    service.Send(kStatusUpdateAnswer, requestId, text + '\0', checkPort);
    Deliver();
  }

  FakeClock clock{500000, 1700000000};
  Log log{clock};
  ServerSettings settings;
  std::time_t startTime = 1700000000 - 5;
  int loggedOnUsers = 3;
  UdpEnd service;
  const std::uint32_t created = clock.NowMs();
  UpdateCheck check{
      UpdateCheckContext{clock, log, settings, startTime, loggedOnUsers, "3.0.2", kServerPlatform}};
  std::uint16_t checkPort = 0;
};

TEST_F(UpdateCheckTest, FirstReportGoesOutThirtySecondsAfterStartWithTheReportLines) {
  TickAt(30000);
  EXPECT_EQ(check.Socket(), -1);
  EXPECT_EQ(service.Receive(nullptr, 50), nullptr);
  TickAt(30001);
  ASSERT_NE(check.Socket(), -1);
  std::unique_ptr<StatusPacket> report = Report();
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->Type(), kStatusUpdateReport);
  EXPECT_NE(report->RequestId(), 0);
  EXPECT_EQ(report->RequestId(), check.RequestId());
  // The port in force, the uptime (5 s before creation and 30 s since) and the name as it is.
  EXPECT_EQ(TextOf(*report), std::string("PROD: Kestrune\nCOMP: Server\nPLAT: NetBSD-i386\n"
                                         "VER: 3.0.2\nMAXCL: 8\nCLCNT: 3\nPORT: 4711\n"
                                         "UPTIME: 35\nNAME: Name, with=signs\n") +
                                 '\0');
}

TEST_F(UpdateCheckTest, UnansweredReportClosesAfterFifteenSecondsAndRetriesFifteenMinutesLater) {
  TickAt(30001);
  ASSERT_NE(Report(), nullptr);
  TickAt(30001 + 15000);
  EXPECT_NE(check.Socket(), -1);
  TickAt(30001 + 15001);
  EXPECT_EQ(check.Socket(), -1);
  EXPECT_EQ(check.IntervalMs(), UpdateCheck::kUnansweredIntervalMs);
  // Counted from the last report, not from the close.
  TickAt(30001 + 900000);
  EXPECT_EQ(check.Socket(), -1);
  TickAt(30001 + 900001);
  EXPECT_NE(check.Socket(), -1);
  EXPECT_NE(Report(), nullptr);
}

TEST_F(UpdateCheckTest, AnswerFillsTheTextsAndTheNextReportWaitsFourHours) {
  UpdateTexts seen;
  int calls = 0;
  check.SetAnswerSink([&](const UpdateTexts& texts) {
    seen = texts;
    ++calls;
  });
  TickAt(30001);
  ASSERT_NE(Report(), nullptr);
  Answer(kFullAnswer, check.RequestId());
  EXPECT_EQ(check.Socket(), -1);
  EXPECT_EQ(check.Texts().newestVersion, "3.1.0");
  EXPECT_EQ(check.Texts().downloadLocation, "http://get.example/k,s");
  EXPECT_EQ(check.Texts().requiredClient, "3.0.5");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen.downloadLocation, "http://get.example/k,s");

  TickAt(30001 + UpdateCheck::kAnsweredIntervalMs);
  EXPECT_EQ(check.Socket(), -1);
  TickAt(30001 + UpdateCheck::kAnsweredIntervalMs + 1);
  ASSERT_NE(Report(), nullptr);
  // Only NEWVER this time: the other two keep their values.
  Answer("NEWVER: 3.2.0\nOTHER: ignored\n", check.RequestId());
  EXPECT_EQ(check.Texts().newestVersion, "3.2.0");
  EXPECT_EQ(check.Texts().downloadLocation, "http://get.example/k,s");
  EXPECT_EQ(check.Texts().requiredClient, "3.0.5");
  EXPECT_EQ(calls, 2);
}

TEST_F(UpdateCheckTest, EachAnswerTextIsCutToTwoHundredFiftyFiveBytes) {
  TickAt(30001);
  ASSERT_NE(Report(), nullptr);
  const std::string longText(300, 'v');
  Answer("NEWVER: " + longText + "\nURL: %2C" + std::string(300, 'u') + "\nREQCLIENT: " + longText +
             "\n",
         check.RequestId());
  EXPECT_EQ(check.Texts().newestVersion, std::string(255, 'v'));
  EXPECT_EQ(check.Texts().requiredClient, std::string(255, 'v'));
  // The URL is cut after unescaping.
  EXPECT_EQ(check.Texts().downloadLocation, "," + std::string(254, 'u'));
}

// Answers that must not change the texts: what each does to the exchange.
TEST_F(UpdateCheckTest, AnswersThatChangeNothing) {
  struct Case {
    const char* name;
    int type;
    std::string data;
    bool otherId;
    bool otherAddress;
    bool staysOpen;  // ignored: still waiting; else closed at once
  };
  const std::string text = std::string(kFullAnswer);
  const std::vector<Case> cases = {
      {"no terminating NUL", kStatusUpdateAnswer, text, false, false, false},
      {"another packet type", kStatusReply, text + '\0', false, false, false},
      {"another request id", kStatusUpdateAnswer, text + '\0', true, false, true},
      {"another address", kStatusUpdateAnswer, text + '\0', false, true, true},
  };
  for (const Case& c : cases) {
    UdpEnd service;
    UpdateCheck fresh{UpdateCheckContext{clock, log, settings, startTime, loggedOnUsers, "3.0.2",
                                         kServerPlatform}};
    fresh.Prepare(kLoopback, service.Port());
    const std::uint32_t start = clock.NowMs();
    clock.SetMs(start + 30001);
    fresh.Tick();
    std::uint16_t port = 0;
    ASSERT_NE(service.Receive(&port), nullptr) << c.name;
    const std::uint16_t id = static_cast<std::uint16_t>(fresh.RequestId() + (c.otherId ? 1 : 0));
    if (c.otherAddress) {
      UdpEnd stranger(0x7F000002);
      stranger.Send(c.type, id, c.data, port);
    } else {
      service.Send(c.type, id, c.data, port);
    }
    ASSERT_TRUE(Readable(fresh.Socket())) << c.name;
    fresh.Receive();
    EXPECT_EQ(fresh.Texts().newestVersion, "") << c.name;
    EXPECT_EQ(fresh.Texts().downloadLocation, "") << c.name;
    EXPECT_EQ(fresh.Socket() != -1, c.staysOpen) << c.name;
    if (c.staysOpen) {
      // The 15-s window still closes it, and the retry waits 15 minutes.
      clock.SetMs(start + 30001 + 15001);
      fresh.Tick();
      EXPECT_EQ(fresh.Socket(), -1) << c.name;
      EXPECT_EQ(fresh.IntervalMs(), UpdateCheck::kUnansweredIntervalMs) << c.name;
    } else {
      // Nothing applied, so the interval stays: the next report 30 s after the last.
      EXPECT_EQ(fresh.IntervalMs(), UpdateCheck::kFirstIntervalMs) << c.name;
      clock.SetMs(start + 60002);
      fresh.Tick();
      EXPECT_NE(service.Receive(), nullptr) << c.name;
    }
  }
}

// The server plugs the check into the loop: the tick reports, the wait sets
// hold its socket, and serving hands the answer to the new-version record.
TEST(UpdateCheckLoop, TheLoopsStepsReportWaitAndReceive) {
  UdpEnd service;
  FakeClock clock{200000, 1700000000};
  Server server{clock};
  server.log().SetDaemon(true);
  server.settings().updateAddress = kLoopback;
  server.settings().updatePort = service.Port();
  ASSERT_EQ(server.PrepareUpdateCheck(), 0);
  UpdateTexts learned;
  server.updateCheck()->SetAnswerSink([&](const UpdateTexts& texts) { learned = texts; });

  clock.AdvanceMs(30001);
  TickUpdateCheck(server);
  std::uint16_t port = 0;
  ASSERT_NE(service.Receive(&port), nullptr);
  const int socket = server.hooks.updateSocket();
  ASSERT_NE(socket, -1);
  service.Send(kStatusUpdateAnswer, server.updateCheck()->RequestId(),
               std::string(kFullAnswer) + '\0', port);

  WaitSets sets;
  BuildSelectSets(server, sets);
  ASSERT_TRUE(FD_ISSET(socket, &sets.read));
  ASSERT_TRUE(Readable(socket));
  ServeReady(server, sets);
  EXPECT_EQ(learned.newestVersion, "3.1.0");
  EXPECT_EQ(server.hooks.updateSocket(), -1);
  BuildSelectSets(server, sets);
  EXPECT_FALSE(FD_ISSET(socket, &sets.read));
}

}  // namespace
}  // namespace kestrune
