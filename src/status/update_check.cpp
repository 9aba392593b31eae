#include "status/update_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

#include "config/log.h"
#include "config/settings.h"
#include "status/append_format.h"
#include "util/clock.h"
#include "util/text.h"

namespace kestrune {
namespace {

void CutToLimit(std::string& text) {
  if (text.size() > UpdateCheck::kMaxTextLength) text.resize(UpdateCheck::kMaxTextLength);
}

}  // namespace

UpdateCheck::UpdateCheck(UpdateCheckContext context)
    : context_(std::move(context)), lastAttempt_(context_.clock.NowMs()) {}

UpdateCheck::~UpdateCheck() {
  Close();
}

void UpdateCheck::Prepare(std::uint32_t address, std::uint16_t port) {
  if (serviceAddress_ != 0) return;
  serviceAddress_ = address;
  servicePort_ = port;
}

void UpdateCheck::Tick() {
  const std::uint32_t now = context_.clock.NowMs();
  if (open_) {
    if (ElapsedMs(openedAt_, now, kAnswerWindowMs)) {
      intervalMs_ = kUnansweredIntervalMs;
      Close();
    }
    return;
  }
  if (!ElapsedMs(lastAttempt_, now, intervalMs_)) return;
  lastAttempt_ = now;
  OpenAndReport(now);
}

void UpdateCheck::OpenAndReport(std::uint32_t nowMs) {
  Close();
  open_ = true;
  openedAt_ = nowMs;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  // Without a socket the window still runs: the next try comes in 15 min.
  if (fd < 0) return;
  if (fd >= FD_SETSIZE) {
    context_.log.Write("ERROR: Socket %d does not fit the wait sets; closed.", fd);
    close(fd);
    return;
  }
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    open_ = false;
    openedAt_ = 0;
    return;
  }
  // The loop must never wait on this socket outside its select.
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  socket_ = fd;
  SendReport();
}

void UpdateCheck::SendReport() {
  receiving_ = StatusPacket::CreateReceiving();
  std::uint16_t id = 0;
  while (id == 0) id = static_cast<std::uint16_t>(std::rand() & 0xFFFF);
  requestId_ = id;
  // A report that cannot go out waits for the 15-s window like an unanswered one.
  StatusSendText(socket_, kStatusUpdateReport, requestId_, ReportText(), serviceAddress_,
                 servicePort_);
}

void UpdateCheck::Close() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  receiving_.reset();
  open_ = false;
  openedAt_ = 0;
}

void UpdateCheck::Receive() {
  if (socket_ < 0) return;
  std::uint8_t buffer[kStatusMaxDatagram];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n =
      recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    intervalMs_ = kAnsweredIntervalMs;
    Close();
    return;
  }
  // The port is not compared: the service may answer from another one.
  if (ntohl(from.sin_addr.s_addr) != serviceAddress_) return;
  if (!receiving_) receiving_ = StatusPacket::CreateReceiving();
  const int result = receiving_->Decode(buffer, static_cast<std::size_t>(n), requestId_);
  if (result > 0) return;
  if (result == kStatusComplete && receiving_->Type() == kStatusUpdateAnswer) {
    ApplyAnswer(*receiving_);
  }
  Close();
}

void UpdateCheck::ApplyAnswer(const StatusPacket& answer) {
  const std::size_t length = answer.DataLength();
  if (length == 0 || answer.Data()[length - 1] != 0) return;
  const char* data = reinterpret_cast<const char*>(answer.Data());
  const std::string_view text(data, strnlen(data, length));
  std::map<std::string, std::string> fields;
  ParseFieldLines(text, fields);
  if (auto url = fields.find("URL"); url != fields.end()) {
    std::string value = url->second;
    UnescapeText(value);
    CutToLimit(value);
    texts_.downloadLocation = std::move(value);
  }
  if (auto version = fields.find("NEWVER"); version != fields.end()) {
    texts_.newestVersion = version->second;
    CutToLimit(texts_.newestVersion);
  }
  if (auto client = fields.find("REQCLIENT"); client != fields.end()) {
    texts_.requiredClient = client->second;
    CutToLimit(texts_.requiredClient);
  }
  intervalMs_ = kAnsweredIntervalMs;
  if (sink_) sink_(texts_);
}

std::string UpdateCheck::ReportText() const {
  const std::time_t now = context_.clock.WallSeconds();
  const auto uptime =
      static_cast<unsigned>(now > context_.startTime ? now - context_.startTime : 0);
  std::string text;
  AppendFormat(text, "PROD: %s\n", kUpdateProduct);
  AppendFormat(text, "COMP: %s\n", kUpdateComponent);
  AppendFormat(text, "PLAT: %s\n", context_.platform.c_str());
  AppendFormat(text, "VER: %s\n", context_.serverVersion.c_str());
  AppendFormat(text, "MAXCL: %d\n", ServerSettings::kMaxClients);
  AppendFormat(text, "CLCNT: %d\n", context_.loggedOnUsers);
  AppendFormat(text, "PORT: %d\n", context_.settings.port);
  AppendFormat(text, "UPTIME: %u\n", uptime);
  AppendFormat(text, "NAME: %s\n", context_.settings.name.c_str());
  return text;
}

}  // namespace kestrune
