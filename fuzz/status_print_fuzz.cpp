// The status tool's side of a reply: datagrams collected into one packet by
// the codec, as the tool's exchange does, and the answer printed. The tool
// prints the reply's text up to its first NUL and never past its length.
//
// Input: byte 0 holds flags (bit 0: any request id is accepted; bit 1: the
// checksum of a single-fragment datagram is set to match its data), bytes 1
// and 2 the request id the tool waits for (big-endian), then datagrams, each
// as a 2-byte big-endian length and its bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "status/status_packet.h"
#include "status/tool/status_tool.h"
#include "status_datagrams.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t flags = data[0];
  const std::uint16_t requestId = static_cast<std::uint16_t>((data[1] << 8) | data[2]);
  const std::uint16_t expected = (flags & 1) != 0 ? 0 : requestId;

  std::unique_ptr<StatusPacket> packet = StatusPacket::CreateReceiving();
  bool complete = false;
  for (std::vector<std::uint8_t>& datagram : fuzz::SplitDatagrams(data + 3, size - 3)) {
    // The tool reads into a 512-byte buffer.
    if (datagram.size() > kStatusMaxDatagram) datagram.resize(kStatusMaxDatagram);
    fuzz::PatchDatagram(datagram, true, 0, (flags & 2) != 0);
    const int result = packet->Decode(datagram.data(), datagram.size(), expected);
    if (result == kStatusComplete) {
      complete = true;
      break;
    }
    if (result < 0) break;  // the exchange drops the attempt
  }
  if (complete) {
    FUZZ_CHECK(packet->DataLength() == packet->Header().totalLength);
    FUZZ_CHECK(expected == 0 || packet->RequestId() == expected);
  }

  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  FUZZ_CHECK(out != nullptr);
  PrintStatusAnswer(complete ? packet.get() : nullptr, out);
  std::fclose(out);
  const std::string printed(text, length);
  std::free(text);

  std::string wanted = "ERROR: No response from server.\n";
  if (complete && packet->Type() != kStatusReply) {
    wanted = "ERROR: Unknown response.\n";
  } else if (complete && packet->DataLength() == 0) {
    wanted.clear();
  } else if (complete) {
    const char* reply = reinterpret_cast<const char*>(packet->Data());
    wanted.assign(reply, strnlen(reply, packet->DataLength()));
  }
  FUZZ_CHECK(printed == wanted);
  return 0;
}
