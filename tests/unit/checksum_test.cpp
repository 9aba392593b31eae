#include "util/checksum.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(Checksum, KnownAnswers) {
  struct Case {
    std::string text;
    std::uint16_t crc16;
    std::uint32_t crc32;
  };
  for (const Case& c : {Case{"", 0, 0}, Case{"abc", 0x1EE4, 0xCA6598D0},
                        Case{"123456789", 0xBEEF, 0x2DFD2D88}}) {
    EXPECT_EQ(Crc16(c.text.data(), c.text.size()), c.crc16) << c.text;
    EXPECT_EQ(Crc32(c.text.data(), c.text.size()), c.crc32) << c.text;
  }
}

TEST(Checksum, TablesMatchTheirPolynomials) {
  EXPECT_EQ(kCrc16Table[1], 0x1021);
  EXPECT_EQ(kCrc32Table[1], 0x77073096u);
}

TEST(ChecksumSelfTest, PassesOnIntactTables) { EXPECT_EQ(ChecksumSelfTest(), 0); }

TEST(ChecksumSelfTest, ChangedEntryOfEitherTableFails) {
  for (int index : {0, 1, 127, 128, 255}) {
    Crc16Table t16 = kCrc16Table;
    t16[index] ^= 0x0100;
    EXPECT_EQ(ChecksumSelfTest(t16, kCrc32Table), -1) << index;
    Crc32Table t32 = kCrc32Table;
    t32[index] ^= 0x00010000;
    EXPECT_EQ(ChecksumSelfTest(kCrc16Table, t32), -2) << index;
    // A broken 16-bit table is reported first.
    EXPECT_EQ(ChecksumSelfTest(t16, t32), -1) << index;
  }
}

TEST(ChecksumSelfTest, SignExtensionIsWhatGivesTheExpectedValue) {
  std::uint16_t unsignedFeed = 0;
  for (std::uint16_t entry : kCrc16Table) {
    unsignedFeed = Crc16Step(kCrc16Table, unsignedFeed, entry & 0xFF);
    unsignedFeed = Crc16Step(kCrc16Table, unsignedFeed, entry >> 8);
  }
  EXPECT_NE(unsignedFeed, 0xF197);
}

}  // namespace
}  // namespace kestrune
