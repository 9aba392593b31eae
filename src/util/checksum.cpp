#include "util/checksum.h"

namespace kestrune {

namespace {
constexpr std::uint16_t kSelfTest16 = 0xF197;
constexpr std::uint32_t kSelfTest32 = 0x807A313D;
}  // namespace

std::uint16_t Crc16Step(const Crc16Table& table, std::uint16_t crc, std::uint16_t value) {
  return static_cast<std::uint16_t>((crc << 8) ^ table[crc >> 8] ^ value);
}

std::uint32_t Crc32Step(const Crc32Table& table, std::uint32_t crc, std::uint8_t byte) {
  return table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint16_t Crc16(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) crc = Crc16Step(kCrc16Table, crc, bytes[i]);
  return crc;
}

std::uint32_t Crc32(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) crc = Crc32Step(kCrc32Table, crc, bytes[i]);
  return crc;
}

int ChecksumSelfTest(const Crc16Table& table16, const Crc32Table& table32) {
  // The 16-bit table is walked as signed bytes, low byte first: the expected
  // value depends on that sign extension.
  std::uint16_t c16 = 0;
  for (std::uint16_t entry : table16) {
    for (std::uint8_t byte : {static_cast<std::uint8_t>(entry & 0xFF),
                              static_cast<std::uint8_t>(entry >> 8)}) {
      auto value = static_cast<std::uint16_t>(byte >= 0x80 ? 0xFF00u | byte : byte);
      c16 = Crc16Step(table16, c16, value);
    }
  }
  std::uint32_t c32 = 0;
  for (std::uint32_t entry : table32) {
    for (int shift = 0; shift < 32; shift += 8) {
      c32 = Crc32Step(table32, c32, static_cast<std::uint8_t>(entry >> shift));
    }
  }
  if (c16 != kSelfTest16) return -1;
  if (c32 != kSelfTest32) return -2;
  return 0;
}

int ChecksumSelfTest() { return ChecksumSelfTest(kCrc16Table, kCrc32Table); }

}  // namespace kestrune
