// The listening sockets: the TCP listener that accepts clients and the UDP
// listener that receives status requests, both on the configured Port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/connection.h"

namespace kestrune {

class Log;
class Server;

struct Listener {
  std::string interfaceName;  // empty for the default listener
  std::uint32_t address = 0;  // host byte order; 0 = all local addresses
  int socket = -1;            // -1: none
  std::uint32_t acceptCount = 0;
  ByteCounters counters;  // of all its connections
};

// A table of listeners with a fixed room.
class ListenerTable {
 public:
  explicit ListenerTable(std::size_t room) : room_(room) {}
  // The records own their sockets.
  ~ListenerTable() { CloseAll(); }
  ListenerTable(const ListenerTable&) = delete;
  ListenerTable& operator=(const ListenerTable&) = delete;
  std::size_t Count() const { return entries_.size(); }
  std::size_t Room() const { return room_; }
  Listener& At(std::size_t index) { return *entries_[index]; }
  // 0, or -1 when the table is full (the listener is dropped).
  int Add(std::unique_ptr<Listener> listener);
  // Shuts down and closes every socket, then destroys the records.
  void CloseAll();

 private:
  std::size_t room_;
  std::vector<std::unique_ptr<Listener>> entries_;
};

struct Listeners {
  ListenerTable tcp{1};
  ListenerTable udp{2};
};

// Results of ServerConnAccept.
enum AcceptResult : int {
  kAcceptAdded = 0,
  kAcceptFailed = -1,
  kAcceptNoId = -3,
  kAcceptNoConnection = -4,
  kAcceptBanned = -5,
  kAcceptTableFull = -6,
  kAcceptSocketTooHigh = -7,  // the descriptor would not fit the wait sets
};

// Results of ServerCreateStream and ServerCreateUDP.
enum ListenResult : int {
  kListenOk = 0,
  kListenNoSocket = -2,
  kListenBind = -5,
  kListenListen = -6,
  kListenSocketTooHigh = -7,
};

inline constexpr int kListenBacklog = 4;
inline constexpr int kStatusSocketBuffer = 131072;

// setsockopt with a 4-byte value; logs a failure. 0 or -1.
int SetSocketOption(Log& log, int socket, int level, int option, std::int32_t value);
// getsockopt of a 4-byte value; logs a failure and returns -1 then.
std::int32_t GetSocketOption(Log& log, int socket, int level, int option);
// Adds O_NONBLOCK; failures are logged and the caller goes on.
void ServerNoBlock(Log& log, int socket);

// Opens the listener's TCP socket on `port`: 0 or a ListenResult.
int ServerCreateStream(Log& log, Listener& listener, int port);
// Opens the listener's UDP socket on `port` (non-blocking, no broadcast).
int ServerCreateUDP(Log& log, Listener& listener, int port);

// Listener steps of start-up and shutdown, in their order.
// Creates the default records (one TCP, one UDP, all addresses): 0, or a
// negative code (start-up exits 2).
int CreateListenerRecords(Server& server);
// 0, or a negative code after which start-up exits 12 (TCP) or 13 (UDP).
int OpenTcpListeners(Server& server);
int OpenUdpListeners(Server& server);
// Shuts down and closes every listener, TCP then UDP, and drops the records.
void CloseListeners(Server& server);

// Accepts one client on the TCP listener: an AcceptResult.
int ServerConnAccept(Server& server, Listener& listener);
// Receives one datagram into the server's datagram buffer and hands a decoded
// status request to the server's status hook: 0, -1 when nothing could be
// received, -2 when the datagram is not a request (dropped silently).
int ReceiveDatagram(Server& server, Listener& listener);

}  // namespace kestrune
