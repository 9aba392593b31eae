#include "server/listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "server/server.h"
#include "status/status_packet.h"

namespace kestrune {
namespace {

void CloseSocket(int socket) {
  if (socket >= 0) ::close(socket);
}

// A descriptor the loop's wait sets cannot hold is never kept.
bool FitsWaitSets(Log& log, int socket) {
  if (socket < FD_SETSIZE) return true;
  log.Write("ERROR: Socket %d does not fit the wait sets; closed.", socket);
  CloseSocket(socket);
  return false;
}

sockaddr_in BindAddress(const Listener& listener, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(listener.address);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

int ListenerTable::Add(std::unique_ptr<Listener> listener) {
  if (!listener || entries_.size() >= room_) return -1;
  entries_.push_back(std::move(listener));
  return 0;
}

void ListenerTable::CloseAll() {
  for (auto& listener : entries_) {
    if (listener->socket >= 0) {
      shutdown(listener->socket, SHUT_RDWR);
      CloseSocket(listener->socket);
      listener->socket = -1;
    }
  }
  entries_.clear();
}

int SetSocketOption(Log& log, int socket, int level, int option, std::int32_t value) {
  if (setsockopt(socket, level, option, &value, sizeof value) != 0) {
    log.Write("ERROR: setsockopt failed with code %d. Option = %d", errno, option);
    return -1;
  }
  return 0;
}

std::int32_t GetSocketOption(Log& log, int socket, int level, int option) {
  std::int32_t value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(socket, level, option, &value, &length) != 0) {
    const int error = errno;
    log.Write("ERROR: getsockopt failed with code %d. Option = %s", error,
              std::to_string(option).c_str());
    return -1;
  }
  return value;
}

void ServerNoBlock(Log& log, int socket) {
  const int flags = fcntl(socket, F_GETFL);
  if (flags < 0) {
    log.Write("ServerNoBlock(): Failed to get fcntl(F_GETFL).");
    return;
  }
  if (fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) {
    log.Write("ServerNoBlock(): Failed to set fcntl(F_SETFL).");
  }
}

int ServerCreateStream(Log& log, Listener& listener, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    log.Write("ERROR: ServerCreateStream: socket failed for interface '%s'.",
              listener.interfaceName.c_str());
    return kListenNoSocket;
  }
  if (!FitsWaitSets(log, fd)) return kListenSocketTooHigh;
  SetSocketOption(log, fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetSocketOption(log, fd, SOL_SOCKET, SO_REUSEADDR, 1);
  SetSocketOption(log, fd, IPPROTO_TCP, TCP_NODELAY, 1);
  linger off{0, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  ServerNoBlock(log, fd);
  const sockaddr_in address = BindAddress(listener, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    log.Write("ERROR: Unable to bind to TCP socket.");
    CloseSocket(fd);
    return kListenBind;
  }
  if (listen(fd, kListenBacklog) != 0) {
    log.Write("ERROR: Unable to listen on TCP socket.");
    CloseSocket(fd);
    return kListenListen;
  }
  listener.socket = fd;
  return kListenOk;
}

int ServerCreateUDP(Log& log, Listener& listener, int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    log.Write("ERROR: ServerCreateUDP: socket failed for interface '%s'.",
              listener.interfaceName.c_str());
    return kListenNoSocket;
  }
  if (!FitsWaitSets(log, fd)) return kListenSocketTooHigh;
  // No SO_BROADCAST, and non-blocking: a reply that would block is dropped
  // rather than stalling the loop.
  SetSocketOption(log, fd, SOL_SOCKET, SO_SNDBUF, kStatusSocketBuffer);
  SetSocketOption(log, fd, SOL_SOCKET, SO_RCVBUF, kStatusSocketBuffer);
  ServerNoBlock(log, fd);
  const sockaddr_in address = BindAddress(listener, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    log.Write("ERROR: Unable to bind to UDP socket.");
    CloseSocket(fd);
    return kListenBind;
  }
  listener.socket = fd;
  return kListenOk;
}

int ServerConnAccept(Server& server, Listener& listener) {
  Log& log = server.log();
  const ServerSettings& settings = server.settings();
  ConnectionTable& table = server.table();

  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  const int fd = accept(listener.socket, reinterpret_cast<sockaddr*>(&peer), &peerLength);
  if (fd < 0) {
    log.Write("ServerConnAccept(): accept failed for interface '%s'.",
              listener.interfaceName.c_str());
    return kAcceptFailed;
  }
  if (!FitsWaitSets(log, fd)) return kAcceptSocketTooHigh;

  ++listener.acceptCount;
  ServerNoBlock(log, fd);

  const std::int32_t sendBefore = GetSocketOption(log, fd, SOL_SOCKET, SO_SNDBUF);
  if (settings.sendBuffer != 0)
    SetSocketOption(log, fd, SOL_SOCKET, SO_SNDBUF, settings.sendBuffer);
  const std::int32_t sendAfter = GetSocketOption(log, fd, SOL_SOCKET, SO_SNDBUF);
  const std::int32_t receiveBefore = GetSocketOption(log, fd, SOL_SOCKET, SO_RCVBUF);
  if (settings.recvBuffer != 0)
    SetSocketOption(log, fd, SOL_SOCKET, SO_RCVBUF, settings.recvBuffer);
  const std::int32_t receiveAfter = GetSocketOption(log, fd, SOL_SOCKET, SO_RCVBUF);

  std::uint16_t id = 0;
  if (table.AllocateId(id) != 0) {
    CloseSocket(fd);
    return kAcceptNoId;
  }

  auto connection = std::make_unique<Connection>(&listener.counters, id);
  connection->Attach(fd, peer, server.clock().NowSeconds());

  if (server.bans() != nullptr) {
    const BanCheck ban =
        server.bans()->CheckConnect(ntohl(peer.sin_addr.s_addr), id, connection->addressText);
    if (ban.refused) {
      if (ban.notify) table.DisconnectWithNotice(*connection, ban.reason, ban.minutes);
      table.Destroy(std::move(connection));
      return kAcceptBanned;
    }
  }

  if (table.Count() >= ConnectionTable::kSlots) {
    if (server.physicalLimitLines.Allow(peer.sin_addr.s_addr, server.clock().NowMs())) {
      log.Write("MSG_CONN: ID %u, IP %s, Server is at physical limit %d.",
                static_cast<unsigned>(id), connection->addressText.c_str(),
                static_cast<int>(ConnectionTable::kSlots));
    }
    table.Destroy(std::move(connection));
    return kAcceptTableFull;
  }

  log.Write("MSG_CONN: ID %u, IP %s, Accepted. (%d,%d) (%d,%d)", static_cast<unsigned>(id),
            connection->addressText.c_str(), sendBefore, sendAfter, receiveBefore, receiveAfter);
  if (settings.autoKick != 0) {
    connection->timeLimitTimer.Arm(server.clock().NowSeconds(),
                                   static_cast<std::uint32_t>(settings.autoKick));
  }
  table.Add(std::move(connection), false);
  return kAcceptAdded;
}

int ReceiveDatagram(Server& server, Listener& listener) {
  sockaddr_in sender{};
  socklen_t senderLength = sizeof sender;
  const ssize_t n = recvfrom(listener.socket, server.datagram.data(), server.datagram.size(), 0,
                             reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (n < 0) return -1;
  StatusRequest request;
  if (DecodeStatusRequest(server.datagram.data(), static_cast<std::size_t>(n), sender, request) !=
      0)
    return -2;
  server.hooks.statusRequest(request, listener.socket);
  return 0;
}

int CreateListenerRecords(Server& server) {
  Listeners& listeners = server.listeners();
  if (listeners.tcp.Count() != 0) return 0;
  if (listeners.tcp.Add(std::make_unique<Listener>()) != 0) return -1;
  if (listeners.udp.Add(std::make_unique<Listener>()) != 0) return -1;
  return 0;
}

int OpenTcpListeners(Server& server) {
  Listeners& listeners = server.listeners();
  for (std::size_t i = 0; i < listeners.tcp.Count(); ++i) {
    const int result =
        ServerCreateStream(server.log(), listeners.tcp.At(i), server.settings().port);
    if (result != 0) return result;
  }
  return 0;
}

int OpenUdpListeners(Server& server) {
  Listeners& listeners = server.listeners();
  for (std::size_t i = 0; i < listeners.udp.Count(); ++i) {
    const int result = ServerCreateUDP(server.log(), listeners.udp.At(i), server.settings().port);
    if (result != 0) return result;
  }
  return 0;
}

void CloseListeners(Server& server) {
  server.listeners().tcp.CloseAll();
  server.listeners().udp.CloseAll();
}

}  // namespace kestrune
