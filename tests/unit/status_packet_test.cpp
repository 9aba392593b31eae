#include "status/status_packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "util/checksum.h"

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Hands out the given values in order, starting over at the end.
StatusRandom Sequence(std::vector<int> values) {
  auto next = std::make_shared<std::size_t>(0);
  return [values, next]() { return values[(*next)++ % values.size()]; };
}

std::unique_ptr<StatusPacket> PacketWith(int type, const Bytes& data) {
  std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
  EXPECT_EQ(packet->SetDataLength(data.size()), 0);
  if (!data.empty()) std::memcpy(packet->Data(), data.data(), data.size());
  return packet;
}

Bytes PatternData(std::size_t length) {
  Bytes data(length);
  for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return data;
}

// Fragments a packet and returns its datagrams (keys from a fixed sequence).
std::vector<Bytes> Fragment(StatusPacket& packet, std::uint16_t requestId, int* result = nullptr) {
  std::vector<Bytes> datagrams;
  const int rc = BuildStatusDatagrams(packet, requestId, Sequence({3, 0, 200, 0, 17, 41}),
                                      [&](const std::uint8_t* bytes, std::size_t length) {
                                        datagrams.emplace_back(bytes, bytes + length);
                                        return true;
                                      });
  if (result != nullptr) *result = rc;
  return datagrams;
}

StatusHeader ReadHeader(Bytes datagram) {
  StatusHeader header;
  EXPECT_TRUE(DescrambleStatusHeader(datagram.data(), header));
  return header;
}

// A datagram built by hand: the given header words and plain payload, the
// payload scrambled with the header's payload key, the header with 11/13.
Bytes Craft(StatusHeader header, const Bytes& payload) {
  Bytes datagram(kStatusHeaderSize + payload.size());
  header.keyStart = 11;
  header.keyStep = 13;
  WriteStatusHeader(header, datagram.data());
  std::copy(payload.begin(), payload.end(), datagram.begin() + kStatusHeaderSize);
  ScrambleStatusPayload(datagram.data() + kStatusHeaderSize, payload.size(), header.payloadKey,
                        false);
  ScrambleStatusHeader(datagram.data());
  return datagram;
}

StatusHeader OneFragmentHeader(const Bytes& data) {
  StatusHeader header;
  header.type = kStatusReply;
  header.requestId = 0x4242;
  header.totalLength = static_cast<std::uint16_t>(data.size());
  header.fragmentLength = static_cast<std::uint16_t>(data.size());
  header.fragmentCount = 1;
  header.payloadKey = 0x2A05;
  header.checksum = Crc16(data.data(), data.size());
  return header;
}

TEST(StatusPacket, KnownDatagramIsBuiltByteForByteAndDecodesBack) {
  const Bytes data = {0x73, 0x65, 0x63, 0x72, 0x65, 0x74, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes expected = {0x05, 0x07, 0x13, 0xA7, 0x27, 0x61, 0x22, 0x9E, 0xF3, 0x5F, 0x0B, 0xDF,
                          0xF9, 0xE6, 0x95, 0x83, 0xBD, 0xF6, 0xC4, 0xE8, 0x45, 0xDC, 0x9A, 0xEF,
                          0xD7, 0x6A, 0x28, 0x11, 0x62, 0x71, 0x5D, 0x2D, 0x2E, 0x1D, 0x82, 0xC4};
  EXPECT_EQ(Crc16(data.data(), data.size()), 0xD95F);

  std::unique_ptr<StatusPacket> packet = StatusPacket::Create(kStatusGeneralRequest);
  ASSERT_EQ(packet->DataLength(), 16u);
  std::memcpy(packet->Data(), "secret", 7);
  std::vector<Bytes> datagrams;
  // Payload key first (start 9, step 3), then the header key (start 5, step 7).
  ASSERT_EQ(BuildStatusDatagrams(*packet, 0x1234, Sequence({9, 3, 5, 7}),
                                 [&](const std::uint8_t* bytes, std::size_t length) {
                                   datagrams.emplace_back(bytes, bytes + length);
                                   return true;
                                 }),
            0);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_EQ(datagrams[0], expected);

  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  ASSERT_EQ(received->Decode(expected.data(), expected.size(), 0x1234), kStatusComplete);
  EXPECT_EQ(received->Type(), kStatusGeneralRequest);
  EXPECT_EQ(received->RequestId(), 0x1234);
  EXPECT_EQ(Bytes(received->Data(), received->Data() + received->DataLength()), data);
  EXPECT_EQ(received->Header().checksum, 0xD95F);
  EXPECT_EQ(received->Header().payloadKey, 0x0903);
}

TEST(StatusPacket, CreateSizesTheDataAreaByType) {
  for (int type : {0, 8, -1, 65536}) EXPECT_EQ(StatusPacket::Create(type), nullptr) << type;
  for (int type : {1, 2, 6, 7}) {
    std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Bytes(packet->Data(), packet->Data() + packet->DataLength()), Bytes(16, 0)) << type;
    EXPECT_FALSE(packet->DataShorterThan(16));
  }
  for (int type : {3, 4, 5}) {
    std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->DataLength(), 0u) << type;
    EXPECT_TRUE(packet->DataShorterThan(16));
    EXPECT_NE(packet->Data(), nullptr) << type;  // the scratch buffer
  }
  std::unique_ptr<StatusPacket> packet = StatusPacket::Create(kStatusReply);
  EXPECT_EQ(packet->SetDataLength(0x10000), -1);
  EXPECT_EQ(packet->SetDataLength(5), 0);
  EXPECT_EQ(Bytes(packet->Data(), packet->Data() + 5), Bytes(5, 0));
  std::unique_ptr<StatusPacket> request = StatusPacket::Create(kStatusGeneralRequest);
  EXPECT_EQ(request->SetDataLength(0), 0);
  EXPECT_EQ(request->DataLength(), 0u);
  EXPECT_NE(request->Data(), nullptr);
}

TEST(StatusPacket, FragmentsBySizeAndReassembles) {
  struct Case {
    std::size_t length;
    std::vector<std::size_t> datagramSizes;
  };
  std::vector<std::size_t> ninetySix(96, 512);
  for (const Case& c : {Case{0, {20}}, Case{1, {21}}, Case{492, {512}}, Case{493, {512, 21}},
                        Case{984, {512, 512}}, Case{47232, ninetySix}}) {
    SCOPED_TRACE(c.length);
    const Bytes data = PatternData(c.length);
    std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, data);
    const std::vector<Bytes> datagrams = Fragment(*packet, 0x0102);
    std::vector<std::size_t> sizes;
    for (const Bytes& d : datagrams) sizes.push_back(d.size());
    EXPECT_EQ(sizes, c.datagramSizes);

    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      const StatusHeader header = ReadHeader(datagrams[i]);
      EXPECT_EQ(header.reserved, 0);
      EXPECT_EQ(header.type, kStatusReply);
      EXPECT_EQ(header.requestId, 0x0102);
      EXPECT_EQ(header.totalLength, c.length);
      EXPECT_EQ(header.fragmentCount, datagrams.size());
      EXPECT_EQ(header.fragmentIndex, i);
      EXPECT_EQ(header.fragmentLength, datagrams[i].size() - 20);
      EXPECT_EQ(header.checksum, Crc16(data.data(), data.size()));
      EXPECT_NE(header.keyStep, 0);  // a drawn 0 becomes 69
      if (c.length == 0) {
        EXPECT_EQ(header.checksum, 0);
        EXPECT_EQ(header.payloadKey, 0);
      } else {
        EXPECT_NE(header.payloadKey & 0xFF, 0);  // a drawn 0 becomes 1
      }
    }
    // Fragment 0 draws its payload key (3, 0) before its header key (200, 0);
    // empty data draw only the header key. Drawn zero steps become 1 and 69.
    const StatusHeader first = ReadHeader(datagrams[0]);
    EXPECT_EQ(first.payloadKey, c.length == 0 ? 0 : 0x0301);
    EXPECT_EQ(first.keyStart, c.length == 0 ? 3 : 200);
    EXPECT_EQ(first.keyStep, 69);

    std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
    int result = -100;
    for (const Bytes& d : datagrams) result = received->Decode(d.data(), d.size(), 0x0102);
    ASSERT_EQ(result, kStatusComplete);
    EXPECT_EQ(Bytes(received->Data(), received->Data() + received->DataLength()), data);
    // The sender's own data stay plain.
    EXPECT_EQ(Bytes(packet->Data(), packet->Data() + packet->DataLength()), data);
  }
}

TEST(StatusPacket, PayloadCountRestartsInEveryFragmentAndWrapsAtSeventyTwo) {
  const Bytes data = PatternData(600);  // 492 + 108: both longer than 72
  std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, data);
  const std::vector<Bytes> datagrams = Fragment(*packet, 5);
  ASSERT_EQ(datagrams.size(), 2u);
  std::size_t offset = 0;
  for (const Bytes& d : datagrams) {
    const std::uint16_t key = ReadHeader(d).payloadKey;
    std::uint8_t s = static_cast<std::uint8_t>(key >> 8);
    const std::uint8_t t = static_cast<std::uint8_t>(key & 0xFF);
    for (std::size_t i = 0; i + kStatusHeaderSize < d.size(); ++i, s = std::uint8_t(s + t)) {
      const auto expected = std::uint8_t(data[offset + i] + kStatusPayloadTable[s] + i % 72);
      ASSERT_EQ(d[kStatusHeaderSize + i], expected) << "offset " << offset << " byte " << i;
    }
    offset += d.size() - kStatusHeaderSize;
  }
}

TEST(StatusPacket, MoreThanNinetySixFragmentsAreRefusedBeforeSending) {
  std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, PatternData(47233));
  int result = 0;
  EXPECT_TRUE(Fragment(*packet, 1, &result).empty());
  EXPECT_EQ(result, kStatusTooManyFragments);
}

TEST(StatusPacket, EmitFailureStopsAtOnce) {
  std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, PatternData(1000));
  int calls = 0;
  EXPECT_EQ(BuildStatusDatagrams(*packet, 1, Sequence({1}),
                                 [&](const std::uint8_t*, std::size_t) {
                                   ++calls;
                                   return false;
                                 }),
            kStatusSendFailed);
  EXPECT_EQ(calls, 1);
}

TEST(StatusPacket, OutOfOrderAndRepeatedFragmentsReassemble) {
  const Bytes data = PatternData(1200);  // three fragments
  std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, data);
  const std::vector<Bytes> d = Fragment(*packet, 77);
  ASSERT_EQ(d.size(), 3u);

  struct Step {
    int index;
    int result;
  };
  const std::vector<std::vector<Step>> orders = {
      {{2, kStatusFirstFragmentMissing},
       {1, kStatusFirstFragmentMissing},
       {1, kStatusDuplicateFragment},
       {0, kStatusComplete}},
      {{0, kStatusFragmentMissing},
       {0, kStatusDuplicateFragment},
       {2, kStatusFragmentMissing},
       {2, kStatusDuplicateFragment},
       {1, kStatusComplete}},
  };
  for (const std::vector<Step>& order : orders) {
    std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
    for (const Step& step : order) {
      EXPECT_EQ(received->Decode(d[step.index].data(), d[step.index].size(), 77), step.result)
          << "fragment " << step.index;
    }
    EXPECT_EQ(Bytes(received->Data(), received->Data() + received->DataLength()), data);
  }
}

TEST(StatusPacket, AnotherRequestIdIsIgnoredUnlessAnyIdIsExpected) {
  std::unique_ptr<StatusPacket> packet = PacketWith(kStatusReply, PatternData(30));
  const std::vector<Bytes> d = Fragment(*packet, 500);
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  EXPECT_EQ(received->Decode(d[0].data(), d[0].size(), 501), kStatusOtherRequestId);
  EXPECT_EQ(received->Decode(d[0].data(), d[0].size(), 500), kStatusComplete);
  std::unique_ptr<StatusPacket> any = StatusPacket::CreateReceiving();
  EXPECT_EQ(any->Decode(d[0].data(), d[0].size(), 0), kStatusComplete);
  EXPECT_EQ(any->RequestId(), 500);
}

TEST(StatusPacket, PayloadStepZeroIsTakenPlain) {
  const Bytes data = {'p', 'l', 'a', 'i', 'n', 0};
  StatusHeader header = OneFragmentHeader(data);
  header.payloadKey = 0x3700;  // start 0x37, step 0
  const Bytes datagram = Craft(header, data);
  EXPECT_EQ(Bytes(datagram.begin() + 20, datagram.end()), data);
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  ASSERT_EQ(received->Decode(datagram.data(), datagram.size(), 0), kStatusComplete);
  EXPECT_EQ(Bytes(received->Data(), received->Data() + received->DataLength()), data);
}

// Every result a single bad or odd datagram can cause, from a fresh packet.
TEST(StatusPacket, CraftedDatagramsReachTheirResultCodes) {
  const Bytes data = PatternData(10);
  const StatusHeader good = OneFragmentHeader(data);
  struct Case {
    const char* name;
    StatusHeader header;
    Bytes payload;
    int result;
    std::size_t cutTo = 0;  // 0: send the whole datagram
  };
  auto with = [&](auto change) {
    StatusHeader h = good;
    change(h);
    return h;
  };
  const std::vector<Case> cases = {
      {"valid", good, data, kStatusComplete},
      {"reserved word ignored", with([](StatusHeader& h) { h.reserved = 0xBEEF; }), data,
       kStatusComplete},
      {"total above 47232", with([](StatusHeader& h) { h.totalLength = 47233; }), data,
       kStatusTotalTooLong},
      {"fragment above 492", with([](StatusHeader& h) { h.fragmentLength = 493; }),
       PatternData(493), kStatusFragmentTooLong},
      {"count 0", with([](StatusHeader& h) { h.fragmentCount = 0; }), data,
       kStatusBadFragmentCount},
      {"count 97", with([](StatusHeader& h) { h.fragmentCount = 97; }), data,
       kStatusBadFragmentCount},
      {"index = count", with([](StatusHeader& h) { h.fragmentIndex = 1; }), data,
       kStatusBadFragmentIndex},
      {"wait for fragment 0", with([](StatusHeader& h) {
         h.fragmentCount = 2;
         h.fragmentIndex = 1;
       }),
       data, kStatusFirstFragmentMissing},
      {"wait for fragment 1", with([](StatusHeader& h) {
         h.totalLength = 20;
         h.fragmentCount = 2;
       }),
       data, kStatusFragmentMissing},
      {"checksum", with([](StatusHeader& h) { h.checksum ^= 1; }), data, kStatusChecksumMismatch},
      {"19 bytes", good, data, kStatusDatagramTooShort, 19},
      {"length differs", good, data, kStatusDatagramLengthDiffers, 29},
      {"empty later fragment",
       with([](StatusHeader& h) {
         h.fragmentCount = 2;
         h.fragmentIndex = 1;
         h.fragmentLength = 0;
       }),
       {},
       kStatusEmptyFragment},
      {"lengths do not add up", with([](StatusHeader& h) { h.totalLength = 11; }), data,
       kStatusLengthsDontAddUp},
  };
  for (const Case& c : cases) {
    Bytes datagram = Craft(c.header, c.payload);
    if (c.cutTo != 0) datagram.resize(c.cutTo);
    std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
    EXPECT_EQ(received->Decode(datagram.data(), datagram.size(), 0), c.result) << c.name;
  }

  Bytes zeroStep = Craft(good, data);
  zeroStep[1] = 0;
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  EXPECT_EQ(received->Decode(zeroStep.data(), zeroStep.size(), 0), kStatusZeroHeaderStep);
}

TEST(StatusPacket, FragmentsThatDisagreeOnLengthsFailOnceAllArrived) {
  // Fragment 0 claims 12 bytes in two fragments, but they carry 5 + 5.
  StatusHeader first = OneFragmentHeader(PatternData(12));
  first.fragmentCount = 2;
  first.fragmentLength = 5;
  StatusHeader second = first;
  second.fragmentIndex = 1;
  const Bytes a = Craft(first, PatternData(5));
  const Bytes b = Craft(second, PatternData(5));
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  EXPECT_EQ(received->Decode(a.data(), a.size(), 0), kStatusFragmentMissing);
  EXPECT_EQ(received->Decode(b.data(), b.size(), 0), kStatusLengthsDontAddUp);
}

// --- Sending over loopback --------------------------------------------------

class UdpSocket {
 public:
  explicit UdpSocket(const char* address = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(address);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    socklen_t length = sizeof(local);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~UdpSocket() { close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int Fd() const { return fd_; }
  std::uint16_t Port() const { return port_; }

  void SendTo(const UdpSocket& to, const Bytes& datagram) const {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(to.Port());
    ASSERT_EQ(sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&target),
                     sizeof(target)),
              static_cast<ssize_t>(datagram.size()));
  }

  // Every datagram already waiting, with its sender.
  std::vector<std::pair<Bytes, sockaddr_in>> Drain() const {
    std::vector<std::pair<Bytes, sockaddr_in>> all;
    for (;;) {
      Bytes buffer(2048);
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return all;
      buffer.resize(static_cast<std::size_t>(n));
      all.emplace_back(buffer, from);
    }
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

constexpr std::uint32_t kLoopback = 0x7F000001;

TEST(StatusSend, SendOnceDeliversEveryFragmentAndReportsFailures) {
  UdpSocket sender;
  UdpSocket receiver;
  const Bytes data = PatternData(1000);
  ASSERT_EQ(StatusSendOnce(sender.Fd(), PacketWith(kStatusReply, data), 0x0BAD, kLoopback,
                           receiver.Port()),
            kStatusSent);
  const auto datagrams = receiver.Drain();
  ASSERT_EQ(datagrams.size(), 3u);
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  int result = -100;
  for (const auto& [d, from] : datagrams) result = received->Decode(d.data(), d.size(), 0x0BAD);
  ASSERT_EQ(result, kStatusComplete);
  EXPECT_EQ(Bytes(received->Data(), received->Data() + received->DataLength()), data);

  EXPECT_EQ(StatusSendOnce(sender.Fd(), PacketWith(kStatusReply, PatternData(47233)), 1, kLoopback,
                           receiver.Port()),
            kStatusTooManyFragments);
  EXPECT_EQ(StatusSendOnce(-1, PacketWith(kStatusReply, data), 1, kLoopback, receiver.Port()),
            kStatusSendFailed);
  EXPECT_EQ(StatusSendOnce(sender.Fd(), nullptr, 1, kLoopback, receiver.Port()), kStatusSendFailed);
  EXPECT_TRUE(receiver.Drain().empty());
}

TEST(StatusSend, RepliesNeverGoToBroadcastMulticastAnyOrPortZero) {
  struct Case {
    std::uint32_t address;
    std::uint16_t port;
    bool allowed;
  };
  for (const Case& c :
       {Case{kLoopback, 3784, true}, Case{0x0A000001, 1, true}, Case{0xDFFFFFFF, 9, true},
        Case{0, 9, false}, Case{0xFFFFFFFF, 9, false}, Case{0xE0000001, 9, false},
        Case{0xEFFFFFFF, 9, false}, Case{kLoopback, 0, false}}) {
    EXPECT_EQ(StatusDestinationAllowed(c.address, c.port), c.allowed)
        << std::hex << c.address << ":" << std::dec << c.port;
  }
  UdpSocket sender;
  EXPECT_EQ(StatusSendText(sender.Fd(), kStatusReply, 1, "x", 0xFFFFFFFF, 9), kStatusSendFailed);
  EXPECT_EQ(StatusSendText(sender.Fd(), kStatusReply, 1, "x", kLoopback, 0), kStatusSendFailed);
}

TEST(StatusSend, SendTextCarriesTheTerminatingNul) {
  UdpSocket sender;
  UdpSocket receiver;
  ASSERT_EQ(
      StatusSendText(sender.Fd(), kStatusUpdateReport, 9, "PROD: x\n", kLoopback, receiver.Port()),
      kStatusSent);
  const auto datagrams = receiver.Drain();
  ASSERT_EQ(datagrams.size(), 1u);
  std::unique_ptr<StatusPacket> received = StatusPacket::CreateReceiving();
  ASSERT_EQ(received->Decode(datagrams[0].first.data(), datagrams[0].first.size(), 9),
            kStatusComplete);
  EXPECT_EQ(received->Type(), kStatusUpdateReport);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(received->Data()), received->DataLength()),
            std::string("PROD: x\n", 9));
  EXPECT_EQ(StatusSendText(sender.Fd(), kStatusReply, 9, std::string(47232, 'x'), kLoopback,
                           receiver.Port()),
            kStatusTooManyFragments);
  EXPECT_EQ(StatusSendText(sender.Fd(), 9, 9, "x", kLoopback, receiver.Port()), kStatusSendFailed);
}

TEST(StatusSend, DecodeStatusRequestGivesTypeIdDataAndSender) {
  std::unique_ptr<StatusPacket> packet = StatusPacket::Create(kStatusDetailRequest);
  std::memcpy(packet->Data(), "pw", 3);
  const std::vector<Bytes> d = Fragment(*packet, 0x7777);
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = htonl(0x7F000005);
  sender.sin_port = htons(4321);
  StatusRequest request;
  ASSERT_EQ(DecodeStatusRequest(d[0].data(), d[0].size(), sender, request), kStatusComplete);
  EXPECT_EQ(request.type, kStatusDetailRequest);
  EXPECT_EQ(request.requestId, 0x7777);
  EXPECT_EQ(request.data, Bytes({'p', 'w', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(request.address, 0x7F000005u);
  EXPECT_EQ(request.port, 4321);

  // A request that needs a second datagram is refused at either one.
  std::unique_ptr<StatusPacket> big = PacketWith(kStatusReply, PatternData(600));
  const std::vector<Bytes> two = Fragment(*big, 1);
  EXPECT_EQ(DecodeStatusRequest(two[0].data(), two[0].size(), sender, request),
            kStatusBadFragmentCount);
  EXPECT_EQ(DecodeStatusRequest(two[1].data(), two[1].size(), sender, request),
            kStatusBadFragmentCount);
}

// A flood of forged first fragments must not cost a full-size buffer each:
// the request decoder refuses them on the header alone.
TEST(StatusSend, DecodeStatusRequestRefusesHeadersClaimingMoreThanOneDatagram) {
  const Bytes data = PatternData(16);
  struct Case {
    const char* name;
    std::uint16_t count;
    std::uint16_t total;
    int result;
  };
  const std::vector<Case> cases = {
      {"96 fragments of the largest total", 96, 47232, kStatusBadFragmentCount},
      {"two fragments", 2, 16, kStatusBadFragmentCount},
      {"count 0", 0, 16, kStatusBadFragmentCount},
      {"one fragment claiming the largest total", 1, 47232, kStatusLengthsDontAddUp},
      {"one fragment claiming less", 1, 15, kStatusLengthsDontAddUp},
      {"one fragment, lengths agree", 1, 16, kStatusComplete},
  };
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  for (const Case& c : cases) {
    StatusHeader header = OneFragmentHeader(data);
    header.type = kStatusGeneralRequest;
    header.fragmentCount = c.count;
    header.totalLength = c.total;
    const Bytes datagram = Craft(header, data);
    StatusRequest request;
    EXPECT_EQ(DecodeStatusRequest(datagram.data(), datagram.size(), sender, request), c.result)
        << c.name;
  }
  StatusRequest request;
  EXPECT_EQ(DecodeStatusRequest(data.data(), 19, sender, request), kStatusDatagramTooShort);
}

// The exchange, with every answer queued before it starts: the injected
// random source fixes the request id of each attempt in advance.
class StatusExchangeTest : public ::testing::Test {
 protected:
  static constexpr std::uint16_t kFirstId = 0x1111;
  static constexpr std::uint16_t kSecondId = 0x2222;
  static constexpr std::uint16_t kThirdId = 0x3333;

  StatusExchangeTest() {
    // Per attempt: the request id, then payload and header keys of the one fragment.
    options_.random = Sequence({kFirstId, 1, 2, 3, 4, kSecondId, 5, 6, 7, 8, kThirdId, 1, 1, 1, 1});
    options_.waitMs = 150;
  }

  void Answer(const UdpSocket& from, std::uint16_t id, const Bytes& data, int type = kStatusReply) {
    std::unique_ptr<StatusPacket> reply = PacketWith(type, data);
    for (const Bytes& d : Fragment(*reply, id)) from.SendTo(client_, d);
  }

  std::unique_ptr<StatusPacket> Exchange(int attempts) {
    std::unique_ptr<StatusPacket> request = StatusPacket::Create(kStatusGeneralRequest);
    return StatusSendAndWait(client_.Fd(), kLoopback, server_.Port(), std::move(request), attempts,
                             options_);
  }

  // Request ids the server saw, in order.
  std::vector<std::uint16_t> RequestIds() {
    std::vector<std::uint16_t> ids;
    for (const auto& [d, from] : server_.Drain()) {
      std::unique_ptr<StatusPacket> request = StatusPacket::CreateReceiving();
      EXPECT_EQ(request->Decode(d.data(), d.size(), 0), kStatusComplete);
      EXPECT_EQ(request->Type(), kStatusGeneralRequest);
      ids.push_back(request->RequestId());
    }
    return ids;
  }

  UdpSocket client_;
  UdpSocket server_;
  UdpSocket stranger_{"127.0.0.2"};
  StatusExchangeOptions options_;
};

TEST_F(StatusExchangeTest, AnswerWithAnotherIdIsSkippedAndTheRightOneReturned) {
  const Bytes text = PatternData(1500);
  Answer(server_, 0x9999, PatternData(10));
  Answer(server_, kFirstId, text);
  std::unique_ptr<StatusPacket> answer = Exchange(3);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->RequestId(), kFirstId);
  EXPECT_EQ(Bytes(answer->Data(), answer->Data() + answer->DataLength()), text);
  EXPECT_EQ(RequestIds(), std::vector<std::uint16_t>({kFirstId}));
}

TEST_F(StatusExchangeTest, FourStraysAreToleratedTheFifthFailsTheAttempt) {
  for (int i = 0; i < 4; ++i) Answer(stranger_, kFirstId, PatternData(5));
  Answer(server_, kFirstId, PatternData(20));
  std::unique_ptr<StatusPacket> answer = Exchange(2);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->RequestId(), kFirstId);

  server_.Drain();
  options_.random = Sequence({kFirstId, 1, 2, 3, 4, kSecondId, 5, 6, 7, 8});
  for (int i = 0; i < 5; ++i) Answer(stranger_, kFirstId, PatternData(5));
  Answer(server_, kSecondId, PatternData(20));
  answer = Exchange(2);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->RequestId(), kSecondId);
  EXPECT_EQ(RequestIds(), std::vector<std::uint16_t>({kFirstId, kSecondId}));
}

TEST_F(StatusExchangeTest, BadDatagramSpoilsTheAttemptEvenWhenTheAnswerFollows) {
  struct Case {
    const char* name;
    Bytes bad;
  };
  Bytes zeroStep(30, 0);  // header step byte 0
  zeroStep[0] = 1;
  for (const Case& c : {Case{"step 0", zeroStep}, Case{"short", Bytes(12, 1)}}) {
    SCOPED_TRACE(c.name);
    options_.random = Sequence({kFirstId, 1, 2, 3, 4, kSecondId, 5, 6, 7, 8});
    server_.SendTo(client_, c.bad);
    Answer(server_, kFirstId, PatternData(20));
    Answer(server_, kSecondId, PatternData(30));
    std::unique_ptr<StatusPacket> answer = Exchange(3);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->RequestId(), kSecondId);
    EXPECT_EQ(answer->DataLength(), 30u);
    EXPECT_EQ(RequestIds(), std::vector<std::uint16_t>({kFirstId, kSecondId}));
  }
}

TEST_F(StatusExchangeTest, SilentTargetGivesNothingAfterEveryAttempt) {
  std::unique_ptr<StatusPacket> answer = Exchange(3);
  EXPECT_EQ(answer, nullptr);
  EXPECT_EQ(RequestIds(), std::vector<std::uint16_t>({kFirstId, kSecondId, kThirdId}));
}

TEST_F(StatusExchangeTest, RequestIdZeroIsNeverSent) {
  options_.random = Sequence({0x10000, 1, 2, 3, 4});  // low 16 bits are 0
  Answer(server_, 1, PatternData(3));
  ASSERT_NE(Exchange(1), nullptr);
  EXPECT_EQ(RequestIds(), std::vector<std::uint16_t>({1}));
}

TEST_F(StatusExchangeTest, AnswerOfAnotherTypeIsReturnedForTheCallerToJudge) {
  Answer(server_, kFirstId, PatternData(4), kStatusUpdateAnswer);
  std::unique_ptr<StatusPacket> answer = Exchange(1);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->Type(), kStatusUpdateAnswer);
}

}  // namespace
}  // namespace kestrune
