// Start-up and shutdown of kestrune_srv: self-checks, switches, files, the
// settings, daemon mode, the PID file, signals and the loop.
#pragma once

#include <cstdio>

namespace kestrune {

class Server;

// Exit statuses of the server process.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;  // also log, self-test and type-size failures
inline constexpr int kExitSettings = 2;
inline constexpr int kExitNameLength = 3;
inline constexpr int kExitFork = 9;
inline constexpr int kExitDaemonPid = 10;
inline constexpr int kExitPid = 11;
inline constexpr int kExitTcpListener = 12;
inline constexpr int kExitUdpListener = 13;
inline constexpr int kExitLoopException = 100;
inline constexpr int kExitInt64 = -4;

// Opens descriptors 0, 1 and 2 on /dev/null where they are closed, so that no
// socket can ever get one of them.
void OpenStandardDescriptors();

// Prints the usage text with every codec and format row.
void PrintUsage(std::FILE* out);

// Reads the switches into `server` (daemon flag, file names, account save
// delay). -1 when start-up goes on; otherwise the exit status, after printing
// the usage text or the error.
int ProcessSwitches(Server& server, int argc, char** argv);

// Runs the whole life of the server process; returns its exit status.
int RunServer(Server& server, int argc, char** argv);

}  // namespace kestrune
