// Table-driven checksums: the 16-bit packet CRC of the status datagrams and
// the 32-bit CRC that mixes the password digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune {

using Crc16Table = std::array<std::uint16_t, 256>;
using Crc32Table = std::array<std::uint32_t, 256>;

extern const Crc16Table kCrc16Table;
extern const Crc32Table kCrc32Table;

// Packet CRC-16: starts at 0, the byte is XORed in after the table lookup, no inversion.
std::uint16_t Crc16(const void* data, std::size_t length);
// CRC-32 with the reflected table, starting at 0 and without final inversion.
std::uint32_t Crc32(const void* data, std::size_t length);

// One step of each CRC, exposed for the self-test. Crc16Step takes a 16-bit
// value in place of the byte so that sign-extended bytes can be fed in.
std::uint16_t Crc16Step(const Crc16Table& table, std::uint16_t crc, std::uint16_t value);
std::uint32_t Crc32Step(const Crc32Table& table, std::uint32_t crc, std::uint8_t byte);

// Start-up check of both tables: 0 intact, -1 the 16-bit table fails,
// -2 only the 32-bit table fails. The overload checks copies (for tests).
int ChecksumSelfTest();
int ChecksumSelfTest(const Crc16Table& table16, const Crc32Table& table32);

}  // namespace kestrune
