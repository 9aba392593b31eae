// The server log: every report becomes one time-stamped line in the log file,
// echoed to the console in the foreground and forwarded to administrators who
// watch the log.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "util/clock.h"

namespace kestrune {

class Log {
 public:
  static constexpr std::size_t kMaxText = 2047;

  explicit Log(Clock& clock) : clock_(clock) {}
  ~Log() { Close(); }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Opens `path` for appending; on failure prints "Unable to open log file
  // '%s'." to standard output and returns -1.
  int Open(const std::string& path);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // The open file's descriptor (-1 when closed), for the fatal-signal handler.
  int Descriptor() const;

  void SetDaemon(bool daemon) { daemon_ = daemon; }
  void SetTimeStamp(bool timeStamp) { timeStamp_ = timeStamp; }
  // Receives each line as watching administrators see it.
  using Forwarder = std::function<void(const std::string& text)>;
  void SetForwarder(Forwarder forwarder) { forwarder_ = std::move(forwarder); }

  // Formats like printf and writes the line; callable at any time.
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // "YYYYMMDD hh:mm:ss" of the given time, or "???????? ??:??:??".
  static std::string TimeStampText(std::time_t when);

 private:
  Clock& clock_;
  std::FILE* file_ = nullptr;
  bool daemon_ = false;
  bool timeStamp_ = false;
  Forwarder forwarder_;
};

}  // namespace kestrune
