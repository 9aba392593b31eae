// The TCP byte stream of a client as a connection receives it: frames cut by
// the frame reader and descrambled, the first message with the fixed key and
// every later one with the session key that a handshake installs.
//
// Input: byte 0 chooses the chunk sizes, the rest is the stream. The stream
// is cut twice, once through Feed in those chunks and once through Read over
// a socket pair in coarser chunks; both must give the same messages and the
// same end.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "net/framing.h"
#include "net/message.h"

namespace {

using kestrune::FrameReader;
using kestrune::Message;
using kestrune::ReadStatus;
using kestrune::StreamCipher;

// A key text as the handshake would draw it.
constexpr char kSessionKey[] = "Q7vR2mXk9LpW4tZc";

struct Outcome {
  std::vector<std::vector<std::uint8_t>> messages;
  ReadStatus end = ReadStatus::kWaiting;  // kWaiting: the stream ran out cleanly
};

// Chunk sizes from the seed byte: 0 gives the whole stream at once, others
// sizes from 1 up to a bound that grows with the low bits.
class Chunker {
 public:
  explicit Chunker(std::uint8_t seed) : seed_(seed), state_(seed * 2654435761u + 1) {}
  std::size_t Next(std::size_t left) {
    if (seed_ == 0) return left;
    state_ = state_ * 1103515245u + 12345u;
    const std::size_t bound = std::size_t{1} << (seed_ & 7);  // 1 .. 128
    const std::size_t size = 1 + (state_ >> 8) % (bound * 4);
    return size < left ? size : left;
  }

 private:
  std::uint8_t seed_;
  std::uint32_t state_;
};

// What the dispatcher does with the first message for the reader's sake: a
// handshake installs the session key; anything else leaves it missing.
void Take(Outcome& outcome, FrameReader& reader, StreamCipher& cipher,
          std::unique_ptr<Message>& message) {
  FUZZ_CHECK(message != nullptr);
  const std::size_t length = message->Length();
  FUZZ_CHECK(length >= 1 && length <= Message::kMaxLength);
  // The buffer past the message stays zero, also in a recycled one.
  for (std::size_t i = length; i < Message::kBufferSize; ++i) FUZZ_CHECK(message->Data()[i] == 0);
  outcome.messages.emplace_back(message->Data(), message->Data() + length);
  if (outcome.messages.size() == 1 && message->Type() == kestrune::MSG_HANDSHAKE) {
    cipher.Install(reinterpret_cast<const std::uint8_t*>(kSessionKey), sizeof kSessionKey - 1);
  }
  reader.Recycle(std::move(message));
}

Outcome FeedInChunks(const std::uint8_t* data, std::size_t size, std::uint8_t seed) {
  Outcome outcome;
  FrameReader reader;
  StreamCipher cipher;
  Chunker chunker(seed);
  std::size_t offset = 0;
  while (offset < size) {
    const std::size_t n = chunker.Next(size - offset);
    std::size_t used = 0;
    while (true) {
      std::unique_ptr<Message> message;
      const ReadStatus status = reader.Feed(data + offset, n, used, cipher, message);
      if (status == ReadStatus::kMessage) {
        Take(outcome, reader, cipher, message);
        continue;
      }
      if (status != ReadStatus::kWaiting) {
        outcome.end = status;
        return outcome;
      }
      FUZZ_CHECK(used == n);
      break;
    }
    offset += n;
  }
  return outcome;
}

Outcome ReadFromSocket(const std::uint8_t* data, std::size_t size, std::uint8_t seed) {
  Outcome outcome;
  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0);
  FrameReader reader;
  StreamCipher cipher;
  // Coarser than the Feed pass, so an input costs a bounded number of calls.
  Chunker chunker(static_cast<std::uint8_t>(seed + 3));
  const std::size_t minimum = size / 64 + 1;
  std::size_t offset = 0;
  std::uint64_t bytesRead = 0;
  bool writerOpen = true;
  while (true) {
    if (offset < size) {
      std::size_t n = chunker.Next(size - offset);
      if (n < minimum) n = minimum < size - offset ? minimum : size - offset;
      const ssize_t written = write(ends[0], data + offset, n);
      FUZZ_CHECK(written == static_cast<ssize_t>(n));
      offset += n;
    } else if (writerOpen) {
      close(ends[0]);
      writerOpen = false;
    }
    ReadStatus status;
    do {
      std::unique_ptr<Message> message;
      status = reader.Read(ends[1], cipher, message, bytesRead);
      if (status == ReadStatus::kMessage) Take(outcome, reader, cipher, message);
    } while (status == ReadStatus::kMessage);
    if (status == ReadStatus::kWaiting) {
      FUZZ_CHECK(writerOpen);  // with the writer closed, the stream must end
      continue;
    }
    outcome.end = status == ReadStatus::kPeerClosed ? ReadStatus::kWaiting : status;
    break;
  }
  if (writerOpen) close(ends[0]);
  close(ends[1]);
  FUZZ_CHECK(outcome.end != ReadStatus::kError);
  // A broken stream may stop before all was read; a clean one reads it all.
  if (outcome.end == ReadStatus::kWaiting) FUZZ_CHECK(bytesRead == size);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t seed = data[0];
  const Outcome fed = FeedInChunks(data + 1, size - 1, seed);
  const Outcome read = ReadFromSocket(data + 1, size - 1, seed);
  FUZZ_CHECK(fed.end == read.end);
  FUZZ_CHECK(fed.messages == read.messages);
  return 0;
}
