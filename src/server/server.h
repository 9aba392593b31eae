// The one owner of process state: clock, log, settings, file names, and the
// stores, connection table and listeners as they join. Start-up and shutdown
// run through it; handlers receive what they need by reference.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "server/log.h"
#include "server/settings.h"
#include "util/clock.h"

namespace kestrune {

inline constexpr const char* kServerTitle = "Kestrune Server - Public";
inline constexpr const char* kServerVersion = "3.0.2";

// Stop flags, set by the signal handler and the remote console; the loop
// tests them at the top of every iteration.
extern volatile std::sig_atomic_t stopInterrupt;  // SIGINT
extern volatile std::sig_atomic_t stopTerminate;  // SIGTERM
extern volatile std::sig_atomic_t stopConsole;    // the console's stop command
extern volatile std::sig_atomic_t stopReserved;   // nothing sets it
bool StopRequested();

// The ten files that share one prefix.
struct FileNames {
  static constexpr std::size_t kMaxPath = 1023;

  std::string settings;    // .ini
  std::string accounts;    // .usr
  std::string log;         // .log
  std::string bans;        // .ban
  std::string pid;         // .pid
  std::string channels;    // .chn
  std::string motd;        // .motd
  std::string guestMotd;   // .gmotd
  std::string properties;  // .prop
  std::string ranks;       // .rank

  // False (names unchanged) when a name would be longer than kMaxPath.
  bool SetPrefix(const std::string& prefix);
  FileNames() { SetPrefix("kestrune_srv"); }
};

class Server {
 public:
  static constexpr std::size_t kDatagramSize = 512;
  static constexpr int kDefaultAccountSaveDelay = 60;

  // Uses its own SystemClock.
  Server();
  // Uses `clock`, which must outlive the server.
  explicit Server(Clock& clock);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  Clock& clock() { return clock_; }
  Log& log() { return log_; }
  ServerSettings& settings() { return settings_; }
  const ServerSettings& settings() const { return settings_; }
  FileNames& files() { return files_; }

  bool daemon = false;
  int accountSaveDelay = kDefaultAccountSaveDelay;  // -u, seconds
  unsigned processId = 0;
  std::time_t startTime = 0;
  std::array<std::uint8_t, kDatagramSize> datagram{};  // UDP receive buffer

  // Store steps of start-up and shutdown. Each one is the place where its
  // store plugs in; until then it succeeds without doing anything.
  int LoadServerProperties();
  // The settings together with the channel definitions.
  int LoadSettings();
  int LoadBans();
  int PrepareUpdateCheck();
  int LoadRanks();
  int LoadAccounts();
  // Lets the account and rank stores write pending changes.
  void SaveStores();
  // Closes and destroys every connection.
  void CloseConnections();

 private:
  std::unique_ptr<Clock> ownedClock_;
  Clock& clock_;
  Log log_;
  ServerSettings settings_;
  FileNames files_;
};

}  // namespace kestrune
