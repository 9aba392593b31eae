#include "net/framing.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune {

namespace {

// (i mod 27) + key[i mod 11] repeats every 297 bytes; one table lookup per byte.
constexpr std::size_t kFixedPeriod = 297;

constexpr std::array<std::uint8_t, kFixedPeriod> MakeFixedTable() {
  std::array<std::uint8_t, kFixedPeriod> table{};
  for (std::size_t i = 0; i < kFixedPeriod; ++i) {
    table[i] = static_cast<std::uint8_t>((i % 27) + kFirstMessageKey[i % 11]);
  }
  return table;
}

constexpr std::array<std::uint8_t, kFixedPeriod> kFixedTable = MakeFixedTable();

// The second part of the key stream: i mod 45 for every offset of a message.
constexpr std::array<std::uint8_t, Message::kMaxLength> MakeMod45Table() {
  std::array<std::uint8_t, Message::kMaxLength> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i % 45);
  return table;
}

constexpr std::array<std::uint8_t, Message::kMaxLength> kMod45 = MakeMod45Table();

}  // namespace

void ScrambleFixed(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
  for (std::size_t base = 0; base < n; base += kFixedPeriod) {
    std::size_t chunk = n - base < kFixedPeriod ? n - base : kFixedPeriod;
    for (std::size_t j = 0; j < chunk; ++j) {
      out[base + j] = static_cast<std::uint8_t>(in[base + j] + kFixedTable[j]);
    }
  }
}

void DescrambleFixed(std::uint8_t* data, std::size_t n) {
  for (std::size_t base = 0; base < n; base += kFixedPeriod) {
    std::size_t chunk = n - base < kFixedPeriod ? n - base : kFixedPeriod;
    for (std::size_t j = 0; j < chunk; ++j) {
      data[base + j] = static_cast<std::uint8_t>(data[base + j] - kFixedTable[j]);
    }
  }
}

void StreamCipher::Install(const std::uint8_t* key, std::size_t length) {
  if (key == nullptr || length == 0) return;
  key_.assign(key, key + length);
  stream_.resize(length + Message::kMaxLength);
  // The key repeated: each copy doubles the filled run, which stays a whole
  // number of keys long.
  std::copy(key, key + length, stream_.begin());
  for (std::size_t filled = length; filled < stream_.size();) {
    const std::size_t n = std::min(filled, stream_.size() - filled);
    std::copy_n(stream_.begin(), n, stream_.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += n;
  }
  position_ = 0;
}

bool StreamCipher::Scramble(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
  if (first_) {
    ScrambleFixed(in, out, n);
    first_ = false;
    return true;
  }
  if (key_.empty() || n > Message::kMaxLength) return false;
  const std::uint8_t* key = stream_.data() + position_;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(in[i] + key[i] + kMod45[i]);
  }
  position_ = (position_ + n) % key_.size();
  return true;
}

bool StreamCipher::Descramble(std::uint8_t* data, std::size_t n) {
  if (first_) {
    DescrambleFixed(data, n);
    first_ = false;
    return true;
  }
  if (key_.empty() || n > Message::kMaxLength) return false;
  const std::uint8_t* key = stream_.data() + position_;
  for (std::size_t i = 0; i < n; ++i) {
    data[i] = static_cast<std::uint8_t>(data[i] - key[i] - kMod45[i]);
  }
  position_ = (position_ + n) % key_.size();
  return true;
}

bool BuildFrame(const Message& message, StreamCipher& cipher, std::vector<std::uint8_t>& frame) {
  const std::size_t length = message.Length();
  frame.resize(length + 2);
  if (!cipher.Scramble(message.Data(), frame.data() + 2, length)) {
    frame.clear();
    return false;
  }
  frame[0] = static_cast<std::uint8_t>(length >> 8);
  frame[1] = static_cast<std::uint8_t>(length & 0xFF);
  return true;
}

std::uint8_t* FrameReader::Target() {
  return phase_ == 0 ? header_.data() : current_->Data();
}

void FrameReader::Reset() {
  phase_ = 0;
  current_.reset();
  total_ = remaining_ = 2;
}

ReadStatus FrameReader::HeaderDone() {
  std::size_t length = (static_cast<std::size_t>(header_[0]) << 8) | header_[1];
  if (length == 0 || length > Message::kMaxLength) {
    Reset();
    return ReadStatus::kBadLength;
  }
  if (spare_) {
    current_ = std::move(spare_);
    current_->Reset(length);
  } else {
    current_ = std::make_unique<Message>(length);
  }
  phase_ = 1;
  total_ = remaining_ = length;
  return ReadStatus::kWaiting;
}

ReadStatus FrameReader::BodyDone(StreamCipher& cipher, std::unique_ptr<Message>& out) {
  std::unique_ptr<Message> message = std::move(current_);
  Reset();
  if (!cipher.Descramble(message->Data(), message->Length())) return ReadStatus::kNoKey;
  out = std::move(message);
  return ReadStatus::kMessage;
}

ReadStatus FrameReader::FeedInbox(StreamCipher& cipher, std::unique_ptr<Message>& out) {
  std::size_t used = inboxStart_;
  const ReadStatus status = Feed(inbox_.data(), inboxEnd_, used, cipher, out);
  inboxStart_ = used;
  if (status != ReadStatus::kMessage && status != ReadStatus::kWaiting) {
    inboxStart_ = inboxEnd_ = 0;  // the stream is broken: nothing after this counts
  } else if (inboxStart_ == inboxEnd_) {
    inboxStart_ = inboxEnd_ = 0;
  }
  return status;
}

ReadStatus FrameReader::Read(int fd, StreamCipher& cipher, std::unique_ptr<Message>& out,
                             std::uint64_t& bytesRead) {
  // Messages already received go first, without a system call.
  if (Buffered()) {
    const ReadStatus status = FeedInbox(cipher, out);
    if (status != ReadStatus::kWaiting) return status;
  }
  if (inbox_.empty()) inbox_.resize(kInboxSize);
  const ssize_t n = recv(fd, inbox_.data(), inbox_.size(), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadStatus::kWaiting;
    lastError_ = errno;
    return ReadStatus::kError;
  }
  if (n == 0) return ReadStatus::kPeerClosed;
  bytesRead += static_cast<std::uint64_t>(n);
  inboxStart_ = 0;
  inboxEnd_ = static_cast<std::size_t>(n);
  return FeedInbox(cipher, out);
}

ReadStatus FrameReader::Feed(const std::uint8_t* data, std::size_t size, std::size_t& used,
                             StreamCipher& cipher, std::unique_ptr<Message>& out) {
  while (used < size) {
    std::size_t n = size - used < remaining_ ? size - used : remaining_;
    std::memcpy(Target() + (total_ - remaining_), data + used, n);
    used += n;
    remaining_ -= n;
    if (remaining_ > 0) break;
    if (phase_ == 0) {
      ReadStatus status = HeaderDone();
      if (status != ReadStatus::kWaiting) return status;
    } else {
      return BodyDone(cipher, out);
    }
  }
  return ReadStatus::kWaiting;
}

void SendQueue::Push(std::vector<std::uint8_t> frame) {
  if (frame.empty()) return;
  queued_ += frame.size();
  frames_.push_back(std::move(frame));
}

void SendQueue::Clear() {
  frames_.clear();
  headSent_ = 0;
  queued_ = 0;
}

FlushStatus SendQueue::Flush(int fd, std::uint64_t& bytesSent) {
  if (frames_.empty()) return FlushStatus::kIdle;
  // One gathering send over the queued frames, as one send of one buffer would.
  constexpr std::size_t kMaxSlices = 64;
  iovec slices[kMaxSlices];
  std::size_t count = 0;
  for (auto it = frames_.begin(); it != frames_.end() && count < kMaxSlices; ++it, ++count) {
    std::size_t skip = count == 0 ? headSent_ : 0;
    slices[count].iov_base = it->data() + skip;
    slices[count].iov_len = it->size() - skip;
  }
  msghdr header{};
  header.msg_iov = slices;
  header.msg_iovlen = count;
  ssize_t n = sendmsg(fd, &header, MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return FlushStatus::kPending;
    return FlushStatus::kError;
  }
  if (n == 0) return FlushStatus::kError;
  bytesSent += static_cast<std::uint64_t>(n);
  std::size_t written = static_cast<std::size_t>(n);
  queued_ -= written;
  while (written > 0) {
    std::size_t left = frames_.front().size() - headSent_;
    if (written < left) {
      headSent_ += written;
      break;
    }
    written -= left;
    frames_.pop_front();
    headSent_ = 0;
  }
  return frames_.empty() ? FlushStatus::kDone : FlushStatus::kPending;
}

}  // namespace kestrune
