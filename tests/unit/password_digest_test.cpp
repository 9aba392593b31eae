#include "store/password_digest.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(PasswordDigest, KnownAnswers) {
  struct Case {
    std::string password, hex;
  };
  for (const Case& c : {
           Case{"abc", "9B07975AA2275034DCBB9CAEC62D9924E1E4782F5276114F0F80C8606DE391FE"},
           Case{"password", "C0E74653014ED6E782B46E791DFC106FAA60D7F26E0BFA43FD7B8FD8E5B25762"},
           Case{"g", "3A67F229270C91811D60FEDA282E2FDCBE11D049D69511C8ECD4013E77C4913D"},
           Case{"A", "B293DD689F63988B6703609CED29E97B6DCF7C722C7F4772061E05ADA01160B5"},
           Case{std::string(31, 'a'),
                "9B63E677D90558E9652D17D0682B821316A666228BDE63583734436DF96B5DE4"},
       }) {
    PasswordDigest digest;
    ASSERT_EQ(digest.FromPlain(c.password), 0);
    EXPECT_TRUE(digest.IsSet());
    EXPECT_EQ(digest.ToHex(), c.hex) << c.password;
  }
}

TEST(PasswordDigest, FromPlainLengthRules) {
  PasswordDigest digest;
  EXPECT_EQ(digest.FromPlain(std::string(32, 'a')), -1);
  EXPECT_FALSE(digest.IsSet());
  EXPECT_EQ(digest.ToHex(), "");

  ASSERT_EQ(digest.FromPlain("abc"), 0);
  EXPECT_EQ(digest.FromPlain(""), 0);  // no password: unset
  EXPECT_FALSE(digest.IsSet());
}

TEST(PasswordDigest, LetterCaseMatters) {
  PasswordDigest lower, upper;
  lower.FromPlain("secret");
  upper.FromPlain("Secret");
  EXPECT_FALSE(lower.Equals(upper));
}

TEST(PasswordDigest, FromHexRules) {
  PasswordDigest digest;
  EXPECT_EQ(digest.FromHex(""), -1);
  EXPECT_EQ(digest.FromHex(std::string(63, 'A')), -2);
  EXPECT_EQ(digest.FromHex(std::string(65, 'A')), -2);
  EXPECT_FALSE(digest.IsSet());

  EXPECT_EQ(digest.FromHex(std::string(64, '0')), 0);
  EXPECT_FALSE(digest.IsSet());
  EXPECT_EQ(digest.ToHex(), "");
}

TEST(PasswordDigest, HexRoundTripGivesUpperCase) {
  for (const std::string& hex :
       {std::string("9b07975aa2275034dcbb9caec62d9924e1e4782f5276114f0f80c8606de391fe"),
        std::string(62, '0') + "01", std::string("FF") + std::string(62, '0'),
        std::string(64, 'f')}) {
    PasswordDigest digest;
    ASSERT_EQ(digest.FromHex(hex), 0);
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(digest.ToHex(), upper);
  }
}

TEST(PasswordDigest, RawBytesAndComparisons) {
  PasswordDigest fromPlain;
  fromPlain.FromPlain("abc");
  PasswordDigest::Bytes bytes = fromPlain.CopyBytes();

  PasswordDigest raw;
  EXPECT_EQ(raw.FromRaw(nullptr), -1);
  EXPECT_FALSE(raw.IsSet());
  ASSERT_EQ(raw.FromRaw(bytes.data()), 0);
  EXPECT_TRUE(raw.Equals(fromPlain));
  EXPECT_TRUE(raw.BytesEqual(bytes.data()));

  PasswordDigest::Bytes zeros{};
  ASSERT_EQ(raw.FromRaw(zeros.data()), 0);
  EXPECT_FALSE(raw.IsSet());

  // BytesEqual ignores the set flag; Equals does not.
  PasswordDigest unset;
  EXPECT_TRUE(unset.BytesEqual(zeros.data()));
  PasswordDigest zeroHex;
  zeroHex.FromHex(std::string(64, '0'));
  EXPECT_TRUE(unset.Equals(zeroHex));
  fromPlain.Clear();
  EXPECT_FALSE(fromPlain.IsSet());
  EXPECT_TRUE(fromPlain.BytesEqual(zeros.data()));
}

}  // namespace
}  // namespace kestrune
