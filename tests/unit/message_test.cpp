#include "net/message.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(MessageTypes, CreateUsesFixedSizesAndRefusesUnknownTypes) {
  struct Case {
    std::uint16_t type;
    int length;  // 0: no message
  };
  // Every type of the table (header 4 + fixed body), and types outside it.
  // clang-format off
  const Case cases[] = {
      {MSG_HANDSHAKE, 84},      {MSG_SERVER_TEXT, 14},  {MSG_CHANNEL_AUTH, 52},
      {MSG_LOGIN_ACCEPTED, 12}, {53, 16},               {MSG_RANK_ADMIN, 16},
      {MSG_PING, 12},           {MSG_TTS, 8},           {MSG_MOVE_USER, 12},
      {MSG_SESSION_INFO, 24},   {MSG_WAVE, 8},          {MSG_CHAT, 12},
      {MSG_USER_SETTING, 12},   {MSG_LOGIN, 280},       {MSG_CHANNEL, 88},
      {MSG_ACCOUNT_ADMIN, 20},  {75, 12},               {MSG_SERVER_PROPS, 12},
      {MSG_MOTD, 272},          {MSG_VOICE, 24},        {MSG_CHANNEL_CHANGE, 8},
      {84, 16},                 {MSG_COMPLAINT, 24},    {MSG_SERVER_INFO, 108},
      {MSG_PHANTOM, 20},        {MSG_REFUSAL, 20},      {90, 12},
      {MSG_USER_LIST, 8},       {MSG_CHANNEL_LIST, 8},  {MSG_BAN_LIST, 212},
      {MSG_PAGE, 12},           {MSG_USER_ADMIN, 140},  {1, 0},
      {5, 0},                   {50, 0},                {56, 0},
      {91, 0},                  {100, 0},               {0xFFFF, 0}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    auto m = CreateMessage(c.type);
    if (c.length == 0) {
      EXPECT_EQ(m, nullptr);
      continue;
    }
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Length(), c.length);
    EXPECT_EQ(m->Type(), c.type);
    EXPECT_EQ(m->GetU16(2), 0);
    for (std::size_t i = 2; i < Message::kBufferSize; ++i) ASSERT_EQ(m->Data()[i], 0) << i;
  }
}

TEST(MessageLayout, FixedFieldsAreLittleEndian) {
  auto m = CreateMessage(MSG_REFUSAL);
  m->SetU16(4, 0x1234);
  m->SetU32(12, 0x0A010203);
  EXPECT_EQ(m->Data()[4], 0x34);
  EXPECT_EQ(m->Data()[5], 0x12);
  EXPECT_EQ(m->Data()[12], 0x03);
  EXPECT_EQ(m->Data()[15], 0x0A);
  EXPECT_EQ(m->GetU32(12), 0x0A010203u);
  // Offsets past the buffer neither read nor write memory.
  m->SetU32(Message::kBufferSize - 1, 0xFFFFFFFF);
  EXPECT_EQ(m->GetU16(Message::kBufferSize), 0);
}

TEST(MessageLayout, ReserveAndReadStayInsideTheMessage) {
  auto m = CreateMessage(MSG_CHAT);
  EXPECT_EQ(m->ReserveBytes(4096 - 12), 12);
  EXPECT_EQ(m->Length(), 4096);
  EXPECT_EQ(m->ReserveBytes(1), -1);
  EXPECT_EQ(m->Length(), 4096);
  // A size that went negative in the caller's arithmetic must not wrap the check.
  auto wrap = CreateMessage(MSG_CHAT);
  EXPECT_EQ(wrap->ReserveBytes(static_cast<std::size_t>(-1)), -1);
  EXPECT_EQ(wrap->ReserveBytes(static_cast<std::size_t>(-12)), -1);
  EXPECT_EQ(wrap->Length(), 12);

  auto small = CreateMessage(MSG_PING);
  std::size_t cursor = 3;
  EXPECT_EQ(ReadBytes(*small, cursor, 1), nullptr);  // inside the header
  cursor = 4;
  ASSERT_NE(ReadBytes(*small, cursor, 8), nullptr);
  EXPECT_EQ(cursor, 12u);
  EXPECT_EQ(ReadBytes(*small, cursor, 1), nullptr);
  EXPECT_EQ(cursor, 12u);
  EXPECT_NE(ReadBytes(*small, cursor, 0), nullptr);
}

TEST(CountedString, BigEndianLengthAndMaximum) {
  auto m = CreateMessage(MSG_CHAT);
  ASSERT_TRUE(WriteCountedString(*m, "abc"));
  EXPECT_EQ(m->Data()[12], 0);
  EXPECT_EQ(m->Data()[13], 3);
  EXPECT_EQ(m->Length(), 17);

  struct Case {
    std::size_t size;
    std::size_t maximum;
    bool ok;
  };
  for (Case c :
       {Case{255, 256, true}, Case{256, 256, false}, Case{0, 1, true}, Case{1023, 1024, true}}) {
    SCOPED_TRACE(c.size);
    auto w = CreateMessage(MSG_CHAT);
    ASSERT_TRUE(WriteCountedString(*w, std::string(c.size, 'x')));
    std::size_t cursor = 12;
    std::string text = "unchanged";
    EXPECT_EQ(ReadCountedString(*w, cursor, c.maximum, text), c.ok);
    if (c.ok) {
      EXPECT_EQ(text, std::string(c.size, 'x'));
      EXPECT_TRUE(SizeEnd(*w, cursor));
    } else {
      EXPECT_EQ(cursor, 12u);
    }
  }
  // Longer than 1023 is not written; the message goes out without it.
  auto longer = CreateMessage(MSG_CHAT);
  EXPECT_FALSE(WriteCountedString(*longer, std::string(1024, 'y')));
  EXPECT_EQ(longer->Length(), 12);
}

TEST(CountedString, TruncatedBytesFailTheRead) {
  auto m = CreateMessage(MSG_CHAT);
  WriteCountedString(*m, "abcdef");
  m->SetLength(m->Length() - 1);
  std::size_t cursor = 12;
  std::string text;
  EXPECT_FALSE(ReadCountedString(*m, cursor, 256, text));
  m->SetLength(13);
  EXPECT_FALSE(ReadCountedString(*m, cursor, 256, text));
}

TEST(CountedList, RoundTripAndCapacity) {
  auto m = CreateMessage(MSG_ACCOUNT_ADMIN);
  ASSERT_TRUE(WriteU16List(*m, {1, 0x0203, 1023}));
  EXPECT_EQ(m->Data()[20], 0);
  EXPECT_EQ(m->Data()[21], 3);
  EXPECT_EQ(m->Data()[24], 0x02);
  EXPECT_EQ(m->Data()[25], 0x03);
  std::size_t cursor = 20;
  std::vector<std::uint16_t> list;
  EXPECT_FALSE(ReadU16List(*m, cursor, 2, list));
  EXPECT_EQ(cursor, 20u);
  ASSERT_TRUE(ReadU16List(*m, cursor, 3, list));
  EXPECT_EQ(list, (std::vector<std::uint16_t>{1, 0x0203, 1023}));
  EXPECT_TRUE(SizeEnd(*m, cursor));
  m->SetLength(m->Length() - 1);
  cursor = 20;
  EXPECT_FALSE(ReadU16List(*m, cursor, 32, list));
}

TEST(TrailingText, ServerTextGrowsByTextAndTerminator) {
  auto m = CreateMessage(MSG_SERVER_TEXT);
  ASSERT_TRUE(AppendText(*m, 12, "hello"));
  EXPECT_EQ(m->Length(), 15 + 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m->Data() + 12)), "hello");
  EXPECT_EQ(m->Data()[17], 0);
  EXPECT_EQ(m->Data()[18], 0);
  auto full = CreateMessage(MSG_SERVER_TEXT);
  EXPECT_FALSE(AppendText(*full, 12, std::string(4096 - 14, 'z')));
  EXPECT_TRUE(AppendText(*full, 12, std::string(4096 - 15, 'z')));
  EXPECT_EQ(full->Length(), 4096);
}

TEST(SizeChecks, ExactAtLeastAndEnd) {
  auto m = CreateMessage(MSG_PING);  // body 8
  EXPECT_TRUE(SizeExact(*m, 8));
  EXPECT_FALSE(SizeExact(*m, 7));
  EXPECT_TRUE(SizeAtLeast(*m, 7));
  EXPECT_FALSE(SizeAtLeast(*m, 9));
  Message tiny(2);
  EXPECT_FALSE(SizeAtLeast(tiny, 0));
  EXPECT_TRUE(SizeEnd(*m, 12));
  EXPECT_FALSE(SizeEnd(*m, 11));
}

TEST(TextValidity, ControlBytesAndWidth) {
  EXPECT_TRUE(TextValid("plain text"));
  EXPECT_FALSE(TextValid(std::string("tab\there")));
  EXPECT_FALSE(TextValid(std::string("nul\0x", 5)));
  EXPECT_TRUE(TextValid(std::string(31, 'a'), 32));
  EXPECT_FALSE(TextValid(std::string(32, 'a'), 32));
  EXPECT_TRUE(TextValid("\xC3\xA9t\xC3\xA9"));  // bytes of 128 and above are fine
}

TEST(FixedText, LastByteForcedToNul) {
  auto m = CreateMessage(MSG_LOGIN);
  for (int i = 0; i < 32; ++i) m->SetU8(40 + i, 'n');
  EXPECT_EQ(m->GetFixedText(40, 32), std::string(31, 'n'));
  m->SetFixedText(40, 32, "Bob");
  EXPECT_EQ(m->GetFixedText(40, 32), "Bob");
  EXPECT_EQ(m->GetU8(43), 0);
}

}  // namespace
}  // namespace kestrune
