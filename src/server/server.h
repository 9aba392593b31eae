// The one owner of process state: clock, log, settings, file names, and the
// stores, connection table and listeners as they join. Start-up and shutdown
// run through it; handlers receive what they need by reference.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "channels/channel_tree.h"
#include "config/log.h"
#include "config/settings.h"
#include "net/connection.h"
#include "net/message.h"
#include "server/listeners.h"
#include "status/status_packet.h"
#include "status/update_check.h"
#include "store/account_store.h"
#include "store/ban_list.h"
#include "store/connection_bridge.h"
#include "store/rank_store.h"
#include "store/server_properties.h"
#include "util/address_throttle.h"
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

// What the loop reaches in the protocol, channel, console, status and update
// work. Each one has a harmless default (set by the Server's constructor), so
// the loop runs before those pieces exist; they replace the ones they own.
struct ServerHooks {
  // A received message of a connection that is not closing; the loop keeps
  // the message and gives its buffer back to the connection's reader.
  // Default: dropped.
  std::function<void(Connection&, Message&)> dispatch;
  // Reap step for a logged-on connection (not silent removal): the logged-on
  // count, the departure announcement, the "MSG_DISC:" line and the guest
  // auto-ban. Default: DefaultDeparture (everything but the announcement).
  std::function<void(Connection&)> departure;
  // A phantom leaves the table (with its owner, its channel or on request).
  // Default: nothing.
  std::function<void(Connection&)> phantomGone;
  // A line typed on standard input (local console). Default: nothing.
  std::function<void(const std::string& line)> consoleLine;
  // Housekeeping of a logged-on connection that has not been kicked: the
  // floor time limit and the channel mute it leads to. Default: nothing.
  std::function<void(Connection&)> floorCheck;
  // The update check: its tick, its socket (-1: none) and its receive.
  std::function<void()> updateTick;
  std::function<int()> updateSocket;
  std::function<void()> updateReceive;
  // A decoded status request and the socket to answer through. Default: dropped.
  std::function<void(const StatusRequest&, int socket)> statusRequest;
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

  // Logged-on users (the login raises it, the departure lowers it) and its peak.
  int loggedOnUsers = 0;
  int loggedOnPeak = 0;
  // Added by the status replies to every non-zero id they show (1..1023; 0
  // before the loop's first iteration).
  int statusIdOffset = 0;

  ServerHooks hooks;

  // Connection floods log these two lines at most once a second per address.
  AddressThrottle physicalLimitLines;
  AddressThrottle logonTimeoutLines;

  ConnectionTable& table() { return table_; }
  Listeners& listeners() { return listeners_; }
  ServerProperties& properties() { return properties_; }
  ConnectionBridge& bridge() { return bridge_; }
  ChannelTree& channels() { return channels_; }
  // Created by their load steps; none before.
  ServerBanList* bans() { return bans_.get(); }
  RankStore* ranks() { return ranks_.get(); }
  AccountStore* accounts() { return accounts_.get(); }
  // Created by PrepareUpdateCheck, which also plugs it into the loop's hooks.
  UpdateCheck* updateCheck() { return update_.get(); }

  // Start-up and shutdown steps of the stores, in start-up's order.
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
  // The one way a connection leaves the table while the server runs: the
  // departure work (or the abort line), its phantoms the same way, then every
  // store and the channel tree forget its id. Ids are reused, so nothing of
  // a departed client may stay behind.
  void RemoveConnection(Connection& connection);

  // Puts every hook back to its harmless default (the constructor's).
  void SetDefaultHooks();

  // The log line forwarded to administrators who watch the log.
  void ForwardLogLine(const std::string& text);

 private:
  std::unique_ptr<Clock> ownedClock_;
  Clock& clock_;
  Log log_;
  ServerSettings settings_;
  FileNames files_;
  ServerProperties properties_;
  std::unique_ptr<ServerBanList> bans_;
  std::unique_ptr<RankStore> ranks_;
  // Connections count into their listener's counters: listeners go last.
  Listeners listeners_;
  ConnectionTable table_;
  ChannelTree channels_;
  ConnectionBridge bridge_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<UpdateCheck> update_;
  bool forwarding_ = false;
};

// The parts of the departure work this layer can do; the protocol's
// departure hook reuses them around its announcement.
// Lowers the logged-on count (not below 0).
void CountDeparture(Server& server);
// "MSG_DISC: ID %u, From=%s, To=%s, Sec=%u, Name=%s".
void LogDisconnect(Server& server, Connection& connection);
// A guest's address is banned for the server properties' GuestAutoBan
// minutes (none when 0), without a kick.
void GuestAutoBanOnDeparture(Server& server, Connection& connection);
// All three, in that order.
void DefaultDeparture(Server& server, Connection& connection);

}  // namespace kestrune
