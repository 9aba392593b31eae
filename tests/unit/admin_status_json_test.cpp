#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/status_json.h"
#include "status/status_packet.h"
#include "unit/support/json_reader.h"
#include "util/text.h"

namespace kestrune {
namespace {

using test::Json;
using test::JsonReader;

// A detail reply as the responder writes it: escaped names (a comma, an
// equals sign, a percent, a Latin-1 byte), a UTF-8 name, an unnamed client.
const std::string kReply =
    "NAME: Ops %22Room%22 \\ 1\n"
    "PHONETIC: ops\n"
    "COMMENT: a%2Cb%3Dc %25 done\n"
    "AUTH: 1\n"
    "MAXCLIENTS: 8\n"
    "VOICECODEC: 0,GSM 6.10\n"
    "VOICEFORMAT: 1,11 KHz%2C 16 bit\n"
    "UPTIME: 4242\n"
    "PLATFORM: NetBSD-i386\n"
    "VERSION: 3.0.2\n"
    "CHANNELCOUNT: 2\n"
    "CHANNELFIELDS: CID,PID,PROT,NAME,COMM\n"
    "CHANNEL: CID=301,PID=0,PROT=1,NAME=Top%2C1,COMM=tab%09here\n"
    "CHANNEL: CID=305,PID=301,PROT=0,NAME=Caf%E9,COMM=\n"
    "CLIENTCOUNT: 2\n"
    "CLIENTFIELDS: ADMIN,CID,PHAN,PING,SEC,NAME,COMM\n"
    "CLIENT: ADMIN=1,CID=305,PHAN=0,PING=12,SEC=77,NAME=J%C3%BCrgen,COMM=hi\n"
    "CLIENT: ADMIN=0,CID=0,PHAN=1,PING=0,SEC=5,NAME=XXXXXXXX\n";

// The reply carried through the status codec, as the tool receives it.
std::string Received(const std::string& text) {
  auto packet = StatusPacket::Create(kStatusReply);
  EXPECT_EQ(packet->SetDataLength(text.size() + 1), 0);
  std::copy(text.begin(), text.end(), packet->Data());
  auto receiving = StatusPacket::CreateReceiving();
  int decoded = -99;
  int seed = 7;
  EXPECT_EQ(BuildStatusDatagrams(*packet, 0x4321, [&seed] { return seed += 13; },
                                 [&](const std::uint8_t* bytes, std::size_t length) {
                                   std::vector<std::uint8_t> copy(bytes, bytes + length);
                                   decoded = receiving->Decode(copy.data(), copy.size(), 0x4321);
                                   return true;
                                 }),
            0);
  EXPECT_EQ(decoded, 0);
  const std::string data(reinterpret_cast<const char*>(receiving->Data()), receiving->DataLength());
  return data.substr(0, data.find('\0'));
}

std::string Decoded(std::string value) {
  UnescapeText(value);
  return value;
}

// The JSON value as the text reply would carry it once decoded.
std::string Scalar(const Json& value) {
  return value.kind == Json::Kind::kString ? value.text : value.text;
}

// Checks that every field of `text` (one CHANNEL or CLIENT record) is in `object`.
void ExpectRecord(const std::string& text, const Json& object, const std::string& where) {
  ASSERT_EQ(object.kind, Json::Kind::kObject) << where;
  std::size_t start = 0;
  std::size_t fields = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string piece = text.substr(start, comma - start);
    const std::size_t equals = piece.find('=');
    const Json* value = object.Get(piece.substr(0, equals));
    ASSERT_NE(value, nullptr) << where << " " << piece;
    EXPECT_EQ(Scalar(*value), Decoded(piece.substr(equals + 1))) << where << " " << piece;
    ++fields;
    start = comma + 1;
  }
  EXPECT_EQ(object.members.size(), fields) << where;
}

TEST(AdminStatusJson, BothRenderingsOfOneReceivedReplyHoldTheSameThings) {
  const std::string text = Received(kReply);
  ASSERT_EQ(text, kReply);
  const auto json = JsonReader::Parse(StatusReplyJson(text));
  ASSERT_TRUE(json) << StatusReplyJson(text);
  const Json* server = json->Get("server");
  const Json* channels = json->Get("channels");
  const Json* clients = json->Get("clients");
  ASSERT_TRUE(server && channels && clients);

  // Walk the text line by line; every line has its place in the JSON.
  std::size_t channel = 0;
  std::size_t client = 0;
  std::size_t serverKeys = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::string key = line.substr(0, line.find(": "));
    const std::string value = line.substr(line.find(": ") + 2);
    if (key == "CHANNEL") {
      ASSERT_LT(channel, channels->items.size());
      ExpectRecord(value, channels->items[channel], line);
      ++channel;
    } else if (key == "CLIENT") {
      ASSERT_LT(client, clients->items.size());
      ExpectRecord(value, clients->items[client], line);
      ++client;
    } else if (key == "CHANNELFIELDS" || key == "CLIENTFIELDS") {
      const Json* names = json->Get(key == "CHANNELFIELDS" ? "channelFields" : "clientFields");
      ASSERT_TRUE(names);
      std::string joined;
      for (const Json& name : names->items) joined += (joined.empty() ? "" : ",") + name.text;
      EXPECT_EQ(joined, value);
    } else {
      const Json* field = server->Get(key);
      ASSERT_NE(field, nullptr) << line;
      EXPECT_EQ(Scalar(*field), Decoded(value)) << line;
      ++serverKeys;
    }
  }
  EXPECT_EQ(channel, channels->items.size());
  EXPECT_EQ(client, clients->items.size());
  EXPECT_EQ(server->members.size(), serverKeys);
  EXPECT_EQ(json->Get("other"), nullptr);

  // Counts and ids are numbers for a monitoring system; texts stay texts.
  EXPECT_EQ(server->Get("UPTIME")->kind, Json::Kind::kNumber);
  EXPECT_EQ(server->Get("CLIENTCOUNT")->kind, Json::Kind::kNumber);
  EXPECT_EQ(server->Get("NAME")->text, "Ops \"Room\" \\ 1");
  EXPECT_EQ(server->Get("VOICECODEC")->kind, Json::Kind::kString);
  EXPECT_EQ(clients->items[0].Get("CID")->kind, Json::Kind::kNumber);
  EXPECT_EQ(clients->items[0].Get("NAME")->text, "J\xC3\xBCrgen");
  EXPECT_EQ(channels->items[1].Get("NAME")->text, "Caf\xE9");
}

TEST(AdminStatusJson, GeneralReplyAndOddLinesStayWellFormed) {
  const std::string general =
      "NAME: 0123\nAUTH: 007\nCLIENTCOUNT: 0\nno colon here\n\"quoted\": x\nUPTIME: -\n";
  const std::string rendered = StatusReplyJson(general);
  const auto json = JsonReader::Parse(rendered);
  ASSERT_TRUE(json) << rendered;
  // A name of digits stays a text; a number with a leading zero cannot be a JSON number.
  EXPECT_EQ(json->Get("server")->Get("NAME")->kind, Json::Kind::kString);
  EXPECT_EQ(json->Get("server")->Get("AUTH")->text, "007");
  EXPECT_EQ(json->Get("server")->Get("AUTH")->kind, Json::Kind::kString);
  EXPECT_EQ(json->Get("server")->Get("UPTIME")->kind, Json::Kind::kString);
  EXPECT_EQ(json->Get("server")->Get("\"quoted\"")->text, "x");
  ASSERT_TRUE(json->Get("other"));
  EXPECT_EQ(json->Get("other")->items.at(0).text, "no colon here");
  EXPECT_TRUE(json->Get("channels")->items.empty());
  // Past the first NUL nothing counts.
  EXPECT_EQ(StatusReplyJson(std::string("NAME: a\n\0NAME: b\n", 17)), StatusReplyJson("NAME: a\n"));
}

TEST(AdminStatusJson, StringsAreEscapedAndNeverInvalidUtf8) {
  struct Case {
    std::string bytes;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {std::string("\x01\n\t\x7F", 4), "\"\\u0001\\n\\t\\u007F\""},
      {"J\xC3\xBCrgen \xE2\x82\xAC", "\"J\xC3\xBCrgen \xE2\x82\xAC\""},  // UTF-8 kept
      {"Caf\xE9", "\"Caf\\u00E9\""},                                   // Latin-1 byte
      {"\xC3", "\"\\u00C3\""},                                         // cut sequence
      {"\xC0\xAF", "\"\\u00C0\\u00AF\""},                              // overlong
      {"\xED\xA0\x80", "\"\\u00ED\\u00A0\\u0080\""},                   // surrogate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonString(c.bytes), c.json) << c.bytes;
    const auto parsed = JsonReader::Parse(JsonString(c.bytes));
    ASSERT_TRUE(parsed) << c.json;
    EXPECT_EQ(parsed->text, c.bytes);
  }
}

}  // namespace
}  // namespace kestrune
