// The update check: every so often the server reports itself to the update
// service (a type-4 status packet) on a UDP socket of its own, and learns from
// the type-5 answer the newest version, its download location and the client
// version it requires. Driven by the loop: a tick every iteration, a receive
// when the socket is readable. Every failure is silent.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "status/status_packet.h"

namespace kestrune {

class Clock;
class Log;
struct ServerSettings;

inline constexpr const char* kUpdateProduct = "Kestrune";
inline constexpr const char* kUpdateComponent = "Server";

// What the last answer said; empty until one arrives.
struct UpdateTexts {
  std::string newestVersion;     // NEWVER
  std::string downloadLocation;  // URL, unescaped
  std::string requiredClient;    // REQCLIENT
};

// What the report reads; everything is owned by the server.
struct UpdateCheckContext {
  Clock& clock;
  Log& log;                        // only for a socket that does not fit the loop's wait sets
  const ServerSettings& settings;  // name and the port in force
  const std::time_t& startTime;    // wall-clock seconds
  const int& loggedOnUsers;
  std::string serverVersion;
  std::string platform;
};

class UpdateCheck {
 public:
  static constexpr std::uint32_t kFirstIntervalMs = 30000;
  static constexpr std::uint32_t kUnansweredIntervalMs = 900000;  // 15 min
  static constexpr std::uint32_t kAnsweredIntervalMs = 14400000;  // 4 h, also after a read error
  static constexpr std::uint32_t kAnswerWindowMs = 15000;
  // Each answer text is cut to this many bytes, so the notice fits one message.
  static constexpr std::size_t kMaxTextLength = 255;

  // The first report goes out 30 s from now.
  explicit UpdateCheck(UpdateCheckContext context);
  ~UpdateCheck();
  UpdateCheck(const UpdateCheck&) = delete;
  UpdateCheck& operator=(const UpdateCheck&) = delete;

  // Sets the service's host-order address and port while none is set.
  void Prepare(std::uint32_t address, std::uint16_t port);
  // Closes an unanswered exchange after 15 s; reports when the interval is over.
  void Tick();
  // The socket the loop waits on, -1 while closed.
  int Socket() const { return socket_; }
  // Reads one datagram from the socket and applies a complete answer.
  void Receive();

  const UpdateTexts& Texts() const { return texts_; }
  // Called with the texts whenever an answer changed them.
  void SetAnswerSink(std::function<void(const UpdateTexts&)> sink) { sink_ = std::move(sink); }

  // The report as it would go out now, without its NUL.
  std::string ReportText() const;

  // State, for tests.
  bool ExchangeOpen() const { return open_; }
  std::uint32_t IntervalMs() const { return intervalMs_; }
  std::uint32_t LastAttemptMs() const { return lastAttempt_; }
  std::uint16_t RequestId() const { return requestId_; }

 private:
  void OpenAndReport(std::uint32_t nowMs);
  void SendReport();
  void Close();
  void ApplyAnswer(const StatusPacket& answer);

  UpdateCheckContext context_;
  UpdateTexts texts_;
  std::function<void(const UpdateTexts&)> sink_;
  std::uint32_t serviceAddress_ = 0;
  std::uint16_t servicePort_ = 0;
  // An exchange is open from a report until its answer or the 15-s window;
  // a socket that could not be made still counts as an unanswered report.
  bool open_ = false;
  std::uint32_t openedAt_ = 0;
  std::uint32_t lastAttempt_ = 0;
  std::uint32_t intervalMs_ = kFirstIntervalMs;
  int socket_ = -1;
  std::uint16_t requestId_ = 0;
  std::unique_ptr<StatusPacket> receiving_;
};

}  // namespace kestrune
