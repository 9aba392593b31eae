#include "e2e/support/fake_update_service.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>

namespace kestrune::test {

FakeUpdateService::FakeUpdateService(std::optional<std::string> answer)
    : answer_(std::move(answer)) {
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

FakeUpdateService::~FakeUpdateService() {
  stop_ = true;
  thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::string FakeUpdateService::Address() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> FakeUpdateService::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

bool FakeUpdateService::WaitForReports(std::size_t count, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reports_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void FakeUpdateService::Serve() {
  // Its own generator: rand() belongs to the test's thread.
  std::minstd_rand engine(4242);
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
    // A report fits one datagram.
    StatusRequest report;
    if (DecodeStatusRequest(buffer, static_cast<std::size_t>(n), from, report) != 0) continue;
    if (report.type != kStatusUpdateReport) continue;
    {
      const auto* text = reinterpret_cast<const char*>(report.data.data());
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.emplace_back(text, strnlen(text, report.data.size()));
    }
    if (!answer_) continue;
    std::unique_ptr<StatusPacket> reply = StatusPacket::Create(kStatusUpdateAnswer);
    if (!reply || reply->SetDataLength(answer_->size()) != 0) continue;
    if (!answer_->empty()) std::memcpy(reply->Data(), answer_->data(), answer_->size());
    StatusSendOnce(fd_, std::move(reply), report.requestId, report.address, report.port, random);
  }
}

}  // namespace kestrune::test
