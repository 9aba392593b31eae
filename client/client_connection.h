// A blocking client of the server's TCP stream, for end-to-end tests and
// tools: it frames and scrambles with the server's own code, with the key
// directions mirrored (the client scrambles with B and descrambles with A,
// where the handshake reply text is "B|A"). Loopback addresses only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/framing.h"
#include "net/message.h"

namespace kestrune {

class ClientConnection {
 public:
  ClientConnection() = default;
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Connects to host:port (a dotted 127.x.y.z address, or any dotted IPv4
  // address after AllowAnyAddress), first binding to `localAddress` when it
  // is not empty. 0, or -1 (also for a host outside 127.0.0.0/8, a refused
  // connection or a time-out).
  int Connect(const std::string& host, std::uint16_t port, const std::string& localAddress = "",
              int timeoutMs = 2000);
  // Tools talk to servers anywhere; tests stay on loopback.
  void AllowAnyAddress() { anyAddress_ = true; }
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The local port of the connection (host byte order), 0 when not connected.
  std::uint16_t LocalPort() const;

  // Installs the keys of a handshake reply "B|A": B for sending, A for
  // receiving. False when the text has no "|" or an empty side.
  bool InstallHandshakeKeys(std::string_view replyText);
  void InstallSendKey(std::string_view key);
  void InstallReceiveKey(std::string_view key);

  // Frames, scrambles and writes the whole message; false when the stream fails
  // or the server takes nothing for 5 seconds.
  bool Send(const Message& message);
  // Writes bytes as they are (broken frames, partial frames).
  bool SendRaw(const std::vector<std::uint8_t>& bytes);
  // The next message within `timeoutMs`, or none (time-out, close or a bad frame).
  std::unique_ptr<Message> Receive(int timeoutMs);
  // True once the server's end of the stream was seen.
  bool PeerClosed() const { return peerClosed_; }
  // Discards messages until the server closes; false when `timeoutMs` passes first.
  bool WaitClosed(int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
  bool peerClosed_ = false;
  bool anyAddress_ = false;
  StreamCipher sendCipher_;
  StreamCipher receiveCipher_;
  FrameReader reader_;
  std::vector<std::uint8_t> buffered_;
  std::size_t used_ = 0;
};

}  // namespace kestrune
