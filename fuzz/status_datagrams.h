// Status datagrams in fuzz inputs: several of them in one input, and the
// header fix-ups a fuzzer cannot find by itself (a request id drawn at
// random, a checksum over scrambled data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "status/status_packet.h"
#include "util/checksum.h"

namespace kestrune::fuzz {

// Datagrams as 2-byte big-endian lengths, each followed by its bytes; a
// length past the end takes the rest.
inline std::vector<std::vector<std::uint8_t>> SplitDatagrams(const std::uint8_t* data,
                                                             std::size_t size) {
  std::vector<std::vector<std::uint8_t>> datagrams;
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t length = data[offset];
    if (offset + 1 < size) length = (length << 8) | data[offset + 1];
    offset = offset + 2 < size ? offset + 2 : size;
    if (length > size - offset) length = size - offset;
    datagrams.emplace_back(data + offset, data + offset + length);
    offset += length;
  }
  return datagrams;
}

// Rewrites the header of a datagram: the request id unless `keepId`, and,
// with `fixChecksum`, the checksum of a datagram that carries a whole packet.
inline void PatchDatagram(std::vector<std::uint8_t>& datagram, bool keepId,
                          std::uint16_t requestId, bool fixChecksum) {
  if (datagram.size() < kStatusHeaderSize) return;
  std::vector<std::uint8_t> plain = datagram;
  StatusHeader header;
  if (!DescrambleStatusHeader(plain.data(), header)) return;
  if (!keepId) header.requestId = requestId;
  if (fixChecksum && header.fragmentCount == 1 && header.fragmentIndex == 0 &&
      header.totalLength == header.fragmentLength &&
      datagram.size() == header.fragmentLength + kStatusHeaderSize) {
    std::vector<std::uint8_t> payload(datagram.begin() + kStatusHeaderSize, datagram.end());
    ScrambleStatusPayload(payload.data(), payload.size(), header.payloadKey, true);
    header.checksum = Crc16(payload.data(), payload.size());
  }
  WriteStatusHeader(header, datagram.data());
  ScrambleStatusHeader(datagram.data());
}

}  // namespace kestrune::fuzz
