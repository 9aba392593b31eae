#include "server/server.h"

namespace kestrune {

volatile std::sig_atomic_t stopInterrupt = 0;
volatile std::sig_atomic_t stopTerminate = 0;
volatile std::sig_atomic_t stopConsole = 0;
volatile std::sig_atomic_t stopReserved = 0;

bool StopRequested() {
  return stopInterrupt != 0 || stopTerminate != 0 || stopConsole != 0 || stopReserved != 0;
}

bool FileNames::SetPrefix(const std::string& prefix) {
  // ".gmotd" is the longest extension.
  if (prefix.size() + 6 > kMaxPath) return false;
  settings = prefix + ".ini";
  accounts = prefix + ".usr";
  log = prefix + ".log";
  bans = prefix + ".ban";
  pid = prefix + ".pid";
  channels = prefix + ".chn";
  motd = prefix + ".motd";
  guestMotd = prefix + ".gmotd";
  properties = prefix + ".prop";
  ranks = prefix + ".rank";
  return true;
}

Server::Server()
    : ownedClock_(std::make_unique<SystemClock>()), clock_(*ownedClock_), log_(clock_) {}

Server::Server(Clock& clock) : clock_(clock), log_(clock_) {}

Server::~Server() = default;

// The store steps below are where the stores plug in as they are built.

int Server::LoadServerProperties() {
  return 0;
}

int Server::LoadSettings() {
  SettingsLoadSteps steps;
  // Status rate table, channel definitions and the InactivityChannel's id
  // join here with the status responder and the channel tree.
  return settings_.Load(files_.settings, log_, steps);
}

int Server::LoadBans() {
  return 0;
}

int Server::PrepareUpdateCheck() {
  return 0;
}

int Server::LoadRanks() {
  return 0;
}

int Server::LoadAccounts() {
  return 0;
}

void Server::SaveStores() {}

void Server::CloseConnections() {}

}  // namespace kestrune
