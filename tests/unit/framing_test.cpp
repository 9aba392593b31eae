#include "net/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "net/connection.h"
#include "net_test_peer.h"

namespace kestrune {
namespace {

using testing::Bytes;
using testing::CapturedLog;
using testing::PairedConnection;
using testing::Peer;

std::vector<std::uint8_t> Scrambled(StreamCipher& cipher, std::vector<std::uint8_t> bytes) {
  EXPECT_TRUE(cipher.Scramble(bytes.data(), bytes.data(), bytes.size()));
  return bytes;
}

// Moves a cipher past its first (fixed-key) message.
void SkipFirst(StreamCipher& cipher) {
  std::uint8_t dummy = 0;
  cipher.Scramble(&dummy, &dummy, 1);
}

TEST(FramingVectors, FixedKeyMessageAndWholeFrame) {
  std::vector<std::uint8_t> plain(32);
  for (int i = 0; i < 32; ++i) plain[i] = static_cast<std::uint8_t>(i);
  for (char c : std::string("Kestrune")) plain.push_back(static_cast<std::uint8_t>(c));
  const auto expected =
      Bytes({0xFA, 0xB1, 0xFE, 0x23, 0x30, 0xD2, 0x46, 0x67, 0xF4, 0x76, 0x42, 0x10, 0xC7, 0x14,
             0x39, 0x46, 0xE8, 0x5C, 0x7D, 0x0A, 0x8C, 0x58, 0x26, 0xDD, 0x2A, 0x4F, 0x5C, 0xE3,
             0x57, 0x78, 0x05, 0x87, 0x7E, 0x65, 0x29, 0x76, 0x98, 0xA7, 0x41, 0xAB});

  Message message(plain.size());
  std::memcpy(message.Data(), plain.data(), plain.size());
  StreamCipher out;
  std::vector<std::uint8_t> frame;
  ASSERT_TRUE(BuildFrame(message, out, frame));
  ASSERT_EQ(frame.size(), 42u);
  EXPECT_EQ(frame[0], 0x00);
  EXPECT_EQ(frame[1], 0x28);
  EXPECT_EQ(std::vector<std::uint8_t>(frame.begin() + 2, frame.end()), expected);
  // The message itself is not changed by framing.
  EXPECT_EQ(message.Data()[1], 0x01);

  std::vector<std::uint8_t> back = expected;
  StreamCipher in;
  ASSERT_TRUE(in.Descramble(back.data(), back.size()));
  EXPECT_EQ(back, plain);
}

TEST(FramingVectors, KeyStreamPositionsCarryAcrossMessages) {
  StreamCipher out;
  SkipFirst(out);
  const std::uint8_t key[] = {0x4B, 0x33, 0x79, 0x21};
  out.Install(key, sizeof key);
  EXPECT_EQ(Scrambled(out, Bytes({0x10, 0x20, 0x30})), Bytes({0x5B, 0x54, 0xAB}));
  EXPECT_EQ(out.Position(), 3u);
  EXPECT_EQ(Scrambled(out, Bytes({0x10, 0x20, 0x30})), Bytes({0x31, 0x6C, 0x65}));
  EXPECT_EQ(out.Position(), 2u);

  StreamCipher in;
  SkipFirst(in);
  in.Install(key, sizeof key);
  auto first = Bytes({0x5B, 0x54, 0xAB});
  auto second = Bytes({0x31, 0x6C, 0x65});
  ASSERT_TRUE(in.Descramble(first.data(), first.size()));
  ASSERT_TRUE(in.Descramble(second.data(), second.size()));
  EXPECT_EQ(first, Bytes({0x10, 0x20, 0x30}));
  EXPECT_EQ(second, Bytes({0x10, 0x20, 0x30}));
}

TEST(FramingVectors, HundredZerosWithSevenByteKey) {
  const auto expected = Bytes(
      {0x41, 0x43, 0x45, 0x47, 0x49, 0x4B, 0x4D, 0x48, 0x4A, 0x4C, 0x4E, 0x50, 0x52, 0x54, 0x4F,
       0x51, 0x53, 0x55, 0x57, 0x59, 0x5B, 0x56, 0x58, 0x5A, 0x5C, 0x5E, 0x60, 0x62, 0x5D, 0x5F,
       0x61, 0x63, 0x65, 0x67, 0x69, 0x64, 0x66, 0x68, 0x6A, 0x6C, 0x6E, 0x70, 0x6B, 0x6D, 0x6F,
       0x44, 0x46, 0x48, 0x4A, 0x45, 0x47, 0x49, 0x4B, 0x4D, 0x4F, 0x51, 0x4C, 0x4E, 0x50, 0x52,
       0x54, 0x56, 0x58, 0x53, 0x55, 0x57, 0x59, 0x5B, 0x5D, 0x5F, 0x5A, 0x5C, 0x5E, 0x60, 0x62,
       0x64, 0x66, 0x61, 0x63, 0x65, 0x67, 0x69, 0x6B, 0x6D, 0x68, 0x6A, 0x6C, 0x6E, 0x70, 0x72,
       0x47, 0x42, 0x44, 0x46, 0x48, 0x4A, 0x4C, 0x4E, 0x49, 0x4B});
  StreamCipher out;
  SkipFirst(out);
  const char* key = "ABCDEFG";
  out.Install(reinterpret_cast<const std::uint8_t*>(key), 7);
  EXPECT_EQ(Scrambled(out, std::vector<std::uint8_t>(100, 0)), expected);
}

TEST(FramingVectors, LaterMessageWithoutKeyIsRefused) {
  StreamCipher cipher;
  SkipFirst(cipher);
  auto bytes = Bytes({1, 2, 3});
  EXPECT_FALSE(cipher.Scramble(bytes.data(), bytes.data(), bytes.size()));
  EXPECT_FALSE(cipher.Descramble(bytes.data(), bytes.size()));
  EXPECT_EQ(bytes, Bytes({1, 2, 3}));
}

class FramingSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    connection = PairedConnection(7, peer, &listener);
    ASSERT_TRUE(connection);
  }
  void InstallKeys() {
    const std::uint8_t a[] = {'A', 'k', 'e', 'y', '1'};
    const std::uint8_t b[] = {'B', 'k', 'e', 'y', '2', '3'};
    connection->InstallSendKey(a, sizeof a);
    connection->InstallReceiveKey(b, sizeof b);
    peer->In().Install(a, sizeof a);
    peer->Out().Install(b, sizeof b);
  }
  std::unique_ptr<Message> ReceiveOnce() { return table.Receive(*connection); }

  CapturedLog log;
  ByteCounters listener;
  ConnectionTable table{log.clock, log.log};
  std::unique_ptr<Peer> peer;
  std::unique_ptr<Connection> connection;
};

TEST_F(FramingSocket, SplitHeaderAndByteByByteBodyGiveOneMessage) {
  auto message = CreateMessage(MSG_PING);
  message->SetU16(4, 0xBEEF);
  std::vector<std::uint8_t> frame;
  ASSERT_TRUE(BuildFrame(*message, peer->Out(), frame));

  peer->WriteBytes({frame[0]});
  EXPECT_EQ(ReceiveOnce(), nullptr);
  peer->WriteBytes({frame[1]});
  EXPECT_EQ(ReceiveOnce(), nullptr);
  std::unique_ptr<Message> got;
  int delivered = 0;
  for (std::size_t i = 2; i < frame.size(); ++i) {
    peer->WriteBytes({frame[i]});
    auto m = ReceiveOnce();
    if (m) {
      ++delivered;
      EXPECT_EQ(i, frame.size() - 1) << "delivered before the last byte";
      got = std::move(m);
    }
  }
  EXPECT_EQ(ReceiveOnce(), nullptr);
  ASSERT_EQ(delivered, 1);
  EXPECT_EQ(got->Length(), 12);
  EXPECT_EQ(got->Type(), MSG_PING);
  EXPECT_EQ(got->GetU16(4), 0xBEEF);
  EXPECT_EQ(connection->bytesReceived, frame.size());
  EXPECT_EQ(listener.received, frame.size());
  EXPECT_GE(connection->socket, 0);
}

TEST_F(FramingSocket, OneReceiveOfSeveralFramesGivesEachMessageAndReusesTheBuffer) {
  InstallKeys();
  std::vector<std::uint8_t> wire;
  for (std::uint16_t value : {1, 2, 3}) {
    auto message = CreateMessage(MSG_PING);
    message->SetU16(4, value);
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(BuildFrame(*message, peer->Out(), frame));
    wire.insert(wire.end(), frame.begin(), frame.end());
  }
  wire.push_back(0);  // the start of a fourth frame's header
  peer->WriteBytes(wire);
  auto first = ReceiveOnce();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetU16(4), 1);
  EXPECT_TRUE(connection->reader.Buffered());
  const std::uint8_t* buffer = first->Data();
  first->SetU16(100, 0xFFFF);  // a handler's scribble must not leak into the next message
  connection->reader.Recycle(std::move(first));
  auto second = ReceiveOnce();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Data(), buffer);
  EXPECT_EQ(second->GetU16(4), 2);
  EXPECT_EQ(second->GetU16(100), 0);
  auto third = ReceiveOnce();
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->GetU16(4), 3);
  EXPECT_EQ(ReceiveOnce(), nullptr);  // the partial header waits in the reader
  EXPECT_FALSE(connection->reader.Buffered());
  EXPECT_EQ(connection->bytesReceived, wire.size());
}

TEST_F(FramingSocket, LengthLimits) {
  struct Case {
    int length;
    bool accepted;
  };
  for (Case c :
       {Case{0, false}, Case{4097, false}, Case{0xFFFF, false}, Case{4096, true}, Case{1, true}}) {
    SCOPED_TRACE(c.length);
    SetUp();
    std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(c.length >> 8),
                                       static_cast<std::uint8_t>(c.length & 0xFF)};
    if (c.accepted) {
      std::vector<std::uint8_t> body(c.length, 0x5A);
      peer->Out().Scramble(body.data(), body.data(), body.size());
      frame.insert(frame.end(), body.begin(), body.end());
    }
    peer->WriteBytes(frame);
    std::unique_ptr<Message> got;
    for (int i = 0; i < 8 && !got && connection->socket >= 0; ++i) got = ReceiveOnce();
    if (c.accepted) {
      ASSERT_TRUE(got);
      EXPECT_EQ(got->Length(), c.length);
      EXPECT_EQ(got->Data()[c.length - 1], 0x5A);
      EXPECT_GE(connection->socket, 0);
    } else {
      EXPECT_FALSE(got);
      EXPECT_LT(connection->socket, 0);
      EXPECT_TRUE(connection->closing);
      EXPECT_TRUE(peer->SeesClose());
    }
  }
}

TEST_F(FramingSocket, FirstMessageEachWayUsesFixedKeyThenKeyStream) {
  // Keys installed before anything moved: the first message still uses the fixed key.
  InstallKeys();
  connection->loggedOn = true;
  for (int round = 0; round < 3; ++round) {
    auto out = CreateMessage(MSG_CHAT);
    out->SetU16(4, static_cast<std::uint16_t>(100 + round));
    WriteCountedString(*out, "hello there");
    peer->Send(*out);
    auto got = ReceiveOnce();
    ASSERT_TRUE(got) << round;
    EXPECT_EQ(std::memcmp(got->Data(), out->Data(), out->Length()), 0) << round;

    table.SendToClient(*connection, out->Clone());
    auto back = peer->Next();
    ASSERT_TRUE(back) << round;
    EXPECT_EQ(std::memcmp(back->Data(), out->Data(), out->Length()), 0) << round;
  }

  // Wire check of the second frame: the key stream from position 0.
  SetUp();
  InstallKeys();
  connection->loggedOn = true;
  auto first = CreateMessage(MSG_PING);
  table.SendToClient(*connection, first->Clone());
  table.SendToClient(*connection, first->Clone());
  std::uint8_t wire[64];
  ssize_t n = read(peer->Fd(), wire, sizeof wire);
  ASSERT_EQ(n, 28);
  StreamCipher fixedOnly;
  std::vector<std::uint8_t> expectFirst(first->Data(), first->Data() + 12);
  fixedOnly.Scramble(expectFirst.data(), expectFirst.data(), 12);
  EXPECT_EQ(std::vector<std::uint8_t>(wire + 2, wire + 14), expectFirst);
  const char* a = "Akey1";
  for (int i = 0; i < 12; ++i) {
    std::uint8_t expected = static_cast<std::uint8_t>(first->Data()[i] + a[i % 5] + i);
    EXPECT_EQ(wire[16 + i], expected) << i;
  }
}

TEST_F(FramingSocket, MessageNeedingAbsentReceiveKeyCloses) {
  auto m = CreateMessage(MSG_PING);
  peer->Send(*m);
  ASSERT_TRUE(ReceiveOnce());
  // The peer scrambles its second message with a key the server never got.
  const std::uint8_t key[] = {'x'};
  peer->Out().Install(key, 1);
  peer->Send(*m);
  EXPECT_EQ(ReceiveOnce(), nullptr);
  EXPECT_LT(connection->socket, 0);
}

TEST_F(FramingSocket, ClosingConnectionDiscardsWhatArrives) {
  connection->closing = true;
  auto m = CreateMessage(MSG_PING);
  peer->Send(*m);
  EXPECT_EQ(ReceiveOnce(), nullptr);
  EXPECT_GE(connection->socket, 0);
}

TEST_F(FramingSocket, PeerCloseClosesConnection) {
  peer.reset();
  EXPECT_EQ(ReceiveOnce(), nullptr);
  EXPECT_LT(connection->socket, 0);
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(FramingSocket, BeforeLoginOnlyServerTextInfoAndRefusalGo) {
  InstallKeys();
  table.SendToClient(*connection, CreateMessage(MSG_PING));
  table.SendServerText(connection.get(), "Welcome", 0, 4);
  table.SendToClient(*connection, CreateMessage(MSG_CHAT));
  table.SendToClient(*connection, CreateMessage(MSG_SERVER_INFO));
  table.SendRefusal(*connection, 12, 0, false, false);
  auto text = peer->Next();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Type(), MSG_SERVER_TEXT);
  EXPECT_EQ(text->Length(), 15 + 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text->Data() + 12)), "Welcome");
  EXPECT_EQ(text->GetU16(8), 4);
  auto info = peer->Next();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Type(), MSG_SERVER_INFO);
  auto refusal = peer->Next();
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->Type(), MSG_REFUSAL);
  EXPECT_EQ(refusal->GetU16(4), 12);
  EXPECT_EQ(peer->Next(50), nullptr);
  EXPECT_FALSE(connection->closing);
}

TEST_F(FramingSocket, NothingGoesBeforeMaySend) {
  connection->maySend = false;
  table.SendServerText(connection.get(), "x", 0, 0);
  EXPECT_EQ(peer->Next(50), nullptr);
  EXPECT_EQ(connection->bytesSent, 0u);
}

TEST_F(FramingSocket, EmptyMessageIsNeverFramed) {
  InstallKeys();
  connection->loggedOn = true;
  table.SendToClient(*connection, std::make_unique<Message>(0));
  EXPECT_EQ(connection->bytesSent, 0u);
  // The first message still goes out under the fixed key.
  table.SendToClient(*connection, CreateMessage(MSG_PING));
  auto m = peer->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->Type(), MSG_PING);
}

// Fills the socket so that later frames stay queued; returns false if it could not.
bool FillSocket(ConnectionTable& table, Connection& connection) {
  int small = 4096;
  setsockopt(connection.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  for (int i = 0; i < 10000 && connection.sendQueue.Empty(); ++i) {
    auto m = CreateMessage(MSG_CHAT);
    m->ReserveBytes(4000);
    table.SendToClient(connection, std::move(m));
  }
  return !connection.sendQueue.Empty() && connection.socket >= 0;
}

TEST_F(FramingSocket, QueueLimitDropsAndClosesAtExtraBuffer) {
  InstallKeys();
  connection->loggedOn = true;
  // Frames of 4098 bytes (4096 message bytes and the length).
  auto big = [] {
    auto m = CreateMessage(MSG_CHAT);
    m->ReserveBytes(4096 - m->Length());
    return m;
  };
  ASSERT_TRUE(FillSocket(table, *connection));
  const std::size_t queued = connection->sendQueue.Queued();

  // One byte below the limit: queued, nothing lost.
  table.SetOptions({static_cast<std::uint32_t>(queued + 4098 + 1), false});
  table.SendToClient(*connection, big());
  ASSERT_GE(connection->socket, 0);
  EXPECT_EQ(connection->sendQueue.Queued(), queued + 4098);

  // Exactly reaching the limit: dropped and closed.
  table.SetOptions({static_cast<std::uint32_t>(queued + 4098 + 4098), false});
  table.SendToClient(*connection, big());
  EXPECT_LT(connection->socket, 0);
  EXPECT_TRUE(connection->sendQueue.Empty());
}

TEST_F(FramingSocket, QueuedFramesDrainInOrder) {
  InstallKeys();
  connection->loggedOn = true;
  ASSERT_TRUE(FillSocket(table, *connection));
  std::uint64_t before = connection->bytesSent;
  for (std::uint16_t i = 0; i < 20; ++i) {
    auto m = CreateMessage(MSG_PING);
    m->SetU16(4, i);
    table.SendToClient(*connection, std::move(m));
  }
  EXPECT_TRUE(connection->HasQueuedOutput());
  // Read everything on the peer while flushing; the pings arrive in order after the fillers.
  std::vector<std::uint16_t> pings;
  for (int spins = 0; spins < 2000 && pings.size() < 20; ++spins) {
    table.Flush(*connection);
    auto m = peer->Next(20);
    if (m && m->Type() == MSG_PING) pings.push_back(m->GetU16(4));
  }
  ASSERT_EQ(pings.size(), 20u);
  for (std::uint16_t i = 0; i < 20; ++i) EXPECT_EQ(pings[i], i);
  EXPECT_FALSE(connection->HasQueuedOutput());
  EXPECT_GT(connection->bytesSent, before);
  EXPECT_EQ(listener.sent, connection->bytesSent);
}

TEST(FrameReaderFeed, TwoFramesInOneBufferAndBadLength) {
  StreamCipher out;
  StreamCipher in;
  auto a = CreateMessage(MSG_PING);
  a->SetU16(4, 1);
  auto b = CreateMessage(MSG_PING);
  b->SetU16(4, 2);
  std::vector<std::uint8_t> fa, fb;
  BuildFrame(*a, out, fa);
  const std::uint8_t key[] = {9, 8, 7};
  out.Install(key, 3);
  in.Install(key, 3);
  BuildFrame(*b, out, fb);
  fa.insert(fa.end(), fb.begin(), fb.end());
  fa.push_back(0);
  fa.push_back(0);

  FrameReader reader;
  std::size_t used = 0;
  std::unique_ptr<Message> got;
  ASSERT_EQ(reader.Feed(fa.data(), fa.size(), used, in, got), ReadStatus::kMessage);
  EXPECT_EQ(got->GetU16(4), 1);
  ASSERT_EQ(reader.Feed(fa.data(), fa.size(), used, in, got), ReadStatus::kMessage);
  EXPECT_EQ(got->GetU16(4), 2);
  EXPECT_EQ(reader.Feed(fa.data(), fa.size(), used, in, got), ReadStatus::kBadLength);
}

// The limits again, in memory and one byte at a time: the header alone
// decides, before any body byte arrives.
TEST(FrameReaderFeed, LengthFieldLimitsByteByByte) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{4095},
                                   std::size_t{4096}, std::size_t{4097}, std::size_t{0x8000}}) {
    SCOPED_TRACE(length);
    const bool accepted = length >= 1 && length <= Message::kMaxLength;
    StreamCipher in;
    StreamCipher out;
    const std::uint8_t key[] = {3, 1, 4, 1, 5};
    in.Install(key, sizeof key);
    out.Install(key, sizeof key);
    std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(length >> 8),
                                       static_cast<std::uint8_t>(length & 0xFF)};
    if (accepted) frame.resize(2 + length, 0x33);
    FrameReader reader;
    std::unique_ptr<Message> got;
    ReadStatus status = ReadStatus::kWaiting;
    for (std::size_t at = 0; at < frame.size() && status == ReadStatus::kWaiting; ++at) {
      std::size_t used = 0;
      status = reader.Feed(frame.data() + at, 1, used, in, got);
      if (at == 1 && !accepted) break;
    }
    EXPECT_EQ(status, accepted ? ReadStatus::kMessage : ReadStatus::kBadLength);
    if (accepted) {
      EXPECT_EQ(got->Length(), length);
    }
  }
}

// Many frames of random sizes, cut at random points: every message arrives
// once, whole and in order, whatever the split.
TEST(FrameReaderFeed, AnySplitOfAStreamGivesEveryMessageInOrder) {
  std::srand(4242);
  StreamCipher out;
  StreamCipher in;
  const std::uint8_t key[] = {'r', 'a', 'n', 'd', 'o', 'm', 'K'};
  std::vector<std::uint8_t> stream;
  std::vector<std::vector<std::uint8_t>> sent;
  for (int i = 0; i < 200; ++i) {
    Message m(1 + std::rand() % 4096);
    for (std::size_t j = 0; j < m.Length(); ++j)
      m.Data()[j] = static_cast<std::uint8_t>(std::rand());
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(BuildFrame(m, out, frame));
    if (i == 0) {
      out.Install(key, sizeof key);
      in.Install(key, sizeof key);
    }
    stream.insert(stream.end(), frame.begin(), frame.end());
    sent.emplace_back(m.Data(), m.Data() + m.Length());
  }
  FrameReader reader;
  std::size_t received = 0;
  std::size_t offset = 0;
  while (offset < stream.size()) {
    std::size_t chunk = std::min<std::size_t>(1 + std::rand() % 5000, stream.size() - offset);
    std::size_t used = 0;
    while (used < chunk) {
      std::unique_ptr<Message> got;
      ReadStatus status = reader.Feed(stream.data() + offset, chunk, used, in, got);
      if (status == ReadStatus::kMessage) {
        ASSERT_LT(received, sent.size());
        ASSERT_EQ(std::vector<std::uint8_t>(got->Data(), got->Data() + got->Length()),
                  sent[received])
            << received;
        ++received;
      } else {
        ASSERT_EQ(status, ReadStatus::kWaiting);
      }
    }
    offset += chunk;
  }
  EXPECT_EQ(received, sent.size());
}

}  // namespace
}  // namespace kestrune
