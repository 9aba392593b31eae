#include "config/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace kestrune {

int Log::Open(const std::string& path) {
  Close();
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) {
    std::printf("Unable to open log file '%s'.\n", path.c_str());
    std::fflush(stdout);
    return -1;
  }
  return 0;
}

void Log::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

int Log::Descriptor() const {
  return file_ != nullptr ? fileno(file_) : -1;
}

std::string Log::TimeStampText(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return "???????? ??:??:??";
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

void Log::Write(const char* format, ...) {
  // One byte more than the longest text; vsnprintf cuts the rest.
  char text[kMaxText + 1];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) text[0] = '\0';

  const std::string stamp = TimeStampText(clock_.WallSeconds());
  if (file_ != nullptr) {
    std::fprintf(file_, "%s %s\n", stamp.c_str(), text);
    std::fflush(file_);
  }
  if (!daemon_) {
    if (timeStamp_) {
      std::printf("%s %s\n", stamp.c_str(), text);
    } else {
      std::printf("%s\n", text);
    }
    std::fflush(stdout);
  }
  if (forwarder_) forwarder_(timeStamp_ ? stamp + " " + text : std::string(text));
}

}  // namespace kestrune
