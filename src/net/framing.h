// The TCP stream of a client: frames of a 2-byte big-endian length and 1 to
// 4096 scrambled message bytes, the two scramblings (fixed key for the first
// message in each direction, a per-connection key stream after that), the
// frame reader and the send queue. The server and client/ share this code;
// only the key directions differ.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "net/message.h"

namespace kestrune {

// Scrambles the first message in each direction of every stream.
inline constexpr std::array<std::uint8_t, 11> kFirstMessageKey = {
    0xFA, 0xAF, 0xFA, 0x1D, 0x28, 0xC8, 0x3A, 0x59, 0xE4, 0x64, 0x2E};

// Fixed-key scrambling of one message: byte i gains (i mod 27) + key[i mod 11].
void ScrambleFixed(const std::uint8_t* in, std::uint8_t* out, std::size_t n);
void DescrambleFixed(std::uint8_t* data, std::size_t n);

// One direction of a stream: the "first message" flag and the key stream.
class StreamCipher {
 public:
  // Copies the key; the position starts at 0. An empty key is ignored.
  void Install(const std::uint8_t* key, std::size_t length);
  bool Installed() const { return !key_.empty(); }
  bool First() const { return first_; }
  std::size_t Position() const { return position_; }

  // Scrambles n bytes from `in` into `out` (they may be the same): the first
  // message with the fixed key, later ones with the key stream. False, with
  // nothing changed, when the key stream is needed and none is installed.
  bool Scramble(const std::uint8_t* in, std::uint8_t* out, std::size_t n);
  bool Descramble(std::uint8_t* data, std::size_t n);

 private:
  std::vector<std::uint8_t> key_;
  // The key repeated over one key length plus a whole message, so a message
  // reads its key bytes in one straight run without wrapping.
  std::vector<std::uint8_t> stream_;
  std::size_t position_ = 0;
  bool first_ = true;
};

// Builds the wire frame of `message` (length, then the scrambled bytes) into
// `frame`, scrambling straight from the message. False when the cipher has no
// key for it; then the cipher is unchanged.
bool BuildFrame(const Message& message, StreamCipher& cipher, std::vector<std::uint8_t>& frame);

enum class ReadStatus {
  kMessage,     // a whole message was received and descrambled
  kWaiting,     // nothing more to read now; call again when readable
  kPeerClosed,  // the peer closed the stream
  kError,       // a receive error other than EAGAIN (the error number is kept)
  kBadLength,   // a length field of 0 or above 4096
  kNoKey,       // a later message arrived before the key stream was installed
};

// Cuts a byte stream into messages across any split of header and body.
class FrameReader {
 public:
  FrameReader() = default;

  static constexpr std::size_t kInboxSize = 16384;

  // One step: a message already received is taken from the inbox; otherwise
  // one receive of what the socket holds (up to the inbox size) is cut into
  // frames. On kMessage `out` holds the message; more may wait in the inbox
  // (Buffered), which no readiness will announce. `bytesRead` grows by what
  // was read.
  ReadStatus Read(int fd, StreamCipher& cipher, std::unique_ptr<Message>& out,
                  std::uint64_t& bytesRead);
  // Received bytes not yet cut into messages.
  bool Buffered() const { return inboxStart_ < inboxEnd_; }
  // The same over bytes already in memory (tests, benchmarks): consumes from
  // `data`, advancing `used`.
  ReadStatus Feed(const std::uint8_t* data, std::size_t size, std::size_t& used,
                  StreamCipher& cipher, std::unique_ptr<Message>& out);
  int LastError() const { return lastError_; }
  // Gives back a message this reader produced, for the next frame.
  void Recycle(std::unique_ptr<Message> message) {
    if (!spare_) spare_ = std::move(message);
  }
  // Back to waiting for a header; a partial message is dropped (bytes
  // already received stay in the inbox).
  void Reset();

 private:
  std::uint8_t* Target();
  ReadStatus HeaderDone();
  ReadStatus BodyDone(StreamCipher& cipher, std::unique_ptr<Message>& out);

  ReadStatus FeedInbox(StreamCipher& cipher, std::unique_ptr<Message>& out);

  std::vector<std::uint8_t> inbox_;
  std::size_t inboxStart_ = 0;
  std::size_t inboxEnd_ = 0;
  int phase_ = 0;
  std::array<std::uint8_t, 2> header_{};
  std::unique_ptr<Message> current_;
  std::unique_ptr<Message> spare_;
  std::size_t total_ = 2;
  std::size_t remaining_ = 2;
  int lastError_ = 0;
};

enum class FlushStatus { kIdle, kPending, kDone, kError };

// Outgoing frames waiting for the socket. Frames are kept one by one, so a
// send never copies what is already queued.
class SendQueue {
 public:
  // Bytes not yet written.
  std::size_t Queued() const { return queued_; }
  bool Empty() const { return frames_.empty(); }
  void Push(std::vector<std::uint8_t> frame);
  // One non-blocking send of as much as the socket takes. kDone when the queue
  // became empty, kPending when bytes remain (also on EAGAIN), kIdle when
  // nothing was queued, kError on any other failure or 0 bytes written.
  FlushStatus Flush(int fd, std::uint64_t& bytesSent);
  void Clear();

 private:
  std::deque<std::vector<std::uint8_t>> frames_;
  std::size_t headSent_ = 0;
  std::size_t queued_ = 0;
};

}  // namespace kestrune
