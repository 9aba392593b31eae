#include "server/loop.h"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "server/server.h"

namespace kestrune {
namespace {

// What the loop carries from one iteration to the next.
struct LoopState {
  bool selectFailed = false;  // the last select failed; a second failure ends the loop
  ConsoleInput console;
};

void CheckLogonTimeout(Server& server, Connection& connection, std::uint32_t nowSeconds) {
  const int timeout = server.settings().logonTimeout;
  if (timeout == 0) return;
  // A connect time in the future (the clock was set back) counts from now.
  if (connection.connectTime > nowSeconds) connection.connectTime = nowSeconds;
  if (nowSeconds - connection.connectTime < static_cast<std::uint32_t>(timeout)) return;
  connection.connectTime = nowSeconds;
  if (server.logonTimeoutLines.Allow(connection.peerAddress, server.clock().NowMs())) {
    server.log().Write("AUTO: ID %u, IP %s, Did not logon before timeout.",
                       static_cast<unsigned>(connection.id), connection.addressText.c_str());
  }
  connection.Close();
}

void CheckTimeLimit(Server& server, Connection& connection, std::uint32_t nowSeconds) {
  if (server.settings().autoKick == 0 && server.properties().guestAutoKick <= 0) return;
  if (connection.administrator || !connection.timeLimitTimer.Expired(nowSeconds)) return;
  connection.timeLimitTimer.Disarm();
  server.table().DisconnectWithNotice(connection, kReasonTimeLimit, 0);
}

void SendPingIfDue(Server& server, Connection& connection, std::uint32_t nowMs) {
  if (connection.pingOutstanding) return;
  if (connection.lastPing == 0) {
    connection.lastPing = nowMs;
    return;
  }
  const auto interval = static_cast<std::uint32_t>(server.settings().pingRate) * 1000u;
  if (!ElapsedMs(connection.lastPing, nowMs, interval)) return;
  connection.lastPing = nowMs;
  connection.pingCookie = static_cast<std::uint16_t>(std::rand());
  connection.pingOutstanding = true;
  auto ping = CreateMessage(MSG_PING);
  ping->SetU16(4, connection.id);
  ping->SetU16(6, connection.pingCookie);
  ping->SetU16(8, static_cast<std::uint16_t>(connection.pingTime));
  server.table().SendToClient(connection, std::move(ping));
}

// Every closing notice gives the client 5 seconds to go, logged in or not.
void CloseIfNoticeIgnored(Server& server, Connection& connection, std::uint32_t nowMs) {
  if (connection.socket < 0 || !connection.KickedForMoreThan(nowMs, ConnectionTable::kKickGraceMs))
    return;
  server.log().Write("AUTO: ID %u, IP %s, Client did not disconect after being kicked.",
                     static_cast<unsigned>(connection.id), connection.addressText.c_str());
  connection.Close();
}

bool Fits(int socket) {
  return socket >= 0 && socket < FD_SETSIZE;
}

void AddToRead(WaitSets& sets, int socket) {
  if (!Fits(socket)) return;
  FD_SET(socket, &sets.read);
  if (socket > sets.highest) sets.highest = socket;
}

bool Ready(int socket, const fd_set& set) {
  return Fits(socket) && FD_ISSET(socket, &set);
}

// select over the sets with the loop's 1-second wait: its result, errno kept.
int WaitForSockets(WaitSets& sets) {
  timeval timeout{1, 0};
  return select(sets.highest + 1, &sets.read, &sets.write, &sets.except, &timeout);
}

void EndConsoleCommand() {
  std::printf("----------\n");
  std::fflush(stdout);
}

}  // namespace

int ServerLoop(Server& server) {
  LoopState state;
  for (;;) {
    if (StopRequested()) return 0;
    ConnectionHousekeeping(server);
    UpdateStatusIdOffset(server);
    SaveStoresIfDue(server);
    TickUpdateCheck(server);
    ReapConnections(server);

    WaitSets sets;
    BuildSelectSets(server, sets);
    // Standard input waits with the sockets, so a pass that has no console
    // input makes no call for it.
    const bool watchConsole = !server.daemon && !state.console.ended;
    if (watchConsole) AddToRead(sets, STDIN_FILENO);
    const int ready = WaitForSockets(sets);
    if (watchConsole && ready > 0 && FD_ISSET(STDIN_FILENO, &sets.read))
      ReadConsoleInput(server, STDIN_FILENO, state.console);

    if (ready == 0) continue;
    if (ready < 0) {
      if (state.selectFailed) return 0;
      state.selectFailed = true;
      continue;
    }
    state.selectFailed = false;
    ServeReady(server, sets);
  }
}

void ConnectionHousekeeping(Server& server) {
  Clock& clock = server.clock();
  const std::uint32_t nowMs = clock.NowMs();
  const std::uint32_t nowSeconds = clock.NowSeconds();
  ConnectionTable& table = server.table();
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& connection = table.At(i);
    if (connection.IsPhantom()) continue;
    // Closed connections wait for the reap step; nothing to time out.
    if (connection.socket < 0 || connection.silentRemoval || !connection.accepted) continue;
    if (!connection.loggedOn) {
      CheckLogonTimeout(server, connection, nowSeconds);
    } else {
      CheckTimeLimit(server, connection, nowSeconds);
      if (!connection.Kicked()) {
        server.hooks.floorCheck(connection);
        SendPingIfDue(server, connection, nowMs);
      }
    }
    CloseIfNoticeIgnored(server, connection, nowMs);
  }
}

void UpdateStatusIdOffset(Server& server) {
  if (server.statusIdOffset != 0 && server.clock().WallSeconds() % 60 != 0) return;
  unsigned long offset = static_cast<unsigned long>(server.statusIdOffset);
  do {
    offset = (offset + static_cast<unsigned long>(std::rand())) % 1024;
  } while (offset == 0);
  server.statusIdOffset = static_cast<int>(offset);
}

void SaveStoresIfDue(Server& server) {
  if (server.accounts() != nullptr) server.accounts()->SaveIfDue();
  if (server.ranks() != nullptr) server.ranks()->SaveIfDue();
}

void TickUpdateCheck(Server& server) {
  server.hooks.updateTick();
}

void ReapConnections(Server& server) {
  ConnectionTable& table = server.table();
  for (;;) {
    Connection* gone = nullptr;
    for (std::size_t i = 0; i < table.Count(); ++i) {
      Connection& connection = table.At(i);
      if (!connection.IsPhantom() && connection.socket < 0) {
        gone = &connection;
        break;
      }
    }
    if (gone == nullptr) return;
    // The removal shifts the table: scan again from the start.
    server.RemoveConnection(*gone);
  }
}

void BuildSelectSets(Server& server, WaitSets& sets) {
  FD_ZERO(&sets.read);
  FD_ZERO(&sets.write);
  FD_ZERO(&sets.except);
  sets.highest = -1;
  Listeners& listeners = server.listeners();
  for (std::size_t i = 0; i < listeners.tcp.Count(); ++i)
    AddToRead(sets, listeners.tcp.At(i).socket);
  for (std::size_t i = 0; i < listeners.udp.Count(); ++i)
    AddToRead(sets, listeners.udp.At(i).socket);
  AddToRead(sets, server.hooks.updateSocket());
  sets.highest = server.table().AddToSelectSets(sets.read, sets.write, sets.except, sets.highest);
}

void ServeReady(Server& server, const WaitSets& sets) {
  Listeners& listeners = server.listeners();
  for (std::size_t i = 0; i < listeners.tcp.Count(); ++i) {
    Listener& listener = listeners.tcp.At(i);
    if (Ready(listener.socket, sets.read)) ServerConnAccept(server, listener);
  }
  for (std::size_t i = 0; i < listeners.udp.Count(); ++i) {
    Listener& listener = listeners.udp.At(i);
    if (Ready(listener.socket, sets.read)) ReceiveDatagram(server, listener);
  }
  if (Ready(server.hooks.updateSocket(), sets.read)) server.hooks.updateReceive();

  // Ids and sockets first: a handler may change the table, and a client
  // accepted just now was not waited on.
  ConnectionTable& table = server.table();
  struct Entry {
    std::uint16_t id;
    int socket;
  };
  std::vector<Entry> entries;
  entries.reserve(table.Count());
  for (std::size_t i = 0; i < table.Count(); ++i) {
    Connection& connection = table.At(i);
    if (connection.IsPhantom() || connection.silentRemoval) continue;
    if (Ready(connection.socket, sets.read) || Ready(connection.socket, sets.write) ||
        Ready(connection.socket, sets.except)) {
      entries.push_back({connection.id, connection.socket});
    }
  }
  auto find = [&](const Entry& entry) -> Connection* {
    Connection* connection = table.FindById(entry.id);
    if (connection == nullptr || connection->socket != entry.socket) return nullptr;
    if (connection->IsPhantom() || connection->silentRemoval) return nullptr;
    return connection;
  };
  for (const Entry& entry : entries) {
    Connection* connection = find(entry);
    if (connection != nullptr && FD_ISSET(entry.socket, &sets.read)) {
      // One receive can bring several messages: serve them all now, since no
      // readiness will announce what already sits in the reader.
      for (;;) {
        auto message = table.Receive(*connection);
        if (message) server.hooks.dispatch(*connection, *message);
        connection = find(entry);
        if (message && connection != nullptr) connection->reader.Recycle(std::move(message));
        if (connection == nullptr || connection->socket < 0 || !connection->reader.Buffered())
          break;
      }
    }
    if (connection != nullptr && FD_ISSET(entry.socket, &sets.write)) {
      table.Flush(*connection);
      connection = find(entry);
    }
    if (connection != nullptr && FD_ISSET(entry.socket, &sets.except)) {
      server.log().Write("EXCEPT: ID %u, %s, detected sock exception.",
                         static_cast<unsigned>(connection->id), connection->name.c_str());
      connection->Close();
    }
  }
}

void ReadConsoleInput(Server& server, int fd, ConsoleInput& input) {
  if (input.ended) return;
  pollfd wanted{fd, POLLIN, 0};
  if (poll(&wanted, 1, 0) <= 0) return;
  if ((wanted.revents & POLLIN) == 0) {
    if ((wanted.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) input.ended = true;
    return;
  }
  char buffer[kConsoleReadSize];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    input.ended = true;
    return;
  }
  std::string& pending = input.pending;
  pending.append(buffer, static_cast<std::size_t>(n));
  for (;;) {
    const std::size_t end = pending.find('\n');
    std::string line;
    if (end != std::string::npos && end <= kMaxConsoleLine) {
      line = pending.substr(0, end);
      pending.erase(0, end + 1);
    } else if (pending.size() > kMaxConsoleLine) {
      // No line feed within the longest line: what there is counts as one.
      line = pending.substr(0, kMaxConsoleLine);
      pending.erase(0, kMaxConsoleLine);
    } else {
      return;  // a partial line waits for the rest
    }
    server.hooks.consoleLine(line);
    EndConsoleCommand();
  }
}

}  // namespace kestrune
