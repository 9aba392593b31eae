// A stand-in update service on 127.0.0.1: it records every type-4 report the
// server sends and answers it with a type-5 packet the test chooses, or stays
// silent. Runs on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "status/status_packet.h"

namespace kestrune::test {

class FakeUpdateService {
 public:
  // The answer's data, sent exactly (include the NUL of a text yourself);
  // none: silent.
  explicit FakeUpdateService(std::optional<std::string> answer);
  ~FakeUpdateService();
  FakeUpdateService(const FakeUpdateService&) = delete;
  FakeUpdateService& operator=(const FakeUpdateService&) = delete;

  std::uint16_t Port() const { return port_; }
  // "127.0.0.1:<port>", for the UpdateServer key.
  std::string Address() const;
  // The reports received so far (data up to the first NUL).
  std::vector<std::string> Reports() const;
  // Waits for the report count to reach `count`; false after `timeoutMs`.
  bool WaitForReports(std::size_t count, int timeoutMs) const;

 private:
  void Serve();

  std::optional<std::string> answer_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> reports_;
  std::thread thread_;
};

}  // namespace kestrune::test
