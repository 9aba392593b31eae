#include "bench/relay_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include "client/session.h"
#include "config/settings.h"
#include "net/framing.h"
#include "net/message.h"

namespace kestrune::bench {
namespace {

using Ns = std::int64_t;

constexpr Ns kMs = 1000000;
constexpr Ns kSecond = 1000000000;
constexpr int kLoginWaitMs = 5000;
constexpr Ns kDrainLimit = 2 * kSecond;  // after the interval, for copies in flight
constexpr Ns kLogCheckEvery = 100 * kMs;
constexpr std::size_t kReadChunk = 65536;

Ns NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ns>(now.tv_sec) * kSecond + now.tv_nsec;
}

int MsUntil(Ns deadline) {
  const Ns left = deadline - NowNs();
  return left <= 0 ? 0 : static_cast<int>((left + kMs - 1) / kMs);
}

// What a talker writes at the start of each packet's data bytes; the rest
// is filler. Little-endian like the message's fixed fields.
struct Stamp {
  static constexpr std::uint32_t kMagic = 0x4456424B;  // "KBVD"
  static constexpr std::size_t kSize = 20;
  static constexpr std::uint16_t kMeasured = 1;
  std::uint16_t talker = 0;
  std::uint16_t flags = 0;
  std::uint32_t sequence = 0;
  Ns sentAt = 0;
};

void PutLe(std::uint8_t* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t GetLe(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

void WriteStamp(std::uint8_t* at, const Stamp& stamp) {
  PutLe(at, Stamp::kMagic, 4);
  PutLe(at + 4, stamp.talker, 2);
  PutLe(at + 6, stamp.flags, 2);
  PutLe(at + 8, stamp.sequence, 4);
  PutLe(at + 12, static_cast<std::uint64_t>(stamp.sentAt), 8);
}

enum class Voice { kOther, kData, kMalformed };

// Finds the stamp of a MSG_VOICE data packet: past the two counted lists,
// the data must fill the message to its end and start with a stamp.
Voice ReadVoiceData(const std::uint8_t* bytes, std::size_t n, Stamp& stamp) {
  if (n < 24 || GetLe(bytes, 2) != MSG_VOICE || GetLe(bytes + 4, 2) != 1) return Voice::kOther;
  std::size_t cursor = 24;
  for (int list = 0; list < 2; ++list) {
    if (cursor + 2 > n) return Voice::kMalformed;
    const std::size_t count = (std::size_t{bytes[cursor]} << 8) | bytes[cursor + 1];
    cursor += 2 + 2 * count;
  }
  const std::uint64_t dataBytes = GetLe(bytes + 16, 4);
  if (cursor > n || n - cursor != dataBytes || dataBytes < Stamp::kSize) return Voice::kMalformed;
  const std::uint8_t* data = bytes + cursor;
  if (GetLe(data, 4) != Stamp::kMagic) return Voice::kMalformed;
  stamp.talker = static_cast<std::uint16_t>(GetLe(data + 4, 2));
  stamp.flags = static_cast<std::uint16_t>(GetLe(data + 6, 2));
  stamp.sequence = static_cast<std::uint32_t>(GetLe(data + 8, 4));
  stamp.sentAt = static_cast<Ns>(GetLe(data + 12, 8));
  return Voice::kData;
}

// MSG_VOICE as a talker sends it: own channel (target type 1, id 0); data
// packets carry `dataBytes` bytes and a non-zero offset 20.
std::vector<std::uint8_t> VoiceMessage(std::uint16_t action, const LoadOptions& options,
                                       std::size_t& dataAt) {
  auto message = CreateMessage(MSG_VOICE);
  message->SetU16(4, action);
  message->SetU16(8, static_cast<std::uint16_t>(options.voiceCodec));
  message->SetU16(10, static_cast<std::uint16_t>(options.voiceFormat));
  const bool data = action == 1;
  if (data) {
    message->SetU32(16, static_cast<std::uint32_t>(options.dataBytes));
    message->SetU32(20, 1);
  }
  WriteU16List(*message, {1});
  WriteU16List(*message, {0});
  dataAt = message->Length();
  if (data) {
    const int at = message->ReserveBytes(static_cast<std::size_t>(options.dataBytes));
    for (int i = 0; at >= 0 && i < options.dataBytes; ++i) {
      message->Data()[at + i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
  }
  return {message->Data(), message->Data() + message->Length()};
}

enum class ReceiveStatus { kOk, kClosed, kError };

// One client of the benchmark: a non-blocking socket, frames in and out, and
// on the server's stream its handshake, login and the two key streams.
class LoadClient {
 public:
  explicit LoadClient(Wire wire) : wire_(wire) { in_.resize(kReadChunk + Message::kMaxLength + 2); }
  ~LoadClient() { Close(); }
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  int Fd() const { return fd_; }
  bool Open() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool WantsWrite() const { return outSent_ < out_.size(); }
  std::uint64_t Stalls() const { return stalls_; }

  bool Connect(std::uint16_t port, const std::string& localAddress, int receiveBuffer,
               std::string& error) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      error = "socket failed";
      return false;
    }
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Before connecting, so the advertised window follows it.
    if (receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      error = "cannot bind " + localAddress + ": " + std::strerror(errno);
      return false;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
        errno != EINPROGRESS) {
      error = std::string("connect failed: ") + std::strerror(errno);
      return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    int failure = 0;
    socklen_t size = sizeof failure;
    if (poll(&p, 1, 2000) != 1 || getsockopt(fd_, SOL_SOCKET, SO_ERROR, &failure, &size) != 0 ||
        failure != 0) {
      error = "connect to port " + std::to_string(port) + " failed";
      return false;
    }
    return true;
  }

  // The handshake and a guest login named `name`, within a bounded wait.
  bool Login(const std::string& name, std::string& error) {
    const Ns deadline = NowNs() + kLoginWaitMs * kMs;
    auto handshake = BuildHandshakeRequest("3.0.0", "bench", "relay");
    bool keyed = false;
    bool accepted = false;
    std::string refusal;
    auto onMessage = [&](std::uint8_t* bytes, std::size_t n) {
      Message message(n);
      std::memcpy(message.Data(), bytes, n);
      if (!keyed) {
        auto text = ReadServerText(message);
        if (!text || text->flags != 4 || !InstallKeys(text->text)) {
          refusal = text ? "handshake refused: " + text->text : "no handshake reply";
          return;
        }
        keyed = true;
        return;
      }
      if (message.Type() == MSG_LOGIN_ACCEPTED) accepted = true;
      if (auto text = ReadServerText(message); text && (text->flags & 1) != 0) {
        refusal = "login refused: " + text->text;
      }
      if (auto notice = ReadRefusal(message); notice && notice->closes) {
        refusal = "login refused with code " + std::to_string(notice->code);
      }
    };
    if (!Send(handshake->Data(), handshake->Length()) ||
        !WaitFor(
            deadline, [&] { return keyed || !refusal.empty(); }, onMessage)) {
      error = refusal.empty() ? "no handshake reply" : refusal;
      return false;
    }
    if (!refusal.empty()) {
      error = refusal;
      return false;
    }
    LoginRequest request;
    request.name = name;
    request.phonetic = name;
    request.flags = 1;  // no message of the day
    auto login = BuildLoginRequest(request);
    if (!Send(login->Data(), login->Length()) ||
        !WaitFor(
            deadline, [&] { return accepted || !refusal.empty(); }, onMessage) ||
        !accepted) {
      error = refusal.empty() ? "no login answer for " + name : refusal;
      return false;
    }
    return true;
  }

  // Frames (scrambled on the server's stream) and writes one message; what
  // the socket does not take waits for Flush. False when the stream failed.
  bool Send(const std::uint8_t* message, std::size_t n) {
    frame_.resize(n + 2);
    frame_[0] = static_cast<std::uint8_t>(n >> 8);
    frame_[1] = static_cast<std::uint8_t>(n & 0xFF);
    if (wire_ == Wire::kServer) {
      if (!sendCipher_.Scramble(message, frame_.data() + 2, n)) return false;
    } else {
      std::memcpy(frame_.data() + 2, message, n);
    }
    if (WantsWrite()) {
      ++stalls_;
      out_.insert(out_.end(), frame_.begin(), frame_.end());
      return true;
    }
    const ssize_t written = send(fd_, frame_.data(), frame_.size(), MSG_NOSIGNAL);
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const std::size_t done = written > 0 ? static_cast<std::size_t>(written) : 0;
    if (done < frame_.size()) {
      ++stalls_;
      out_.assign(frame_.begin() + static_cast<std::ptrdiff_t>(done), frame_.end());
      outSent_ = 0;
    }
    return true;
  }

  bool Flush() {
    while (WantsWrite()) {
      const ssize_t n = send(fd_, out_.data() + outSent_, out_.size() - outSent_, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false;
      outSent_ += static_cast<std::size_t>(n);
    }
    out_.clear();
    outSent_ = 0;
    return true;
  }

  // One receive; every whole message, descrambled, goes to `onMessage`.
  template <typename OnMessage>
  ReceiveStatus Receive(OnMessage&& onMessage) {
    const ssize_t n = recv(fd_, in_.data() + inLength_, in_.size() - inLength_, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return ReceiveStatus::kOk;
    }
    if (n == 0) return ReceiveStatus::kClosed;
    if (n < 0) return errno == ECONNRESET ? ReceiveStatus::kClosed : ReceiveStatus::kError;
    inLength_ += static_cast<std::size_t>(n);
    std::size_t at = 0;
    while (inLength_ - at >= 2) {
      const std::size_t length = (std::size_t{in_[at]} << 8) | in_[at + 1];
      if (length == 0 || length > Message::kMaxLength) return ReceiveStatus::kError;
      if (inLength_ - at < length + 2) break;
      std::uint8_t* bytes = in_.data() + at + 2;
      if (wire_ == Wire::kServer && !receiveCipher_.Descramble(bytes, length)) {
        return ReceiveStatus::kError;
      }
      onMessage(bytes, length);
      at += length + 2;
    }
    std::memmove(in_.data(), in_.data() + at, inLength_ - at);
    inLength_ -= at;
    return ReceiveStatus::kOk;
  }

 private:
  // The reply "B|A": the client sends with B and receives with A.
  bool InstallKeys(std::string_view text) {
    const std::size_t bar = text.find('|');
    if (bar == std::string_view::npos || bar == 0 || bar + 1 >= text.size()) return false;
    const std::string_view send = text.substr(0, bar);
    const std::string_view receive = text.substr(bar + 1);
    sendCipher_.Install(reinterpret_cast<const std::uint8_t*>(send.data()), send.size());
    receiveCipher_.Install(reinterpret_cast<const std::uint8_t*>(receive.data()), receive.size());
    return true;
  }

  // Flushes and receives until `done` holds; false on a closed stream or
  // when `deadline` passes first.
  template <typename Done, typename OnMessage>
  bool WaitFor(Ns deadline, Done&& done, OnMessage& onMessage) {
    while (!done()) {
      pollfd p{fd_, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
      const int left = MsUntil(deadline);
      if (left == 0) return false;
      const int ready = poll(&p, 1, left);
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      if ((p.revents & POLLOUT) != 0 && !Flush()) return false;
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
          Receive(onMessage) != ReceiveStatus::kOk) {
        return false;
      }
    }
    return true;
  }

  Wire wire_;
  int fd_ = -1;
  StreamCipher sendCipher_;
  StreamCipher receiveCipher_;
  std::vector<std::uint8_t> in_;
  std::size_t inLength_ = 0;
  std::vector<std::uint8_t> out_;
  std::size_t outSent_ = 0;
  std::vector<std::uint8_t> frame_;
  std::uint64_t stalls_ = 0;
};

std::string ClientName(int index) {
  return (index < 10 ? "bench0" : "bench") + std::to_string(index);
}

std::string ClientAddress(const LoadOptions& options, int index) {
  return "127.0.0." + std::to_string(options.firstAddress + index);
}

// True once the relay's log holds the line that closed client `index`: the
// server's departure line names it, the bare relay's names its address.
bool LogShowsCutOff(const Relay& relay, const LoadOptions& options, int index) {
  std::ifstream in(relay.LogPath());
  const std::string name = "Name=" + ClientName(index);
  const std::string address = "DISC: " + ClientAddress(options, index) + ":";
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("MSG_DISC:") != std::string::npos && line.find(name) != std::string::npos) {
      return true;
    }
    if (line.find(address) != std::string::npos) return true;
  }
  return false;
}

double Percentile(const std::vector<Ns>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  std::size_t rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1] / 1000.0;
}

}  // namespace

int VoiceDataLimit(int codec, int format) {
  const FormatRecord* record = FormatByNumber(codec, format);
  if (record == nullptr) return -1;
  const int limit = record->bytesPerSecond / 8;
  return limit + limit / 2;
}

LoadResult RunLoad(const Relay& relay, const LoadOptions& options,
                   const volatile std::sig_atomic_t& stop) {
  LoadResult result;
  const int total = options.talkers + options.listeners;
  const int slow = options.slowReader ? total - 1 : -1;

  std::vector<std::unique_ptr<LoadClient>> clients;
  for (int i = 0; i < total; ++i) {
    auto client = std::make_unique<LoadClient>(options.wire);
    std::string error;
    if (!client->Connect(relay.Port(), ClientAddress(options, i),
                         i == slow ? options.slowReceiveBuffer : 0, error) ||
        (options.wire == Wire::kServer && !client->Login(ClientName(i), error))) {
      result.error = "client " + std::to_string(i) + ": " + error;
      return result;
    }
    clients.push_back(std::move(client));
  }

  std::vector<std::vector<std::uint8_t>> data(options.talkers);
  std::size_t stampAt = 0;
  for (int t = 0; t < options.talkers; ++t) {
    data[t] = VoiceMessage(1, options, stampAt);
    std::size_t ignored = 0;
    const auto start = VoiceMessage(0, options, ignored);
    if (!clients[t]->Send(start.data(), start.size())) {
      result.error = "talker " + std::to_string(t) + " could not start";
      return result;
    }
  }

  const int measuredReceivers = total - (slow >= 0 ? 1 : 0);
  const Ns period = static_cast<Ns>(kSecond / options.rate);
  const Ns t0 = NowNs();
  const Ns measureStart = t0 + static_cast<Ns>(options.warmupSeconds * kSecond);
  const Ns measureEnd = measureStart + static_cast<Ns>(options.seconds * kSecond);
  const Ns drainDeadline = measureEnd + kDrainLimit;
  // Talkers spread evenly over one period, so the load is smooth.
  std::vector<Ns> next(options.talkers);
  std::vector<std::uint32_t> sequence(options.talkers, 0);
  for (int t = 0; t < options.talkers; ++t) next[t] = t0 + period * t / options.talkers;

  std::vector<Ns> latencies;
  std::vector<Ns> talkerLatencies;  // the copies talkers received
  int receiver = 0;                 // the client whose input is being read
  latencies.reserve(static_cast<std::size_t>(options.rate * options.seconds * options.talkers *
                                             std::max(1, measuredReceivers - 1)) +
                    16);
  talkerLatencies.reserve(latencies.capacity());
  std::uint64_t cpuStart = 0;
  std::uint64_t clientCpuStart = 0;
  bool measuring = false;
  Ns cpuStartAt = 0;
  Ns nextLogCheck = t0;
  Ns receivedAt = 0;
  std::vector<pollfd> fds;
  std::vector<int> polled;

  auto onMessage = [&](std::uint8_t* bytes, std::size_t n) {
    Stamp stamp;
    switch (ReadVoiceData(bytes, n, stamp)) {
      case Voice::kOther:
        return;
      case Voice::kMalformed:
        ++result.malformed;
        return;
      case Voice::kData:
        if ((stamp.flags & Stamp::kMeasured) == 0) return;
        ++result.delivered;
        latencies.push_back(receivedAt - stamp.sentAt);
        if (receiver < options.talkers) talkerLatencies.push_back(receivedAt - stamp.sentAt);
        return;
    }
  };

  for (;;) {
    if (stop != 0) {
      result.error = "interrupted";
      return result;
    }
    Ns now = NowNs();
    if (!measuring && now >= measureStart) {
      auto cpu = CpuNanoseconds(relay.Pid());
      if (!cpu) {
        result.error = "cannot read the relay's CPU time";
        return result;
      }
      cpuStart = *cpu;
      clientCpuStart = CpuNanoseconds(getpid()).value_or(0);
      cpuStartAt = now;
      measuring = true;
    }
    for (int t = 0; t < options.talkers; ++t) {
      while (next[t] <= now && next[t] < measureEnd) {
        Stamp stamp;
        stamp.talker = static_cast<std::uint16_t>(t);
        stamp.sequence = sequence[t]++;
        const bool measured = next[t] >= measureStart;
        stamp.flags = measured ? Stamp::kMeasured : 0;
        stamp.sentAt = NowNs();
        WriteStamp(data[t].data() + stampAt, stamp);
        if (clients[t]->Open() && !clients[t]->Send(data[t].data(), data[t].size())) {
          clients[t]->Close();
          ++result.unexpectedCloses;
        }
        if (measured) {
          ++result.sent;
          result.expected += static_cast<std::uint64_t>(measuredReceivers - 1);
        }
        next[t] += period;
      }
    }
    if (measuring && now >= measureEnd &&
        (result.delivered >= result.expected || now >= drainDeadline)) {
      break;
    }
    if (slow >= 0 && result.slowCutOffAfter < 0 && now >= nextLogCheck) {
      if (LogShowsCutOff(relay, options, slow)) result.slowCutOffAfter = double(now - t0) / kSecond;
      nextLogCheck = now + kLogCheckEvery;
    }

    Ns wake = std::min(drainDeadline, now + 50 * kMs);
    if (!measuring) wake = std::min(wake, measureStart);
    for (int t = 0; t < options.talkers; ++t) {
      if (next[t] < measureEnd) wake = std::min(wake, next[t]);
    }
    fds.clear();
    polled.clear();
    for (int i = 0; i < total; ++i) {
      LoadClient& client = *clients[i];
      if (!client.Open()) continue;
      short events = i == slow ? 0 : POLLIN;
      if (client.WantsWrite()) events = static_cast<short>(events | POLLOUT);
      if (events == 0) continue;
      fds.push_back({client.Fd(), events, 0});
      polled.push_back(i);
    }
    const Ns wait = std::max<Ns>(0, wake - NowNs());
    const timespec timeout{static_cast<time_t>(wait / kSecond), static_cast<long>(wait % kSecond)};
    const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      result.error = std::string("poll failed: ") + std::strerror(errno);
      return result;
    }
    if (ready <= 0) continue;
    receivedAt = NowNs();
    for (std::size_t k = 0; k < fds.size(); ++k) {
      LoadClient& client = *clients[polled[k]];
      const short revents = fds[k].revents;
      bool failed = false;
      if ((revents & POLLOUT) != 0 && !client.Flush()) failed = true;
      if (!failed && (revents & (POLLIN | POLLHUP | POLLERR)) != 0 && polled[k] != slow) {
        receiver = polled[k];
        failed = client.Receive(onMessage) != ReceiveStatus::kOk;
      }
      if (failed) {
        client.Close();
        ++result.unexpectedCloses;
      }
    }
  }

  const Ns cpuEndAt = NowNs();
  auto cpuEnd = CpuNanoseconds(relay.Pid());
  if (!cpuEnd) {
    result.error = "cannot read the relay's CPU time";
    return result;
  }
  result.cpuNs = *cpuEnd - cpuStart;
  result.clientCpuNs = CpuNanoseconds(getpid()).value_or(clientCpuStart) - clientCpuStart;
  result.cpuWindowSeconds = double(cpuEndAt - cpuStartAt) / kSecond;
  result.seconds = options.seconds;
  for (int t = 0; t < options.talkers; ++t) result.sendStalls += clients[t]->Stalls();

  // Stop talking, and let the stops go out.
  std::size_t ignored = 0;
  const auto stopMessage = VoiceMessage(2, options, ignored);
  for (int t = 0; t < options.talkers; ++t) {
    if (!clients[t]->Open()) continue;
    clients[t]->Send(stopMessage.data(), stopMessage.size());
    const Ns until = NowNs() + 200 * kMs;
    while (clients[t]->WantsWrite() && NowNs() < until && clients[t]->Flush()) {
      pollfd p{clients[t]->Fd(), POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }

  // A cut-off reader finds the end of its stream behind what was queued.
  if (slow >= 0) {
    LoadClient& reader = *clients[slow];
    const Ns until = NowNs() + 3 * kSecond;
    auto discard = [](std::uint8_t*, std::size_t) {};
    while (reader.Open() && NowNs() < until) {
      pollfd p{reader.Fd(), POLLIN, 0};
      if (poll(&p, 1, MsUntil(until)) <= 0) break;
      const ReceiveStatus status = reader.Receive(discard);
      if (status != ReceiveStatus::kOk) {
        result.slowCutOff = status == ReceiveStatus::kClosed;
        break;
      }
    }
    if (result.slowCutOffAfter < 0 && LogShowsCutOff(relay, options, slow)) {
      result.slowCutOffAfter = double(NowNs() - t0) / kSecond;
    }
  }

  std::sort(latencies.begin(), latencies.end());
  result.p50Us = Percentile(latencies, 0.50);
  result.p99Us = Percentile(latencies, 0.99);
  result.maxUs = latencies.empty() ? 0 : latencies.back() / 1000.0;
  std::sort(talkerLatencies.begin(), talkerLatencies.end());
  result.talkersP99Us = Percentile(talkerLatencies, 0.99);
  return result;
}

}  // namespace kestrune::bench
