#include "status/status_responder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "net/connection.h"
#include "store/server_properties.h"
#include "util/clock.h"

namespace kestrune {
namespace {

constexpr std::uint32_t kSender = 0x7F000002;  // 127.0.0.2
constexpr std::uint16_t kSenderPort = 40000;

struct SentReply {
  int socket;
  std::uint16_t requestId;
  std::string text;
  std::uint32_t address;
  std::uint16_t port;
};

class ResponderTest : public ::testing::Test {
 protected:
  ResponderTest() {
    log.SetDaemon(true);
    settings.name = "Srv";
    settings.phonetic = "Es Are Vee";
    settings.auth = 1;
    properties.comment = "Hi, all";
  }

  StatusResponder& Responder() {
    if (!responder) {
      responder = std::make_unique<StatusResponder>(
          StatusResponderContext{table, settings, properties, clock, idOffset, startTime, "3.0.2",
                                 [this] { return channels; },
                                 [this](const Connection& c) { return visible[c.id % 16]; }},
          [this](int socket, std::uint16_t id, std::string_view text, std::uint32_t address,
                 std::uint16_t port) {
            sent.push_back({socket, id, std::string(text), address, port});
            return 0;
          });
    }
    return *responder;
  }

  Connection& AddClient(std::uint16_t id, const std::string& name, std::uint16_t channel,
                        bool visibleName = true) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->loggedOn = true;
    c->name = name;
    c->channel = channel;
    c->pingTime = 25;
    c->connectTime = clock.NowSeconds() - 10;
    visible[id % 16] = visibleName ? 1 : 0;
    Connection* raw = c.get();
    EXPECT_EQ(table.Add(std::move(c), false), 0);
    return *raw;
  }
  Connection& AddPhantom(std::uint16_t id, std::uint16_t owner, const std::string& name,
                         std::uint16_t channel) {
    auto c = std::make_unique<Connection>(nullptr, id);
    c->phantomOwner = owner;
    c->name = name;
    c->channel = channel;
    c->pingTime = 77;  // a phantom's ping is never shown
    c->connectTime = clock.NowSeconds() - 3;
    visible[id % 16] = 1;
    Connection* raw = c.get();
    EXPECT_EQ(table.Add(std::move(c), true), 0);
    return *raw;
  }

  StatusRequest Request(int type, std::uint32_t address = kSender,
                        std::uint16_t port = kSenderPort) {
    StatusRequest request;
    request.type = static_cast<std::uint16_t>(type);
    request.requestId = 0x5151;
    request.data.assign(kStatusRequestDataLength, 0);
    request.address = address;
    request.port = port;
    return request;
  }

  FakeClock clock{90000, 1700000000};
  Log log{clock};
  ConnectionTable table{clock, log};
  ServerSettings settings;
  ServerProperties properties;
  int idOffset = 100;
  std::time_t startTime = 1700000000 - 42;
  std::vector<StatusChannel> channels;
  std::uint16_t visible[16] = {};
  std::vector<SentReply> sent;
  std::unique_ptr<StatusResponder> responder;
};

const char kHead[] =
    "NAME: Srv\n"
    "PHONETIC: Es Are Vee\n"
    "COMMENT: Hi%2C all\n"
    "AUTH: 1\n"
    "MAXCLIENTS: 8\n"
    "VOICECODEC: 0,GSM 6.10\n"
    "VOICEFORMAT: 0,8 KHz%2C 16 bit\n"
    "UPTIME: 42\n"
    "PLATFORM: NetBSD-i386\n"
    "VERSION: 3.0.2\n";

// A top-level channel with a sub-channel, names and comments that need
// escaping, a client in the lobby, an administrator, a hidden name and a phantom.
class PopulatedTest : public ResponderTest {
 protected:
  PopulatedTest() {
    channels = {{5, 0, 0, "Main", "Talk, here"}, {9, 5, 2, "a=b,c", "100%"}};
    AddClient(1, "Ann", 0).comment = "away";
    Connection& rex = AddClient(2, "Rex, Jr=1", 9);
    rex.administrator = true;
    rex.comment = "x,y";
    AddClient(3, "Secret", 5, false).comment = "never shown";
    AddPhantom(4, 2, "Rex, Jr=1", 5).comment = "ghost";
    // Still in the handshake: neither counted nor listed.
    auto pending = std::make_unique<Connection>(nullptr, 6);
    EXPECT_EQ(table.Add(std::move(pending), false), 0);
  }
};

TEST_F(PopulatedTest, GeneralReplyIsTheTenLinesAndTheClientCountOnly) {
  EXPECT_EQ(Responder().TextReply(false), std::string(kHead) + "CLIENTCOUNT: 4\n");
}

TEST_F(PopulatedTest, DetailReplyListsChannelsAndClientsWithOffsetIdsAndEscapedTexts) {
  EXPECT_EQ(Responder().TextReply(true),
            std::string(kHead) +
                "CHANNELCOUNT: 2\n"
                "CHANNELFIELDS: CID,PID,PROT,NAME,COMM\n"
                "CHANNEL: CID=105,PID=0,PROT=0,NAME=Main,COMM=Talk%2C here\n"
                "CHANNEL: CID=109,PID=105,PROT=2,NAME=a%3Db%2Cc,COMM=100%25\n"
                "CLIENTCOUNT: 4\n"
                "CLIENTFIELDS: ADMIN,CID,PHAN,PING,SEC,NAME,COMM\n"
                "CLIENT: ADMIN=0,CID=0,PHAN=0,PING=25,SEC=10,NAME=Ann,COMM=away\n"
                "CLIENT: ADMIN=1,CID=109,PHAN=0,PING=25,SEC=10,NAME=Rex%2C Jr%3D1,COMM=x%2Cy\n"
                "CLIENT: ADMIN=0,CID=105,PHAN=0,PING=25,SEC=10,NAME=XXXXXXXX\n"
                "CLIENT: ADMIN=0,CID=105,PHAN=1,PING=0,SEC=3,NAME=Rex%2C Jr%3D1,COMM=ghost\n");
}

TEST_F(PopulatedTest, CompactReplyCarriesTheSameValuesUnderNumberedTags) {
  EXPECT_EQ(Responder().CompactReply(),
            "00Srv\n"
            "01Es Are Vee\n"
            "02Hi%2C all\n"
            "031\n"
            "048\n"
            "050,GSM 6.10\n"
            "060,8 KHz%2C 16 bit\n"
            "0742\n"
            "08NetBSD-i386\n"
            "093.0.2\n"
            "102\n"
            "1100105,010,020,03Main,04Talk%2C here\n"
            "1100109,01105,022,03a%3Db%2Cc,04100%25\n"
            "124\n"
            "13010,020,030,0425,0510,06Ann,07away\n"
            "13011,02109,030,0425,0510,06Rex%2C Jr%3D1,07x%2Cy\n"
            "13010,02105,030,0425,0510,06XXXXXXXX\n"
            "13010,02105,031,040,053,06Rex%2C Jr%3D1,07ghost\n");
}

// Each status switch hides what it names and nothing else.
TEST_F(PopulatedTest, StatusSwitchesHideWhatTheyName) {
  struct Case {
    const char* name;
    int ServerProperties::*flag;
    std::vector<std::string> gone;     // in the detail or compact reply
    std::vector<std::string> present;  // still there
  };
  const std::vector<Case> cases = {
      {"StatusServerComment",
       &ServerProperties::statusServerComment,
       {"COMMENT: ", "\n02Hi"},
       {"CHANNEL: ", "COMM=away", "\n1100105"}},
      {"StatusChanNames",
       &ServerProperties::statusChanNames,
       {"CHANNELCOUNT", "CHANNELFIELDS", "CHANNEL: ", "\n102\n", "\n1100"},
       {"COMMENT: ", "CLIENT: ", "\n124\n"}},
      {"StatusChanComments",
       &ServerProperties::statusChanComments,
       {"PROT,NAME,COMM", "COMM=Talk", ",04Talk"},
       {"CHANNEL: CID=105,PID=0,PROT=0,NAME=Main\n", "\n1100105,010,020,03Main\n", "COMM=away"}},
      {"StatusUserNames",
       &ServerProperties::statusUserNames,
       {"NAME=Ann", "NAME=Rex", "COMM=away", "COMM=ghost", ",06Ann", ",07"},
       {"CLIENT: ADMIN=0,CID=0,PHAN=0,PING=25,SEC=10,NAME=XXXXXXXX\n", "COMM=Talk"}},
      {"StatusUserComments",
       &ServerProperties::statusUserComments,
       {"SEC,NAME,COMM", "COMM=away", "COMM=x", ",07"},
       {"NAME=Ann\n", ",06Ann\n", "COMM=Talk"}},
  };
  for (const Case& c : cases) {
    properties = ServerProperties{};
    properties.comment = "Hi, all";
    properties.*c.flag = 0;
    const std::string both = Responder().TextReply(true) + Responder().CompactReply();
    for (const std::string& text : c.gone) {
      EXPECT_EQ(both.find(text), std::string::npos) << c.name << ": " << text;
    }
    for (const std::string& text : c.present) {
      EXPECT_NE(both.find(text), std::string::npos) << c.name << ": " << text;
    }
  }
}

TEST_F(ResponderTest, DetailReplyOfAnEmptyServerHasCountsButNoFieldLines) {
  EXPECT_EQ(Responder().TextReply(true), std::string(kHead) + "CHANNELCOUNT: 0\nCLIENTCOUNT: 0\n");
  const std::string compact = Responder().CompactReply();
  EXPECT_EQ(compact.substr(compact.find("\n09")), "\n093.0.2\n100\n120\n");
}

TEST_F(PopulatedTest, RequestTypesGetTheirReplyWithTheRequestIdAndSender) {
  struct Case {
    int type;
    std::string text;  // empty: no answer
  };
  const std::vector<Case> cases = {
      {kStatusGeneralRequest, Responder().TextReply(false)},
      {kStatusDetailRequest, Responder().TextReply(true)},
      {kStatusCompactRequest, Responder().CompactReply()},
      {kStatusReply, ""},
      {kStatusUpdateReport, ""},
      {kStatusUpdateAnswer, ""},
      {kStatusReserved, ""},
      {0, ""},
  };
  for (const Case& c : cases) {
    sent.clear();
    clock.SetMs(clock.NowMs() + 1000);  // out of the rate window; same uptime
    Responder().Answer(Request(c.type), 9);
    if (c.text.empty()) {
      EXPECT_TRUE(sent.empty()) << c.type;
      continue;
    }
    ASSERT_EQ(sent.size(), 1u) << c.type;
    EXPECT_EQ(sent[0].socket, 9);
    EXPECT_EQ(sent[0].requestId, 0x5151);
    EXPECT_EQ(sent[0].text, c.text);
    EXPECT_EQ(sent[0].address, kSender);
    EXPECT_EQ(sent[0].port, kSenderPort);
  }
}

TEST_F(ResponderTest, RequestWithFewerThanSixteenDataBytesGetsNoAnswer) {
  StatusRequest request = Request(kStatusDetailRequest);
  request.data.resize(15);
  Responder().Answer(request, 3);
  request.data.clear();
  clock.AdvanceMs(200);
  Responder().Answer(request, 3);
  EXPECT_TRUE(sent.empty());
  // Content is not checked: any 16 bytes will do.
  request.data.assign(16, 'x');
  clock.AdvanceMs(200);
  Responder().Answer(request, 3);
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(ResponderTest, OneAddressIsAnsweredOncePerHundredMilliseconds) {
  struct Step {
    std::uint32_t atMs;  // from the first request
    std::uint32_t address;
    bool answered;
  };
  const std::vector<Step> steps = {
      {0, kSender, true},       {50, kSender, false},  {100, kSender, false},
      {100, kSender + 1, true},  // another address has its own entry
      {101, kSender, true},     {150, kSender, false}, {250, kSender, true},
  };
  const std::uint32_t start = clock.NowMs();
  for (const Step& step : steps) {
    clock.SetMs(start + step.atMs);
    sent.clear();
    Responder().Answer(Request(kStatusGeneralRequest, step.address), 3);
    EXPECT_EQ(sent.size(), step.answered ? 1u : 0u) << "at " << step.atMs;
  }
  // A clock that went back counts the entry from now.
  clock.SetMs(start + 100);
  sent.clear();
  Responder().Answer(Request(kStatusGeneralRequest), 3);
  EXPECT_TRUE(sent.empty());
  clock.SetMs(start + 201);
  Responder().Answer(Request(kStatusGeneralRequest), 3);
  EXPECT_EQ(sent.size(), 1u);
}

TEST(StatusRateTable, TheTwoHundredFiftySeventhRecentAddressIsRefusedUntilAnEntryAges) {
  StatusRateTable rates;
  const std::uint32_t base = 0x0A000001;
  // Entries 0 and 1 at 5000, the other 254 at 5050.
  for (std::uint32_t i = 0; i < StatusRateTable::kEntries; ++i) {
    ASSERT_TRUE(rates.Admit(base + i, i < 2 ? 5000 : 5050)) << i;
  }
  EXPECT_FALSE(rates.Admit(base + 256, 5100));  // exactly 100 ms is not old enough
  EXPECT_TRUE(rates.Admit(base + 256, 5101));   // takes the first aged entry
  EXPECT_TRUE(rates.Admit(base + 1, 5101));     // an aged entry still answers its own address
  EXPECT_FALSE(rates.Admit(base + 257, 5101));  // no room left
  EXPECT_FALSE(rates.Admit(base, 5101));        // lost its entry to the newcomer
  EXPECT_TRUE(rates.Admit(base, 5151));         // the 5050 entries have aged
}

TEST_F(ResponderTest, RepliesNeverGoToUnusableDestinations) {
  struct Case {
    std::uint32_t address;
    std::uint16_t port;
  };
  const std::vector<Case> cases = {
      {0, kSenderPort},
      {0xFFFFFFFFu, kSenderPort},
      {0xE0000001u, kSenderPort},
      {0xEFFFFFFFu, kSenderPort},
      {kSender, 0},
  };
  for (const Case& c : cases) {
    Responder().Answer(Request(kStatusGeneralRequest, c.address, c.port), 3);
    Responder().Answer(Request(kStatusCompactRequest, c.address, c.port), 3);
  }
  EXPECT_TRUE(sent.empty());
  // The edges of the multicast block are ordinary addresses.
  Responder().Answer(Request(kStatusGeneralRequest, 0xDFFFFFFFu), 3);
  Responder().Answer(Request(kStatusGeneralRequest, 0xF0000000u), 3);
  EXPECT_EQ(sent.size(), 2u);
}

// Channel texts sized so that the detail reply takes `bytes` of data.
std::vector<StatusChannel> ChannelsFilling(std::size_t bytes) {
  std::vector<StatusChannel> list;
  std::size_t total = 0;
  for (std::uint16_t id = 1; total < bytes; ++id) {
    StatusChannel channel{id, 0, 0, std::string(200, 'n'), std::string(200, 'c')};
    total += 450;
    list.push_back(channel);
  }
  return list;
}

TEST_F(ResponderTest, RepliesShareSixtyFiveThousandFiveHundredThirtySixBytesPerSecond) {
  channels = ChannelsFilling(9000);
  const std::size_t wire = StatusWireBytes(Responder().TextReply(true).size() + 1);
  ASSERT_GT(wire, 9000u);
  const std::size_t fit = StatusByteBudget::kBytesPerSecond / wire;
  clock.SetMs(7000);  // the start of a second
  std::uint32_t address = 0x0A000001;
  for (std::size_t i = 0; i < fit + 3; ++i) {
    Responder().Answer(Request(kStatusDetailRequest, address++), 3);
  }
  EXPECT_EQ(sent.size(), fit);
  std::size_t bytes = 0;
  for (const SentReply& reply : sent) bytes += StatusWireBytes(reply.text.size() + 1);
  EXPECT_LE(bytes, StatusByteBudget::kBytesPerSecond);
  // The budget is per whole second of the clock: 7999 still counts as 7.
  clock.SetMs(7999);
  Responder().Answer(Request(kStatusDetailRequest, address++), 3);
  EXPECT_EQ(sent.size(), fit);
  clock.SetMs(8000);
  Responder().Answer(Request(kStatusDetailRequest, address++), 3);
  EXPECT_EQ(sent.size(), fit + 1);
}

TEST(StatusByteBudget, CountsWholeDatagramsAndRefusesWhatWouldPassTheLimit) {
  EXPECT_EQ(StatusWireBytes(1), 21u);
  EXPECT_EQ(StatusWireBytes(492), 512u);
  EXPECT_EQ(StatusWireBytes(493), 533u);
  StatusByteBudget budget;
  EXPECT_TRUE(budget.Take(65536 - 10, 1000));
  EXPECT_FALSE(budget.Take(11, 1999));
  EXPECT_TRUE(budget.Take(10, 1999));
  EXPECT_FALSE(budget.Take(1, 1999));
  EXPECT_TRUE(budget.Take(65536, 2000));
  EXPECT_FALSE(budget.Take(65537, 3000));
}

TEST_F(ResponderTest, ReplyLongerThanAStatusPacketCanCarryIsDropped) {
  channels = ChannelsFilling(kStatusMaxDataLength + 500);
  ASSERT_GT(Responder().TextReply(true).size() + 1, kStatusMaxDataLength);
  Responder().Answer(Request(kStatusDetailRequest), 3);
  EXPECT_TRUE(sent.empty());
  // The general reply of the same server still goes out.
  clock.AdvanceMs(200);
  Responder().Answer(Request(kStatusGeneralRequest), 3);
  EXPECT_EQ(sent.size(), 1u);
}

}  // namespace
}  // namespace kestrune
