// The bare fan-out relay the relay benchmark measures the server against: a
// poll loop that copies every frame (a 2-byte big-endian length and that many
// bytes) unchanged to every other connected client. No handshake, no
// scrambling, no checks: what moving the bytes through the kernel costs. It
// keeps the server's socket buffer sizes and its send-queue rule (a client
// whose queue would reach the limit is closed), so a slow reader meets the
// same fate on both.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>

namespace kestrune::bench {

struct BareRelayOptions {
  int sendBuffer = 131072;          // SO_SNDBUF of accepted sockets
  int receiveBuffer = 131072;       // SO_RCVBUF of accepted sockets
  std::size_t queueLimit = 131072;  // bytes a client may have queued
  std::size_t maxClients = 64;
  // One line per closed client ("DISC: <address>:<port> <why>"); empty: none.
  std::string logPath;
};

// Serves `listenFd` (a listening TCP socket) until `stop` becomes non-zero.
// Returns 0, or -1 when poll fails.
int RunBareRelay(int listenFd, const BareRelayOptions& options, volatile std::sig_atomic_t& stop);

}  // namespace kestrune::bench
