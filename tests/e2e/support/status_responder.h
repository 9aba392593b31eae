// A stand-in status server on 127.0.0.1 for tests of the status tool: it
// decodes each request with the project's codec and answers with a fixed
// packet (or stays silent), on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "status/status_packet.h"

namespace kestrune::test {

class StatusResponder {
 public:
  struct Answer {
    int type = kStatusReply;
    std::string data;  // sent exactly: include the NUL of a text yourself
    bool silent = false;
  };

  // Binds a free port of 127.0.0.1 and starts answering.
  explicit StatusResponder(Answer answer);
  ~StatusResponder();
  StatusResponder(const StatusResponder&) = delete;
  StatusResponder& operator=(const StatusResponder&) = delete;

  std::uint16_t Port() const { return port_; }
  // The requests decoded so far.
  std::vector<StatusRequest> Requests() const;

 private:
  void Serve();

  Answer answer_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<StatusRequest> requests_;
  std::thread thread_;
};

}  // namespace kestrune::test
