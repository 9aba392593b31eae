// Test helpers for the connection layer: a connection on one end of a
// socketpair, and the peer end that reads and writes frames like a client.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/connection.h"
#include "net/framing.h"
#include "net/message.h"
#include "config/log.h"
#include "util/clock.h"

namespace kestrune::testing {

// Collects the log lines instead of printing them.
struct CapturedLog {
  FakeClock clock;
  Log log{clock};
  std::vector<std::string> lines;
  CapturedLog() {
    log.SetDaemon(true);
    log.SetForwarder([this](const std::string& text) { lines.push_back(text); });
  }
  bool Has(const std::string& text) const {
    for (const auto& line : lines) {
      if (line == text) return true;
    }
    return false;
  }
};

// The client end of a socketpair.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() {
    if (fd_ >= 0) close(fd_);
  }
  int Fd() const { return fd_; }
  StreamCipher& In() { return in_; }
  StreamCipher& Out() { return out_; }

  void WriteBytes(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void Send(const Message& message) {
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(BuildFrame(message, out_, frame));
    WriteBytes(frame);
  }
  // The next whole message within a short wait, or none.
  std::unique_ptr<Message> Next(int timeoutMs = 200) {
    for (;;) {
      std::unique_ptr<Message> out;
      if (used_ < buffered_.size()) {
        ReadStatus status = reader_.Feed(buffered_.data(), buffered_.size(), used_, in_, out);
        if (status == ReadStatus::kMessage) return out;
        if (status != ReadStatus::kWaiting) return nullptr;
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return nullptr;
      std::uint8_t chunk[8192];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return nullptr;
      buffered_.assign(chunk, chunk + n);
      used_ = 0;
    }
  }
  // True when the other side has closed (end of stream after any data).
  bool SeesClose(int timeoutMs = 200) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
      std::uint8_t chunk[8192];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return true;
    }
  }

 private:
  int fd_;
  StreamCipher in_;
  StreamCipher out_;
  FrameReader reader_;
  std::vector<std::uint8_t> buffered_;
  std::size_t used_ = 0;
};

// A non-blocking connection on one end of a socketpair; the other end goes to `peer`.
// With `keys`, both directions get a key stream so that more than one message can pass.
inline std::unique_ptr<Connection> PairedConnection(std::uint16_t id, std::unique_ptr<Peer>& peer,
                                                    ByteCounters* counters = nullptr,
                                                    bool keys = false) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return nullptr;
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  auto connection = std::make_unique<Connection>(counters, id);
  connection->socket = fds[0];
  connection->accepted = true;
  connection->maySend = true;
  connection->addressText = "127.0.0.1";
  connection->name = "127.0.0.1";
  peer = std::make_unique<Peer>(fds[1]);
  if (keys) {
    const std::uint8_t a[] = {'s', 'e', 'n', 'd'};
    const std::uint8_t b[] = {'r', 'e', 'c', 'v', '!'};
    connection->InstallSendKey(a, sizeof a);
    connection->InstallReceiveKey(b, sizeof b);
    peer->In().Install(a, sizeof a);
    peer->Out().Install(b, sizeof b);
  }
  return connection;
}

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

}  // namespace kestrune::testing
