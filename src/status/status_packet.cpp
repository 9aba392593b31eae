#include "status/status_packet.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "util/checksum.h"

namespace kestrune {
namespace {

constexpr std::uint8_t kDefaultHeaderStep = 69;
constexpr std::uint8_t kDefaultPayloadStep = 1;
constexpr std::size_t kScrambledHeaderBytes = kStatusHeaderSize - 2;

std::uint16_t ReadWord(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

void WriteWord(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

StatusHeader ReadHeaderWords(const std::uint8_t* datagram) {
  StatusHeader header;
  header.keyStart = datagram[0];
  header.keyStep = datagram[1];
  header.reserved = ReadWord(datagram + 2);
  header.type = ReadWord(datagram + 4);
  header.requestId = ReadWord(datagram + 6);
  header.totalLength = ReadWord(datagram + 8);
  header.fragmentLength = ReadWord(datagram + 10);
  header.fragmentCount = ReadWord(datagram + 12);
  header.fragmentIndex = ReadWord(datagram + 14);
  header.payloadKey = ReadWord(datagram + 16);
  header.checksum = ReadWord(datagram + 18);
  return header;
}

std::uint8_t LowByte(int value) {
  return static_cast<std::uint8_t>(value & 0xFF);
}

bool SendDatagram(int socket, const sockaddr_in& to, const std::uint8_t* bytes,
                  std::size_t length) {
  ssize_t sent =
      sendto(socket, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  return sent == static_cast<ssize_t>(length);
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  return to;
}

int SendFragments(int socket, StatusPacket& packet, std::uint16_t requestId, std::uint32_t address,
                  std::uint16_t port, const StatusRandom& random) {
  const sockaddr_in to = MakeAddress(address, port);
  return BuildStatusDatagrams(packet, requestId, random,
                              [&](const std::uint8_t* bytes, std::size_t length) {
                                return SendDatagram(socket, to, bytes, length);
                              });
}

}  // namespace

int DefaultStatusRandom() {
  return std::rand();
}

std::unique_ptr<StatusPacket> StatusPacket::Create(int type) {
  if (type < kStatusGeneralRequest || type > kStatusCompactRequest) return nullptr;
  std::unique_ptr<StatusPacket> packet(new StatusPacket());
  packet->header_.type = static_cast<std::uint16_t>(type);
  const bool isText =
      type == kStatusReply || type == kStatusUpdateReport || type == kStatusUpdateAnswer;
  packet->data_.assign(isText ? 0 : kStatusRequestDataLength, 0);
  // An empty text area still has a scratch datagram's worth behind it, so
  // Data() is never null.
  if (isText) packet->data_.reserve(kStatusMaxDatagram);
  packet->hasData_ = true;
  return packet;
}

std::unique_ptr<StatusPacket> StatusPacket::CreateReceiving() {
  return std::unique_ptr<StatusPacket>(new StatusPacket());
}

int StatusPacket::SetDataLength(std::size_t length) {
  // The total length travels in 16 bits; a longer buffer could only be cut.
  if (length > 0xFFFF) return -1;
  data_.assign(length, 0);
  if (length == 0) data_.reserve(kStatusMaxDatagram);
  hasData_ = true;
  return 0;
}

void WriteStatusHeader(const StatusHeader& header, std::uint8_t* datagram) {
  datagram[0] = header.keyStart;
  datagram[1] = header.keyStep;
  WriteWord(datagram + 2, header.reserved);
  WriteWord(datagram + 4, header.type);
  WriteWord(datagram + 6, header.requestId);
  WriteWord(datagram + 8, header.totalLength);
  WriteWord(datagram + 10, header.fragmentLength);
  WriteWord(datagram + 12, header.fragmentCount);
  WriteWord(datagram + 14, header.fragmentIndex);
  WriteWord(datagram + 16, header.payloadKey);
  WriteWord(datagram + 18, header.checksum);
}

void ScrambleStatusHeader(std::uint8_t* datagram) {
  std::uint8_t s = datagram[0];
  const std::uint8_t t = datagram[1];
  for (std::size_t i = 0; i < kScrambledHeaderBytes; ++i) {
    datagram[2 + i] = static_cast<std::uint8_t>(datagram[2 + i] + kStatusHeaderTable[s] + i % 5);
    s = static_cast<std::uint8_t>(s + t);
  }
}

bool DescrambleStatusHeader(std::uint8_t* datagram, StatusHeader& header) {
  std::uint8_t s = datagram[0];
  const std::uint8_t t = datagram[1];
  if (t == 0) return false;
  for (std::size_t i = 0; i < kScrambledHeaderBytes; ++i) {
    datagram[2 + i] = static_cast<std::uint8_t>(datagram[2 + i] - kStatusHeaderTable[s] - i % 5);
    s = static_cast<std::uint8_t>(s + t);
  }
  header = ReadHeaderWords(datagram);
  return true;
}

void ScrambleStatusPayload(std::uint8_t* payload, std::size_t length, std::uint16_t key,
                           bool descramble) {
  std::uint8_t s = static_cast<std::uint8_t>(key >> 8);
  const std::uint8_t t = static_cast<std::uint8_t>(key & 0xFF);
  if (t == 0) return;  // a zero step means the payload travels plain
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t add = static_cast<std::uint8_t>(kStatusPayloadTable[s] + i % 72);
    payload[i] = static_cast<std::uint8_t>(descramble ? payload[i] - add : payload[i] + add);
    s = static_cast<std::uint8_t>(s + t);
  }
}

int StatusFragmentCount(std::size_t dataLength) {
  int count = 1;
  std::size_t remaining = dataLength;
  while (remaining + kStatusHeaderSize > kStatusMaxDatagram) {
    remaining -= kStatusMaxFragmentLength;
    ++count;
  }
  return count;
}

int BuildStatusDatagrams(StatusPacket& packet, std::uint16_t requestId, const StatusRandom& random,
                         const std::function<bool(const std::uint8_t*, std::size_t)>& emit) {
  const std::size_t total = packet.data_.size();
  const int count = StatusFragmentCount(total);
  if (count > kStatusMaxFragments) return kStatusTooManyFragments;

  StatusHeader& header = packet.header_;
  header.reserved = 0;
  header.requestId = requestId;
  header.totalLength = static_cast<std::uint16_t>(total);
  header.fragmentCount = static_cast<std::uint16_t>(count);
  header.checksum = Crc16(packet.data_.data(), total);  // 0 for empty data
  header.payloadKey = 0;

  std::array<std::uint8_t, kStatusMaxDatagram> buffer{};
  std::size_t offset = 0;
  for (int index = 0; index < count; ++index) {
    const std::size_t length = std::min(total - offset, kStatusMaxFragmentLength);
    StatusHeader fragment = header;
    fragment.fragmentLength = static_cast<std::uint16_t>(length);
    fragment.fragmentIndex = static_cast<std::uint16_t>(index);
    fragment.payloadKey = 0;
    if (length > 0) {
      // The packet keeps its data plain; only the copy is scrambled.
      std::memcpy(buffer.data() + kStatusHeaderSize, packet.data_.data() + offset, length);
      const std::uint8_t s = LowByte(random());
      std::uint8_t t = LowByte(random());
      if (t == 0) t = kDefaultPayloadStep;
      fragment.payloadKey = static_cast<std::uint16_t>(s << 8 | t);
      ScrambleStatusPayload(buffer.data() + kStatusHeaderSize, length, fragment.payloadKey, false);
    }
    fragment.keyStart = LowByte(random());
    fragment.keyStep = LowByte(random());
    if (fragment.keyStep == 0) fragment.keyStep = kDefaultHeaderStep;
    WriteStatusHeader(fragment, buffer.data());
    ScrambleStatusHeader(buffer.data());
    if (!emit(buffer.data(), kStatusHeaderSize + length)) return kStatusSendFailed;
    offset += length;
  }
  return kStatusSent;
}

int StatusPacket::Decode(const void* datagram, std::size_t length, std::uint16_t expectedId) {
  if (length < kStatusHeaderSize) return kStatusDatagramTooShort;
  const auto* bytes = static_cast<const std::uint8_t*>(datagram);
  std::vector<std::uint8_t> copy(bytes, bytes + length);
  StatusHeader fragment;
  if (!DescrambleStatusHeader(copy.data(), fragment)) return kStatusZeroHeaderStep;
  if (expectedId != 0 && fragment.requestId != expectedId) return kStatusOtherRequestId;
  if (fragment.totalLength > kStatusMaxDataLength) return kStatusTotalTooLong;
  if (fragment.fragmentLength > kStatusMaxFragmentLength) return kStatusFragmentTooLong;
  if (fragment.fragmentCount == 0 || fragment.fragmentCount > kStatusMaxFragments) {
    return kStatusBadFragmentCount;
  }
  if (fragment.fragmentIndex >= fragment.fragmentCount) return kStatusBadFragmentIndex;
  if (length != fragment.fragmentLength + kStatusHeaderSize) return kStatusDatagramLengthDiffers;
  std::vector<std::uint8_t>& slot = slots_[fragment.fragmentIndex];
  if (!slot.empty()) return kStatusDuplicateFragment;
  if (fragment.fragmentIndex > 0 && fragment.fragmentLength == 0) return kStatusEmptyFragment;
  slot = std::move(copy);

  if (fragment.fragmentIndex == 0 && !hasData_) {
    header_ = fragment;
    data_.assign(fragment.totalLength, 0);
    hasData_ = true;
  }
  if (!hasData_) return kStatusFirstFragmentMissing;
  const int count = header_.fragmentCount;
  for (int i = 0; i < count; ++i) {
    if (slots_[i].empty()) return kStatusFragmentMissing;
  }

  std::uint16_t sum = 0;
  for (int i = 0; i < count; ++i) sum = static_cast<std::uint16_t>(sum + ReadWord(&slots_[i][10]));
  if (sum != header_.totalLength) return kStatusLengthsDontAddUp;

  // Joining starts over each time, so a late extra fragment cannot double it.
  std::size_t joined = 0;
  for (int i = 0; i < count; ++i) {
    const std::uint16_t pieceLength = ReadWord(&slots_[i][10]);
    if (joined + pieceLength > header_.totalLength) return kStatusOverrun;
    if (pieceLength == 0) continue;  // only fragment 0 of empty data
    std::uint8_t* target = data_.data() + joined;
    std::memcpy(target, slots_[i].data() + kStatusHeaderSize, pieceLength);
    ScrambleStatusPayload(target, pieceLength, ReadWord(&slots_[i][16]), true);
    joined += pieceLength;
  }
  if (joined != header_.totalLength) return kStatusJoinedLengthDiffers;
  if (Crc16(data_.data(), data_.size()) != header_.checksum) return kStatusChecksumMismatch;
  return kStatusComplete;
}

bool StatusDestinationAllowed(std::uint32_t address, std::uint16_t port) {
  if (port == 0 || address == 0 || address == 0xFFFFFFFFu) return false;
  return (address & 0xF0000000u) != 0xE0000000u;  // 224.0.0.0/4
}

int StatusSendOnce(int socket, std::unique_ptr<StatusPacket> packet, std::uint16_t requestId,
                   std::uint32_t address, std::uint16_t port, const StatusRandom& random) {
  if (!packet) return kStatusSendFailed;
  if (StatusFragmentCount(packet->DataLength()) > kStatusMaxFragments) {
    return kStatusTooManyFragments;
  }
  if (!StatusDestinationAllowed(address, port)) return kStatusSendFailed;
  return SendFragments(socket, *packet, requestId, address, port, random);
}

int StatusSendText(int socket, int type, std::uint16_t requestId, std::string_view text,
                   std::uint32_t address, std::uint16_t port, const StatusRandom& random) {
  std::unique_ptr<StatusPacket> packet = StatusPacket::Create(type);
  if (!packet) return kStatusSendFailed;
  if (text.size() + 1 > kStatusMaxDataLength) return kStatusTooManyFragments;
  if (packet->SetDataLength(text.size() + 1) != 0) return kStatusSendFailed;
  std::memcpy(packet->Data(), text.data(), text.size());
  return StatusSendOnce(socket, std::move(packet), requestId, address, port, random);
}

std::unique_ptr<StatusPacket> StatusSendAndWait(int socket, std::uint32_t address,
                                                std::uint16_t port,
                                                std::unique_ptr<StatusPacket> request, int attempts,
                                                const StatusExchangeOptions& options) {
  if (!request) return nullptr;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    std::uint16_t requestId = static_cast<std::uint16_t>(options.random() & 0xFFFF);
    if (requestId == 0) requestId = 1;
    if (SendFragments(socket, *request, requestId, address, port, options.random) != 0) {
      return nullptr;
    }

    std::unique_ptr<StatusPacket> answer = StatusPacket::CreateReceiving();
    int strays = 0;
    bool bad = false;
    bool complete = false;
    std::array<std::uint8_t, kStatusMaxDatagram> buffer;
    for (;;) {
      pollfd wait{socket, POLLIN, 0};
      if (poll(&wait, 1, options.waitMs) <= 0) break;
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      const ssize_t received = recvfrom(socket, buffer.data(), buffer.size(), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (received < 0) break;
      if (ntohl(from.sin_addr.s_addr) != address) {
        if (++strays > options.maxStrays) break;
        continue;
      }
      const auto length = static_cast<std::size_t>(received);
      if (length < kStatusHeaderSize && ++strays > options.maxStrays) break;
      const int result = answer->Decode(buffer.data(), length, requestId);
      if (result < 0) {
        bad = true;  // keep draining this attempt's datagrams, but it cannot succeed
      } else if (result == kStatusComplete) {
        complete = true;
        break;
      }
    }
    if (complete && !bad) return answer;
  }
  return nullptr;
}

int DecodeStatusRequest(const void* datagram, std::size_t length, const sockaddr_in& sender,
                        StatusRequest& request) {
  // Only a single datagram can be answered, so a forged header that claims
  // more (or a longer total) is refused from a stack copy, before a packet
  // and its data buffer are allocated for it.
  if (length < kStatusHeaderSize) return kStatusDatagramTooShort;
  std::array<std::uint8_t, kStatusHeaderSize> head;
  std::memcpy(head.data(), datagram, head.size());
  StatusHeader header;
  if (!DescrambleStatusHeader(head.data(), header)) return kStatusZeroHeaderStep;
  if (header.fragmentCount != 1) return kStatusBadFragmentCount;
  if (header.totalLength != header.fragmentLength) return kStatusLengthsDontAddUp;

  std::unique_ptr<StatusPacket> packet = StatusPacket::CreateReceiving();
  const int result = packet->Decode(datagram, length, 0);
  if (result != kStatusComplete) return result;
  request.type = packet->Type();
  request.requestId = packet->RequestId();
  request.data.assign(packet->Data(), packet->Data() + packet->DataLength());
  request.address = ntohl(sender.sin_addr.s_addr);
  request.port = ntohs(sender.sin_port);
  return kStatusComplete;
}

}  // namespace kestrune
