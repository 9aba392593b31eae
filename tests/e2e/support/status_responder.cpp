#include "e2e/support/status_responder.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace kestrune::test {

StatusResponder::StatusResponder(Answer answer) : answer_(std::move(answer)) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0) {
    socklen_t length = sizeof(local);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  thread_ = std::thread([this] { Serve(); });
}

StatusResponder::~StatusResponder() {
  stop_ = true;
  thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::vector<StatusRequest> StatusResponder::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void StatusResponder::Serve() {
  // Its own generator: rand() belongs to the test's thread.
  std::minstd_rand engine(12345);
  const StatusRandom random = [&engine] { return static_cast<int>(engine()); };
  while (!stop_ && fd_ >= 0) {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 50) <= 0) continue;
    std::uint8_t buffer[kStatusMaxDatagram];
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    const ssize_t n =
        recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) continue;
    StatusRequest request;
    if (DecodeStatusRequest(buffer, static_cast<std::size_t>(n), from, request) != 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    if (answer_.silent) continue;
    std::unique_ptr<StatusPacket> reply = StatusPacket::Create(answer_.type);
    if (!reply || reply->SetDataLength(answer_.data.size()) != 0) continue;
    if (!answer_.data.empty()) std::memcpy(reply->Data(), answer_.data.data(), answer_.data.size());
    StatusSendOnce(fd_, std::move(reply), request.requestId, request.address, request.port, random);
  }
}

}  // namespace kestrune::test
