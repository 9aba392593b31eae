// Status packets: typed, checksummed messages of up to 47,232 data bytes cut
// into scrambled UDP datagrams of at most 512 bytes. Shared by the server and
// the status tool; the codec keeps no state besides the random source.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace kestrune {

constexpr std::size_t kStatusMaxDatagram = 512;
constexpr std::size_t kStatusHeaderSize = 20;
constexpr std::size_t kStatusMaxFragmentLength = kStatusMaxDatagram - kStatusHeaderSize;  // 492
constexpr int kStatusMaxFragments = 96;
constexpr std::size_t kStatusMaxDataLength = kStatusMaxFragments * kStatusMaxFragmentLength;
// Requests carry the tool's password in this many NUL-padded bytes.
constexpr std::size_t kStatusRequestDataLength = 16;
constexpr std::uint16_t kStatusDefaultPort = 3784;

enum StatusPacketType : std::uint16_t {
  kStatusGeneralRequest = 1,
  kStatusDetailRequest = 2,
  kStatusReply = 3,
  kStatusUpdateReport = 4,
  kStatusUpdateAnswer = 5,
  kStatusReserved = 6,
  kStatusCompactRequest = 7,
};

// Results of StatusPacket::Decode. Positive: set aside or ignored; negative: bad.
enum StatusDecodeResult : int {
  kStatusComplete = 0,
  kStatusOtherRequestId = 1,
  kStatusTotalTooLong = 2,
  kStatusFragmentTooLong = 3,
  kStatusBadFragmentCount = 4,
  kStatusBadFragmentIndex = 5,
  kStatusDuplicateFragment = 6,
  kStatusFirstFragmentMissing = 7,
  kStatusFragmentMissing = 8,
  kStatusOverrun = -1,  // also: out of memory
  kStatusJoinedLengthDiffers = -2,
  kStatusChecksumMismatch = -3,
  kStatusDatagramTooShort = -4,
  kStatusDatagramLengthDiffers = -5,
  kStatusEmptyFragment = -6,
  kStatusLengthsDontAddUp = -7,
  kStatusZeroHeaderStep = -8,
};

// Results of the send operations.
enum StatusSendResult : int {
  kStatusSent = 0,
  kStatusSendFailed = -1,
  kStatusTooManyFragments = -2,
};

using StatusTable = std::array<std::uint8_t, 256>;
extern const StatusTable kStatusHeaderTable;
extern const StatusTable kStatusPayloadTable;

// Source of request ids and scrambling keys: rand() in the programs; tests
// inject fixed sequences to build known datagrams.
using StatusRandom = std::function<int()>;
int DefaultStatusRandom();

// The header words of one fragment, host order, before scrambling.
struct StatusHeader {
  std::uint8_t keyStart = 0;
  std::uint8_t keyStep = 0;
  std::uint16_t reserved = 0;
  std::uint16_t type = 0;
  std::uint16_t requestId = 0;
  std::uint16_t totalLength = 0;
  std::uint16_t fragmentLength = 0;
  std::uint16_t fragmentCount = 0;
  std::uint16_t fragmentIndex = 0;
  std::uint16_t payloadKey = 0;
  std::uint16_t checksum = 0;
};

class StatusPacket {
 public:
  // A packet of type 1..7 with its data area sized for the type (16 zero
  // bytes for requests, empty for texts); nullptr for any other type.
  static std::unique_ptr<StatusPacket> Create(int type);
  // An empty packet that collects received fragments through Decode.
  static std::unique_ptr<StatusPacket> CreateReceiving();

  // Replaces the data by `length` zero bytes (0: empty, with a 512-byte
  // scratch buffer behind Data()); 0 success, -1 when the length cannot be
  // carried in the 16-bit total length field.
  int SetDataLength(std::size_t length);
  std::uint8_t* Data() { return data_.data(); }
  const std::uint8_t* Data() const { return data_.data(); }
  std::size_t DataLength() const { return data_.size(); }
  bool DataShorterThan(std::size_t length) const { return data_.size() < length; }

  std::uint16_t Type() const { return header_.type; }
  std::uint16_t RequestId() const { return header_.requestId; }
  // Header of the packet: for a received one, that of its fragment 0.
  const StatusHeader& Header() const { return header_; }

  // Adds one received datagram of `length` bytes; expectedId 0 accepts any
  // request id. Returns a StatusDecodeResult; 0 once the packet is complete.
  int Decode(const void* datagram, std::size_t length, std::uint16_t expectedId);

 private:
  friend int BuildStatusDatagrams(
      StatusPacket& packet, std::uint16_t requestId, const StatusRandom& random,
      const std::function<bool(const std::uint8_t*, std::size_t)>& emit);

  StatusPacket() = default;

  StatusHeader header_;
  std::vector<std::uint8_t> data_;
  // Receiving side: set once fragment 0 has sized the data buffer.
  bool hasData_ = false;
  // Receiving side: each accepted datagram, header descrambled, payload not.
  std::array<std::vector<std::uint8_t>, kStatusMaxFragments> slots_;
};

// Header scrambling of bytes 2..19 with the key in bytes 0 and 1.
void ScrambleStatusHeader(std::uint8_t* datagram);
// Reads the key and the descrambled words; false when the step is 0. The
// datagram must hold at least 20 bytes; it is descrambled in place.
bool DescrambleStatusHeader(std::uint8_t* datagram, StatusHeader& header);
void WriteStatusHeader(const StatusHeader& header, std::uint8_t* datagram);
// Scrambles (or, with descramble, restores) a payload with its key; step 0
// leaves it unchanged.
void ScrambleStatusPayload(std::uint8_t* payload, std::size_t length, std::uint16_t key,
                           bool descramble);

// Number of fragments the data length needs (may exceed 96).
int StatusFragmentCount(std::size_t dataLength);

// Fragments the packet under `requestId` and hands every finished datagram
// to `emit` in index order. 0; -1 when emit fails (stops at once); -2 when
// more than 96 fragments would be needed (nothing is emitted). Sets the
// packet's request id and checksum.
int BuildStatusDatagrams(StatusPacket& packet, std::uint16_t requestId, const StatusRandom& random,
                         const std::function<bool(const std::uint8_t*, std::size_t)>& emit);

// Whether replies may go to this host-order address and port: never to
// 0.0.0.0, 255.255.255.255, a multicast address or port 0.
bool StatusDestinationAllowed(std::uint32_t address, std::uint16_t port);

// Sends the packet once to the host-order address and port: 0, -1 when a
// send fails or the destination is not allowed, -2 when too long. The packet
// is destroyed in every case.
int StatusSendOnce(int socket, std::unique_ptr<StatusPacket> packet, std::uint16_t requestId,
                   std::uint32_t address, std::uint16_t port,
                   const StatusRandom& random = DefaultStatusRandom);

// Builds a packet of `type` holding `text` and its terminating NUL and sends
// it once; results as StatusSendOnce, -1 also when the packet cannot be made.
int StatusSendText(int socket, int type, std::uint16_t requestId, std::string_view text,
                   std::uint32_t address, std::uint16_t port,
                   const StatusRandom& random = DefaultStatusRandom);

struct StatusExchangeOptions {
  int waitMs = 1000;  // how long one wait for a datagram may take
  int maxStrays = 4;  // more strays than this fail the attempt
  StatusRandom random = DefaultStatusRandom;
};

// The requester's exchange: up to `attempts` times, sends the request under a
// fresh id to the host-order address and port and collects the answer.
// Returns the complete answer or nullptr. The request is destroyed.
std::unique_ptr<StatusPacket> StatusSendAndWait(int socket, std::uint32_t address,
                                                std::uint16_t port,
                                                std::unique_ptr<StatusPacket> request, int attempts,
                                                const StatusExchangeOptions& options = {});

// One request as the server sees it.
struct StatusRequest {
  std::uint16_t type = 0;
  std::uint16_t requestId = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t address = 0;  // host order
  std::uint16_t port = 0;     // host order
};

// Decodes one datagram on its own (any request id): 0 and `request` filled
// when it is a complete packet; otherwise the decode result, and the
// datagram is to be dropped (requests must fit in one datagram). A fragment
// count other than 1 gives kStatusBadFragmentCount and a total length other
// than the fragment's kStatusLengthsDontAddUp, before anything is allocated.
int DecodeStatusRequest(const void* datagram, std::size_t length, const sockaddr_in& sender,
                        StatusRequest& request);

}  // namespace kestrune
