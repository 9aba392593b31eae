#include "client/client_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrune {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kSendTimeoutMs = 5000;

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool LoopbackAddress(const std::string& text, in_addr& address) {
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

bool AnyAddress(const std::string& text, in_addr& address) {
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

ClientConnection::~ClientConnection() {
  Close();
}

void ClientConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int ClientConnection::Connect(const std::string& host, std::uint16_t port,
                              const std::string& localAddress, int timeoutMs) {
  Close();
  peerClosed_ = false;
  sendCipher_ = StreamCipher();
  receiveCipher_ = StreamCipher();
  reader_.Reset();
  buffered_.clear();
  used_ = 0;

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  if (anyAddress_ ? !AnyAddress(host, server.sin_addr) : !LoopbackAddress(host, server.sin_addr)) {
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!localAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!LoopbackAddress(localAddress, local.sin_addr) ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Connect without blocking so the wait is bounded.
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
        error == 0) {
      result = 0;
    }
  }
  if (result != 0) {
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, flags);
  // A server that stops reading must not hang a test in a blocking send.
  timeval sendLimit{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  fd_ = fd;
  return 0;
}

std::uint16_t ClientConnection::LocalPort() const {
  if (fd_ < 0) return 0;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

bool ClientConnection::InstallHandshakeKeys(std::string_view replyText) {
  std::size_t bar = replyText.find('|');
  if (bar == std::string_view::npos || bar == 0 || bar + 1 >= replyText.size()) return false;
  InstallSendKey(replyText.substr(0, bar));
  InstallReceiveKey(replyText.substr(bar + 1));
  return true;
}

void ClientConnection::InstallSendKey(std::string_view key) {
  sendCipher_.Install(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
}

void ClientConnection::InstallReceiveKey(std::string_view key) {
  receiveCipher_.Install(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
}

bool ClientConnection::Send(const Message& message) {
  std::vector<std::uint8_t> frame;
  if (!BuildFrame(message, sendCipher_, frame)) return false;
  return SendRaw(frame);
}

bool ClientConnection::SendRaw(const std::vector<std::uint8_t>& bytes) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::unique_ptr<Message> ClientConnection::Receive(int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (used_ < buffered_.size()) {
      std::unique_ptr<Message> out;
      ReadStatus status =
          reader_.Feed(buffered_.data(), buffered_.size(), used_, receiveCipher_, out);
      if (status == ReadStatus::kMessage) return out;
      if (status != ReadStatus::kWaiting) {
        // A frame we cannot take: the rest of this stream cannot be trusted.
        buffered_.clear();
        used_ = 0;
        reader_.Reset();
        return nullptr;
      }
    }
    if (fd_ < 0 || peerClosed_) return nullptr;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return nullptr;
    std::uint8_t chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      peerClosed_ = true;
      return nullptr;
    }
    buffered_.assign(chunk, chunk + n);
    used_ = 0;
  }
}

bool ClientConnection::WaitClosed(int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (!peerClosed_) {
    int left = MsLeft(deadline);
    if (left == 0) return false;
    Receive(left);
  }
  return true;
}

}  // namespace kestrune
