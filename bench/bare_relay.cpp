#include "bench/bare_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrune::bench {
namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kMaxFrameBody = 4096;

struct BareClient {
  int fd = -1;
  std::string address;
  std::vector<std::uint8_t> in;  // received bytes, the start of a frame first
  std::size_t inLength = 0;
  std::vector<std::uint8_t> out;
  std::size_t outSent = 0;  // bytes of `out` already written
  bool closing = false;
  const char* why = "";

  std::size_t Queued() const { return out.size() - outSent; }
};

class BareRelay {
 public:
  BareRelay(int listenFd, const BareRelayOptions& options)
      : listenFd_(listenFd), options_(options) {
    if (!options_.logPath.empty()) log_ = std::fopen(options_.logPath.c_str(), "a");
  }
  ~BareRelay() {
    for (auto& client : clients_) ::close(client->fd);
    if (log_ != nullptr) std::fclose(log_);
  }
  BareRelay(const BareRelay&) = delete;
  BareRelay& operator=(const BareRelay&) = delete;

  int Run(volatile std::sig_atomic_t& stop) {
    std::vector<pollfd> fds;
    while (stop == 0) {
      fds.clear();
      fds.push_back({listenFd_, POLLIN, 0});
      for (const auto& client : clients_) {
        const short events = static_cast<short>(POLLIN | (client->Queued() > 0 ? POLLOUT : 0));
        fds.push_back({client->fd, events, 0});
      }
      const int ready = poll(fds.data(), fds.size(), 1000);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (ready == 0) continue;
      // Clients accepted in this pass have no entry in `fds` yet.
      const std::size_t polled = clients_.size();
      if ((fds[0].revents & POLLIN) != 0) Accept();
      for (std::size_t i = 0; i < polled; ++i) {
        const short revents = fds[i + 1].revents;
        BareClient& client = *clients_[i];
        if (client.closing) continue;
        if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(client);
        if (!client.closing && (revents & POLLOUT) != 0) Flush(client);
      }
      Reap();
    }
    return 0;
  }

 private:
  void Accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= options_.maxClients) {
      ::close(fd);
      return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options_.sendBuffer, sizeof options_.sendBuffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer, sizeof options_.receiveBuffer);
    auto client = std::make_unique<BareClient>();
    client->fd = fd;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    client->address = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    client->in.resize(kReadChunk + kMaxFrameBody + 2);
    clients_.push_back(std::move(client));
  }

  void Receive(BareClient& client) {
    const ssize_t n = recv(client.fd, client.in.data() + client.inLength,
                           client.in.size() - client.inLength, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      MarkClosing(client, n == 0 ? "closed" : "receive failed");
      return;
    }
    client.inLength += static_cast<std::size_t>(n);
    std::size_t at = 0;
    while (client.inLength - at >= 2) {
      const std::size_t body = (std::size_t{client.in[at]} << 8) | client.in[at + 1];
      if (body == 0 || body > kMaxFrameBody) {
        MarkClosing(client, "bad frame length");
        return;
      }
      if (client.inLength - at < body + 2) break;
      FanOut(client, client.in.data() + at, body + 2);
      at += body + 2;
    }
    std::memmove(client.in.data(), client.in.data() + at, client.inLength - at);
    client.inLength -= at;
  }

  // Copies one whole frame to every other client: straight to the socket
  // while nothing waits before it, else behind what is queued.
  void FanOut(const BareClient& from, const std::uint8_t* frame, std::size_t size) {
    for (auto& entry : clients_) {
      BareClient& to = *entry;
      if (&to == &from || to.closing) continue;
      std::size_t written = 0;
      if (to.Queued() == 0) {
        const ssize_t n = send(to.fd, frame, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          MarkClosing(to, "send failed");
          continue;
        }
        if (n > 0) written = static_cast<std::size_t>(n);
        if (written == size) continue;
      } else if (to.Queued() + size >= options_.queueLimit) {
        MarkClosing(to, "send queue limit");
        continue;
      }
      to.out.insert(to.out.end(), frame + written, frame + size);
    }
  }

  void Flush(BareClient& client) {
    while (client.Queued() > 0) {
      const ssize_t n = send(client.fd, client.out.data() + client.outSent, client.Queued(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        MarkClosing(client, "send failed");
        return;
      }
      client.outSent += static_cast<std::size_t>(n);
    }
    if (client.Queued() == 0) {
      client.out.clear();
      client.outSent = 0;
    }
  }

  void MarkClosing(BareClient& client, const char* why) {
    client.closing = true;
    client.why = why;
  }

  void Reap() {
    for (std::size_t i = 0; i < clients_.size();) {
      if (!clients_[i]->closing) {
        ++i;
        continue;
      }
      if (log_ != nullptr) {
        std::fprintf(log_, "DISC: %s %s\n", clients_[i]->address.c_str(), clients_[i]->why);
        std::fflush(log_);
      }
      ::close(clients_[i]->fd);
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  int listenFd_;
  BareRelayOptions options_;
  std::FILE* log_ = nullptr;
  std::vector<std::unique_ptr<BareClient>> clients_;
};

}  // namespace

int RunBareRelay(int listenFd, const BareRelayOptions& options, volatile std::sig_atomic_t& stop) {
  BareRelay relay(listenFd, options);
  return relay.Run(stop);
}

}  // namespace kestrune::bench
