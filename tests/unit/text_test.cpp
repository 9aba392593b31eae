#include "util/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace kestrune {
namespace {

TEST(TrimBlanks, RemovesControlBytesAndBlanksAtBothEnds) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {Case{" \t \r\n", ""}, Case{"\x01 a b\x1f", "a b"}, Case{"", ""},
                        Case{"\xA0x\xA0", "\xA0x\xA0"}}) {
    std::string text = c.in;
    TrimBlanks(text);
    EXPECT_EQ(text, c.out);
  }
}

TEST(NextToken, TakesTextBeforeTheFirstDelimiter) {
  std::string source = "a b c", token;
  ASSERT_TRUE(NextToken(source, ' ', token));
  EXPECT_EQ(token, "a");
  EXPECT_EQ(source, "b c");

  source = "abc";
  ASSERT_TRUE(NextToken(source, ' ', token));
  EXPECT_EQ(token, "abc");
  EXPECT_EQ(source, "");

  token = "kept";
  EXPECT_FALSE(NextToken(source, ' ', token));
  EXPECT_EQ(token, "kept");
}

TEST(SplitList, KeepsEmptyTokensButNoneAfterATrailingDelimiter) {
  struct Case {
    std::string text;
    std::vector<std::string> tokens;
  };
  for (const Case& c : {Case{"a,,b", {"a", "", "b"}}, Case{"a,", {"a"}}, Case{"", {}},
                        Case{",a", {"", "a"}}}) {
    std::vector<std::string> list = {"stale"};
    EXPECT_EQ(SplitList(c.text, ',', list), static_cast<int>(c.tokens.size())) << c.text;
    EXPECT_EQ(list, c.tokens) << c.text;
  }
}

TEST(LimitLength, CutsToOneLessThanTheLimit) {
  std::string forty(40, 'x');
  EXPECT_TRUE(LimitLength(forty, 32));
  EXPECT_EQ(forty.size(), 31u);
  std::string thirtyOne(31, 'y');
  EXPECT_FALSE(LimitLength(thirtyOne, 32));
  EXPECT_EQ(thirtyOne.size(), 31u);
  std::string thirtyTwo(32, 'z');
  EXPECT_TRUE(LimitLength(thirtyTwo, 32));
  EXPECT_EQ(thirtyTwo.size(), 31u);
}

TEST(CharacterTests, ControlBytesAndSets) {
  EXPECT_TRUE(HasControlChar(std::string("a\nb")));
  EXPECT_TRUE(HasControlChar(std::string("a\0b", 3)));
  EXPECT_FALSE(HasControlChar("a b\x7F\xFF"));
  EXPECT_TRUE(HasAnyOf("path/name", "/\\"));
  EXPECT_FALSE(HasAnyOf("name", "/\\"));
}

TEST(EscapeText, EscapesSeparatorsControlAndHighBytes) {
  EXPECT_EQ(EscapeText("a,b=c%d"), "a%2Cb%3Dc%25d");
  EXPECT_EQ(EscapeText("\n\xE9~\x7F"), "%0A%E9~\x7F");
}

TEST(EscapeText, RoundTripsEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string escaped = EscapeText(all);
  EXPECT_FALSE(HasAnyOf(escaped, ",="));
  UnescapeText(escaped);
  EXPECT_EQ(escaped, all);
}

TEST(UnescapeText, IncompleteOrOddSequences) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {Case{"ab%4", "ab"}, Case{"ab%", "ab"}, Case{"%41%42", "AB"},
                        Case{"%zz!", std::string("\0!", 2)}, Case{"%4g", "\x04"},
                        Case{"%e9", "\xE9"}}) {
    std::string text = c.in;
    UnescapeText(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(ParseFieldLines, StopsAtEmptyLineAndIgnoresUnterminatedLast) {
  std::map<std::string, std::string> fields;
  EXPECT_EQ(ParseFieldLines("Version: 3.0.2\nNoColon\nUrl: a: b\nVersion: 9\n\nAfter: x\n", fields),
            2);
  EXPECT_EQ(fields.at("Version"), "3.0.2");
  EXPECT_EQ(fields.at("Url"), "a: b");
  EXPECT_EQ(fields.count("After"), 0u);

  fields.clear();
  EXPECT_EQ(ParseFieldLines("A: 1\nB: 2", fields), 1);
  EXPECT_EQ(fields.count("B"), 0u);
  EXPECT_EQ(ParseFieldLines("", fields), 0);
}

TEST(FormatDuration, DaysUnpaddedRestTwoDigits) {
  EXPECT_EQ(FormatDuration(0), "0 00:00:00");
  EXPECT_EQ(FormatDuration(90061), "1 01:01:01");
  EXPECT_EQ(FormatDuration(4294967295u), "49710 06:28:15");
}

TEST(AtoiRule, FollowsAtoiAndClamps) {
  struct Case {
    const char* text;
    int value;
  };
  for (const Case& c : {Case{"", 0}, Case{"12abc", 12}, Case{"  -7", -7}, Case{"+5", 5},
                        Case{"x1", 0}, Case{"99999999999", 2147483647},
                        Case{"-99999999999", -2147483647 - 1}}) {
    EXPECT_EQ(AtoiRule(c.text), c.value) << c.text;
  }
}

TEST(RandomKeyText, OnlyAllowedPrintableCharacters) {
  std::srand(12345);
  std::vector<char> buffer(20000, '\0');
  RandomKeyText(buffer.size(), buffer.data());
  bool saw127 = false;
  for (char c : buffer) {
    auto byte = static_cast<unsigned char>(c);
    ASSERT_GE(byte, 33);
    ASSERT_LE(byte, 127);
    ASSERT_EQ(std::strchr(",#'`-+._|/=:\"\\", c), nullptr) << c;
    saw127 = saw127 || byte == 127;
  }
  EXPECT_TRUE(saw127);
}

TEST(HexByte, UpperCaseAndReadBack) {
  char out[2];
  HexByte(0xAF, out);
  EXPECT_EQ(std::string(out, 2), "AF");
  EXPECT_EQ(HexPairValue('a', 'f'), 0xAF);
  EXPECT_EQ(HexPairValue('7', 'x'), 0x07);
}

TEST(CheckTypeSizes, ReportsTheFirstMismatch) {
  EXPECT_EQ(CheckTypeSizes(), 0);
  struct Case {
    std::size_t c, n16, n32;
    int result;
    const char* text;
  };
  for (const Case& k : {Case{2, 3, 5, -1, "char = 2 rather then 1.\n"},
                        Case{1, 4, 8, -2, "NET16 = 4 rather then 2.\n"},
                        Case{1, 2, 8, -3, "NET32 = 8 rather then 4.\n"}}) {
    char buffer[128] = {};
    std::FILE* out = fmemopen(buffer, sizeof buffer, "w");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(CheckTypeSizes(k.c, k.n16, k.n32, out), k.result);
    std::fclose(out);
    EXPECT_STREQ(buffer, k.text);
  }
}

}  // namespace
}  // namespace kestrune
