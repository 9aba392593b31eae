// The server loop: one iteration after another of timers, reaping, a wait of
// at most one second on every socket, and serving what became ready. Each
// step is its own function, so tests can drive them with a fake clock.
#pragma once

#include <sys/select.h>

#include <string>

#include "server/listeners.h"

namespace kestrune {

class Server;

// Runs until a stop flag is set or select fails twice without a success in
// between; returns 0. Exceptions reach start-up.
int ServerLoop(Server& server);

// --- The steps of one iteration, in their order ---

// Logon time-outs, connection time limits, the floor check, pings, and the
// closing of clients that ignore a closing notice for more than 5 seconds.
void ConnectionHousekeeping(Server& server);
// Draws a new status id offset when there is none, and during every wall-clock
// second that is a multiple of 60.
void UpdateStatusIdOffset(Server& server);
// The deferred saves of the account and rank stores, when due.
void SaveStoresIfDue(Server& server);
void TickUpdateCheck(Server& server);
// Removes every real connection without a socket, with its departure work.
void ReapConnections(Server& server);

struct WaitSets {
  fd_set read;
  fd_set write;
  fd_set except;
  int highest = -1;
};
void BuildSelectSets(Server& server, WaitSets& sets);
// Serves the ready sockets: accepts, datagrams, the update check's answer,
// then each connection's input, output and exceptions in table order.
void ServeReady(Server& server, const WaitSets& sets);

// Standard input as the loop reads it: a partial line between calls, and
// whether the input has ended (it is not looked at again then).
struct ConsoleInput {
  std::string pending;
  bool ended = false;
};

// Reads what is waiting on `fd` (never blocks) and hands every complete line
// to the console hook, printing "----------" after each. At end of file (or
// a broken descriptor) the input is marked ended, so the loop stops polling
// it on every pass.
void ReadConsoleInput(Server& server, int fd, ConsoleInput& input);

inline constexpr std::size_t kConsoleReadSize = 256;
// A longer line without a line feed is taken as it stands.
inline constexpr std::size_t kMaxConsoleLine = 255;

}  // namespace kestrune
